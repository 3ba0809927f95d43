// Parent memory over many program starts: a protected process starts
// /bin/true again and again through posix_spawn and through vfork + execve
// (what Python's subprocess does), with an environment of some 1.6 KB, and
// prints its resident size before and after. The execve replacement runs
// in the child but in the parent's memory, so anything it kept would show
// here as growth.
//
//   bench_exec_memory [starts]      (default 10000 per way)
//
// Re-executes itself under the library (<build>/libtesselguard.so) as the
// first process of an AWS-like function.
#include "resident_memory.hpp"
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {


char *true_argv[] = {const_cast<char *>("/bin/true"), nullptr};

bool start_posix_spawn() {
  pid_t pid;
  if (posix_spawn(&pid, true_argv[0], nullptr, nullptr, true_argv, environ) != 0) return false;
  int status;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool start_vfork() {
  pid_t pid = vfork();
  if (pid == 0) {
    execve(true_argv[0], true_argv, environ);
    _exit(127);
  }
  int status;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int worker(int starts) {
  struct way {
    const char *name;
    bool (*start)();
  } const ways[] = {{"posix_spawn", start_posix_spawn}, {"vfork+execve", start_vfork}};
  int status = 0;
  for (const way &w : ways) {
    // Warm-up: the C library's and the loader's own first-use allocations.
    for (int i = 0; i < 100; ++i) w.start();
    const long before = resident_kib();
    int failed = 0;
    for (int i = 0; i < starts; ++i) failed += !w.start();
    const long after = resident_kib();
    printf("%-13s %6d starts (%d failed)  RSS %6ld kB -> %6ld kB  growth %+ld kB\n", w.name, starts, failed, before,
           after, after - before);
    if (failed) status = 1;
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 2 && strcmp(argv[1], "--worker") == 0) return worker(atoi(argv[2]));
  const int starts = argc > 1 ? atoi(argv[1]) : 10000;
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return 1;
  self[length] = '\0';
  // <build>/bench/<this program>: the library lies in <build>, the libssl
  // compatibility library in <build>/compat.
  std::string build(self);
  build = build.substr(0, build.rfind('/'));
  build = build.substr(0, build.rfind('/'));
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "AWS_EXECUTION_ENV=AWS_Lambda_python3.12",
                                  "LD_PRELOAD=" + build + "/libtesselguard.so", "LD_LIBRARY_PATH=" + build + "/compat",
                                  "PADDING=" + std::string(1400, 'x')};
  std::vector<char *> envp;
  for (auto &entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const std::string count = std::to_string(starts);
  char *args[] = {self, const_cast<char *>("--worker"), const_cast<char *>(count.c_str()), nullptr};
  execve(self, args, envp.data());
  perror("execve");
  return 1;
}
