// Reading a target's entry: which instructions the patch displaces, whether
// they can run elsewhere, how to rewrite them for the trampoline, and whether
// other code of the function jumps into them. The common entry instructions
// are read by decode_common; the Zydis decoder reads the rest, and is loaded
// (beside the library, through its RUNPATH) only when it is first needed:
// mapping and relocating it would cost every process start more than all
// the rest of the engine's work.
#include <Zydis/Zydis.h>
#include <dlfcn.h>
#include <pthread.h>

#include <cstring>

#include "hook/hook_internal.hpp"

namespace {

struct zydis_api {
  decltype(&ZydisDecoderInit) decoder_init;
  decltype(&ZydisDecoderDecodeFull) decode_full;
  decltype(&ZydisCalcAbsoluteAddress) absolute_address;
};

zydis_api zydis_entry_points;
bool zydis_loaded;
pthread_once_t zydis_once = PTHREAD_ONCE_INIT;

void load_zydis() {
  // Kept for the life of the process: trampolines made with it stay in use.
  void *handle = dlopen(ZYDIS_SONAME_TEXT, RTLD_NOW | RTLD_LOCAL);
  if (!handle) return;
  zydis_api api{};
  api.decoder_init = reinterpret_cast<decltype(api.decoder_init)>(dlsym(handle, "ZydisDecoderInit"));
  api.decode_full = reinterpret_cast<decltype(api.decode_full)>(dlsym(handle, "ZydisDecoderDecodeFull"));
  api.absolute_address = reinterpret_cast<decltype(api.absolute_address)>(dlsym(handle, "ZydisCalcAbsoluteAddress"));
  if (!api.decoder_init || !api.decode_full || !api.absolute_address) return;
  zydis_entry_points = api;
  zydis_loaded = true;
}

// Zydis's entry points, or null when it cannot be loaded (nothing then
// decodes, and hooks that need it are refused).
const zydis_api *zydis() {
  pthread_once(&zydis_once, load_zydis);
  return zydis_loaded ? &zydis_entry_points : nullptr;
}

struct decoded {
  ZydisDecodedInstruction insn;
  ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
};

bool decode_at(uintptr_t ip, uintptr_t end, decoded *out) {
  if (ip >= end) return false;
  const zydis_api *api = zydis();
  if (!api) return false;
  ZydisDecoder decoder;
  if (!ZYAN_SUCCESS(api->decoder_init(&decoder, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64))) return false;
  size_t available = end - ip < MAX_INSTRUCTION ? end - ip : MAX_INSTRUCTION;
  return ZYAN_SUCCESS(api->decode_full(&decoder, reinterpret_cast<const void *>(ip), available,
                                       &out->insn, out->operands));
}

// The address a relative operand refers to.
bool absolute_address(const decoded &d, const ZydisDecodedOperand &op, uintptr_t ip, ZyanU64 *out) {
  const zydis_api *api = zydis();
  return api && ZYAN_SUCCESS(api->absolute_address(&d.insn, &op, ip, out));
}

}  // namespace

bool ends_flow(const ZydisDecodedInstruction &insn) {
  if (insn.meta.category == ZYDIS_CATEGORY_RET || insn.meta.category == ZYDIS_CATEGORY_UNCOND_BR) return true;
  switch (insn.mnemonic) {
    case ZYDIS_MNEMONIC_UD0: case ZYDIS_MNEMONIC_UD1: case ZYDIS_MNEMONIC_UD2:
    case ZYDIS_MNEMONIC_INT3: case ZYDIS_MNEMONIC_HLT:
    case ZYDIS_MNEMONIC_IRET: case ZYDIS_MNEMONIC_IRETD: case ZYDIS_MNEMONIC_IRETQ:
      return true;
    default:
      return false;
  }
}

namespace {

// Branches on rcx that have no rel32 form to widen to.
bool has_no_rel32_form(ZydisMnemonic mnemonic) {
  switch (mnemonic) {
    case ZYDIS_MNEMONIC_LOOP: case ZYDIS_MNEMONIC_LOOPE: case ZYDIS_MNEMONIC_LOOPNE:
    case ZYDIS_MNEMONIC_JRCXZ: case ZYDIS_MNEMONIC_JECXZ: case ZYDIS_MNEMONIC_JCXZ:
    case ZYDIS_MNEMONIC_XBEGIN:
      return true;
    default:
      return false;
  }
}

// The operand that holds an address relative to the next instruction, if any.
const ZydisDecodedOperand *relative_operand(const decoded &d) {
  for (uint8_t i = 0; i < d.insn.operand_count_visible; ++i) {
    const ZydisDecodedOperand &op = d.operands[i];
    if (op.type == ZYDIS_OPERAND_TYPE_IMMEDIATE && op.imm.is_relative) return &op;
    if (op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.base == ZYDIS_REGISTER_RIP) return &op;
  }
  return nullptr;
}

// Fills in how a relative instruction is moved; HOOK_OK or the refusal.
int classify_relative(const decoded &d, uintptr_t ip, displaced_instruction *out) {
  const ZydisDecodedOperand *op = relative_operand(d);
  if (op == nullptr) return HOOK_ERROR_UNRELOCATABLE;
  ZyanU64 absolute = 0;
  if (!absolute_address(d, *op, ip, &absolute)) return HOOK_ERROR_UNRELOCATABLE;
  out->absolute = absolute;
  if (op->type == ZYDIS_OPERAND_TYPE_MEMORY) {
    if (d.insn.raw.disp.size != 32) return HOOK_ERROR_UNRELOCATABLE;
    out->kind = DISPLACED_RIP_MEMORY;
    out->disp_offset = d.insn.raw.disp.offset;
    return HOOK_OK;
  }
  // A 16-bit operand size would truncate rip on some CPUs; nothing real uses it.
  if (d.insn.operand_width != 64) return HOOK_ERROR_UNRELOCATABLE;
  // Only the plain encodings are rewritten: a VEX-encoded branch on a mask
  // register (Knights Corner's jkzd, 0f 84 behind a VEX prefix) would
  // otherwise come out as the jz with the same opcode byte.
  if (d.insn.encoding != ZYDIS_INSTRUCTION_ENCODING_LEGACY) return HOOK_ERROR_UNRELOCATABLE;
  if (d.insn.mnemonic == ZYDIS_MNEMONIC_JMP) {
    out->kind = DISPLACED_JMP;
  } else if (d.insn.mnemonic == ZYDIS_MNEMONIC_CALL) {
    out->kind = DISPLACED_CALL;
  } else if (d.insn.meta.category == ZYDIS_CATEGORY_COND_BR &&
             ((d.insn.opcode_map == ZYDIS_OPCODE_MAP_DEFAULT && (d.insn.opcode & 0xf0) == 0x70) ||
              (d.insn.opcode_map == ZYDIS_OPCODE_MAP_0F && (d.insn.opcode & 0xf0) == 0x80))) {
    out->kind = DISPLACED_JCC;
    out->condition = d.insn.opcode & 0x0f;
  } else {
    return HOOK_ERROR_UNRELOCATABLE;
  }
  return HOOK_OK;
}

size_t relocated_size(const displaced_instruction &insn) {
  switch (insn.kind) {
    case DISPLACED_JMP: return 5;
    case DISPLACED_JCC: return 6;
    case DISPLACED_CALL: return 5;
    default: return insn.length;
  }
}

}  // namespace

int analyze_entry(uintptr_t target, uintptr_t readable_end, displaced_code *out, uintptr_t *detail) {
  memset(out, 0, sizeof *out);
  out->falls_through = true;
  size_t offset = 0;
  while (offset < PATCH_SIZE) {
    uintptr_t ip = target + offset;
    *detail = ip;
    displaced_instruction &insn = out->insns[out->count++];
    insn = displaced_instruction{};
    insn.offset = static_cast<uint8_t>(offset);
    bool ends = false;
    if (ip >= readable_end || !decode_common(ip, readable_end - ip, &insn, &ends)) {
      decoded d;
      if (!decode_at(ip, readable_end, &d)) return HOOK_ERROR_DECODE;
      if (has_no_rel32_form(d.insn.mnemonic)) return HOOK_ERROR_UNRELOCATABLE;
      insn.length = d.insn.length;
      insn.kind = DISPLACED_COPY;
      if (d.insn.attributes & ZYDIS_ATTRIB_IS_RELATIVE) {
        int status = classify_relative(d, ip, &insn);
        if (status != HOOK_OK) return status;
      }
      ends = ends_flow(d.insn);
    }
    memcpy(out->bytes + offset, reinterpret_cast<const void *>(ip), insn.length);
    offset += insn.length;
    if (ends) {
      if (offset < PATCH_SIZE) return HOOK_ERROR_TOO_SHORT;
      out->falls_through = false;
    }
  }
  out->length = static_cast<uint8_t>(offset);

  uintptr_t end = target + offset;
  out->lowest = target;
  out->highest = end;
  for (uint8_t i = 0; i < out->count; ++i) {
    const displaced_instruction &insn = out->insns[i];
    if (insn.kind == DISPLACED_COPY) continue;
    *detail = target + insn.offset;
    if (insn.absolute >= target && insn.absolute < end) {
      // Data read from the patched bytes would change; a branch must land
      // on an instruction that the trampoline also holds.
      if (insn.kind == DISPLACED_RIP_MEMORY) return HOOK_ERROR_UNRELOCATABLE;
      bool on_boundary = false;
      for (uint8_t j = 0; j < out->count; ++j) on_boundary |= target + out->insns[j].offset == insn.absolute;
      if (!on_boundary) return HOOK_ERROR_UNRELOCATABLE;
      continue;
    }
    if (insn.absolute < out->lowest) out->lowest = insn.absolute;
    if (insn.absolute > out->highest) out->highest = insn.absolute;
  }
  return HOOK_OK;
}

int scan_for_branches_into(code_range function, bool sized, uintptr_t target, size_t length,
                           uintptr_t *detail) {
  // Decoding is slow; a function whose bytes hold no possible reference
  // into the patch is settled without it.
  if (!may_refer_into(function, target, length)) return HOOK_OK;
  return decode_for_branches_into(function, sized, target, length, detail);
}

int decode_for_branches_into(code_range function, bool sized, uintptr_t target, size_t length,
                             uintptr_t *detail) {
  uintptr_t ip = function.begin;
  while (ip < function.end) {
    decoded d;
    if (!decode_at(ip, function.end, &d)) {
      // Inside a known function, step over the byte and resynchronise;
      // past an unknown one's end there is no telling what follows.
      if (!sized) break;
      ++ip;
      continue;
    }
    bool displaced = ip >= target && ip < target + length;
    if (!displaced && (d.insn.attributes & ZYDIS_ATTRIB_IS_RELATIVE)) {
      for (uint8_t i = 0; i < d.insn.operand_count_visible; ++i) {
        const ZydisDecodedOperand &op = d.operands[i];
        bool relative = (op.type == ZYDIS_OPERAND_TYPE_IMMEDIATE && op.imm.is_relative) ||
                        (op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.base == ZYDIS_REGISTER_RIP);
        ZyanU64 absolute = 0;
        if (!relative || !absolute_address(d, op, ip, &absolute)) continue;
        if (absolute > target && absolute < target + length) {
          *detail = ip;
          return HOOK_ERROR_BRANCH_INTO_PATCH;
        }
      }
    }
    ip += d.insn.length;
  }
  return HOOK_OK;
}

size_t relocate_entry(const displaced_code *code, uintptr_t target, uintptr_t at, uint8_t *out,
                      size_t capacity) {
  uintptr_t positions[MAX_DISPLACED];
  size_t size = 0;
  for (uint8_t i = 0; i < code->count; ++i) {
    positions[i] = at + size;
    size += relocated_size(code->insns[i]);
  }
  if (size + (code->falls_through ? 5 : 0) > capacity) return 0;

  uint8_t *cursor = out;
  for (uint8_t i = 0; i < code->count; ++i) {
    const displaced_instruction &insn = code->insns[i];
    uintptr_t here = positions[i];
    uintptr_t destination = insn.absolute;
    for (uint8_t j = 0; j < code->count; ++j) {
      if (insn.kind != DISPLACED_RIP_MEMORY && destination == target + code->insns[j].offset) {
        destination = positions[j];  // a branch within the displaced bytes stays within the copy
        break;
      }
    }
    size_t next = here + relocated_size(insn);
    if (insn.kind != DISPLACED_COPY && !fits_rel32(next, destination)) return 0;
    switch (insn.kind) {
      case DISPLACED_COPY:
        memcpy(cursor, code->bytes + insn.offset, insn.length);
        break;
      case DISPLACED_RIP_MEMORY: {
        memcpy(cursor, code->bytes + insn.offset, insn.length);
        auto disp = static_cast<int32_t>(static_cast<int64_t>(destination - next));
        memcpy(cursor + insn.disp_offset, &disp, sizeof disp);
        break;
      }
      case DISPLACED_JMP: emit_jmp_rel32(cursor, here, destination); break;
      case DISPLACED_JCC: emit_jcc_rel32(cursor, insn.condition, here, destination); break;
      case DISPLACED_CALL: emit_call_rel32(cursor, here, destination); break;
    }
    cursor += relocated_size(insn);
  }
  if (code->falls_through) {
    uintptr_t here = at + size;
    if (!fits_rel32(here + 5, target + code->length)) return 0;
    cursor += emit_jmp_rel32(cursor, here, target + code->length);
  }
  return static_cast<size_t>(cursor - out);
}
