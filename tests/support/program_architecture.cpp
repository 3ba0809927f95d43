#include "program_architecture.hpp"

#include <elf.h>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "process_runner.hpp"

namespace {

std::string on_path(const std::string &name) {
  if (name.find('/') != std::string::npos) return name;
  const char *search = getenv("PATH");
  std::string folders = search ? search : "/usr/local/bin:/usr/bin:/bin";
  for (size_t start = 0; start <= folders.size();) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

std::string first_bytes(const std::string &path, size_t count) {
  std::string bytes(count, '\0');
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd >= 0 ? read(fd, bytes.data(), count) : -1;
  if (fd >= 0) close(fd);
  bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return bytes;
}

// The ELF machine of the program that runs `program`: its own, or that of
// its script's interpreter. 0 when unknown.
int machine_of(const std::string &program, std::string *resolved, int depth = 0) {
  *resolved = on_path(program);
  const std::string head = first_bytes(*resolved, 256);
  if (head.size() >= sizeof(Elf64_Ehdr) && head.compare(0, SELFMAG, ELFMAG) == 0)
    return reinterpret_cast<const Elf64_Ehdr *>(head.data())->e_machine;
  if (depth > 3 || head.compare(0, 2, "#!") != 0) return 0;
  std::string line = head.substr(2, head.find('\n') - 2);
  const size_t begin = line.find_first_not_of(" \t");
  if (begin == std::string::npos) return 0;
  line = line.substr(begin);
  const size_t gap = line.find_first_of(" \t");
  std::string interpreter = line.substr(0, gap);
  if (interpreter == "/usr/bin/env" && gap != std::string::npos) {
    const size_t name = line.find_first_not_of(" \t", gap);
    if (name != std::string::npos) interpreter = line.substr(name, line.find_first_of(" \t", name) - name);
  }
  return machine_of(interpreter, resolved, depth + 1);
}

const char *machine_name(int machine) {
  switch (machine) {
    case EM_X86_64: return "x86-64";
    case EM_AARCH64: return "aarch64";
    default: return "another processor";
  }
}

}  // namespace

std::string library_cannot_load_into(const std::string &program) {
  std::string library_file, program_file;
  const int library = machine_of(library_path(), &library_file);
  const int runs = machine_of(program, &program_file);
  if (library == 0 || runs == 0 || library == runs) return "";
  return program_file + " is " + machine_name(runs) + " code, the library " + machine_name(library) +
         ": it cannot be loaded there";
}

bool execveat_available() {
  // A descriptor that cannot be valid: EBADF where the call exists.
  return !(syscall(SYS_execveat, -1, "", nullptr, nullptr, 0) == -1 && errno == ENOSYS);
}

uint32_t aarch64_features(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  const std::string elf((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (elf.size() < sizeof(Elf64_Ehdr) || elf.compare(0, SELFMAG, ELFMAG) != 0) return 0;
  Elf64_Ehdr header;
  memcpy(&header, elf.data(), sizeof header);
  uint32_t features = 0;
  for (size_t i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr segment;
    const size_t at = header.e_phoff + i * sizeof segment;
    if (at + sizeof segment > elf.size()) break;
    memcpy(&segment, elf.data() + at, sizeof segment);
    if (segment.p_type != PT_GNU_PROPERTY || segment.p_offset + segment.p_filesz > elf.size()) continue;
    // One note, "GNU": its properties from byte 16 on, each type, size, data.
    for (size_t p = 16; p + 12 <= segment.p_filesz;) {
      uint32_t word[3];
      memcpy(word, elf.data() + segment.p_offset + p, sizeof word);
      if (word[0] == GNU_PROPERTY_AARCH64_FEATURE_1_AND) features = word[2];
      p += (8 + word[1] + 7) & ~size_t{7};
    }
  }
  return features;
}

bool processor_has_bti() {
#if defined(__aarch64__)
  constexpr unsigned long HWCAP2_BTI_BIT = 1ul << 17;
  return (getauxval(AT_HWCAP2) & HWCAP2_BTI_BIT) != 0;
#else
  return false;
#endif
}

std::string plain_shared_object() {
  return (std::filesystem::path(library_path()).parent_path() / "libcjson.so.1").string();
}

bool started_programs_see_the_environment_reversed() {
  static const bool reversed = [] {
    RunOptions run;
    run.argv = {probe_path("intercept_env_dump")};
    run.env = {"TG_ORDER_FIRST=1", "TG_ORDER_SECOND=2"};
    run.preload = false;
    return run_process(run).out.rfind("env TG_ORDER_SECOND=2\n", 0) == 0;
  }();
  return reversed;
}
