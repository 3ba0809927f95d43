// Private vocabulary of the hooking engine, and which file implements what:
//   hook_set.cpp               the public calls; set bookkeeping; all-or-nothing install
//   memory_linux.cpp           near pages within branch reach, mprotect of code
//   function_extent_linux.cpp  where a target lies; functions by name; function extent,
//                              from the nearest symbol as the fallback
//   unwind_extent_linux.cpp    function extent from the unwind table (.eh_frame_hdr)
// and per processor (hook_x86_64.hpp, hook_aarch64.hpp name the files of each):
// decoding the entry, relocating it, scanning for branches into it, and the
// code the engine emits.
#pragma once

#include <elf.h>
#include <link.h>

#include <cstddef>
#include <cstdint>

#include "hook/hook.hpp"

// One chunk per hook in a near page: the stub first, the trampoline after it.
constexpr size_t CHUNK_SIZE = 128;
constexpr size_t NEAR_PAGE_SIZE = 4096;
constexpr size_t CHUNKS_PER_PAGE = NEAR_PAGE_SIZE / CHUNK_SIZE;  // 32, one bit each
constexpr size_t MAX_NEAR_PAGES = 16;
constexpr size_t HOOK_SET_CAPACITY = 64;
// Where no symbol gives a function's size, this many bytes after the target
// are scanned for branches into the displaced bytes.
constexpr size_t FUNCTION_SCAN_LIMIT = 1024;

struct code_range {
  uintptr_t begin;
  uintptr_t end;
};

// ---- memory_linux.cpp ----------------------------------------------------

struct near_page {
  uintptr_t base;
  uint32_t used;   // one bit per chunk
  bool writable;   // read-write-execute until the set is installed
};

struct near_pool {
  near_page pages[MAX_NEAR_PAGES];
  size_t count;
};

// A chunk lying wholly within [low, high), from a page of the pool or a new
// page mapped there; 0 when none can be had.
uintptr_t near_chunk_take(near_pool *pool, uintptr_t low, uintptr_t high);
void near_chunk_give_back(near_pool *pool, uintptr_t chunk);
// Copies bytes into a chunk. The page stays executable throughout and is
// left writable for the next chunk (one mprotect per page, not two per hook)
// until near_pool_seal.
bool near_chunk_fill(near_pool *pool, uintptr_t chunk, const uint8_t *bytes, size_t length);
// Makes every page that chunks were written to read-execute again.
bool near_pool_seal(near_pool *pool);
void near_pool_release(near_pool *pool);

// mprotect of the pages holding [address, address + length): read-write-
// execute while patching (other threads may be running that page), then
// back to read-execute.
// `guarded`: the pages are branch-target guarded (AArch64 BTI) and stay so.
bool code_unprotect(uintptr_t address, size_t length, bool guarded = false);
bool code_protect(uintptr_t address, size_t length, bool guarded = false);

// ---- function_extent_linux.cpp ------------------------------------------

// The dynamic symbol that dladdr1 reports for `address`: `found` when a
// loaded object holds the address, `symbol` null when none of its symbols
// does, `address` the symbol's run-time address.
struct nearest_symbol {
  bool found = false;
  const Elf64_Sym *symbol = nullptr;
  uintptr_t address = 0;
};
nearest_symbol nearest_dynamic_symbol(uintptr_t address);

// An object's unwind table (.eh_frame_hdr) and the loaded segment that
// holds it; `header` 0 when the object has none.
struct unwind_table {
  uintptr_t header = 0;
  code_range segment{0, 0};
};
// Where a target lies: the executable segment of the loaded object that
// holds it (when none does, only the rest of its page) and that object's
// unwind table, found in one walk of the loaded objects.
// A loaded object's dynamic symbols and their GNU hash table; `symbols`
// null when it has no such table.
struct symbol_table {
  uintptr_t base = 0;
  const ElfW(Sym) *symbols = nullptr;
  const uint32_t *gnu_hash = nullptr;
  const char *names = nullptr;
  size_t names_size = 0;
  const uint16_t *versions = nullptr;  // DT_VERSYM, when the object has versions
};
struct code_place {
  code_range mapped{0, 0};
  unwind_table unwind;
  symbol_table dynamic;
  bool guarded = false;  // its pages are branch-target guarded
};
code_place code_place_around(uintptr_t address);
// The function that holds `address`: [address, address + size) when its
// size is known (its symbol's, found by name); else the extent its unwind
// entry gives, else its symbol's when the dynamic symbol table knows it
// (`*sized` true in these cases), else a bounded span after it.
code_range function_extent(uintptr_t address, const code_place &place, size_t size, bool *sized);
// The object's function `name` at its default version: one look-up in its
// GNU hash table. Null when it has none, or only an indirect (IFUNC) one.
const ElfW(Sym) *exported_function(const symbol_table &table, const char *name);
// The same, with the name's symbol_name_hash already made.
const ElfW(Sym) *exported_function(const symbol_table &table, const char *name, uint32_t hash);

// ---- unwind_extent_linux.cpp ---------------------------------------------

// The start and end of the function holding `address` from the frame
// description that the object's .eh_frame_hdr finds for it; false when the
// object has no such table, no description covers the address, or the
// table uses an encoding that is not read here.
bool unwind_extent(uintptr_t address, code_range *out);
// The same with the object's table already known.
bool unwind_extent_in(const unwind_table &table, uintptr_t address, code_range *out);
// The unwind table of a loaded object, from its program headers.
unwind_table unwind_table_of(const dl_phdr_info &info);

#if defined(__aarch64__)
#include "hook/hook_aarch64.hpp"
#else
#include "hook/hook_x86_64.hpp"
#endif
