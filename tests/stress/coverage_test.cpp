// The ways a function can open a file, connect or start a program on Linux,
// each tried for real under a policy that blocks all three rules. The table
// below is the one in docs/coverage.md: "seen" means the library judged the
// attempt (refused it with 222), "unseen" means it went through unjudged.
// A change in either direction fails here and must be reflected there.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "stress_support.hpp"

namespace {

const std::map<std::string, std::string> EXPECTED = {
    // Opening files.
    {"open", "seen"},
    {"open64", "seen"},
    {"__open_2", "seen"},
    {"creat", "seen"},
    {"fopen", "seen"},
    {"fopen64", "seen"},
    {"freopen", "seen"},
    {"openat", "seen"},
    {"openat64", "seen"},
    {"__openat_2", "seen"},
    {"open(\"/tmp\", O_TMPFILE)", "seen"},
    {"syscall(SYS_open)", "seen"},
    {"syscall(SYS_openat)", "seen"},
    {"syscall(SYS_openat2)", "seen"},
    {"openat by a system call instruction of its own", "unseen"},
    // No ring can be made once a rule is at block.
    {"io_uring openat", "ring refused"},
    {"dlmopen libc open", "unseen"},
    {"open in a forked child", "seen"},
    // The C library's own open and what opens through it.
    {"__open_nocancel", "seen"},
    {"fopen with \"c\"", "seen"},
    {"posix_spawn open action", "seen"},
    {"updwtmp", "seen"},
    {"utmpname+getutent", "seen"},
    {"opendir", "seen"},
    // Names made under /tmp without an open.
    {"mkdir", "seen"},
    {"mkdirat", "seen"},
    {"symlink", "seen"},
    {"symlinkat", "seen"},
    {"link", "seen"},
    {"linkat", "seen"},
    {"mkfifo", "seen"},
    {"mknod", "seen"},
    {"mknodat", "seen"},
    {"rename", "seen"},
    {"renameat", "seen"},
    {"renameat2", "seen"},
    {"bind of a Unix socket", "seen"},
    {"syscall(SYS_mkdirat)", "seen"},
    // Connecting.
    {"connect", "seen"},
    {"syscall(SYS_connect)", "seen"},
    {"sendto MSG_FASTOPEN", "seen"},
    {"sendto UDP", "seen"},
    {"sendmsg UDP", "seen"},
    {"sendmmsg UDP", "seen"},
    {"sendto UDP AF_UNSPEC", "seen"},
    {"sendmsg UDP AF_UNSPEC", "seen"},
    {"sendmmsg UDP AF_UNSPEC", "seen"},
    {"connect AF_UNSPEC", "unseen"},  // a disconnect: nothing leaves
    {"connect IPv6", "seen"},
    {"connect IPv4-mapped IPv6", "seen"},
    {"io_uring connect", "ring refused"},
    {"dlmopen libc connect", "unseen"},
    // Starting programs, with the caller's environment and with LD_PRELOAD
    // taken out of it by the caller.
    {"fork+execve", "seen"},
    {"fork+execve without LD_PRELOAD", "seen"},
    {"vfork+execve", "seen"},
    {"vfork+execve without LD_PRELOAD", "seen"},
    {"posix_spawn", "seen"},
    {"posix_spawn without LD_PRELOAD", "seen"},
    {"posix_spawnp", "seen"},
    {"posix_spawnp without LD_PRELOAD", "seen"},
    {"execveat", "seen"},
    {"execveat without LD_PRELOAD", "seen"},
    {"fexecve", "seen"},
    {"fexecve without LD_PRELOAD", "seen"},
    {"syscall(SYS_execve)", "seen"},
    {"syscall(SYS_execve) without LD_PRELOAD", "seen"},
    {"dlmopen libc execve", "seen"},
    {"dlmopen libc execve without LD_PRELOAD", "unseen"},
    {"system", "seen"},
    {"popen", "seen"},
    {"static program (start and its open)", "unseen"},
    // The alert descriptor (whatever is written to it after a dup2 goes
    // where the function chose).
    {"dup2 over 999", "seen"},
    {"dup3 over 999", "seen"},
    {"close(999)", "seen"},
    {"close_range over 999", "seen"},
    {"fcntl(999, F_SETFD, FD_CLOEXEC)", "seen"},
    {"ioctl(999, FIOCLEX)", "seen"},
    {"closefrom(999)", "seen"},
    {"__close_nocancel(999)", "seen"},
    {"syscall(SYS_close, 999)", "seen"},
    // The shared state file.
    {"policy rewritten through openat on the state file", "seen"},
    {"truncate of the state file", "seen"},
    {"ftruncate of the state file", "seen"},
    {"read of /proc/self/mem", "seen"},
    {"mprotect of the record", "seen"},
    {"process_vm_readv of the first process", "seen"},
    {"syscall(SYS_mprotect) of the record", "seen"},
};

TEST(Coverage, EveryWayToOpenConnectOrStartBehavesAsDocumented) {
  TG_SKIP_UNLESS_EXECVEAT();
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;
  // The probe starts itself, by fexecve too, which opens it: a copy outside
  // /tmp, wherever the build lies, so that this open is not judged.
  scratch_directory outside(build_scratch_base());
  const std::string program = outside.file("probe_stress_ways");
  ASSERT_TRUE(std::filesystem::copy_file(probe_path("stress_ways"), program));
  RunOptions options;
  options.argv = {program, scratch.path, probe_path("static_open")};
  options.env = stress_env();
  options.capture_log_fd = true;
  options.timeout_ms = 60000;
  RunResult result = run_process(options);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  ASSERT_TRUE(contains_line(result.out, "done")) << result.out;

  std::map<std::string, std::string> found;
  for (const auto &line : split_lines(result.out)) {
    size_t arrow = line.find(" -> ");
    if (arrow != std::string::npos) found[line.substr(0, arrow)] = line.substr(arrow + 4);
  }
  for (const auto &[way, outcome] : EXPECTED) {
    auto it = found.find(way);
    ASSERT_NE(it, found.end()) << way << " was not tried";
    EXPECT_EQ(it->second, outcome) << way;
  }
  EXPECT_EQ(found.size(), EXPECTED.size());
}

}  // namespace
