// Private vocabulary of the hooking engine, and which file implements what:
//   hook_set.cpp               the public calls; set bookkeeping; all-or-nothing install
//   decode_zydis.cpp           decoding the entry, relocating it, scanning for branches into it;
//                              Zydis, opened when an instruction needs it
//   entry_decoder_x86_64.cpp   the common entry instructions, decoded without Zydis
//   code_x86_64.cpp            the bytes the engine emits; the atomic store of a patch
//   memory_linux.cpp           near pages within +-2 GiB, mprotect of code
//   function_extent_linux.cpp  where a target lies; function extent, from symbols as the fallback
//   unwind_extent_linux.cpp    function extent from the unwind table (.eh_frame_hdr)
//   reference_candidates_x86_64.cpp  a byte-level pre-scan for references into a patch
#pragma once

#include <elf.h>
#include <link.h>

#include <cstddef>
#include <cstdint>

#include "hook/hook.hpp"

// The patch is one jmp rel32; everything the engine emits is sized around it.
constexpr size_t PATCH_SIZE = 5;
// Displaced instructions: at most one per patch byte.
constexpr size_t MAX_DISPLACED = PATCH_SIZE;
constexpr size_t MAX_INSTRUCTION = 15;
// One chunk per hook in a near page: the stub first, the trampoline after it.
constexpr size_t CHUNK_SIZE = 128;
constexpr size_t STUB_SIZE = 16;
constexpr size_t TRAMPOLINE_CAPACITY = CHUNK_SIZE - STUB_SIZE;
constexpr size_t NEAR_PAGE_SIZE = 4096;
constexpr size_t CHUNKS_PER_PAGE = NEAR_PAGE_SIZE / CHUNK_SIZE;  // 32, one bit each
constexpr size_t MAX_NEAR_PAGES = 16;
constexpr size_t HOOK_SET_CAPACITY = 32;
// Where no symbol gives a function's size, this many bytes after the target
// are scanned for branches into the displaced bytes.
constexpr size_t FUNCTION_SCAN_LIMIT = 1024;
// Reach of a rel32 operand, less room for the instruction itself.
constexpr uint64_t REL32_REACH = 0x7fffffffull - 2 * NEAR_PAGE_SIZE;

// ---- decode_zydis.cpp ----------------------------------------------------

enum displaced_kind : uint8_t {
  DISPLACED_COPY,         // position-independent: copied as is
  DISPLACED_RIP_MEMORY,   // disp32(%rip) operand: displacement re-targeted
  DISPLACED_JMP,          // jmp rel8/rel32
  DISPLACED_JCC,          // jcc rel8/rel32
  DISPLACED_CALL,         // call rel32
};

struct displaced_instruction {
  uint8_t offset;        // from the target's entry
  uint8_t length;
  displaced_kind kind;
  uint8_t condition;     // jcc: the low nibble of the opcode
  uint8_t disp_offset;   // rip memory: where disp32 lies in the instruction
  uint64_t absolute;     // the address a relative operand refers to
};

struct displaced_code {
  displaced_instruction insns[MAX_DISPLACED];
  uint8_t count;
  uint8_t length;        // bytes displaced, >= PATCH_SIZE
  bool falls_through;    // false when the last one is a jmp: no jump back
  uint64_t lowest;       // lowest and highest address the trampoline must reach
  uint64_t highest;
  uint8_t bytes[MAX_DISPLACED + MAX_INSTRUCTION];
};

struct code_range {
  uintptr_t begin;
  uintptr_t end;
};

// Decodes the instructions that the patch displaces at `target`, whose
// mapped code ends at `readable_end`. HOOK_OK or the reason for refusal,
// with `detail` naming the offending address.
int analyze_entry(uintptr_t target, uintptr_t readable_end, displaced_code *out, uintptr_t *detail);
// Scans `function` for a relative reference that lands inside the displaced
// bytes other than at their first byte. HOOK_OK or HOOK_ERROR_BRANCH_INTO_PATCH.
int scan_for_branches_into(code_range function, bool sized, uintptr_t target, size_t length,
                           uintptr_t *detail);
// The same scan, decoding every instruction (scan_for_branches_into first
// asks may_refer_into whether there can be anything to find).
int decode_for_branches_into(code_range function, bool sized, uintptr_t target, size_t length,
                             uintptr_t *detail);
// False only when no instruction of `function`, wherever instructions begin,
// can refer inside (target, target + length): scan_for_branches_into then
// has nothing to find and need not decode.
bool may_refer_into(code_range function, uintptr_t target, size_t length);
// The same, 32 positions at a time with AVX2 or 16 with SSE2 (may_refer_into
// takes AVX2 where the processor has it).
bool may_refer_into_scanning(code_range function, uintptr_t target, size_t length, bool avx2);
// Writes the trampoline for `code` as it will run at `at` into `out`.
// Returns its size, 0 when an operand cannot reach from there.
size_t relocate_entry(const displaced_code *code, uintptr_t target, uintptr_t at, uint8_t *out,
                      size_t capacity);
// True after an instruction whose next bytes need not be code of this
// function (ret, jmp, ud2, hlt, ...): the trampoline then has no jump back.
bool ends_flow(const struct ZydisDecodedInstruction_ &insn);

// ---- entry_decoder_x86_64.cpp ---------------------------------------------

// Decodes the instruction at `ip` when it is one of the common forms that
// begin functions (push, pop, mov, lea, alu and test with a modrm operand,
// endbr64, the plain relative branches, ret): fills in `length`, `kind`,
// `condition`, `disp_offset` and `absolute` and says whether it ends the
// flow. False for anything else, which the full decoder then reads.
bool decode_common(uintptr_t ip, size_t available, displaced_instruction *out, bool *ends_flow);

// ---- code_x86_64.cpp -----------------------------------------------------

size_t emit_jmp_rel32(uint8_t *out, uintptr_t at, uintptr_t destination);
size_t emit_jcc_rel32(uint8_t *out, uint8_t condition, uintptr_t at, uintptr_t destination);
size_t emit_call_rel32(uint8_t *out, uintptr_t at, uintptr_t destination);
size_t emit_absolute_jmp(uint8_t *out, uintptr_t destination);
bool fits_rel32(uintptr_t from_next, uintptr_t destination);

enum code_store_kind { STORE_ATOMIC_8, STORE_ATOMIC_16, STORE_PLAIN };
// How a store of `length` bytes at `address` can be made.
code_store_kind code_store_kind_for(uintptr_t address, size_t length);
// Writes `length` (<= 8) bytes at `address` into writable code: one atomic
// store where they lie in one aligned 8- or 16-byte block, plain otherwise.
void store_code(uintptr_t address, const uint8_t *bytes, size_t length);

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
bool code_unprotect(uintptr_t address, size_t length);
bool code_protect(uintptr_t address, size_t length);

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
struct code_place {
  code_range mapped{0, 0};
  unwind_table unwind;
};
code_place code_place_around(uintptr_t address);
// The function that holds `address`: the extent that its unwind entry gives,
// else its symbol's when the dynamic symbol table knows it (`*sized` true
// either way), else a bounded span after it.
code_range function_extent(uintptr_t address, const code_place &place, bool *sized);

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
