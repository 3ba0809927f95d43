// The x86-64 side of the hooking engine, and which file implements what:
//   decode_zydis.cpp           decoding the entry, relocating it, scanning for branches into it;
//                              Zydis, opened when an instruction needs it
//   entry_decoder_x86_64.cpp   the common entry instructions, decoded without Zydis
//   code_x86_64.cpp            the bytes the engine emits; the atomic store of a patch
//   reference_candidates_x86_64.cpp  a byte-level pre-scan for references into a patch
// Included by hook_internal.hpp, after the common vocabulary.
#pragma once

// The patch is one jmp rel32; everything the engine emits is sized around it.
constexpr size_t PATCH_SIZE = 5;
// Displaced instructions: at most one per patch byte.
constexpr size_t MAX_DISPLACED = PATCH_SIZE;
constexpr size_t MAX_INSTRUCTION = 15;
constexpr size_t STUB_SIZE = 16;
constexpr size_t TRAMPOLINE_CAPACITY = CHUNK_SIZE - STUB_SIZE;
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

// ---- what hook_set.cpp asks of every processor ------------------------------

// Reach of the branches from a chunk to the target and back.
constexpr uint64_t BRANCH_REACH = REL32_REACH;
// int3 between and after the code of a chunk.
constexpr uint8_t CODE_FILLER = 0xcc;
// The patch goes at the entry itself.
inline size_t patch_offset_of(const displaced_code &) { return 0; }
inline size_t emit_stub(uint8_t *out, const displaced_code &, uintptr_t replacement) {
  return emit_absolute_jmp(out, replacement);
}
inline size_t emit_patch(uint8_t *out, uintptr_t at, uintptr_t destination) {
  return emit_jmp_rel32(out, at, destination);
}
// x86-64 has no branch-target guarded pages (IBT is not enforced for user code).
inline bool object_guards_branch_targets(const dl_phdr_info &) { return false; }
// Instruction fetch sees stores to code: nothing to flush.
inline void flush_code(uintptr_t, uintptr_t) {}
