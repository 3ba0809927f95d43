// The hooking engine's prepare on arbitrary machine code placed at the start
// of an executable page of its own. Either prepare refuses with a known
// status and leaves the slot alone, or the trampoline it writes holds, in
// order, one instruction per displaced one that decodes to the same mnemonic,
// whose relative operand (branch target or rip-relative address) is the
// original's, with branches into the displaced bytes landing on the copy,
// followed by a jump back to the first byte after the displaced ones unless
// the last of them ends the flow. Install and uninstall then put the jump in
// and take it out again byte for byte; destroy hands the slot back.
#include <Zydis/Zydis.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "code_page.hpp"
#include "hook/hook.hpp"
#include "hook/hook_internal.hpp"

namespace {

constexpr size_t PAGE = fuzz::CODE_PAGE;
constexpr size_t PATCH = 5;
uint8_t *code_page = nullptr;

struct decoded {
  ZydisDecodedInstruction insn;
  ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
  bool relative;
  uint64_t absolute;
};

bool decode(uintptr_t ip, size_t available, decoded *out) {
  ZydisDecoder decoder;
  ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
  if (!ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder, reinterpret_cast<const void *>(ip),
                                           available < 15 ? available : 15, &out->insn, out->operands)))
    return false;
  out->relative = false;
  out->absolute = 0;
  for (uint8_t i = 0; i < out->insn.operand_count_visible; ++i) {
    const ZydisDecodedOperand &op = out->operands[i];
    bool relative = (op.type == ZYDIS_OPERAND_TYPE_IMMEDIATE && op.imm.is_relative) ||
                    (op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.base == ZYDIS_REGISTER_RIP);
    if (relative && ZYAN_SUCCESS(ZydisCalcAbsoluteAddress(&out->insn, &op, ip, &out->absolute))) {
      out->relative = true;
      break;
    }
  }
  return true;
}

void check_trampoline(uintptr_t target, uintptr_t trampoline) {
  decoded original[PATCH];
  size_t offsets[PATCH];
  size_t count = 0, covered = 0;
  while (covered < PATCH) {
    if (!decode(target + covered, PAGE - covered, &original[count])) abort();  // prepare accepted it
    offsets[count] = covered;
    covered += original[count].insn.length;
    ++count;
  }
  // The copy's instructions, decoded where they run.
  decoded copy[PATCH + 1];
  uintptr_t positions[PATCH + 1];
  uintptr_t ip = trampoline;
  for (size_t i = 0; i <= count; ++i) {
    positions[i] = ip;
    if (!decode(ip, 64, &copy[i])) abort();
    ip += copy[i].insn.length;
  }
  for (size_t i = 0; i < count; ++i) {
    const decoded &from = original[i];
    const decoded &to = copy[i];
    if (from.insn.mnemonic != to.insn.mnemonic || from.relative != to.relative) abort();
    if (!from.relative) {
      if (from.insn.length != to.insn.length ||
          memcmp(reinterpret_cast<const void *>(target + offsets[i]), reinterpret_cast<const void *>(positions[i]),
                 from.insn.length) != 0)
        abort();
      continue;
    }
    uint64_t expected = from.absolute;
    if (expected >= target && expected < target + covered) {
      // Only a branch may point into the displaced bytes, and it must land
      // on the copy of the instruction it pointed at.
      bool found = false;
      for (size_t j = 0; j < count; ++j)
        if (target + offsets[j] == expected) {
          expected = positions[j];
          found = true;
        }
      if (!found) abort();
    }
    if (to.absolute != expected) abort();
  }
  if (!ends_flow(original[count - 1].insn)) {
    const decoded &back = copy[count];
    if (back.insn.mnemonic != ZYDIS_MNEMONIC_JMP || !back.relative || back.absolute != target + covered) abort();
  }
}

int replacement_function() { return 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  code_page = fuzz::map_code_page();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > PAGE) return 0;
  fuzz::load_code_page(code_page, data, size, 0xcc, PROT_READ | PROT_EXEC);

  const auto target = reinterpret_cast<uintptr_t>(code_page);
  void *slot = code_page;
  hook_set *set = hook_set_create();
  if (!set) abort();
  const int status = hook_set_prepare(set, &slot, reinterpret_cast<void *>(&replacement_function));
  if (status != HOOK_OK) {
    if (status < HOOK_ERROR_MEMORY || status > HOOK_ERROR_ARGUMENT || slot != code_page) abort();
    if (hook_set_error_message(set)[0] == '\0') abort();
  } else {
    if (slot == code_page || slot == nullptr) abort();
    check_trampoline(target, reinterpret_cast<uintptr_t>(slot));
    uint8_t before[PATCH];
    memcpy(before, code_page, PATCH);
    if (hook_set_install(set) != HOOK_OK || code_page[0] != 0xe9) abort();
    if (hook_set_uninstall(set) != HOOK_OK || memcmp(before, code_page, PATCH) != 0) abort();
  }
  if (hook_set_destroy(set) != HOOK_OK || slot != code_page) abort();
  return 0;
}
