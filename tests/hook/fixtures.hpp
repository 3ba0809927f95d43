// The assembly fixtures of fixtures.S and what the tests share about them.
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
