// The byte-level pre-scan that spares most functions their decoding: it
// must find every relative reference into the displaced bytes that the
// decoder finds, in hand-made code and across the C library's own code.
#include <Zydis/Zydis.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/mman.h>

#include <cstring>
#include <random>
#include <vector>

#include "hook/hook_internal.hpp"

namespace {

struct byte_case {
  const char *name;
  std::vector<uint8_t> code;  // the "function"; the patch window is its first `length` bytes
  size_t length;
  bool expected;
};

// Little-endian 32-bit displacement bytes.
std::vector<uint8_t> le32(int32_t value) {
  std::vector<uint8_t> bytes(4);
  memcpy(bytes.data(), &value, 4);
  return bytes;
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto &part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const std::vector<uint8_t> NOPS(8, 0x90);

TEST(ReferenceCandidates, FindsEachKindOfRelativeReference) {
  // Offsets below: the instruction starts at 8, after eight nops that stand
  // for the displaced bytes (window 1..4 with length 5). The pre-scan may
  // also see references that are not there (the bytes of one instruction read
  // as another), so the cases that expect none keep their bytes unambiguous.
  const byte_case rows[] = {
      {"no reference at all", join({NOPS, {0xc3}}), 5, false},
      {"jne rel8 back to byte 2", join({NOPS, {0x75, static_cast<uint8_t>(2 - 10)}}), 5, true},
      {"jmp rel8 back to the first byte", join({NOPS, {0xeb, static_cast<uint8_t>(0 - 10)}}), 5, false},
      {"loop rel8 back to byte 4", join({NOPS, {0xe2, static_cast<uint8_t>(4 - 10)}}), 5, true},
      {"call rel32 to byte 3", join({NOPS, {0xe8}, le32(3 - 13)}), 5, true},
      {"jcc rel32 to byte 1", join({NOPS, {0x0f, 0x84}, le32(1 - 14)}), 5, true},
      {"jmp rel32 far past the window", join({NOPS, {0xe9}, le32(0x4000)}), 5, false},
      {"lea rip-relative to byte 2", join({NOPS, {0x48, 0x8d, 0x05}, le32(2 - 15)}), 5, true},
      {"cmpb imm8 rip-relative to byte 4", join({NOPS, {0x80, 0x3d}, le32(4 - 15), {0x01}}), 5, true},
      {"movl imm32 rip-relative to byte 1", join({NOPS, {0xc7, 0x05}, le32(1 - 18), le32(7)}), 5, true},
      {"xbegin rel32 to byte 3", join({NOPS, {0xc7, 0xf8}, le32(3 - 14)}), 5, true},
      {"VEX-encoded jkzd rel32 to byte 2", join({NOPS, {0xc4, 0xe1, 0x74, 0x84}, le32(2 - 16)}), 5, true},
      {"a wider window takes byte 6", join({NOPS, {0x75, static_cast<uint8_t>(6 - 10)}}), 8, true},
      // Longer than two wide steps: a reference in either half of the pair, or none.
      {"jmp rel32 to byte 3 in the first of two steps",
       join({NOPS, std::vector<uint8_t>(12, 0x90), {0xe9}, le32(3 - 25), std::vector<uint8_t>(70, 0x90)}), 5, true},
      {"jne rel8 to byte 2 in the second of two steps",
       join({NOPS, std::vector<uint8_t>(40, 0x90), {0x75, static_cast<uint8_t>(2 - 50)}, std::vector<uint8_t>(40, 0x90)}),
       5, true},
      {"nothing in two steps and a tail", join({NOPS, std::vector<uint8_t>(90, 0x90), {0xc3}}), 5, false},
  };
  for (const byte_case &row : rows) {
    SCOPED_TRACE(row.name);
    const auto begin = reinterpret_cast<uintptr_t>(row.code.data());
    const code_range function{begin, begin + row.code.size()};
    EXPECT_EQ(may_refer_into(function, begin, row.length), row.expected);
    uintptr_t detail = 0;
    const int decoded = decode_for_branches_into(function, true, begin, row.length, &detail);
    if (decoded == HOOK_ERROR_BRANCH_INTO_PATCH) {
      EXPECT_TRUE(row.expected) << "the decoder found one";
    }
  }
}

// The wide steps read past a function's end while they stay on its last
// page: a function that ends where an unreadable page begins is scanned to
// its last byte without a fault, and what lies just past a function's end
// is never taken for a reference of its own. Both widths, every length.
TEST(ReferenceCandidates, ReadsToTheEndOfAFunctionAndNotPastIt) {
  const size_t page = NEAR_PAGE_SIZE;
  auto *memory = static_cast<uint8_t *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(memory, MAP_FAILED);
  ASSERT_EQ(mprotect(memory + page, page, PROT_NONE), 0);
  for (size_t size = 8; size <= 100; ++size) {
    SCOPED_TRACE(size);
    // At the page's end: nops, then jne rel8 back to byte 2 as the last two bytes.
    uint8_t *at_end = memory + page - size;
    memset(at_end, 0x90, size);
    at_end[size - 2] = 0x75;
    at_end[size - 1] = static_cast<uint8_t>(2 - static_cast<int>(size));
    // Mid-page: nops only, with that same branch right after the last byte.
    uint8_t *inside = memory + 64;
    memset(inside, 0x90, size + 2);
    inside[size] = 0x75;
    inside[size + 1] = static_cast<uint8_t>(2 - static_cast<int>(size + 2));
    for (bool avx2 : {false, true}) {
      if (avx2 && !__builtin_cpu_supports("avx2")) continue;
      const auto end = reinterpret_cast<uintptr_t>(at_end);
      EXPECT_TRUE(may_refer_into_scanning(code_range{end, end + size}, end, PATCH_SIZE, avx2));
      const auto mid = reinterpret_cast<uintptr_t>(inside);
      EXPECT_FALSE(may_refer_into_scanning(code_range{mid, mid + size}, mid, PATCH_SIZE, avx2));
    }
  }
  munmap(memory, 2 * page);
}

int find_libc_text(dl_phdr_info *info, size_t, void *data) {
  if (!strstr(info->dlpi_name, "/libc.so")) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD && (header.p_flags & PF_X)) {
      const uintptr_t begin = info->dlpi_addr + header.p_vaddr;
      *static_cast<code_range *>(data) = code_range{begin, begin + header.p_memsz};
      return 1;
    }
  }
  return 0;
}

// Every 97th byte of the C library's code as a patch target, with the 512
// bytes around it as its function: whatever the decoder finds, the pre-scan
// must have found too. Loop heads among the targets give real references.
TEST(ReferenceCandidates, NeverMissesWhatTheDecoderFindsInTheCLibrary) {
  code_range text{0, 0};
  ASSERT_NE(dl_iterate_phdr(find_libc_text, &text), 0);
  int decoder_found = 0, prescan_found = 0, windows = 0;
  for (uintptr_t target = text.begin + 256; target + 256 < text.end && windows < 6000; target += 97, ++windows) {
    const code_range function{target - 256, target + 256};
    uintptr_t detail = 0;
    const bool decoded = decode_for_branches_into(function, true, target, PATCH_SIZE, &detail) ==
                         HOOK_ERROR_BRANCH_INTO_PATCH;
    const bool candidate = may_refer_into(function, target, PATCH_SIZE);
    // Both widths of the scan give the same answer.
    EXPECT_EQ(may_refer_into_scanning(function, target, PATCH_SIZE, false), candidate);
    decoder_found += decoded;
    prescan_found += candidate;
    if (decoded) {
      EXPECT_TRUE(candidate) << "missed a reference at " << std::hex << detail;
    }
  }
  EXPECT_GT(decoder_found, 0) << "no window held a real reference; the comparison proved nothing";
  // The pre-scan is only worth having if it rules most windows out.
  EXPECT_LT(prescan_found, windows / 2);
}

// Whatever relative reference the decoder reads out of random bytes (VEX,
// EVEX, XOP and legacy encodings alike, prefixes included), the pre-scan
// must see it when the patch window lies where the reference points.
TEST(ReferenceCandidates, SeesEveryRelativeEncodingTheDecoderKnows) {
  ZydisDecoder decoder;
  ASSERT_TRUE(ZYAN_SUCCESS(ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64)));
  std::mt19937 random(20261208);
  std::vector<uint8_t> code(32);
  int relative = 0;
  // Leading bytes that open the less common encodings, to meet them often.
  constexpr uint8_t LEADS[] = {0x0f, 0x66, 0x67, 0xf2, 0xf3, 0x48, 0xc4, 0xc5, 0x62, 0x8f, 0xc7};
  for (int round = 0; round < 1000000; ++round) {
    for (uint8_t &byte : code) byte = static_cast<uint8_t>(random());
    if (round % 2) code[0] = LEADS[random() % sizeof LEADS];
    if (round % 4 == 1) code[1] = 0x0f;
    ZydisDecodedInstruction insn;
    ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    if (!ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder, code.data(), code.size(), &insn, operands))) continue;
    if (!(insn.attributes & ZYDIS_ATTRIB_IS_RELATIVE)) continue;
    const auto begin = reinterpret_cast<uintptr_t>(code.data());
    for (uint8_t i = 0; i < insn.operand_count_visible; ++i) {
      const ZydisDecodedOperand &op = operands[i];
      const bool is_relative = (op.type == ZYDIS_OPERAND_TYPE_IMMEDIATE && op.imm.is_relative) ||
                               (op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.base == ZYDIS_REGISTER_RIP);
      ZyanU64 absolute = 0;
      if (!is_relative || !ZYAN_SUCCESS(ZydisCalcAbsoluteAddress(&insn, &op, begin, &absolute))) continue;
      ++relative;
      const code_range function{begin, begin + insn.length};
      ASSERT_TRUE(may_refer_into(function, absolute - 1, PATCH_SIZE))
          << "missed: " << std::hex << static_cast<int>(code[0]) << " " << static_cast<int>(code[1]) << " "
          << static_cast<int>(code[2]) << " " << static_cast<int>(code[3]) << " length " << std::dec
          << static_cast<int>(insn.length);
    }
  }
  EXPECT_GT(relative, 1000);
}

}  // namespace
