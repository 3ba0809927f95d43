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
//
// Most positions are ruled out by their operand's value alone, before
// looking at the byte in front of it: a rel8 reaches only the 128 bytes
// around it, so only positions near the displaced bytes are tried one by
// one; everywhere else sixteen positions at a time are tested for a 4- or
// 2-byte value that would land inside, and only those are tried.
#include <immintrin.h>
// glibc's header is written in C (_Bool), which clang++ does not take.
#define _Bool bool
#include <sys/platform/x86.h>
#undef _Bool

#include <climits>
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

namespace {

// True when the bytes right after position p (1 <= p < size), read as the
// operand that the byte before p may introduce, refer inside the window.
bool position_refers_into(const uint8_t *code, size_t size, size_t p, uintptr_t begin, uintptr_t target,
                          size_t length) {
  // True when an instruction ending at `end` (an offset into the function)
  // with this displacement refers inside the displaced bytes, first byte aside.
  auto lands_inside = [&](size_t end, int64_t displacement) {
    const uintptr_t destination = begin + end + static_cast<uintptr_t>(displacement);
    return destination > target && destination < target + length;
  };
  const uint8_t kinds = FOLLOWERS.kinds[code[p - 1]];
  if (kinds == NOTHING) return false;
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
  return false;
}

// Whether the `read` bytes from position p on may be loaded. Past the
// function's last byte they may, while they stay on that byte's page: a load
// there cannot fault, and the positions it gives past the end are masked off
// (positions_before). A small function is then one or two wide steps, with
// no byte-by-byte tail.
bool readable_past(const uint8_t *code, size_t size, size_t p, size_t read) {
  if (p >= size) return false;
  if (p + read <= size) return true;
  const auto last = reinterpret_cast<uintptr_t>(code + size - 1);
  return ((reinterpret_cast<uintptr_t>(code + p) + read - 1) & ~uintptr_t{NEAR_PAGE_SIZE - 1}) ==
         (last & ~uintptr_t{NEAR_PAGE_SIZE - 1});
}

// One bit for each of the 32 positions from p on that lie inside the function.
uint32_t positions_before(size_t size, size_t p) {
  return size - p >= 32 ? ~uint32_t{0} : (uint32_t{1} << (size - p)) - 1;
}

// Bytes read per step of the wide scan: sixteen positions, and the operand
// of the last one.
constexpr size_t STEP = 16;
constexpr size_t STEP_READ = STEP + 3;

// The positions in [first, first + 16) whose 4- or 2-byte operand, whatever
// byte comes before it, can land in the window: one bit each. Arithmetic is
// on offsets from the function's start, modulo 2^32 and 2^16, so it may set
// a bit that the exact test then clears, never miss one.
//   4 bytes at p: p + 4 + imm + value - window in [1, length) for imm 0..4,
//     so p + 4 + value - window in [-3, length).
//   2 bytes at p: p + 2 + value - window in [1, length) modulo 2^16.
//   1 byte at p (`near` only): p + 1 + value - window in [1, length) modulo 2^8.
// The lanes' position terms start at the first block and move on by 16.
struct wide_scan {
  __m128i at32[4], at16[2], at8;
  __m128i bound32, bound16, bound8;

  wide_scan(size_t first, uint32_t window, uint32_t length) {
    const uint32_t base32 = static_cast<uint32_t>(first) + 4 + 3 - window;
    for (uint32_t k = 0; k < 4; ++k)
      at32[k] = _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(base32 + k)), _mm_set_epi32(12, 8, 4, 0));
    const uint32_t base16 = static_cast<uint32_t>(first) + 2 - 1 - window;
    for (uint32_t k = 0; k < 2; ++k)
      at16[k] = _mm_add_epi16(_mm_set1_epi16(static_cast<int16_t>(base16 + k)), _mm_set_epi16(14, 12, 10, 8, 6, 4, 2, 0));
    at8 = _mm_add_epi8(_mm_set1_epi8(static_cast<int8_t>(static_cast<uint32_t>(first) - window)),
                       _mm_set_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
    // Unsigned "below" as a signed compare of values with the top bit flipped.
    bound32 = _mm_set1_epi32(static_cast<int32_t>((length + 3) ^ 0x80000000u));
    bound16 = _mm_set1_epi16(static_cast<int16_t>(((length - 1) & 0xffff) ^ 0x8000));
    bound8 = _mm_set1_epi8(static_cast<int8_t>(((length - 1) & 0xff) ^ 0x80));
  }

  __attribute__((no_sanitize("address", "thread"))) unsigned candidates(const uint8_t *bytes, bool near) {
    const __m128i flip32 = _mm_set1_epi32(INT32_MIN), flip16 = _mm_set1_epi16(INT16_MIN),
                  flip8 = _mm_set1_epi8(INT8_MIN);
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + 1));
    const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + 2));
    const __m128i b3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + 3));
    auto test32 = [&](__m128i b, __m128i at) {
      return _mm_cmplt_epi32(_mm_xor_si128(_mm_add_epi32(b, at), flip32), bound32);
    };
    auto test16 = [&](__m128i b, __m128i at) {
      return _mm_cmplt_epi16(_mm_xor_si128(_mm_add_epi16(b, at), flip16), bound16);
    };
    __m128i hits = _mm_or_si128(_mm_or_si128(test32(b0, at32[0]), test32(b1, at32[1])),
                                _mm_or_si128(test32(b2, at32[2]), test32(b3, at32[3])));
    hits = _mm_or_si128(hits, _mm_or_si128(test16(b0, at16[0]), test16(b1, at16[1])));
    if (near) hits = _mm_or_si128(hits, _mm_cmplt_epi8(_mm_xor_si128(_mm_add_epi8(b0, at8), flip8), bound8));
    const __m128i step32 = _mm_set1_epi32(STEP), step16 = _mm_set1_epi16(STEP), step8 = _mm_set1_epi8(STEP);
    for (__m128i &at : at32) at = _mm_add_epi32(at, step32);
    for (__m128i &at : at16) at = _mm_add_epi16(at, step16);
    at8 = _mm_add_epi8(at8, step8);
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
  }
};

// The same test, 32 positions at a time, where the processor has AVX2, on
// the operands' low 16 bits alone: a 4- or 2-byte operand that lands in the
// window has low bits x = value + p - window (modulo 2^16) with x + 4 + imm
// in [1, length) (imm 0..4) or x + 2 in [1, length), so x + 7 lies in
// [0, length + 5). Two 16-bit tests (even and odd positions) cover what the
// narrower scan tests six times; the few more positions they let through go
// to the exact test. True as soon as a position refers inside; `*next` gets
// the first position not scanned.
__attribute__((target("avx2"), no_sanitize("address", "thread"))) bool wide_scan_avx2(
    const uint8_t *code, size_t size, uintptr_t begin, uintptr_t target, uint32_t window, uint32_t length,
    size_t near_first, size_t near_end, size_t *next) {
  constexpr size_t WIDE = 32;
  size_t p = 1;
  // Unsigned "below" as a signed compare of values with the top bit flipped.
  // Flipping the top bit is adding half the range, so the position terms
  // carry the flip and the sum needs no xor.
  const uint32_t base16 = static_cast<uint32_t>(p) + 7 - window + 0x8000;
  const __m256i even = _mm256_set_epi16(30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
  __m256i at_even = _mm256_add_epi16(_mm256_set1_epi16(static_cast<int16_t>(base16)), even);
  __m256i at_odd = _mm256_add_epi16(_mm256_set1_epi16(static_cast<int16_t>(base16 + 1)), even);
  __m256i at8 = _mm256_add_epi8(_mm256_set1_epi8(static_cast<int8_t>(static_cast<uint32_t>(p) - window + 0x80)),
                                _mm256_set_epi8(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                                                14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
  const __m256i bound16 = _mm256_set1_epi16(static_cast<int16_t>(((length + 5) & 0xffff) ^ 0x8000));
  const __m256i bound8 = _mm256_set1_epi8(static_cast<int8_t>(((length - 1) & 0xff) ^ 0x80));
  const __m256i step16 = _mm256_set1_epi16(WIDE), step8 = _mm256_set1_epi8(WIDE);
  // Two steps at a time while their 65 bytes lie in the function, with one
  // test for the common case of no candidate in either. The rel8 test, when
  // one of the two steps is near, is made on both: a few more candidates
  // for the exact test, never fewer.
  const __m256i double16 = _mm256_set1_epi16(2 * WIDE), double8 = _mm256_set1_epi8(2 * WIDE);
  for (; p + 2 * WIDE < size; p += 2 * WIDE) {
    const uint8_t *bytes = code + p;
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + 1));
    const __m256i c0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + WIDE));
    const __m256i c1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + WIDE + 1));
    __m256i first = _mm256_or_si256(_mm256_cmpgt_epi16(bound16, _mm256_add_epi16(b0, at_even)),
                                    _mm256_cmpgt_epi16(bound16, _mm256_add_epi16(b1, at_odd)));
    __m256i second =
        _mm256_or_si256(_mm256_cmpgt_epi16(bound16, _mm256_add_epi16(c0, _mm256_add_epi16(at_even, step16))),
                        _mm256_cmpgt_epi16(bound16, _mm256_add_epi16(c1, _mm256_add_epi16(at_odd, step16))));
    if (p + 2 * WIDE > near_first && p < near_end) {
      first = _mm256_or_si256(first, _mm256_cmpgt_epi8(bound8, _mm256_add_epi8(b0, at8)));
      second = _mm256_or_si256(second, _mm256_cmpgt_epi8(bound8, _mm256_add_epi8(c0, _mm256_add_epi8(at8, step8))));
    }
    at_even = _mm256_add_epi16(at_even, double16);
    at_odd = _mm256_add_epi16(at_odd, double16);
    at8 = _mm256_add_epi8(at8, double8);
    const __m256i either = _mm256_or_si256(first, second);
    if (_mm256_testz_si256(either, either)) continue;
    for (size_t half = 0; half < 2; ++half)
      for (auto bits = static_cast<uint32_t>(_mm256_movemask_epi8(half == 0 ? first : second)); bits != 0;
           bits &= bits - 1)
        if (position_refers_into(code, size, p + half * WIDE + static_cast<size_t>(__builtin_ctz(bits)), begin,
                                 target, length)) {
          *next = p;
          return true;
        }
  }
  for (; readable_past(code, size, p, WIDE + 1); p += WIDE) {
    const uint8_t *bytes = code + p;
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + 1));
    __m256i hits = _mm256_or_si256(_mm256_cmpgt_epi16(bound16, _mm256_add_epi16(b0, at_even)),
                                   _mm256_cmpgt_epi16(bound16, _mm256_add_epi16(b1, at_odd)));
    if (p + WIDE > near_first && p < near_end)
      hits = _mm256_or_si256(hits, _mm256_cmpgt_epi8(bound8, _mm256_add_epi8(b0, at8)));
    at_even = _mm256_add_epi16(at_even, step16);
    at_odd = _mm256_add_epi16(at_odd, step16);
    at8 = _mm256_add_epi8(at8, step8);
    // A lane sets the bits of both its bytes: each set bit is one position to test.
    for (auto bits = static_cast<uint32_t>(_mm256_movemask_epi8(hits) & positions_before(size, p)); bits != 0;
         bits &= bits - 1)
      if (position_refers_into(code, size, p + static_cast<size_t>(__builtin_ctz(bits)), begin, target, length)) {
        *next = p;
        return true;
      }
  }
  *next = p;
  return false;
}

}  // namespace

bool may_refer_into(code_range function, uintptr_t target, size_t length) {
  // What the dynamic loader found at start: no cpuid here (in a virtual
  // machine every cpuid is a trip to the hypervisor).
  return may_refer_into_scanning(function, target, length, CPU_FEATURE_ACTIVE(AVX2));
}

bool may_refer_into_scanning(code_range function, uintptr_t target, size_t length, bool avx2) {
  const auto *code = reinterpret_cast<const uint8_t *>(function.begin);
  const size_t size = function.end - function.begin;
  auto exact = [&](size_t p) { return position_refers_into(code, size, p, function.begin, target, length); };
  if (target < function.begin || target - function.begin >= INT32_MAX || size >= INT32_MAX || length > 64) {
    // Outside what the wide scan is written for: every position, one by one.
    for (size_t p = 1; p < size; ++p)
      if (exact(p)) return true;
    return false;
  }
  const auto window = static_cast<uint32_t>(target - function.begin);
  // A rel8 reaches 128 bytes either way: only positions near the window
  // can hold one that lands inside.
  const size_t near_first = window > 130 ? window - 130 : 0;
  const size_t near_end = window + length + 130;
  // 16 or 32 positions at a time: an operand that could land inside, then
  // the exact test of those positions alone.
  size_t p = 1;
  if (avx2) {
    if (wide_scan_avx2(code, size, function.begin, target, window, static_cast<uint32_t>(length), near_first,
                       near_end, &p))
      return true;
  }
  if (p >= size) return false;
  wide_scan scan(p, window, static_cast<uint32_t>(length));
  for (; readable_past(code, size, p, STEP_READ); p += STEP) {
    const bool near = p + STEP > near_first && p < near_end;
    const unsigned bits = scan.candidates(code + p, near) & positions_before(size, p);
    if (bits == 0) continue;
    // A lane sets the bits of all its bytes, so each set bit is one
    // position to test.
    for (size_t i = 0; i < STEP; ++i)
      if (((bits >> i) & 1u) && exact(p + i)) return true;
  }
  for (; p < size; ++p)
    if (exact(p)) return true;
  return false;
}
