#include "forked_child.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

child_result run_in_child(const std::function<void()> &body) {
  child_result result;
  int out[2];
  if (pipe(out) != 0) {
    result.out = "pipe failed";
    result.status = -1;
    return result;
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    setvbuf(stdout, nullptr, _IONBF, 0);
    body();
    _exit(0);
  }
  close(out[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  waitpid(pid, &result.status, 0);
  return result;
}
