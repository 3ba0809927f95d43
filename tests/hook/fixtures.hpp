// The assembly fixtures (fixtures_x86_64.S, fixtures_aarch64.S and
// fixtures_bti_aarch64.S) and what the tests share about them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

extern "C" {
int fixture_endbr64(int);
int fixture_rip_compare(int);
int fixture_jcc_short(int);
int fixture_call(int);
int fixture_internal_branch(int);
int fixture_single(int);
int fixture_straddle_8(int);
int fixture_straddle_16(int);
int fixture_too_short(int);
int fixture_jmp_short(int);
int fixture_ud2(int);
int fixture_jrcxz(int);
int fixture_loop_entry(int);
int fixture_loop_back(int);
int fixture_undecodable(int);
extern volatile uint8_t fixture_flag;

// AArch64
int fixture_a64_adr(int);
int fixture_a64_adrp(int);
int fixture_a64_ldr_w(int);
int fixture_a64_ldr_x(int);
int fixture_a64_ldrsw(int);
int fixture_a64_ldr_q(int);
int fixture_a64_ldr_s(int);
int fixture_a64_prfm(int);
int fixture_a64_b(int);
int fixture_a64_cbz(int);
int fixture_a64_tbnz(int);
int fixture_a64_bl(int);
int fixture_a64_bcond(int);
int fixture_a64_call_via_x9(int (*function)(int), int x);
int fixture_a64_adr_self(int);
int fixture_a64_ldr_self(int);
int fixture_a64_undefined(int);
int fixture_bti_paciasp(int);
int fixture_bti_pacibsp(int);
int fixture_bti_adrp(int);
int fixture_bti_ldr_w(int);
int fixture_bti_cbz(int);
int fixture_bti_b(int);
int fixture_bti_getpid(int);
int fixture_bti_loop_back(int);
int fixture_bti_no_pad(int);
}

using int_function = int (*)(int);

// Bytes at the start of a function, for before/after comparisons.
struct code_bytes {
  uint8_t bytes[16];
  bool operator==(const code_bytes &other) const { return memcmp(bytes, other.bytes, sizeof bytes) == 0; }
};

template <typename F>
code_bytes bytes_at(F *function) {
  code_bytes copy;
  memcpy(copy.bytes, reinterpret_cast<const void *>(function), sizeof copy.bytes);
  return copy;
}

// The permissions column ("r-xp") of /proc/self/maps for the mapping holding `address`.
std::string mapping_permissions(const void *address);
