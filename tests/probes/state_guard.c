/* Tries to reach the state record and the hooks from inside a protected
 * process, and forks while other threads connect. One line per action:
 * "<action> -> ok" or "-> errno N". In paths, @STATE@ stands for the state
 * file named by TESSELGUARD_STATE_PATH when the probe started, @TID@ for
 * the calling thread's id.
 *
 *   configure:JSON      tesselguard_configure
 *   setenv:NAME=VALUE   openr:P  openw:P  fopen:MODE:P  link:FROM:TO
 *   truncate:P          truncate P to 0
 *   ftruncate:P         ftruncate to 0 a descriptor of P opened by a direct
 *                       system call (round the hooks)
 *   record:CALL         CALL on the pages of the mapped record: mprotect
 *                       (read-write), munmap, mmap (MAP_FIXED), mremap
 *                       (moved), remap_file_pages (page 1 over page 0),
 *                       syscall (the C library's, with SYS_mprotect)
 *   parent:CALL         a forked child calls vmread, vmwrite (its parent's
 *                       record) or ptrace (PTRACE_ATTACH) on its parent
 *   forks:N:P           N forks while 4 threads connect to a loopback
 *                       listener; each child opens P for writing, connects
 *                       and reports whether that open was refused with 222:
 *                       "forks -> N children, J judged"
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "own_system_call.h"
#include "probe_configure.h"

static char state_path[4096];
static atomic_int stop_connecting;
static struct sockaddr_in listener_address;

static void expand(const char *text, char *out, size_t size) {
  char tid[32];
  snprintf(tid, sizeof tid, "%d", gettid());
  out[0] = '\0';
  while (*text) {
    const char *value = NULL;
    size_t skip = 0;
    if (!strncmp(text, "@STATE@", 7)) value = state_path, skip = 7;
    if (!strncmp(text, "@TID@", 5)) value = tid, skip = 5;
    size_t used = strlen(out);
    if (value) {
      snprintf(out + used, size - used, "%s", value);
      text += skip;
    } else if (used + 1 < size) {
      out[used] = *text++;
      out[used + 1] = '\0';
    } else {
      return;
    }
  }
}

static void report(const char *action, int ok) {
  if (ok)
    printf("%s -> ok\n", action);
  else
    printf("%s -> errno %d\n", action, errno);
}

static void *connect_loop(void *unused) {
  (void)unused;
  while (!atomic_load(&stop_connecting)) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    connect(fd, (struct sockaddr *)&listener_address, sizeof listener_address);
    close(fd);
  }
  return NULL;
}

static void *accept_loop(void *listener) {
  for (;;) {
    int fd = accept(*(int *)listener, NULL, NULL);
    if (fd < 0) return NULL;
    close(fd);
  }
}

static void forks(const char *action, const char *arg) {
  int count = atoi(arg);
  const char *path = strchr(arg, ':');
  if (!path) return;
  ++path;
  static int listener;
  listener = socket(AF_INET, SOCK_STREAM, 0);
  listener_address.sin_family = AF_INET;
  listener_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof listener_address;
  if (bind(listener, (struct sockaddr *)&listener_address, sizeof listener_address) || listen(listener, 512) ||
      getsockname(listener, (struct sockaddr *)&listener_address, &length))
    return;
  pthread_t acceptor, connectors[4];
  pthread_create(&acceptor, NULL, accept_loop, &listener);
  for (int i = 0; i < 4; ++i) pthread_create(&connectors[i], NULL, connect_loop, NULL);
  int judged = 0, children = 0;
  for (int i = 0; i < count; ++i) {
    pid_t child = fork();
    if (child == 0) {
      errno = 0;
      int fd = open(path, O_RDWR | O_CREAT, 0600);
      const int refused = fd < 0 && errno == 222;
      if (fd >= 0) unlink(path);
      /* The child's own connect goes through the name table and the
       * resolver test, whose locks the other threads may have held. */
      int socket_fd = socket(AF_INET, SOCK_STREAM, 0);
      connect(socket_fd, (struct sockaddr *)&listener_address, sizeof listener_address);
      _exit(refused ? 1 : 0);
    }
    if (child < 0) continue;
    int status = 0;
    waitpid(child, &status, 0);
    ++children;
    judged += WIFEXITED(status) && WEXITSTATUS(status) == 1;
  }
  atomic_store(&stop_connecting, 1);
  for (int i = 0; i < 4; ++i) pthread_join(connectors[i], NULL);
  printf("%s -> %d children, %d judged\n", action, children, judged);
}

/* The first page of the state file's mapping, from /proc/self/maps. */
static char *record_address(void) {
  FILE *maps = fopen("/proc/self/maps", "r");
  char line[8192];
  unsigned long first = 0;
  while (maps && !first && fgets(line, sizeof line, maps))
    if (state_path[0] && strstr(line, state_path)) first = strtoul(line, NULL, 16);
  if (maps) fclose(maps);
  return (char *)first;
}

static void on_record(const char *action, const char *call) {
  char *record = record_address();
  const long page = sysconf(_SC_PAGESIZE);
  int ok = 0;
  if (!strcmp(call, "mprotect")) ok = mprotect(record, 4192, PROT_READ | PROT_WRITE) == 0;
  if (!strcmp(call, "munmap")) ok = munmap(record, 4192) == 0;
  if (!strcmp(call, "syscall")) ok = syscall(SYS_mprotect, record, 4192, PROT_READ | PROT_WRITE) == 0;
  if (!strcmp(call, "mmap"))
    ok = mmap(record, (size_t)page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED;
  if (!strcmp(call, "mremap")) {
    char *elsewhere = mmap(NULL, 4 * (size_t)page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ok = mremap(record, (size_t)page, (size_t)page, MREMAP_MAYMOVE | MREMAP_FIXED, elsewhere) != MAP_FAILED;
  }
  if (!strcmp(call, "remap_file_pages")) ok = remap_file_pages(record, (size_t)page, 0, 1, 0) == 0;
  report(action, ok);
}

static void on_parent(const char *action, const char *call) {
  char *record = record_address();
  pid_t child = fork();
  if (child == 0) {
    char word[4] = {0};
    struct iovec local = {word, sizeof word}, remote = {record, sizeof word};
    int ok = 0;
    errno = 0;
    if (!strcmp(call, "vmread")) ok = process_vm_readv(getppid(), &local, 1, &remote, 1, 0) == sizeof word;
    if (!strcmp(call, "vmwrite")) ok = process_vm_writev(getppid(), &local, 1, &remote, 1, 0) == sizeof word;
    if (!strcmp(call, "ptrace")) ok = ptrace(PTRACE_ATTACH, getppid(), NULL, NULL) == 0;
    report(action, ok);
    _exit(0);
  }
  if (child > 0) waitpid(child, NULL, 0);
}

static void run(const char *action) {
  char expanded[8192];
  expand(action, expanded, sizeof expanded);
  const char *colon = strchr(expanded, ':');
  const char *arg = colon ? colon + 1 : "";
  char verb[16];
  snprintf(verb, sizeof verb, "%.*s", (int)(colon ? (size_t)(colon - expanded) : strlen(expanded)), expanded);

  if (!strcmp(verb, "configure")) {
    printf("%s -> %s\n", action, probe_configure(arg) ? "ok" : "refused");
  } else if (!strcmp(verb, "setenv")) {
    char name[256];
    const char *equals = strchr(arg, '=');
    if (!equals) return;
    snprintf(name, sizeof name, "%.*s", (int)(equals - arg), arg);
    report(action, setenv(name, equals + 1, 1) == 0);
  } else if (!strcmp(verb, "openr") || !strcmp(verb, "openw")) {
    int fd = open(arg, verb[4] == 'r' ? O_RDONLY : O_RDWR);
    report(action, fd >= 0);
    if (fd >= 0) close(fd);
  } else if (!strcmp(verb, "fopen")) {
    char mode[8];
    const char *path = strchr(arg, ':');
    if (!path) return;
    snprintf(mode, sizeof mode, "%.*s", (int)(path - arg), arg);
    FILE *file = fopen(path + 1, mode);
    report(action, file != NULL);
    if (file) fclose(file);
  } else if (!strcmp(verb, "link")) {
    char from[4096];
    const char *to = strchr(arg, ':');
    if (!to) return;
    snprintf(from, sizeof from, "%.*s", (int)(to - arg), arg);
    report(action, link(from, to + 1) == 0);
  } else if (!strcmp(verb, "truncate")) {
    report(action, truncate(arg, 0) == 0);
  } else if (!strcmp(verb, "ftruncate")) {
    int fd = (int)own_system_call(SYS_openat, AT_FDCWD, (long)arg, O_RDWR | O_CLOEXEC, 0);
    report(action, fd >= 0 && ftruncate(fd, 0) == 0);
    if (fd >= 0) close(fd);
  } else if (!strcmp(verb, "record")) {
    on_record(action, arg);
  } else if (!strcmp(verb, "parent")) {
    on_parent(action, arg);
  } else if (!strcmp(verb, "forks")) {
    forks(action, arg);
  } else {
    printf("%s -> unknown action\n", action);
  }
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  const char *state = getenv("TESSELGUARD_STATE_PATH");
  snprintf(state_path, sizeof state_path, "%s", state ? state : "");
  printf("pid %d\nstate %s\n", getpid(), state_path);
  for (int i = 1; i < argc; ++i) run(argv[i]);
  return 0;
}
