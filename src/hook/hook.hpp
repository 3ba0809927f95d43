// In-memory function hooking for Linux on x86-64 and AArch64. See hook_set.cpp
// for how it works.
#pragma once

#include <cstddef>
#include <cstdint>

struct hook_set;

enum hook_status : int {
  HOOK_OK = 0,
  HOOK_ERROR_MEMORY = 1,        // allocation or mprotect failed
  HOOK_ERROR_DECODE = 2,        // an instruction could not be decoded
  HOOK_ERROR_TOO_SHORT = 3,     // the function ends before the patch fits
  HOOK_ERROR_UNRELOCATABLE = 4, // an instruction cannot be moved (loop, jrcxz, ...)
  HOOK_ERROR_BRANCH_INTO_PATCH = 5,  // other code jumps into the displaced bytes
  HOOK_ERROR_STATE = 6,         // wrong call for the set's state, or the code changed under it
  HOOK_ERROR_ARGUMENT = 7,      // a null set, slot, target or replacement
};

// A new, empty set, or null when memory runs out.
hook_set *hook_set_create();
// Builds a trampoline for the function whose address is in *slot and writes
// the trampoline's address into *slot. Patches nothing. On failure nothing
// changes and *slot is untouched.
int hook_set_prepare(hook_set *set, void **slot, void *replacement);
// The same for a target whose function is known to be `size` bytes long
// (its symbol's size, from hook_find_functions; 0: not known).
int hook_set_prepare_sized(hook_set *set, void **slot, void *replacement, size_t size);
// The functions `names` of the loaded object that holds `anchor`, at their
// default versions, from its own symbol table: one hash look-up each, a
// fraction of the loader's (which searches every object in turn). Fills
// addresses[i] (null when the object has no such function, or only an
// indirect one) and sizes[i]; returns how many were found. `hashes`, when
// given, holds symbol_name_hash of each name, made by the compiler.
size_t hook_find_functions(const void *anchor, const char *const names[], size_t count, void *addresses[],
                           size_t sizes[], const uint32_t hashes[] = nullptr);
// A name's hash in a GNU hash table.
constexpr uint32_t symbol_name_hash(const char *name) {
  uint32_t hash = 5381;
  for (const char *c = name; *c; ++c) hash = hash * 33 + static_cast<uint8_t>(*c);
  return hash;
}
// Patches every prepared target; all or nothing. Prepare no more once installed.
int hook_set_install(hook_set *set);
// Restores every target's original bytes; all or nothing. The trampolines
// stay valid, so the set can be installed again.
int hook_set_uninstall(hook_set *set);
// Releases the set and its trampolines (uninstalls first when installed;
// when that fails, nothing is released). A slot that still holds its
// trampoline gets the target's address back. No thread may be running
// inside a trampoline at that point.
int hook_set_destroy(hook_set *set);
// Human-readable text of the last failure on this set.
const char *hook_set_error_message(const hook_set *set);
