// The AArch64 relocator on arbitrary words, run on any host as the pure
// transformation it is: the words are read where they lie in a page of the
// host, as if that were the entry, and the trampoline is written for a run
// address somewhere within branch reach. Either the entry is refused with a
// known status, or the trampoline holds, in order, for each displaced word
// an equivalent: the word itself; for adr/adrp an ldr of a pool entry holding
// the original address into the same register; for a literal load an ldr of
// the literal's address followed by a load through it into the same
// register; for a branch the same branch with the original destination (a
// destination among the displaced words lands on their copy); for a
// conditional branch the same condition skipping to a `b` there. It begins
// with a landing pad and ends with a `b` back behind the displaced words
// unless the last of them ends the flow.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "code_page.hpp"
#include "hook/instructions_aarch64.hpp"

namespace {

constexpr size_t PAGE = fuzz::CODE_PAGE;
constexpr size_t TRAMPOLINE_ROOM = 128 - A64_STUB_SIZE;  // a chunk less its stub
uint8_t *code_page = nullptr;

uint32_t word_of(const uint8_t *bytes, size_t offset) {
  uint32_t value;
  memcpy(&value, bytes + offset, sizeof value);
  return value;
}

void require(bool condition) {
  if (!condition) abort();
}

// The destination of the branch word at `at`, which must be of `kind`.
uint64_t branch_to(uint32_t word, uintptr_t at, a64_class kind) {
  uint64_t absolute = 0;
  require(a64_classify(word, at, &absolute) == kind);
  return absolute;
}

// The value an `ldr xN, literal` at `at` loads from the trampoline's pool.
uint64_t literal_value(const uint8_t *out, size_t size, uintptr_t base, uintptr_t at, unsigned rt) {
  const uint32_t word = word_of(out, at - base);
  require((word & 0xff00001f) == (0x58000000 | rt));
  uint64_t address = 0;
  require(a64_classify(word, at, &address) == A64_LITERAL);
  require(address >= base && address + 8 <= base + size && address % 8 == 0);
  uint64_t value;
  memcpy(&value, out + (address - base), sizeof value);
  return value;
}

void check(const a64_entry &code, uintptr_t target, uintptr_t at, const uint8_t *out, size_t size) {
  const bool pad = a64_is_entry_pad(code.insns[0].word);
  require(code.patch_offset == (pad ? 4 : 0) && code.length == 4 * code.count && code.count == (pad ? 2 : 1));
  const uint32_t first = word_of(out, 0);
  require(first == A64_BTI_C || first == A64_BTI_JC || first == A64_PACIASP || first == A64_PACIBSP);
  uintptr_t here = at + (first == code.insns[0].word ? 0 : 4);
  uintptr_t positions[A64_MAX_DISPLACED] = {};
  for (uint8_t i = 0; i < code.count; ++i) {
    const a64_instruction &insn = code.insns[i];
    positions[i] = here;
    uint64_t destination = insn.absolute;
    // Only a word at or before this one can be a destination among them.
    if (destination >= target && destination < target + code.length) destination = positions[(destination - target) / 4];
    const uint32_t word = word_of(out, here - at);
    switch (insn.kind) {
      case A64_COPY:
        require(word == insn.word);
        here += 4;
        break;
      case A64_ADR:
      case A64_ADRP:
        require(literal_value(out, size, at, here, insn.word & 31) == insn.absolute);
        here += 4;
        break;
      case A64_LITERAL: {
        const unsigned base = (word & 31);
        require(literal_value(out, size, at, here, base) == insn.absolute);
        const uint32_t load = word_of(out, here + 4 - at);
        require(((load >> 5) & 31) == base && (load & 31) == (insn.word & 31));
        require(((load >> 26) & 1) == ((insn.word >> 26) & 1));  // general or SIMD&FP alike
        here += 8;
        break;
      }
      case A64_B:
      case A64_BL:
        require(branch_to(word, here, insn.kind) == destination);
        here += 4;
        break;
      case A64_BCOND:
      case A64_CB:
      case A64_TB: {
        const uint32_t field = insn.kind == A64_TB ? 0x3fffu << 5 : 0x7ffffu << 5;
        require((word & ~field) == (insn.word & ~field) && branch_to(word, here, insn.kind) == here + 8);
        require(branch_to(word_of(out, here + 4 - at), here + 4, A64_B) == here + 12);
        require(branch_to(word_of(out, here + 8 - at), here + 8, A64_B) == destination);
        here += 12;
        break;
      }
      case A64_UNDEFINED:
        abort();
    }
  }
  if (code.falls_through) require(branch_to(word_of(out, here - at), here, A64_B) == target + code.length);
  require(code.falls_through == !a64_ends_flow(code.insns[code.count - 1].word));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  code_page = fuzz::map_code_page();
  return 0;
}

// The input: 4 bytes choosing the run address, then the words of the entry.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4 || size - 4 > PAGE) return 0;
  fuzz::load_code_page(code_page, data + 4, size - 4, 0, PROT_READ);

  const auto target = reinterpret_cast<uintptr_t>(code_page);
  a64_entry code;
  uintptr_t detail = 0;
  const int status = a64_analyze_entry(target, target + PAGE, &code, &detail);
  if (status != HOOK_OK) {
    require(status == HOOK_ERROR_DECODE || status == HOOK_ERROR_UNRELOCATABLE);
    require(detail >= target && detail < target + 8);
    return 0;
  }
  require(code.lowest <= target && code.highest >= target + code.length);
  // Anywhere within +-256 MiB, 8-byte aligned: near enough or not.
  int32_t choice;
  memcpy(&choice, data, sizeof choice);
  const uintptr_t at = (target + (static_cast<int64_t>(choice) << 3) / 64) & ~uintptr_t{7};
  uint8_t out[TRAMPOLINE_ROOM];
  const size_t written = a64_relocate_entry(&code, target, at, out, sizeof out);
  if (written == 0) {
    // Refused only when some branch cannot reach from there.
    require(!(a64_fits_branch(at, code.lowest) && a64_fits_branch(at + 64, code.highest) &&
              a64_fits_branch(at + 64, code.lowest) && a64_fits_branch(at, code.highest)));
    return 0;
  }
  require(written <= sizeof out && written % 4 == 0);
  check(code, target, at, out, written);

  uint8_t stub[A64_STUB_SIZE];
  require(a64_emit_stub(stub, code, 0x1122334455667788) == A64_STUB_SIZE);
  const uint32_t expected_first = code.kept_pad == A64_PACIASP   ? A64_AUTIASP
                                  : code.kept_pad == A64_PACIBSP ? A64_AUTIBSP
                                                                 : A64_NOP;
  require(word_of(stub, 0) == expected_first);
  return 0;
}
