// The decoder of common entry instructions must read whatever it accepts
// exactly as Zydis does: the length, whether and how the instruction is
// relative, where it refers to, and whether it ends the flow.
#include <Zydis/Zydis.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>
#include <random>
#include <vector>

#include "hook/hook_internal.hpp"

namespace {

struct zydis_reading {
  bool decoded = false;
  uint8_t length = 0;
  bool relative = false;
  uint64_t absolute = 0;
  bool ends_flow = false;
};

zydis_reading read_with_zydis(const ZydisDecoder &decoder, const uint8_t *code, size_t available) {
  zydis_reading out;
  ZydisDecodedInstruction insn;
  ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
  if (!ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder, code, available, &insn, operands))) return out;
  out.decoded = true;
  out.length = insn.length;
  out.ends_flow = insn.meta.category == ZYDIS_CATEGORY_RET || insn.meta.category == ZYDIS_CATEGORY_UNCOND_BR ||
                  insn.mnemonic == ZYDIS_MNEMONIC_INT3;
  for (uint8_t i = 0; i < insn.operand_count_visible; ++i) {
    const ZydisDecodedOperand &op = operands[i];
    if ((op.type == ZYDIS_OPERAND_TYPE_IMMEDIATE && op.imm.is_relative) ||
        (op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.base == ZYDIS_REGISTER_RIP)) {
      out.relative = true;
      ZyanU64 absolute = 0;
      if (ZYAN_SUCCESS(ZydisCalcAbsoluteAddress(&insn, &op, reinterpret_cast<uintptr_t>(code), &absolute)))
        out.absolute = absolute;
    }
  }
  return out;
}

// Compares one reading; true when ours accepted the bytes.
bool agrees(const ZydisDecoder &decoder, const uint8_t *code, size_t available) {
  displaced_instruction ours{};
  bool ends = false;
  if (!decode_common(reinterpret_cast<uintptr_t>(code), available, &ours, &ends)) return false;
  const zydis_reading theirs = read_with_zydis(decoder, code, available);
  std::string bytes;
  for (size_t i = 0; i < available && i < 15; ++i) bytes += testing::PrintToString(static_cast<int>(code[i])) + " ";
  SCOPED_TRACE(bytes);
  EXPECT_TRUE(theirs.decoded);
  EXPECT_EQ(ours.length, theirs.length);
  EXPECT_EQ(ours.kind != DISPLACED_COPY, theirs.relative);
  if (theirs.relative) {
    EXPECT_EQ(ours.absolute, theirs.absolute);
  }
  EXPECT_EQ(ends, theirs.ends_flow);
  return true;
}

int find_libc(dl_phdr_info *info, size_t, void *data) {
  if (strstr(info->dlpi_name, "/libc.so.6") == nullptr) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD && (header.p_flags & PF_X)) {
      const uintptr_t begin = info->dlpi_addr + header.p_vaddr;
      *static_cast<code_range *>(data) = code_range{begin, begin + header.p_memsz};
    }
  }
  return 1;
}

TEST(EntryDecoder, ReadsWhatItAcceptsAsZydisDoes) {
  ZydisDecoder decoder;
  ASSERT_TRUE(ZYAN_SUCCESS(ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64)));
  // Random bytes, led often by the bytes of the forms it knows and of those
  // it must refuse (prefixes, xbegin, lea of a register).
  std::mt19937 random(20261208);
  constexpr uint8_t LEADS[] = {0x48, 0x41, 0x4c, 0x0f, 0x66, 0x64, 0xf3, 0xc7, 0x8d, 0x80, 0x83, 0xf7, 0xe8, 0x74};
  std::vector<uint8_t> code(15);
  int accepted = 0;
  for (int round = 0; round < 300000 && !HasFailure(); ++round) {
    for (uint8_t &byte : code) byte = static_cast<uint8_t>(random());
    if (round % 2) code[0] = LEADS[random() % sizeof LEADS];
    if (round % 4 == 1) code[1] = LEADS[random() % sizeof LEADS];
    accepted += agrees(decoder, code.data(), 1 + random() % code.size());
  }
  EXPECT_GT(accepted, 30000);

  // Every byte of the C library's code as an instruction start, in place.
  code_range text{0, 0};
  dl_iterate_phdr(find_libc, &text);
  ASSERT_NE(text.begin, 0u);
  int in_libc = 0;
  for (uintptr_t ip = text.begin; ip + MAX_INSTRUCTION < text.end && !HasFailure(); ip += 7)
    in_libc += agrees(decoder, reinterpret_cast<const uint8_t *>(ip), MAX_INSTRUCTION);
  EXPECT_GT(in_libc, 10000);
}

}  // namespace
