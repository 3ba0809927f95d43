// A quick look at a function's bytes, before any decoding, for a relative
// reference that could land inside the bytes a patch displaces.
//
// Decoding a large function instruction by instruction is the slow part of
// preparing a hook (getaddrinfo alone is some 2000 instructions). But every
// relative operand of x86-64 sits right after one known byte:
//   - rel8 after the opcode of jcc (70-7f), jmp (eb), loop*/jrcxz (e0-e3);
//   - rel16 or rel32 after call (e8), jmp (e9), jcc (80-8f, after 0f or,
//     for the mask branches of Knights Corner that the decoder also knows,
//     after a VEX prefix) and xbegin (c7 f8, its modrm byte);
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

// What may follow a byte: a rel8, a rel16/rel32 (the jcc opcodes 80-8f only
// behind 0f or a VEX, EVEX or XOP prefix), a rip-relative disp32 (a modrm
// byte with mod 00, rm 101).
enum follower : uint8_t { NOTHING = 0, REL8 = 1, REL32 = 2, JCC_REL32 = 4, RIP_DISP32 = 8 };

// The jcc opcode at code[position - 1] follows 0f, or ends a VEX (c5 xx,
// c4 xx xx), XOP (8f xx xx) or EVEX (62 xx xx xx) prefix.
bool is_escaped_jcc(const uint8_t *code, size_t position) {
  if (position >= 2 && code[position - 2] == 0x0f) return true;
  if (position >= 3 && code[position - 3] == 0xc5) return true;
  if (position >= 4 && (code[position - 4] == 0xc4 || code[position - 4] == 0x8f)) return true;
  return position >= 5 && code[position - 5] == 0x62;
}

constexpr auto FOLLOWERS = [] {
  struct table {
    uint8_t kinds[256] = {};
  } t;
  for (int b = 0x70; b <= 0x7f; ++b) t.kinds[b] |= REL8;
  for (int b = 0xe0; b <= 0xe3; ++b) t.kinds[b] |= REL8;
  t.kinds[0xeb] |= REL8;
  t.kinds[0xe8] |= REL32;
  t.kinds[0xe9] |= REL32;
  t.kinds[0xf8] |= REL32;
  for (int b = 0x80; b <= 0x8f; ++b) t.kinds[b] |= JCC_REL32;
  for (int b = 0; b < 256; ++b)
    if ((b & 0xc7) == 0x05) t.kinds[b] |= RIP_DISP32;
  return t;
}();

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
    const uint8_t kinds = FOLLOWERS.kinds[code[p - 1]];
    if (kinds == NOTHING) continue;
    if ((kinds & REL8) && lands_inside(p + 1, signed_at<int8_t>(code + p))) return true;
    if ((kinds & REL32) || ((kinds & JCC_REL32) && is_escaped_jcc(code, p))) {
      if (p + 2 <= size && lands_inside(p + 2, signed_at<int16_t>(code + p))) return true;
      if (p + 4 <= size && lands_inside(p + 4, signed_at<int32_t>(code + p))) return true;
    }
    if ((kinds & RIP_DISP32) && p + 4 <= size) {
      const int64_t displacement = signed_at<int32_t>(code + p);
      for (size_t immediate : {0, 1, 2, 4})
        if (p + 4 + immediate <= size && lands_inside(p + 4 + immediate, displacement)) return true;
    }
  }
  return false;
}
