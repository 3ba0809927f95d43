/* Tries every way this file knows of to open a file, connect or start a
 * program, under a policy that blocks all three rules, and prints one line
 * per way: "WAY -> seen" (refused with 222, or the started program ended
 * with 222 before its main code), "WAY -> unseen" (it went through), or
 * "WAY -> unavailable <reason>".
 *
 *   probe_stress_ways DIRECTORY STATIC_PROGRAM
 *   probe_stress_ways child          (what the started programs run) */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include "own_system_call.h"
#include "probe_configure.h"
#include "probe_io_uring.h"

extern char **environ;
extern int __open_2(const char *, int);
extern int __openat_2(int, const char *, int);

static const char *directory;
static char self_path[4096];
static char *stripped_env[512];
static int counter;

static void report(const char *way, const char *outcome) {
  printf("%s -> %s\n", way, outcome);
  fflush(stdout);
}

/* A fresh path under the /tmp directory for each attempt. */
static const char *next_path(void) {
  static char path[4200];
  snprintf(path, sizeof path, "%s/f%d", directory, ++counter);
  return path;
}

static void report_open(const char *way, int fd, int error) {
  if (fd >= 0) {
    close(fd);
    report(way, "unseen");
  } else if (error == 222) {
    report(way, "seen");
  } else {
    char text[128];
    snprintf(text, sizeof text, "unavailable %s", strerror(error));
    report(way, text);
  }
}

static void report_file(const char *way, FILE *file, int error) {
  report_open(way, file ? dup(fileno(file)) : -1, error);
  if (file) fclose(file);
}

/* A call that returns 0 when it went through. */
static void report_result(const char *way, int result, int error) {
  if (result == 0) report(way, "unseen");
  else if (error == 222) report(way, "seen");
  else {
    char text[128];
    snprintf(text, sizeof text, "unavailable %s", strerror(error));
    report(way, text);
  }
}

/* The call runs before errno is read: arguments have no order of evaluation. */
#define TRY_OPEN(way, call) do { errno = 0; int fd_ = (call); report_open(way, fd_, errno); } while (0)
#define TRY_FILE(way, call) do { errno = 0; FILE *file_ = (call); report_file(way, file_, errno); } while (0)
#define TRY_CONNECT(way, call) do { errno = 0; int result_ = (call); report_result(way, result_, errno); } while (0)

/* ---- files ------------------------------------------------------------------ */

static void try_files(void) {
  const char *path;
  path = next_path(); TRY_OPEN("open", open(path, O_RDWR | O_CREAT, 0600));
  path = next_path(); TRY_OPEN("open64", open64(path, O_RDWR | O_CREAT, 0600));
  path = next_path(); TRY_OPEN("__open_2", __open_2(path, O_RDWR));
  path = next_path(); TRY_OPEN("creat", creat(path, 0600));
  path = next_path(); TRY_FILE("fopen", fopen(path, "w"));
  path = next_path(); TRY_FILE("fopen64", fopen64(path, "w"));
  path = next_path();
  FILE *null_stream = fopen("/dev/null", "r");
  TRY_FILE("freopen", freopen(path, "w", null_stream));
  path = next_path(); TRY_OPEN("openat", openat(AT_FDCWD, path, O_RDWR | O_CREAT, 0600));
  path = next_path(); TRY_OPEN("openat64", openat64(AT_FDCWD, path, O_RDWR | O_CREAT, 0600));
  path = next_path(); TRY_OPEN("__openat_2", __openat_2(AT_FDCWD, path, O_RDWR));
  /* The folder /tmp itself, with an unnamed file made in it. */
  TRY_OPEN("open(\"/tmp\", O_TMPFILE)", open("/tmp", O_TMPFILE | O_RDWR, 0600));
#ifdef SYS_open  /* AArch64 has only openat */
  path = next_path(); TRY_OPEN("syscall(SYS_open)", (int)syscall(SYS_open, path, O_RDWR | O_CREAT, 0600));
#endif
  path = next_path();
  TRY_OPEN("syscall(SYS_openat)", (int)syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CREAT, 0600));
  struct { uint64_t flags, mode, resolve; } how = {O_RDWR | O_CREAT, 0600, 0};
  path = next_path();
  TRY_OPEN("syscall(SYS_openat2)", (int)syscall(437, AT_FDCWD, path, &how, sizeof how));
  path = next_path();
  TRY_OPEN("openat by a system call instruction of its own",
           (int)own_system_call(SYS_openat, AT_FDCWD, (long)path, O_RDWR | O_CREAT, 0600));

  struct ring ring;
  int status = ring_open(&ring);
  if (status == -EPERM) {
    report("io_uring openat", "ring refused");
  } else if (status < 0) {
    char text[128];
    snprintf(text, sizeof text, "unavailable %s", strerror(-status));
    report("io_uring openat", text);
  } else {
    struct io_uring_sqe entry;
    memset(&entry, 0, sizeof entry);
    entry.opcode = IORING_OP_OPENAT;
    entry.fd = AT_FDCWD;
    path = next_path();
    entry.addr = (uint64_t)(uintptr_t)path;
    entry.len = 0600;
    entry.open_flags = O_RDWR | O_CREAT;
    int fd = ring_run(&ring, &entry);
    report_open("io_uring openat", fd, fd < 0 ? -fd : 0);
    close(ring.fd);
  }

  /* A forked child that does not execute a program reports its open
   * through its exit status. */
  path = next_path();
  pid_t child = fork();
  if (child == 0) {
    errno = 0;
    int fd = open(path, O_RDWR | O_CREAT, 0600);
    _exit(fd >= 0 ? 0 : errno == 222 ? 1 : 2);
  }
  int child_status = 0;
  waitpid(child, &child_status, 0);
  report("open in a forked child", WEXITSTATUS(child_status) == 0 ? "unseen" : WEXITSTATUS(child_status) == 1 ? "seen" : "unavailable");

  void *second = dlmopen(LM_ID_NEWLM, "libc.so.6", RTLD_NOW);
  int (*second_open)(const char *, int, ...) = second ? (int (*)(const char *, int, ...))dlsym(second, "open") : NULL;
  if (!second_open) {
    report("dlmopen libc open", "unavailable no second libc");
  } else {
    path = next_path();
    TRY_OPEN("dlmopen libc open", second_open(path, O_RDWR | O_CREAT, 0600));
  }
}

/* The C library's own entry points and its internal callers of them. */
static void try_private_opens(void) {
  const char *path = next_path();
  int (*open_nocancel)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_DEFAULT, "__open_nocancel");
  if (!open_nocancel) report("__open_nocancel", "unavailable not exported");
  else TRY_OPEN("__open_nocancel", open_nocancel(path, O_RDWR | O_CREAT, 0600));

  path = next_path(); TRY_FILE("fopen with \"c\"", fopen(path, "wc"));

  /* A file action of posix_spawn opens in the child, before the program runs. */
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, next_path(), O_WRONLY | O_CREAT, 0600);
  char *args[] = {self_path, "child", NULL};
  pid_t pid;
  int spawned = posix_spawn(&pid, self_path, &actions, NULL, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned == 0) waitpid(pid, NULL, 0);
  report("posix_spawn open action", spawned == 222 ? "seen" : spawned == 0 ? "unseen" : "unavailable");

  /* wtmp records appended to a file that is there already. */
  path = next_path();
  close((int)own_system_call(SYS_openat, AT_FDCWD, (long)path, O_RDWR | O_CREAT, 0600));
  struct utmp entry;
  memset(&entry, 0, sizeof entry);
  errno = 0;
  updwtmp(path, &entry);
  struct stat info;
  report("updwtmp", stat(path, &info) == 0 && info.st_size > 0 ? "unseen" : errno == 222 ? "seen" : "unavailable");
  utmpname(path);
  errno = 0;
  report("utmpname+getutent", getutent() ? "unseen" : errno == 222 ? "seen" : "unavailable");
  endutent();

  /* A folder listing opens the folder. */
  path = next_path();
  own_system_call(SYS_mkdirat, AT_FDCWD, (long)path, 0700, 0);
  errno = 0;
  DIR *folder = opendir(path);
  report("opendir", folder ? "unseen" : errno == 222 ? "seen" : "unavailable");
  if (folder) closedir(folder);
}

#define TRY_MAKE(way, call) TRY_CONNECT(way, call)

/* Names made under /tmp without an open. */
static void try_names(void) {
  char existing[4200];
  snprintf(existing, sizeof existing, "%s", next_path());
  close((int)own_system_call(SYS_openat, AT_FDCWD, (long)existing, O_RDWR | O_CREAT, 0600));
  int folder = (int)own_system_call(SYS_openat, AT_FDCWD, (long)directory, O_RDONLY | O_DIRECTORY, 0);
  char name[32];
  const char *path;
  path = next_path(); TRY_MAKE("mkdir", mkdir(path, 0700));
  snprintf(name, sizeof name, "a%d", ++counter); TRY_MAKE("mkdirat", mkdirat(folder, name, 0700));
  path = next_path(); TRY_MAKE("symlink", symlink("/etc/passwd", path));
  snprintf(name, sizeof name, "a%d", ++counter); TRY_MAKE("symlinkat", symlinkat("/etc/passwd", folder, name));
  path = next_path(); TRY_MAKE("link", link(existing, path));
  snprintf(name, sizeof name, "a%d", ++counter); TRY_MAKE("linkat", linkat(AT_FDCWD, existing, folder, name, 0));
  path = next_path(); TRY_MAKE("mkfifo", mkfifo(path, 0600));
  path = next_path(); TRY_MAKE("mknod", mknod(path, S_IFREG | 0600, 0));
  snprintf(name, sizeof name, "a%d", ++counter); TRY_MAKE("mknodat", mknodat(folder, name, S_IFIFO | 0600, 0));
  path = next_path(); TRY_MAKE("rename", rename(existing, path));
  snprintf(name, sizeof name, "a%d", ++counter); TRY_MAKE("renameat", renameat(AT_FDCWD, existing, folder, name));
  path = next_path(); TRY_MAKE("renameat2", renameat2(AT_FDCWD, existing, AT_FDCWD, path, RENAME_NOREPLACE));
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  snprintf(address.sun_path, sizeof address.sun_path, "%s/s%d", directory, ++counter);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  TRY_MAKE("bind of a Unix socket", bind(sock, (struct sockaddr *)&address, sizeof address));
  close(sock);
  path = next_path(); TRY_MAKE("syscall(SYS_mkdirat)", (int)syscall(SYS_mkdirat, AT_FDCWD, path, 0700));
  close(folder);
}

/* ---- connections ------------------------------------------------------------- */

static int listener4(struct sockaddr_in *address, int type) {
  int fd = socket(AF_INET, type, 0);
  memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = inet_addr("127.0.0.2");
  socklen_t length = sizeof *address;
  if (bind(fd, (struct sockaddr *)address, sizeof *address) != 0 ||
      (type == SOCK_STREAM && listen(fd, 64) != 0) || getsockname(fd, (struct sockaddr *)address, &length) != 0)
    exit(5);
  return fd;
}


static void try_connections(void) {
  struct sockaddr_in server;
  listener4(&server, SOCK_STREAM);
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  TRY_CONNECT("connect", connect(sock, (struct sockaddr *)&server, sizeof server));
  close(sock);
  sock = socket(AF_INET, SOCK_STREAM, 0);
  TRY_CONNECT("syscall(SYS_connect)", (int)syscall(SYS_connect, sock, &server, sizeof server));
  close(sock);

  /* TCP Fast Open: sendto makes the connection itself. */
  sock = socket(AF_INET, SOCK_STREAM, 0);
  TRY_CONNECT("sendto MSG_FASTOPEN",
              sendto(sock, "x", 1, MSG_FASTOPEN, (struct sockaddr *)&server, sizeof server) == 1 ? 0 : -1);
  close(sock);

  struct sockaddr_in datagram_server;
  int datagram_listener = listener4(&datagram_server, SOCK_DGRAM);
  sock = socket(AF_INET, SOCK_DGRAM, 0);
  TRY_CONNECT("sendto UDP",
              sendto(sock, "x", 1, 0, (struct sockaddr *)&datagram_server, sizeof datagram_server) == 1 ? 0 : -1);
  close(sock);
  sock = socket(AF_INET, SOCK_DGRAM, 0);
  struct iovec data = {"x", 1};
  struct msghdr message = {.msg_name = &datagram_server, .msg_namelen = sizeof datagram_server, .msg_iov = &data,
                           .msg_iovlen = 1};
  TRY_CONNECT("sendmsg UDP", sendmsg(sock, &message, 0) == 1 ? 0 : -1);
  struct mmsghdr messages[1] = {{message, 0}};
  TRY_CONNECT("sendmmsg UDP", sendmmsg(sock, messages, 1, 0) == 1 ? 0 : -1);
  close(sock);
  /* AF_UNSPEC: an IPv4 datagram socket sends to the IPv4 address all the
   * same; connect with it only disconnects. */
  struct sockaddr_in unspecified = datagram_server;
  unspecified.sin_family = AF_UNSPEC;
  sock = socket(AF_INET, SOCK_DGRAM, 0);
  TRY_CONNECT("sendto UDP AF_UNSPEC",
              sendto(sock, "x", 1, 0, (struct sockaddr *)&unspecified, sizeof unspecified) == 1 ? 0 : -1);
  message.msg_name = &unspecified;
  TRY_CONNECT("sendmsg UDP AF_UNSPEC", sendmsg(sock, &message, 0) == 1 ? 0 : -1);
  messages[0].msg_hdr.msg_name = &unspecified;
  TRY_CONNECT("sendmmsg UDP AF_UNSPEC", sendmmsg(sock, messages, 1, 0) == 1 ? 0 : -1);
  TRY_CONNECT("connect AF_UNSPEC", connect(sock, (struct sockaddr *)&unspecified, sizeof unspecified));
  close(sock);
  close(datagram_listener);

  /* A unique-local IPv6 address (::1 is exempt on AWS): refused with 222
   * when judged, unreachable when not. */
  struct sockaddr_in6 server6;
  memset(&server6, 0, sizeof server6);
  server6.sin6_family = AF_INET6;
  server6.sin6_port = htons(9);
  inet_pton(AF_INET6, "fd00::1", &server6.sin6_addr);
  sock = socket(AF_INET6, SOCK_STREAM, 0);
  TRY_CONNECT("connect IPv6", connect(sock, (struct sockaddr *)&server6, sizeof server6));
  close(sock);

  /* An IPv4 peer reached through an IPv6 socket, as an IPv4-mapped address. */
  struct sockaddr_in6 mapped;
  memset(&mapped, 0, sizeof mapped);
  mapped.sin6_family = AF_INET6;
  mapped.sin6_port = server.sin_port;
  inet_pton(AF_INET6, "::ffff:127.0.0.2", &mapped.sin6_addr);
  sock = socket(AF_INET6, SOCK_STREAM, 0);
  TRY_CONNECT("connect IPv4-mapped IPv6", connect(sock, (struct sockaddr *)&mapped, sizeof mapped));
  close(sock);

  struct ring ring;
  int status = ring_open(&ring);
  if (status < 0) {
    report("io_uring connect", status == -EPERM ? "ring refused" : "unavailable");
  } else {
    sock = socket(AF_INET, SOCK_STREAM, 0);
    struct io_uring_sqe entry;
    memset(&entry, 0, sizeof entry);
    entry.opcode = IORING_OP_CONNECT;
    entry.fd = sock;
    entry.addr = (uint64_t)(uintptr_t)&server;
    entry.off = sizeof server;
    int result = ring_run(&ring, &entry);
    report_result("io_uring connect", result, -result);
    close(sock);
    close(ring.fd);
  }

  void *second = dlmopen(LM_ID_NEWLM, "libc.so.6", RTLD_NOW);
  int (*second_connect)(int, const struct sockaddr *, socklen_t) =
      second ? (int (*)(int, const struct sockaddr *, socklen_t))dlsym(second, "connect") : NULL;
  if (!second_connect) {
    report("dlmopen libc connect", "unavailable no second libc");
  } else {
    sock = socket(AF_INET, SOCK_STREAM, 0);
    TRY_CONNECT("dlmopen libc connect", second_connect(sock, (struct sockaddr *)&server, sizeof server));
    close(sock);
  }
}

/* ---- program starts ---------------------------------------------------------- */

static int wait_exit(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static void report_start(const char *way, int strip, int status) {
  char name[160];
  snprintf(name, sizeof name, "%s%s", way, strip ? " without LD_PRELOAD" : "");
  if (status == 222) report(name, "seen");
  else if (status == 0) report(name, "unseen");
  else {
    char text[64];
    snprintf(text, sizeof text, "unavailable exit %d", status);
    report(name, text);
  }
}

enum start_way { WAY_EXECVE, WAY_VFORK, WAY_POSIX_SPAWN, WAY_POSIX_SPAWNP, WAY_EXECVEAT, WAY_FEXECVE,
                 WAY_SYSCALL_EXECVE, WAY_DLMOPEN_EXECVE, WAY_COUNT };
static const char *const start_names[WAY_COUNT] = {
    "fork+execve", "vfork+execve", "posix_spawn", "posix_spawnp", "execveat", "fexecve", "syscall(SYS_execve)",
    "dlmopen libc execve"};

/* Starts `program` by `way` in a new process; its exit status. */
static int start_program(int way, int strip, const char *program, char *const args[]) {
  char **env = strip ? stripped_env : environ;
  pid_t pid;
  if (way == WAY_POSIX_SPAWN || way == WAY_POSIX_SPAWNP) {
    int (*spawn)(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                 char *const[], char *const[]) = way == WAY_POSIX_SPAWN ? posix_spawn : posix_spawnp;
    if (spawn(&pid, program, NULL, NULL, args, env) != 0) return -1;
    return wait_exit(pid);
  }
  if (way == WAY_VFORK) {
    pid = vfork();
    if (pid == 0) {
      execve(program, args, env);
      _exit(127);
    }
    return wait_exit(pid);
  }
  int (*second_execve)(const char *, char *const[], char *const[]) = NULL;
  if (way == WAY_DLMOPEN_EXECVE) {
    void *second = dlmopen(LM_ID_NEWLM, "libc.so.6", RTLD_NOW);
    second_execve = second ? (int (*)(const char *, char *const[], char *const[]))dlsym(second, "execve") : NULL;
    if (!second_execve) return -1;
  }
  pid = fork();
  if (pid == 0) {
    switch (way) {
      case WAY_EXECVE: execve(program, args, env); break;
      case WAY_EXECVEAT: execveat(AT_FDCWD, program, args, env, 0); break;
      case WAY_FEXECVE: {
        int fd = open(program, O_RDONLY | O_CLOEXEC);
        fexecve(fd, args, env);
        break;
      }
      case WAY_SYSCALL_EXECVE: syscall(SYS_execve, program, args, env); break;
      case WAY_DLMOPEN_EXECVE: second_execve(program, args, env); break;
    }
    _exit(127);
  }
  return wait_exit(pid);
}

static void try_starts(const char *static_program) {
  char *args[] = {self_path, "child", NULL};
  for (int way = 0; way < WAY_COUNT; ++way)
    for (int strip = 0; strip <= 1; ++strip) report_start(start_names[way], strip, start_program(way, strip, self_path, args));

  int status = system("exit 0");
  report_start("system", 0, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  FILE *pipe = popen("exit 0", "r");
  status = pipe ? pclose(pipe) : -1;
  report_start("popen", 0, status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1);

  /* A statically linked program: it reports 0 when it could open a file. */
  const char *path = next_path();
  char *static_args[] = {(char *)static_program, (char *)path, NULL};
  report_start("static program (start and its open)", 0, start_program(WAY_EXECVE, 0, static_program, static_args));
}

/* The record without an open: cut short, made writable, read or written
 * from another process. A cut that went through would end this probe with
 * SIGBUS at its next judgement. */
static void report_refusal(const char *way, int failed) {
  report(way, failed && errno == 222 ? "seen" : "unseen");
}

static void try_state_record(const char *state_path) {
  if (!state_path) return;
  char *record = NULL;
  FILE *maps = fopen("/proc/self/maps", "r");
  char line[8192];
  while (maps && !record && fgets(line, sizeof line, maps))
    if (strstr(line, state_path)) record = (char *)strtoul(line, NULL, 16);
  if (maps) fclose(maps);
  errno = 0;
  report_refusal("truncate of the state file", truncate(state_path, 0) != 0);
  int raw = (int)own_system_call(SYS_openat, AT_FDCWD, (long)state_path, O_RDWR | O_CLOEXEC, 0);
  errno = 0;
  report_refusal("ftruncate of the state file", raw >= 0 && ftruncate(raw, 0) != 0);
  if (raw >= 0) close(raw);
  errno = 0;
  int memory = open("/proc/self/mem", O_RDONLY);
  report_refusal("read of /proc/self/mem", memory < 0);
  if (memory >= 0) close(memory);
  errno = 0;
  report_refusal("mprotect of the record", mprotect(record, 4192, PROT_READ | PROT_WRITE) != 0);
  pid_t child = fork();
  if (child == 0) {
    char word[4] = {0};
    struct iovec local = {word, sizeof word}, remote = {record, sizeof word};
    errno = 0;
    report_refusal("process_vm_readv of the first process", process_vm_readv(getppid(), &local, 1, &remote, 1, 0) < 0);
    _exit(0);
  }
  if (child > 0) waitpid(child, NULL, 0);
  errno = 0;
  report_refusal("syscall(SYS_mprotect) of the record", syscall(SYS_mprotect, record, 4192, PROT_READ | PROT_WRITE) != 0);
}

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "child") == 0) return 0;
  if (argc != 3) return 2;
  directory = argv[1];
  ssize_t length = readlink("/proc/self/exe", self_path, sizeof self_path - 1);
  if (length <= 0) return 2;
  self_path[length] = '\0';
  int count = 0;
  for (char **entry = environ; *entry && count < 510; ++entry)
    if (strncmp(*entry, "LD_PRELOAD=", 11) != 0) stripped_env[count++] = *entry;
  stripped_env[count] = NULL;

  if (!probe_configure("{\"disable_analytics\":true,\"policy\":{\"read_write_tmp\":\"block\","
                       "\"outbound_connectivity\":\"block\",\"create_child_process\":\"block\"}}"))
    return 3;
  try_files();
  try_private_opens();
  try_names();
  try_connections();
  try_starts(argv[2]);
  /* Last: the alert descriptor, which the library keeps open, and the
   * shared state file, which holds the policy. */
  int null_fd = open("/dev/null", O_WRONLY);
  report("dup2 over 999", dup2(null_fd, 999) == 999 ? "unseen" : "seen");
  report("dup3 over 999", dup3(null_fd, 999, O_CLOEXEC) == 999 ? "unseen" : "seen");
  close(null_fd);
  errno = 0;
  int closed = close(999);
  report("close(999)", closed == -1 && errno == EPERM ? "seen" : "unseen");
  errno = 0;
  closed = close_range(998, 1000, 0);
  report("close_range over 999", closed == -1 && errno == EPERM && fcntl(999, F_GETFD) != -1 ? "seen" : "unseen");
  report("fcntl(999, F_SETFD, FD_CLOEXEC)", fcntl(999, F_SETFD, FD_CLOEXEC) == 0 ? "unseen" : "seen");
  report("ioctl(999, FIOCLEX)", ioctl(999, FIOCLEX) == 0 ? "unseen" : "seen");
  closefrom(999);
  report("closefrom(999)", fcntl(999, F_GETFD) == -1 ? "unseen" : "seen");
  int (*close_nocancel)(int) = (int (*)(int))dlsym(RTLD_DEFAULT, "__close_nocancel");
  report("__close_nocancel(999)", close_nocancel && close_nocancel(999) == 0 ? "unseen" : "seen");
  closed = (int)syscall(SYS_close, 999);
  report("syscall(SYS_close, 999)", closed == -1 ? "seen" : "unseen");

  /* Writing allow (0) over the three modes of the state file would switch
   * the policy off for every process of the function: openat is watched
   * like open. */
  const char *state_path = getenv("TESSELGUARD_STATE_PATH");
  int state_fd = state_path ? openat(AT_FDCWD, state_path, O_WRONLY) : -1;
  static const int32_t allow[4] = {0, 0, 0, 0};
  int rewritten = state_fd >= 0 && pwrite(state_fd, allow, sizeof allow, 4) == (ssize_t)sizeof allow;
  if (state_fd >= 0) close(state_fd);
  int after = open(next_path(), O_RDWR | O_CREAT, 0600);
  report("policy rewritten through openat on the state file", rewritten && after >= 0 ? "unseen" : "seen");
  if (after >= 0) close(after);
  try_state_record(state_path);
  printf("done\n");
  return 0;
}
