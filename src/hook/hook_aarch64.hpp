// The AArch64 side of the hooking engine, and which file implements what:
//   entry_decoder_aarch64.cpp  the instruction classes; which words the patch displaces;
//                              the scan for branches into them
//   code_aarch64.cpp           the trampoline, the stub and the patch; the store of a patch
//   branch_guard_aarch64.cpp   whether a loaded object's pages are BTI-guarded
// (declared in instructions_aarch64.hpp). Included by hook_internal.hpp,
// after the common vocabulary: the names every processor gives the engine.
#pragma once

#include "hook/instructions_aarch64.hpp"

constexpr size_t PATCH_SIZE = A64_PATCH_SIZE;
constexpr size_t STUB_SIZE = A64_STUB_SIZE;
constexpr size_t TRAMPOLINE_CAPACITY = CHUNK_SIZE - STUB_SIZE;
constexpr uint64_t BRANCH_REACH = A64_BRANCH_REACH;
// udf #0 between and after the code of a chunk.
constexpr uint8_t CODE_FILLER = 0x00;
using displaced_code = a64_entry;

inline int analyze_entry(uintptr_t target, uintptr_t readable_end, displaced_code *out, uintptr_t *detail) {
  return a64_analyze_entry(target, readable_end, out, detail);
}
inline int scan_for_branches_into(code_range function, bool, uintptr_t target, size_t length, uintptr_t *detail) {
  return a64_scan_for_branches_into(function.begin, function.end, target, length, detail);
}
inline size_t relocate_entry(const displaced_code *code, uintptr_t target, uintptr_t at, uint8_t *out,
                             size_t capacity) {
  return a64_relocate_entry(code, target, at, out, capacity);
}
inline size_t patch_offset_of(const displaced_code &code) { return code.patch_offset; }
inline size_t emit_stub(uint8_t *out, const displaced_code &code, uintptr_t replacement) {
  return a64_emit_stub(out, code, replacement);
}
inline size_t emit_patch(uint8_t *out, uintptr_t at, uintptr_t destination) {
  return a64_emit_branch(out, at, destination);
}
inline bool object_guards_branch_targets(const dl_phdr_info &info) { return a64_object_is_guarded(info); }
inline void store_code(uintptr_t address, const uint8_t *bytes, size_t length) {
  a64_store_code(address, bytes, length);
}
inline void flush_code(uintptr_t begin, uintptr_t end) { a64_flush_code(begin, end); }
