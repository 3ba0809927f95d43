// A quick look at a function's bytes, before any decoding, for a relative
// reference that could land inside the bytes a patch displaces.
//
// Decoding a large function instruction by instruction is the slow part of
// preparing a hook (getaddrinfo alone is some 2000 instructions). But every
// relative operand of x86-64 sits right after one known byte:
//   - rel8 after the opcode of jcc (70-7f), jmp (eb), loop*/jrcxz (e0-e3);
//   - rel16 or rel32 after call (e8), jmp (e9), jcc (0f 80-8f) and xbegin
//     (c7 f8, its modrm byte);
//   - a rip-relative disp32 after a modrm byte with mod 00 and rm 101,
//     followed by at most four bytes of immediate.
// So trying every byte position as such a displacement, whatever the real
// instruction boundaries are, finds every reference the decoder would find,
// and now and then one that is not there. Only a function where something is
// found is decoded.
#include <cstring>
#include <initializer_list>

#include "hook/hook_internal.hpp"

namespace {

template <typename T>
int64_t signed_at(const uint8_t *bytes) {
  T value;
  memcpy(&value, bytes, sizeof value);
  return value;
}

bool is_rel8_opcode(uint8_t byte) {
  return (byte >= 0x70 && byte <= 0x7f) || byte == 0xeb || (byte >= 0xe0 && byte <= 0xe3);
}

bool is_rel32_opcode(const uint8_t *code, size_t position) {
  const uint8_t byte = code[position - 1];
  if (byte == 0xe8 || byte == 0xe9 || byte == 0xf8) return true;
  return byte >= 0x80 && byte <= 0x8f && position >= 2 && code[position - 2] == 0x0f;
}

bool is_rip_modrm(uint8_t byte) { return (byte & 0xc7) == 0x05; }

}  // namespace

bool may_refer_into(code_range function, uintptr_t target, size_t length) {
  const auto *code = reinterpret_cast<const uint8_t *>(function.begin);
  const size_t size = function.end - function.begin;
  // True when an instruction ending at `end` (an offset into the function)
  // with this displacement refers inside the displaced bytes, first byte aside.
  auto lands_inside = [&](size_t end, int64_t displacement) {
    const uintptr_t destination = function.begin + end + static_cast<uintptr_t>(displacement);
    return destination > target && destination < target + length;
  };
  for (size_t p = 1; p < size; ++p) {
    const uint8_t before = code[p - 1];
    if (is_rel8_opcode(before) && lands_inside(p + 1, signed_at<int8_t>(code + p))) return true;
    if (is_rel32_opcode(code, p)) {
      if (p + 2 <= size && lands_inside(p + 2, signed_at<int16_t>(code + p))) return true;
      if (p + 4 <= size && lands_inside(p + 4, signed_at<int32_t>(code + p))) return true;
    }
    if (is_rip_modrm(before) && p + 4 <= size) {
      const int64_t displacement = signed_at<int32_t>(code + p);
      for (size_t immediate : {0, 1, 2, 4})
        if (p + 4 + immediate <= size && lands_inside(p + 4 + immediate, displacement)) return true;
    }
  }
  return false;
}
