// The x86-64 code the engine writes: the jumps and calls of trampolines, the
// stub that reaches a replacement anywhere in the address space, and the
// store that puts a patch into code that other threads may be running.
#include <cstring>

#include "hook/hook_internal.hpp"

namespace {

void put_u32(uint8_t *out, uint32_t value) { memcpy(out, &value, sizeof value); }
void put_u64(uint8_t *out, uint64_t value) { memcpy(out, &value, sizeof value); }

int32_t rel32(uintptr_t next, uintptr_t destination) {
  return static_cast<int32_t>(static_cast<int64_t>(destination - next));
}

}  // namespace

bool fits_rel32(uintptr_t from_next, uintptr_t destination) {
  int64_t distance = static_cast<int64_t>(destination - from_next);
  return distance >= INT32_MIN && distance <= INT32_MAX;
}

size_t emit_jmp_rel32(uint8_t *out, uintptr_t at, uintptr_t destination) {
  constexpr uint8_t code[] = {
      0xe9, 0, 0, 0, 0,  // jmp rel32
  };
  memcpy(out, code, sizeof code);
  put_u32(out + 1, rel32(at + sizeof code, destination));
  return sizeof code;
}

size_t emit_jcc_rel32(uint8_t *out, uint8_t condition, uintptr_t at, uintptr_t destination) {
  const uint8_t code[] = {
      0x0f, static_cast<uint8_t>(0x80 | condition), 0, 0, 0, 0,  // jcc rel32
  };
  memcpy(out, code, sizeof code);
  put_u32(out + 2, rel32(at + sizeof code, destination));
  return sizeof code;
}

size_t emit_call_rel32(uint8_t *out, uintptr_t at, uintptr_t destination) {
  constexpr uint8_t code[] = {
      0xe8, 0, 0, 0, 0,  // call rel32
  };
  memcpy(out, code, sizeof code);
  put_u32(out + 1, rel32(at + sizeof code, destination));
  return sizeof code;
}

// The replacement may lie anywhere, so the stub jumps through an address
// stored right after it rather than by a displacement.
size_t emit_absolute_jmp(uint8_t *out, uintptr_t destination) {
  constexpr uint8_t code[] = {
      0xff, 0x25, 0, 0, 0, 0,  // jmp *0x0(%rip)
      0, 0, 0, 0, 0, 0, 0, 0,  // .quad destination
  };
  memcpy(out, code, sizeof code);
  put_u64(out + 6, destination);
  return sizeof code;
}

code_store_kind code_store_kind_for(uintptr_t address, size_t length) {
  uintptr_t last = address + length - 1;
  if ((address & ~uintptr_t{7}) == (last & ~uintptr_t{7})) return STORE_ATOMIC_8;
  if ((address & ~uintptr_t{15}) == (last & ~uintptr_t{15})) return STORE_ATOMIC_16;
  return STORE_PLAIN;
}

namespace {

// cmpxchg16b is the one 16-byte atomic store x86-64 has; a failed compare
// loads the current value, so the loop converges after one retry.
void store_atomic_16(uintptr_t block, size_t offset, const uint8_t *bytes, size_t length) {
  auto *words = reinterpret_cast<uint64_t *>(block);
  uint64_t expected_low = __atomic_load_n(&words[0], __ATOMIC_RELAXED);
  uint64_t expected_high = __atomic_load_n(&words[1], __ATOMIC_RELAXED);
  for (;;) {
    uint8_t wanted[16];
    memcpy(wanted, &expected_low, 8);
    memcpy(wanted + 8, &expected_high, 8);
    memcpy(wanted + offset, bytes, length);
    uint64_t desired_low, desired_high;
    memcpy(&desired_low, wanted, 8);
    memcpy(&desired_high, wanted + 8, 8);
    bool stored;
    asm volatile("lock cmpxchg16b %1"
                 : "=@ccz"(stored), "+m"(*reinterpret_cast<unsigned __int128 *>(block)),
                   "+a"(expected_low), "+d"(expected_high)
                 : "b"(desired_low), "c"(desired_high)
                 : "memory");
    if (stored) return;
  }
}

}  // namespace

// Not instrumented by ThreadSanitizer: it keeps no shadow state for code, and
// a write there is an instruction patch, not a data race it could judge.
__attribute__((no_sanitize("thread"))) void store_code(uintptr_t address, const uint8_t *bytes, size_t length) {
  switch (code_store_kind_for(address, length)) {
    case STORE_ATOMIC_8: {
      uintptr_t block = address & ~uintptr_t{7};
      auto *word = reinterpret_cast<uint64_t *>(block);
      uint64_t value = __atomic_load_n(word, __ATOMIC_RELAXED);
      memcpy(reinterpret_cast<uint8_t *>(&value) + (address - block), bytes, length);
      __atomic_store_n(word, value, __ATOMIC_SEQ_CST);
      return;
    }
    case STORE_ATOMIC_16: {
      uintptr_t block = address & ~uintptr_t{15};
      store_atomic_16(block, address - block, bytes, length);
      return;
    }
    case STORE_PLAIN:
      // Straddles a 16-byte block: no single store covers it. Byte by byte
      // through a volatile pointer, so no memcpy call (which a sanitizer
      // would intercept) is made of it.
      for (size_t i = 0; i < length; ++i) reinterpret_cast<volatile uint8_t *>(address)[i] = bytes[i];
      __atomic_thread_fence(__ATOMIC_SEQ_CST);
      return;
  }
}
