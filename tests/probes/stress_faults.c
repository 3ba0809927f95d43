/* Runs its arguments as actions under fault conditions and prints one line
 * per action, "<kind> -> ok", "-> errno N" or "-> exit N" (the argument is
 * never echoed: it may hold line feeds).
 *
 *   configure:JSON   tesselguard_configure; later documents get the cookie
 *   open:PATH        open read-write with O_CREAT
 *   fopen:PATH       fopen "w"
 *   close999raw      close descriptor 999 with a direct system call
 *   truncatestate    truncate the state file to 0 bytes with a system-call
 *                    instruction of its own (the C library's syscall() is watched)
 *   exec:N           a forked child runs /bin/true with N more arguments
 *   execstrip:PROG   a forked child runs PROG without LD_PRELOAD in the
 *                    environment it passes
 *   mallocfail:K:WHAT  K rounds; in round k the k-th allocation from then on
 *                    fails (and every one after it), while WHAT runs: one of
 *                    open:PATH, fopen:PATH, connect (to a listener of its own
 *                    on 127.0.0.2) or exec (fork + execve /bin/true);
 *                    prints "mallocfail k -> ..." per round
 *
 * This program defines malloc, calloc and realloc itself, so the library
 * and the C library allocate through them. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "own_system_call.h"
#include "probe_configure.h"

extern char **environ;
extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

/* Allocations left before they start failing; -1: never. */
static volatile long allocations_left = -1;

static int allocation_fails(void) {
  if (allocations_left < 0) return 0;
  if (allocations_left == 0) return 1;
  --allocations_left;
  return 0;
}

void *malloc(size_t size) {
  if (allocation_fails()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
  if (allocation_fails()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}

void *realloc(void *pointer, size_t size) {
  if (allocation_fails()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(pointer, size);
}

static struct sockaddr_in listener_address;

static void print_errno(const char *kind, int ok, int error) {
  if (ok) printf("%s -> ok\n", kind);
  else printf("%s -> errno %d\n", kind, error);
}

static int wait_exit(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static int run_exec(int extra, int strip, const char *program) {
  pid_t pid = fork();
  if (pid == 0) {
    char **args = __libc_calloc((size_t)extra + 2, sizeof(char *));
    args[0] = (char *)program;
    for (int i = 1; i <= extra; ++i) args[i] = "argument-with-some-length";
    char *stripped[512];
    int count = 0;
    for (char **entry = environ; *entry && count < 510; ++entry)
      if (!strip || strncmp(*entry, "LD_PRELOAD=", 11) != 0) stripped[count++] = *entry;
    stripped[count] = NULL;
    execve(program, args, stripped);
    _exit(127);
  }
  return wait_exit(pid);
}

static void ensure_listener(void) {
  if (listener_address.sin_port) return;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  listener_address.sin_family = AF_INET;
  listener_address.sin_addr.s_addr = inet_addr("127.0.0.2");
  socklen_t length = sizeof listener_address;
  if (bind(listener, (struct sockaddr *)&listener_address, sizeof listener_address) != 0 ||
      listen(listener, 1024) != 0 || getsockname(listener, (struct sockaddr *)&listener_address, &length) != 0)
    exit(5);
}

/* One attempt of WHAT; the outcome as text in `out`. */
static void attempt(const char *what, char *out, size_t size) {
  int ok = 0, error = 0;
  if (strncmp(what, "open:", 5) == 0) {
    int fd = open(what + 5, O_RDWR | O_CREAT, 0600);
    ok = fd >= 0;
    error = errno;
    if (fd >= 0) close(fd);
  } else if (strncmp(what, "fopen:", 6) == 0) {
    FILE *file = fopen(what + 6, "w");
    ok = file != NULL;
    error = errno;
    if (file) fclose(file);
  } else if (strcmp(what, "connect") == 0) {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    ok = connect(sock, (struct sockaddr *)&listener_address, sizeof listener_address) == 0;
    error = errno;
    close(sock);
  } else if (strcmp(what, "exec") == 0) {
    /* The failing allocations start in the child, right before execve. */
    long left = allocations_left;
    allocations_left = -1;
    pid_t pid = fork();
    if (pid == 0) {
      char *args[] = {"/bin/true", NULL};
      allocations_left = left;
      execve("/bin/true", args, environ);
      _exit(127);
    }
    snprintf(out, size, "exit %d", wait_exit(pid));
    return;
  }
  if (ok) snprintf(out, size, "ok");
  else snprintf(out, size, "errno %d", error);
}


int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *action = argv[i];
    if (strncmp(action, "configure:", 10) == 0) {
      if (!probe_configure_entry()) return 3;
      printf("configure -> %s\n", probe_configure(action + 10) ? "cookie" : "0");
    } else if (strncmp(action, "open:", 5) == 0 || strncmp(action, "fopen:", 6) == 0) {
      char outcome[64];
      attempt(action, outcome, sizeof outcome);
      printf("%s -> %s\n", action[0] == 'o' ? "open" : "fopen", outcome);
    } else if (strcmp(action, "close999raw") == 0) {
      const long result = own_system_call(SYS_close, 999, 0, 0, 0);
      print_errno("close999raw", result == 0, errno);
    } else if (strcmp(action, "truncatestate") == 0) {
      const char *state_path = getenv("TESSELGUARD_STATE_PATH");
      errno = EINVAL;
      const long result = state_path ? own_system_call(SYS_truncate, (long)state_path, 0, 0, 0) : -1;
      print_errno("truncatestate", result == 0, errno);
    } else if (strncmp(action, "exec:", 5) == 0) {
      printf("exec -> exit %d\n", run_exec(atoi(action + 5), 0, "/bin/true"));
    } else if (strncmp(action, "execstrip:", 10) == 0) {
      printf("execstrip -> exit %d\n", run_exec(0, 1, action + 10));
    } else if (strncmp(action, "mallocfail:", 11) == 0) {
      char *end = NULL;
      long rounds = strtol(action + 11, &end, 10);
      const char *what = end + 1;
      if (strcmp(what, "connect") == 0) ensure_listener();
      for (long k = 0; k < rounds; ++k) {
        char outcome[64];
        allocations_left = k;
        attempt(what, outcome, sizeof outcome);
        allocations_left = -1;
        printf("mallocfail %ld -> %s\n", k, outcome);
      }
    } else {
      printf("unknown action\n");
      return 2;
    }
    fflush(stdout);
  }
  printf("done\n");
  return 0;
}
