// What the preloaded library makes the loader map into every process: the C
// library and the loader, nothing else (cJSON and Zydis are opened at their
// first use). The C++ run-time (with libm and libgcc_s) once came in through
// one standard-library call and tripled the cost of every process start.
#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "process_runner.hpp"

namespace {

// The DT_NEEDED names of an ELF64 shared object, read from its file.
std::set<std::string> needed_libraries(const std::string &path) {
  std::set<std::string> names;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) return names;
  void *map = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return names;
  const auto *base = static_cast<const char *>(map);
  const auto *header = reinterpret_cast<const Elf64_Ehdr *>(base);
  const auto *sections = reinterpret_cast<const Elf64_Shdr *>(base + header->e_shoff);
  for (int i = 0; i < header->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_DYNAMIC) continue;
    const char *strings = base + sections[sections[i].sh_link].sh_offset;
    const auto *entry = reinterpret_cast<const Elf64_Dyn *>(base + sections[i].sh_offset);
    for (; entry->d_tag != DT_NULL; ++entry)
      if (entry->d_tag == DT_NEEDED) names.insert(strings + entry->d_un.d_val);
  }
  munmap(map, static_cast<size_t>(info.st_size));
  return names;
}

TEST(LibraryDependencies, OnlyTheCLibraryAndTheLoader) {
  // A sanitizer build links its runtimes (and the C++ library they need).
  TG_SKIP_IF_SANITIZED();
#if defined(__aarch64__)
  // TLS descriptors need nothing of the loader by name.
  const std::set<std::string> expected = {"libc.so.6"};
#else
  const std::set<std::string> expected = {"libc.so.6", "ld-linux-x86-64.so.2"};
#endif
  EXPECT_EQ(needed_libraries(library_path()), expected);
}

#if defined(__aarch64__)
// Marked for BTI, the loader guards the library's pages where the processor
// has BTI (glibc on Amazon Linux 2023 does): an indirect branch into the
// library may land only on a landing pad, so code that takes over a pointer
// cannot jump into the middle of its functions.
TEST(LibraryDependencies, MarkedForBtiAndACallPastALandingPadFaults) {
  EXPECT_EQ(aarch64_features(library_path()) & GNU_PROPERTY_AARCH64_FEATURE_1_BTI,
            uint32_t{GNU_PROPERTY_AARCH64_FEATURE_1_BTI});
  if (!processor_has_bti()) GTEST_SKIP() << "this processor has no BTI";
  // The emulator's processor (qemu reads QEMU_CPU) is the test's own.
  const char *cpu = getenv("QEMU_CPU");
  std::vector<std::string> env = aws_env();
  env.push_back(std::string("QEMU_CPU=") + (cpu ? cpu : "max"));
  EXPECT_EQ(run_probe("call_past_pad", {}, env).out, "fault at entry+4\n");
  // The same call on a processor without BTI runs.
  if (cpu) {
    env.back() = "QEMU_CPU=cortex-a72";
    EXPECT_EQ(run_probe("call_past_pad", {}, env).out, "returned\n");
  }
}
#endif

}  // namespace
