/* Runs its arguments as a list of actions, each through the ordinary C
 * library entry points, and prints one line per action:
 * "<action> -> ok", "-> errno N" or "-> <value>".
 *
 *   configure:JSON     tesselguard_configure (the cookie of the first call
 *                      is added to every later document)
 *   open:P openr:P     open read-write with O_CREAT / read-only
 *   fopen:P fopenr:P   fopen "w" / "r"
 *   creat:P  exists:P  unlink:P  chdir:P  rmdir:P  mkdir:P
 *   symlink:TARGET:LINK
 *   statefile          open the state file named by TESSELGUARD_STATE_PATH
 *   close999 write999:TEXT  closefd:N
 *   nullpaths          open, fopen and creat with a null path
 *   connect:IP:PORT    IPv4 TCP connect;  connect6:PORT (::1);  connectunix:PATH
 *   connectnull        connect with a null address
 *   tz:ZONE            setenv TZ, tzset, localtime
 *   env:NAME=VALUE     add to the environment given to exec (see below)
 *   envnull envempty   exec with a null / empty environment
 *   exec:PROG[,ARG...] execve; the environment is the env: list when one was
 *                      given, else the process's own
 *   fork               the rest of the actions run in a child; the parent
 *                      waits and prints "fork -> child exit N"
 *   launch:PROG[,ARG...]  starts PROG with descriptor 3 (it writes one byte
 *                      there once it runs) and 4 (it reads one byte there
 *                      before going on); waits for the byte on 3
 *   release            writes the byte to 4, waits for the launched program
 *                      and prints "release -> child exit N"
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "probe_configure.h"

static pid_t launched = -1;
static int launched_go = -1;
static char *exec_env[64];
static int exec_env_count;
static int exec_env_mode; /* 0: own environment, 1: list, 2: null */

static void report(const char *action, int ok) {
  if (ok)
    printf("%s -> ok\n", action);
  else
    printf("%s -> errno %d\n", action, errno);
}

static void configure(const char *action, const char *json) {
  if (!probe_configure_entry())
    printf("%s -> no library\n", action);
  else
    printf("%s -> %s\n", action, probe_configure(json) ? "ok" : "refused");
}

static void close_if(int fd) {
  if (fd >= 0) close(fd);
}

static void connect_ipv4(const char *action, const char *text) {
  char ip[64];
  snprintf(ip, sizeof ip, "%s", text);
  char *colon = strrchr(ip, ':');
  if (!colon) return;
  *colon = '\0';
  struct sockaddr_in address = {0};
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(colon + 1));
  inet_pton(AF_INET, ip, &address.sin_addr);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  report(action, connect(fd, (struct sockaddr *)&address, sizeof address) == 0);
  close_if(fd);
}

static void connect_ipv6(const char *action, const char *port) {
  struct sockaddr_in6 address = {0};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons((unsigned short)atoi(port));
  address.sin6_addr = in6addr_loopback;
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  report(action, connect(fd, (struct sockaddr *)&address, sizeof address) == 0);
  close_if(fd);
}

static void connect_unix(const char *action, const char *path) {
  struct sockaddr_un address = {0};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  report(action, connect(fd, (struct sockaddr *)&address, sizeof address) == 0);
  close_if(fd);
}

static void exec_program(const char *action, const char *text) {
  char *copy = strdup(text);
  char *argv[32];
  int argc = 0;
  for (char *part = strtok(copy, ","); part && argc < 31; part = strtok(NULL, ",")) argv[argc++] = part;
  argv[argc] = NULL;
  extern char **environ;
  char **envp = exec_env_mode == 0 ? environ : exec_env_mode == 1 ? exec_env : NULL;
  fflush(stdout);
  execve(argv[0], argv, envp);
  report(action, 0);
  free(copy);
}

static void launch(const char *action, const char *text) {
  int ready[2], go[2];
  if (pipe2(ready, O_CLOEXEC) || pipe2(go, O_CLOEXEC)) return;
  fflush(stdout);
  launched = fork();
  if (launched == 0) {
    /* Moved out of the way first, so 3 and 4 are fresh duplicates without
     * close-on-exec whichever numbers the pipes got. */
    int ready_fd = fcntl(ready[1], F_DUPFD, 10), go_fd = fcntl(go[0], F_DUPFD, 10);
    dup2(ready_fd, 3);
    dup2(go_fd, 4);
    exec_env_mode = 0;
    exec_program(action, text);
    _exit(127);
  }
  close(ready[1]);
  close(go[0]);
  char byte;
  ssize_t n = read(ready[0], &byte, 1);
  close(ready[0]);
  launched_go = go[1];
  printf("%s -> %s\n", action, n == 1 ? "running" : "ended early");
}

static void release(const char *action) {
  if (launched < 0) return;
  ssize_t unused = write(launched_go, "g", 1);
  (void)unused;
  close(launched_go);
  int status = 0;
  waitpid(launched, &status, 0);
  printf("%s -> child exit %d\n", action, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

static void null_paths(const char *action) {
  int fd = open(NULL, O_RDONLY);
  printf("%s open -> %d errno %d\n", action, fd, fd < 0 ? errno : 0);
  FILE *file = fopen(NULL, "r");
  printf("%s fopen -> %s errno %d\n", action, file ? "stream" : "null", file ? 0 : errno);
  fd = creat(NULL, 0600);
  printf("%s creat -> %d errno %d\n", action, fd, fd < 0 ? errno : 0);
}

static int run(const char *action) {
  const char *colon = strchr(action, ':');
  const char *arg = colon ? colon + 1 : "";
  size_t verb_length = colon ? (size_t)(colon - action) : strlen(action);
  char verb[32];
  snprintf(verb, sizeof verb, "%.*s", (int)verb_length, action);

  if (!strcmp(verb, "configure")) {
    configure(action, arg);
  } else if (!strcmp(verb, "open") || !strcmp(verb, "openr")) {
    int fd = open(arg, !strcmp(verb, "open") ? O_RDWR | O_CREAT : O_RDONLY, 0600);
    report(action, fd >= 0);
    close_if(fd);
  } else if (!strcmp(verb, "fopen") || !strcmp(verb, "fopenr")) {
    FILE *file = fopen(arg, !strcmp(verb, "fopen") ? "w" : "r");
    report(action, file != NULL);
    if (file) fclose(file);
  } else if (!strcmp(verb, "creat")) {
    int fd = creat(arg, 0600);
    report(action, fd >= 0);
    close_if(fd);
  } else if (!strcmp(verb, "exists")) {
    printf("%s -> %s\n", action, access(arg, F_OK) == 0 ? "yes" : "no");
  } else if (!strcmp(verb, "unlink")) {
    report(action, unlink(arg) == 0);
  } else if (!strcmp(verb, "chdir")) {
    report(action, chdir(arg) == 0);
  } else if (!strcmp(verb, "mkdir")) {
    report(action, mkdir(arg, 0700) == 0);
  } else if (!strcmp(verb, "rmdir")) {
    report(action, rmdir(arg) == 0);
  } else if (!strcmp(verb, "symlink")) {
    char target[1024];
    snprintf(target, sizeof target, "%s", arg);
    char *link = strchr(target, ':');
    if (!link) return 1;
    *link++ = '\0';
    report(action, symlink(target, link) == 0);
  } else if (!strcmp(verb, "statefile")) {
    const char *path = getenv("TESSELGUARD_STATE_PATH");
    int fd = path ? open(path, O_RDONLY) : -1;
    report(action, fd >= 0);
    close_if(fd);
  } else if (!strcmp(verb, "close999")) {
    report(action, close(999) == 0);
  } else if (!strcmp(verb, "closefd")) {
    report(action, close(atoi(arg)) == 0);
  } else if (!strcmp(verb, "write999")) {
    report(action, write(999, arg, strlen(arg)) == (ssize_t)strlen(arg));
  } else if (!strcmp(verb, "nullpaths")) {
    null_paths(action);
  } else if (!strcmp(verb, "connect")) {
    connect_ipv4(action, arg);
  } else if (!strcmp(verb, "connect6")) {
    connect_ipv6(action, arg);
  } else if (!strcmp(verb, "connectunix")) {
    connect_unix(action, arg);
  } else if (!strcmp(verb, "connectnull")) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    report(action, connect(fd, NULL, 0) == 0);
    close_if(fd);
  } else if (!strcmp(verb, "tz")) {
    setenv("TZ", arg, 1);
    tzset();
    time_t now = time(NULL);
    struct tm local;
    report(action, localtime_r(&now, &local) != NULL);
  } else if (!strcmp(verb, "env")) {
    if (exec_env_count < 63) exec_env[exec_env_count++] = (char *)arg;
    exec_env_mode = 1;
  } else if (!strcmp(verb, "envempty")) {
    exec_env_mode = 1;
  } else if (!strcmp(verb, "envnull")) {
    exec_env_mode = 2;
  } else if (!strcmp(verb, "exec")) {
    exec_program(action, arg);
  } else if (!strcmp(verb, "launch")) {
    launch(action, arg);
  } else if (!strcmp(verb, "release")) {
    release(action);
  } else if (!strcmp(verb, "fork")) {
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) return 0;
    int status = 0;
    waitpid(child, &status, 0);
    printf("%s -> child exit %d\n", action, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 1;
  } else {
    printf("%s -> unknown action\n", action);
  }
  return 0;
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  for (int i = 1; i < argc; ++i)
    if (run(argv[i])) break;
  return 0;
}
