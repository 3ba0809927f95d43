// The AArch64 code the engine writes: the trampoline that runs a hooked
// function's displaced words elsewhere, the stub that reaches a replacement
// anywhere in the address space, the patch, and its store.
//
// Why these forms. A `b` reaches +-128 MiB, and every branch the trampoline
// makes back into the target's code is a direct `b`: on BTI-guarded pages an
// indirect branch may only land on a landing pad, which the word after a
// displaced one never is. So the chunk lies within `b` reach of the target
// and of every branch destination. Addresses (adr, adrp) and literal loads
// need no reach: their values come from a literal pool behind the code,
// loaded with `ldr xN, literal`. Only the stub jumps indirectly, through x16,
// the register the calling convention leaves to such veneers; `br x16` is
// accepted by the replacement's `bti c` or `paciasp`.
//
// The trampoline is itself called through a pointer, so it begins with a
// landing pad: the copy of the target's pad, or a `bti c` of its own.
#include <cstring>

#include "hook/instructions_aarch64.hpp"

namespace {

constexpr uint32_t LDR_X16_PLUS_12 = 0x58000070;  // ldr x16, .+12
constexpr uint32_t BR_X16 = 0xd61f0200;           // br x16
constexpr uint32_t UDF_0 = 0x00000000;            // udf #0
constexpr unsigned SCRATCH = 17;                  // x17: free at a function's entry
constexpr size_t MAX_WORDS = 16;
constexpr size_t MAX_LITERALS = A64_MAX_DISPLACED;

bool fits_signed(int64_t value, unsigned bits) {
  return value >= -(int64_t{1} << (bits - 1)) && value < (int64_t{1} << (bits - 1));
}

uint32_t branch_word(uint32_t opcode, uintptr_t at, uintptr_t destination) {
  const auto words = static_cast<int64_t>(destination - at) / 4;
  return opcode | (static_cast<uint32_t>(words) & 0x03ffffff);
}

// The load from [xN] that takes a literal load's place once the literal's
// address is in xN.
uint32_t load_through(uint32_t literal_word, unsigned base) {
  const uint32_t opc = literal_word >> 30;
  const uint32_t rt = literal_word & 31;
  const bool vector = (literal_word >> 26) & 1;
  static constexpr uint32_t GENERAL[] = {0xb9400000, 0xf9400000, 0xb9800000, 0xf9800000};  // ldr w, ldr x, ldrsw, prfm
  static constexpr uint32_t VECTOR[] = {0xbd400000, 0xfd400000, 0x3dc00000};               // ldr s, d, q
  return (vector ? VECTOR[opc] : GENERAL[opc]) | (base << 5) | rt;
}

// The register the literal's address goes to: the destination itself when it
// is a general register that the load overwrites anyway, else x17.
unsigned address_register(uint32_t literal_word) {
  const uint32_t rt = literal_word & 31;
  const bool vector = (literal_word >> 26) & 1;
  const bool prefetch = !vector && (literal_word >> 30) == 3;
  return vector || prefetch || rt == 31 ? SCRATCH : rt;
}

size_t words_for(a64_class kind) {
  switch (kind) {
    case A64_LITERAL: return 2;                             // ldr xN, pool; load [xN]
    case A64_BCOND: case A64_CB: case A64_TB: return 3;     // cond -> +8; b over; b destination
    default: return 1;
  }
}

bool accepts_call(uint32_t word) {
  return word == A64_BTI_C || word == A64_BTI_JC || word == A64_PACIASP || word == A64_PACIBSP;
}

struct trampoline_writer {
  uint32_t words[MAX_WORDS];
  size_t count = 0;
  uint64_t literals[MAX_LITERALS];
  size_t literal_count = 0;
  size_t literal_users[MAX_LITERALS];  // the ldr of each literal, its offset filled in at the end

  void put(uint32_t word) { words[count++] = word; }
  void load_literal(unsigned rt, uint64_t value) {
    literal_users[literal_count] = count;
    literals[literal_count++] = value;
    put(0x58000000 | rt);
  }
};

}  // namespace

bool a64_fits_branch(uintptr_t at, uintptr_t destination) {
  const auto distance = static_cast<int64_t>(destination - at);
  return distance % 4 == 0 && fits_signed(distance / 4, 26);
}

size_t a64_emit_branch(uint8_t *out, uintptr_t at, uintptr_t destination) {
  if (!a64_fits_branch(at, destination)) return 0;
  const uint32_t word = branch_word(0x14000000, at, destination);  // b destination
  memcpy(out, &word, sizeof word);
  return sizeof word;
}

size_t a64_emit_stub(uint8_t *out, const a64_entry &code, uintptr_t replacement) {
  uint32_t first = A64_NOP;
  if (code.kept_pad == A64_PACIASP) first = A64_AUTIASP;  // the entry signed the return address
  if (code.kept_pad == A64_PACIBSP) first = A64_AUTIBSP;
  const uint32_t words[] = {first, LDR_X16_PLUS_12, BR_X16, UDF_0};
  memcpy(out, words, sizeof words);
  const uint64_t address = replacement;
  memcpy(out + sizeof words, &address, sizeof address);
  return A64_STUB_SIZE;
}

size_t a64_relocate_entry(const a64_entry *code, uintptr_t target, uintptr_t at, uint8_t *out, size_t capacity) {
  if (code->count == 0 || at % 8 != 0) return 0;
  const size_t lead = accepts_call(code->insns[0].word) ? 0 : 1;
  uintptr_t positions[A64_MAX_DISPLACED];
  size_t planned = lead;
  for (uint8_t i = 0; i < code->count; ++i) {
    positions[i] = at + 4 * planned;
    planned += words_for(code->insns[i].kind);
  }
  if (planned + 1 > MAX_WORDS) return 0;

  trampoline_writer w;
  if (lead) w.put(A64_BTI_C);
  const uintptr_t end = target + code->length;
  for (uint8_t i = 0; i < code->count; ++i) {
    const a64_instruction &insn = code->insns[i];
    const uintptr_t here = at + 4 * w.count;
    uintptr_t destination = insn.absolute;
    // A branch within the displaced words stays within the copy.
    if (destination >= target && destination < end) destination = positions[(destination - target) / 4];
    switch (insn.kind) {
      case A64_COPY:
        w.put(insn.word);
        break;
      case A64_ADR:
      case A64_ADRP:
        w.load_literal(insn.word & 31, insn.absolute);
        break;
      case A64_LITERAL: {
        const unsigned base = address_register(insn.word);
        w.load_literal(base, insn.absolute);
        w.put(load_through(insn.word, base));
        break;
      }
      case A64_B:
      case A64_BL:
        if (!a64_fits_branch(here, destination)) return 0;
        w.put(branch_word(insn.kind == A64_B ? 0x14000000 : 0x94000000, here, destination));
        break;
      case A64_BCOND:
      case A64_CB:
      case A64_TB: {
        // The condition now skips to a `b` that reaches anywhere in range.
        const uint32_t field = insn.kind == A64_TB ? 0x3fffu << 5 : 0x7ffffu << 5;
        if (!a64_fits_branch(here + 8, destination)) return 0;
        w.put((insn.word & ~field) | (2u << 5));                // cond -> here + 8
        w.put(branch_word(0x14000000, here + 4, here + 12));   // not taken: on to the next
        w.put(branch_word(0x14000000, here + 8, destination));
        break;
      }
      case A64_UNDEFINED:
        return 0;
    }
  }
  if (code->falls_through) {
    const uintptr_t here = at + 4 * w.count;
    if (!a64_fits_branch(here, end)) return 0;
    w.put(branch_word(0x14000000, here, end));
  }

  // The pool: 8-byte aligned after the code; each ldr gets its offset.
  const uintptr_t pool = (at + 4 * w.count + 7) & ~uintptr_t{7};
  const size_t size = pool - at + 8 * w.literal_count;
  if (size > capacity) return 0;
  for (size_t i = 0; i < w.literal_count; ++i) {
    const uintptr_t user = at + 4 * w.literal_users[i];
    const auto offset = static_cast<int64_t>(pool + 8 * i - user) / 4;
    w.words[w.literal_users[i]] |= (static_cast<uint32_t>(offset) & 0x7ffff) << 5;
  }
  memset(out, 0, size);
  memcpy(out, w.words, 4 * w.count);
  memcpy(out + (pool - at), w.literals, 8 * w.literal_count);
  return size;
}

// Not instrumented by ThreadSanitizer: a write to code is an instruction
// patch, not a data race it could judge.
__attribute__((no_sanitize("thread"))) void a64_store_code(uintptr_t address, const uint8_t *bytes, size_t length) {
  if (address % 4 == 0 && length % 4 == 0) {
    // One single-copy-atomic store per word: a thread fetching it sees the
    // old word or the new, never a mix.
    for (size_t i = 0; i < length; i += 4) {
      uint32_t word;
      memcpy(&word, bytes + i, sizeof word);
      __atomic_store_n(reinterpret_cast<uint32_t *>(address + i), word, __ATOMIC_SEQ_CST);
    }
  } else {
    for (size_t i = 0; i < length; ++i) reinterpret_cast<volatile uint8_t *>(address)[i] = bytes[i];
  }
  a64_flush_code(address, address + length);
}

void a64_flush_code(uintptr_t begin, uintptr_t end) {
#if defined(__aarch64__)
  // The cache maintenance that GCC's __builtin___clear_cache leaves to
  // libgcc_s, written out: the library needs no more than libc. The data
  // cache is cleaned to the point of unification, the instruction cache
  // invalidated, each unless the cache type register says it is not needed.
  uint64_t cache_type;
  asm volatile("mrs %0, ctr_el0" : "=r"(cache_type));
  const uintptr_t data_line = uintptr_t{4} << ((cache_type >> 16) & 0xf);
  const uintptr_t instruction_line = uintptr_t{4} << (cache_type & 0xf);
  if (!(cache_type & (uint64_t{1} << 28)))
    for (uintptr_t line = begin & ~(data_line - 1); line < end; line += data_line)
      asm volatile("dc cvau, %0" : : "r"(line) : "memory");
  asm volatile("dsb ish" : : : "memory");
  if (!(cache_type & (uint64_t{1} << 29)))
    for (uintptr_t line = begin & ~(instruction_line - 1); line < end; line += instruction_line)
      asm volatile("ic ivau, %0" : : "r"(line) : "memory");
  asm volatile("dsb ish\n\tisb" : : : "memory");
#else
  // Built on another host for the fuzz target, where nothing runs this code.
  (void)begin;
  (void)end;
#endif
}
