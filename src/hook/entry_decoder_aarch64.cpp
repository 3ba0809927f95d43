// Reading an AArch64 entry: which words the patch displaces, which of them
// refer to an address relative to where they stand, and whether other code
// of the function branches into them.
//
// Every A64 instruction is one aligned word, and the ones that are relative
// to the program counter are a dozen fixed bit patterns (the branches with an
// immediate, adr and adrp, the literal loads). So this is a hand decoder of
// those patterns, not a disassembler: every other word is position-
// independent and is copied as it is.
//
// The patch is one `b`, so one word is displaced: the first, or the second
// when the first is a landing pad (bti c, bti j, bti jc, paciasp, pacibsp).
// A pad stays where it is: on BTI-guarded pages every indirect call (a PLT
// entry's br x17, a call through a pointer) must land on it, and code that
// signs its return address must do so before the `b` to the stub, which
// then takes the signature back.
#include <cstring>

#include "hook/instructions_aarch64.hpp"

namespace {

int64_t sign_extend(uint64_t value, unsigned bits) {
  const uint64_t sign = uint64_t{1} << (bits - 1);
  return static_cast<int64_t>((value ^ sign) - sign);
}

uint32_t word_at(uintptr_t address) {
  uint32_t word;
  memcpy(&word, reinterpret_cast<const void *>(address), sizeof word);
  return word;
}

bool is_branch(a64_class kind) {
  return kind == A64_B || kind == A64_BL || kind == A64_BCOND || kind == A64_CB || kind == A64_TB;
}

}  // namespace

a64_class a64_classify(uint32_t word, uint64_t pc, uint64_t *absolute) {
  *absolute = 0;
  if ((word & 0x7c000000) == 0x14000000) {  // b, bl: imm26
    *absolute = pc + sign_extend(word & 0x03ffffff, 26) * 4;
    return (word & 0x80000000) ? A64_BL : A64_B;
  }
  if ((word & 0xff000000) == 0x54000000) {  // b.cond, bc.cond: imm19
    *absolute = pc + sign_extend((word >> 5) & 0x7ffff, 19) * 4;
    return A64_BCOND;
  }
  if ((word & 0x7e000000) == 0x34000000) {  // cbz, cbnz: imm19
    *absolute = pc + sign_extend((word >> 5) & 0x7ffff, 19) * 4;
    return A64_CB;
  }
  if ((word & 0x7e000000) == 0x36000000) {  // tbz, tbnz: imm14
    *absolute = pc + sign_extend((word >> 5) & 0x3fff, 14) * 4;
    return A64_TB;
  }
  if ((word & 0x1f000000) == 0x10000000) {  // adr, adrp: immhi:immlo
    const uint64_t immediate = (((word >> 5) & 0x7ffff) << 2) | ((word >> 29) & 3);
    if (word & 0x80000000) {
      *absolute = (pc & ~uint64_t{0xfff}) + (sign_extend(immediate, 21) << 12);
      return A64_ADRP;
    }
    *absolute = pc + sign_extend(immediate, 21);
    return A64_ADR;
  }
  if ((word & 0x3b000000) == 0x18000000) {  // ldr/ldrsw/prfm literal, SIMD&FP with bit 26
    *absolute = pc + sign_extend((word >> 5) & 0x7ffff, 19) * 4;
    const bool vector = (word >> 26) & 1;
    return vector && (word >> 30) == 3 ? A64_UNDEFINED : A64_LITERAL;
  }
  return A64_COPY;
}

bool a64_ends_flow(uint32_t word) {
  if ((word & 0xfc000000) == 0x14000000) return true;           // b
  if ((word & 0xffff0000) == 0x00000000) return true;           // udf
  if ((word & 0xffe0001f) == 0xd4200000) return true;           // brk
  if ((word & 0xffe0001f) == 0xd4400000) return true;           // hlt
  if ((word & 0xfe000000) == 0xd6000000) {                      // branch to a register
    const uint32_t opc = (word >> 21) & 0xf;
    return opc != 1 && opc != 9;                                // all but blr and its signed forms
  }
  return false;
}

bool a64_is_entry_pad(uint32_t word) {
  return word == A64_BTI_C || word == A64_BTI_J || word == A64_BTI_JC || word == A64_PACIASP ||
         word == A64_PACIBSP;
}

int a64_analyze_entry(uintptr_t target, uintptr_t readable_end, a64_entry *out, uintptr_t *detail) {
  memset(out, 0, sizeof *out);
  *detail = target;
  if (target % 4 != 0) return HOOK_ERROR_DECODE;
  uintptr_t ip = target;
  for (;;) {
    *detail = ip;
    if (ip >= readable_end || readable_end - ip < 4) return HOOK_ERROR_DECODE;
    const uint32_t word = word_at(ip);
    a64_instruction &insn = out->insns[out->count++];
    insn.word = word;
    insn.kind = a64_classify(word, ip, &insn.absolute);
    if (insn.kind == A64_UNDEFINED) return HOOK_ERROR_DECODE;
    memcpy(out->bytes + (ip - target), &word, sizeof word);
    ip += 4;
    if (out->count == 1 && a64_is_entry_pad(word)) {
      out->kept_pad = word;
      out->patch_offset = 4;
      continue;
    }
    out->falls_through = !a64_ends_flow(word);
    break;
  }
  out->length = static_cast<uint8_t>(ip - target);

  const uintptr_t end = ip;
  out->lowest = target;
  out->highest = end;
  for (uint8_t i = 0; i < out->count; ++i) {
    const a64_instruction &insn = out->insns[i];
    if (insn.kind == A64_COPY || insn.kind == A64_ADRP) continue;
    *detail = target + 4 * i;
    if (insn.absolute >= target && insn.absolute < end) {
      // Data read from, or an address taken of, the patched words would
      // change; a branch there lands on the trampoline's copy.
      if (!is_branch(insn.kind)) return HOOK_ERROR_UNRELOCATABLE;
      continue;
    }
    if (!is_branch(insn.kind)) continue;  // addresses and literals come from the trampoline's pool
    if (insn.absolute < out->lowest) out->lowest = insn.absolute;
    if (insn.absolute > out->highest) out->highest = insn.absolute;
  }
  return HOOK_OK;
}

int a64_scan_for_branches_into(uintptr_t begin, uintptr_t end, uintptr_t target, size_t length,
                               uintptr_t *detail) {
  // Only a kept landing pad leaves a word strictly inside: the one behind it.
  if (length <= 4) return HOOK_OK;
  for (uintptr_t ip = (begin + 3) & ~uintptr_t{3}; ip + 4 <= end; ip += 4) {
    if (ip >= target && ip < target + length) continue;
    uint64_t absolute = 0;
    const a64_class kind = a64_classify(word_at(ip), ip, &absolute);
    if (kind == A64_COPY || kind == A64_ADRP || kind == A64_UNDEFINED) continue;
    if (absolute > target && absolute < target + length) {
      *detail = ip;
      return HOOK_ERROR_BRANCH_INTO_PATCH;
    }
  }
  return HOOK_OK;
}
