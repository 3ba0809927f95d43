// The instructions that C library functions begin with, decoded without the
// full decoder.
//
// Preparing the hooks needs only the first instruction or two of each
// function: a push, a mov of a register or an immediate, a compare with a
// rip-relative byte, an endbr64. Loading the full decoder costs every
// process start more than everything else the engine does, so these common
// forms are read here, and the decoder is loaded only for anything else.
// What is accepted here is decoded exactly (the test compares it with the
// full decoder over random bytes); whatever is not certain is refused.
#include <cstring>
#include <initializer_list>

#include "hook/hook_internal.hpp"

namespace {

// What follows the opcode (and its modrm byte, when it has one).
enum immediate : uint8_t { IMM_NONE = 0, IMM_8 = 1, IMM_32 = 4 };

struct modrm_form {
  bool known = false;
  immediate imm = IMM_NONE;
  uint8_t only_reg = 0xff;  // the one reg field allowed (an opcode extension), 0xff for any
};

// One-byte opcodes with a modrm byte that need no prefix but REX.
constexpr auto ONE_BYTE_MODRM = [] {
  struct table {
    modrm_form forms[256];
  } t;
  // add, or, adc, sbb, and, sub, xor, cmp: r/m,r and r,r/m, 8 and 32/64 bits.
  for (int base = 0x00; base <= 0x38; base += 0x08)
    for (int op = base; op < base + 4; ++op) t.forms[op] = modrm_form{true, IMM_NONE, 0xff};
  for (int op : {0x63, 0x84, 0x85, 0x88, 0x89, 0x8a, 0x8b, 0x8d}) t.forms[op] = modrm_form{true, IMM_NONE, 0xff};
  t.forms[0x80] = {true, IMM_8, 0xff};   // group 1, imm8
  t.forms[0x83] = {true, IMM_8, 0xff};   // group 1, sign-extended imm8
  t.forms[0x81] = {true, IMM_32, 0xff};  // group 1, imm32
  t.forms[0xc1] = {true, IMM_8, 0xff};   // group 2: shifts and rotates by imm8 (mknodat begins with shr)
  t.forms[0xc6] = {true, IMM_8, 0};      // mov r/m8, imm8
  t.forms[0xc7] = {true, IMM_32, 0};     // mov r/m, imm32 (c7 f8 is xbegin: reg 7)
  t.forms[0xf6] = {true, IMM_8, 0};      // test r/m8, imm8
  t.forms[0xf7] = {true, IMM_32, 0};     // test r/m, imm32
  return t;
}();

// Bytes taken by the modrm byte, its SIB and its displacement; 0 when they
// do not fit. `rip_disp` gets the offset of a rip-relative disp32 from the
// modrm byte, or stays 0.
size_t modrm_length(const uint8_t *code, size_t available, size_t *rip_disp) {
  if (available < 1) return 0;
  const uint8_t modrm = code[0];
  const uint8_t mod = modrm >> 6, rm = modrm & 7;
  size_t length = 1;
  if (mod != 3 && rm == 4) {
    if (available < 2) return 0;
    const uint8_t sib = code[1];
    length = 2;
    if (mod == 0 && (sib & 7) == 5) length += 4;
  } else if (mod == 0 && rm == 5) {
    *rip_disp = 1;
    length += 4;
  }
  if (mod == 1) length += 1;
  if (mod == 2) length += 4;
  return length <= available ? length : 0;
}

int32_t read_s32(const uint8_t *bytes) {
  int32_t value;
  memcpy(&value, bytes, sizeof value);
  return value;
}

}  // namespace

bool decode_common(uintptr_t ip, size_t available, displaced_instruction *out, bool *ends_flow) {
  const auto *code = reinterpret_cast<const uint8_t *>(ip);
  if (available > MAX_INSTRUCTION) available = MAX_INSTRUCTION;
  *ends_flow = false;
  out->kind = DISPLACED_COPY;
  auto done = [&](size_t length) {
    if (length == 0 || length > available) return false;
    out->length = static_cast<uint8_t>(length);
    return true;
  };
  if (available >= 4 && memcmp(code, "\xf3\x0f\x1e\xfa", 4) == 0) return done(4);  // endbr64
  // At most one REX prefix, right before the opcode; no other prefix.
  size_t at = 0;
  uint8_t rex = 0;
  if (available >= 1 && (code[0] & 0xf0) == 0x40) {
    rex = code[0];
    at = 1;
  }
  if (at >= available) return false;
  const uint8_t op = code[at];
  if (op >= 0x50 && op <= 0x5f) return done(at + 1);  // push, pop
  if (op == 0x6a) return done(at + 2);                  // push imm8 (posix_spawn)
  if (op == 0x68) return done(at + 5);                  // push imm32
  if (op >= 0xb8 && op <= 0xbf) return done(at + 1 + ((rex & 0x08) ? 8 : 4));  // mov reg, imm
  if (op == 0x90 && rex == 0) return done(1);          // nop
  if (rex == 0) {
    if (op == 0xc3 || op == 0xcc) {  // ret, int3
      *ends_flow = true;
      return done(1);
    }
    // Relative branches, in the plain encodings only.
    auto branch = [&](displaced_kind kind, size_t length, int64_t displacement) {
      if (length > available) return false;
      out->kind = kind;
      out->absolute = ip + length + static_cast<uint64_t>(displacement);
      return done(length);
    };
    if (op == 0xe8 && available >= 5) return branch(DISPLACED_CALL, 5, read_s32(code + 1));
    if (op == 0xe9 && available >= 5) {
      *ends_flow = true;
      return branch(DISPLACED_JMP, 5, read_s32(code + 1));
    }
    if (op == 0xeb && available >= 2) {
      *ends_flow = true;
      return branch(DISPLACED_JMP, 2, static_cast<int8_t>(code[1]));
    }
    if (op >= 0x70 && op <= 0x7f && available >= 2) {
      out->condition = op & 0x0f;
      return branch(DISPLACED_JCC, 2, static_cast<int8_t>(code[1]));
    }
    if (op == 0x0f && available >= 6 && (code[1] & 0xf0) == 0x80) {
      out->condition = code[1] & 0x0f;
      return branch(DISPLACED_JCC, 6, read_s32(code + 2));
    }
  }
  // Two-byte opcodes with a modrm byte: movzx, movsx, nop r/m.
  size_t opcode_length = 1;
  modrm_form form = ONE_BYTE_MODRM.forms[op];
  if (op == 0x0f && at + 1 < available) {
    const uint8_t second = code[at + 1];
    opcode_length = 2;
    if (second == 0xb6 || second == 0xb7 || second == 0xbe || second == 0xbf) form = {true, IMM_NONE, 0xff};
    else if (second == 0x1f) form = {true, IMM_NONE, 0};
    else return false;
  }
  if (!form.known) return false;
  const size_t modrm_at = at + opcode_length;
  if (modrm_at >= available) return false;
  if (form.only_reg != 0xff && ((code[modrm_at] >> 3) & 7) != form.only_reg) return false;
  if (op == 0x8d && (code[modrm_at] >> 6) == 3) return false;  // lea needs a memory operand
  size_t rip_disp = 0;
  const size_t modrm_bytes = modrm_length(code + modrm_at, available - modrm_at, &rip_disp);
  if (modrm_bytes == 0) return false;
  const size_t length = modrm_at + modrm_bytes + form.imm;
  if (length > available) return false;
  if (rip_disp != 0) {
    out->kind = DISPLACED_RIP_MEMORY;
    out->disp_offset = static_cast<uint8_t>(modrm_at + rip_disp);
    out->absolute = ip + length + static_cast<uint64_t>(static_cast<int64_t>(read_s32(code + out->disp_offset)));
  }
  return done(length);
}
