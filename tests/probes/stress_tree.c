/* Starts a chain and a fan-out of programs, each a copy of this probe,
 * through execve, posix_spawn, fork+execve and vfork+execve in turn; every
 * second start passes an environment without LD_PRELOAD (the library must
 * put it back). Each started program prints "main" once its main code runs.
 *
 *   probe_stress_tree root MODE CHAIN FAN
 *       configures create_child_process MODE, starts a chain of CHAIN links
 *       and then FAN leaves, and prints "chain_exit N", "fan_exit_0 N",
 *       "fan_exit_222 N", "fan_exit_other N", "started N", "elapsed_ms N".
 *   probe_stress_tree link K N      (K < N starts link K+1)
 *   probe_stress_tree leaf I */
#define _GNU_SOURCE
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "probe_configure.h"

extern char **environ;

static char self_path[4096];
static char *stripped_env[512];

/* The process's environment less LD_PRELOAD. */
static void build_stripped_env(void) {
  int count = 0;
  for (char **entry = environ; *entry && count < 510; ++entry)
    if (strncmp(*entry, "LD_PRELOAD=", 11) != 0) stripped_env[count++] = *entry;
  stripped_env[count] = NULL;
}

/* Starts self with `args` by `method` (0 execve in place, 1 posix_spawn,
 * 2 fork+execve, 3 vfork+execve); returns the exit status, -1 on failure. */
static int start(int method, int strip, char **args) {
  char **env = strip ? stripped_env : environ;
  pid_t pid = -1;
  switch (method) {
    case 0:
      execve(self_path, args, env);
      return -1;
    case 1:
      if (posix_spawn(&pid, self_path, NULL, NULL, args, env) != 0) return -1;
      break;
    case 2:
      pid = fork();
      if (pid == 0) {
        execve(self_path, args, env);
        _exit(127);
      }
      break;
    default:
      pid = vfork();
      if (pid == 0) {
        execve(self_path, args, env);
        _exit(127);
      }
  }
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static int run_link(int k, int n) {
  printf("main link %d\n", k);
  fflush(stdout);
  if (k >= n) return 0;
  char next[16], total[16];
  snprintf(next, sizeof next, "%d", k + 1);
  snprintf(total, sizeof total, "%d", n);
  char *args[] = {self_path, "link", next, total, NULL};
  return start(k % 4, (k / 4) % 2, args);
}

static long elapsed_ms(const struct timespec *start_time) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start_time->tv_sec) * 1000L + (now.tv_nsec - start_time->tv_nsec) / 1000000L;
}

int main(int argc, char **argv) {
  ssize_t length = readlink("/proc/self/exe", self_path, sizeof self_path - 1);
  if (length <= 0) return 2;
  self_path[length] = '\0';
  build_stripped_env();
  if (argc == 4 && strcmp(argv[1], "link") == 0) return run_link(atoi(argv[2]), atoi(argv[3]));
  if (argc == 3 && strcmp(argv[1], "leaf") == 0) {
    printf("main leaf %s\n", argv[2]);
    return 0;
  }
  if (argc != 5 || strcmp(argv[1], "root") != 0) return 2;

  if (!probe_configure_entry()) return 3;
  char document[256];
  snprintf(document, sizeof document, "{\"disable_analytics\":true,\"policy\":{\"create_child_process\":\"%s\"}}",
           argv[2]);
  if (probe_configure(document) == 0) return 4;
  const int chain = atoi(argv[3]), fan = atoi(argv[4]);
  struct timespec start_time;
  clock_gettime(CLOCK_MONOTONIC, &start_time);

  char first[] = "1", total[16];
  snprintf(total, sizeof total, "%d", chain);
  char *chain_args[] = {self_path, "link", first, total, NULL};
  const int chain_exit = chain > 0 ? start(1, 1, chain_args) : 0;

  int exit_0 = 0, exit_222 = 0, exit_other = 0;
  for (int i = 0; i < fan; ++i) {
    char index[16];
    snprintf(index, sizeof index, "%d", i);
    char *args[] = {self_path, "leaf", index, NULL};
    /* The fan-out uses the three methods that make a new process. */
    int status = start(1 + i % 3, (i / 3) % 2, args);
    if (status == 0) ++exit_0;
    else if (status == 222) ++exit_222;
    else ++exit_other;
  }
  printf("chain_exit %d\nfan_exit_0 %d\nfan_exit_222 %d\nfan_exit_other %d\nstarted %d\nelapsed_ms %ld\n", chain_exit,
         exit_0, exit_222, exit_other, chain + fan, elapsed_ms(&start_time));
  return 0;
}
