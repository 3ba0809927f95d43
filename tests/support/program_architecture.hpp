// Whether the library can be loaded into a program the tests start. The
// arm64 run (scripts/test-arm64.sh) cross-builds the library and the C
// probes for arm64 on an x86-64 machine, where the machine's own programs
// (python3, node, sh, cat, ...) stay x86-64: a test that preloads the
// library into one of them skips itself, by what the program is, not by a
// list of test names.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

// "" when the library can be loaded into `program` (a path, or a name looked
// up on PATH; a script counts as its interpreter, `#!/usr/bin/env NAME` as
// NAME), or when that cannot be told; else why not, in one line.
std::string library_cannot_load_into(const std::string &program);

// Skips the test when the library cannot be loaded into `program`.
#define TG_SKIP_UNLESS_LIBRARY_LOADS_INTO(program)                                           \
  if (const std::string tg_why_not = library_cannot_load_into(program); !tg_why_not.empty()) \
  GTEST_SKIP() << tg_why_not

// Whether the kernel, or the emulator the tests run under, starts programs
// through execveat (and so fexecve): qemu-user 7.2 answers ENOSYS.
bool execveat_available();

#define TG_SKIP_UNLESS_EXECVEAT() \
  if (!execveat_available()) GTEST_SKIP() << "execveat is not available here (qemu-user 7.2 lacks it)"

// The AArch64 feature bits (BTI 1, PAC 2) of an ELF64 file's GNU property
// note; 0 when it has none.
uint32_t aarch64_features(const std::string &path);
// Whether the processor the test runs on guards pages marked for BTI.
bool processor_has_bti();

// A shared object of the tests' own processor that is neither OpenSSL nor the
// resolver, to copy under such a name: the cJSON beside the library.
std::string plain_shared_object();

// Whether programs the tests start see their environment in the reverse of
// the order they were given it (qemu-user 7.2 hands it over reversed).
bool started_programs_see_the_environment_reversed();
