/* Routes to a file whose path text hides where the kernel goes, and failing
 * opens whose errors must be the kernel's own. One line per route:
 * "ROUTE -> ok" or "ROUTE -> errno N".
 *
 *   probe_open_routes CONFIG TMPDIR OUTSIDE HANDLER
 *
 * CONFIG is the configuration document (empty: none), TMPDIR a folder under
 * /tmp, OUTSIDE one elsewhere, HANDLER the function's handler file. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "own_system_call.h"
#include "probe_configure.h"

extern char **environ;

static char tmp_dir[1024], outside[1024], handler[1024];

static void report(const char *route, int result) {
  if (result >= 0) printf("%s -> ok\n", route);
  else printf("%s -> errno %d\n", route, errno);
  fflush(stdout);
  if (result > 2) close(result);
}

static const char *in(const char *folder, const char *name) {
  static char paths[4][2048];
  static int next;
  char *path = paths[next++ % 4];
  snprintf(path, sizeof paths[0], "%s/%s", folder, name);
  return path;
}

static int file_result(FILE *file) {
  if (!file) return -1;
  fclose(file);
  return 0;
}

/* A descriptor of the /tmp folder that the watched calls would refuse. */
static int unwatched_folder(const char *path) {
  return (int)own_system_call(SYS_openat, AT_FDCWD, (long)path, O_RDONLY | O_DIRECTORY, 0);
}

static void hidden_routes(void) {
  char route[4200];
  chdir(tmp_dir);
  report("/proc/self/cwd/cwd_x", open("/proc/self/cwd/cwd_x", O_RDWR | O_CREAT, 0600));
  chdir(outside);
  int folder = unwatched_folder(tmp_dir);
  snprintf(route, sizeof route, "/proc/self/fd/%d/fd_x", folder);
  report("/proc/self/fd/N/fd_x", open(route, O_RDWR | O_CREAT, 0600));
  snprintf(route, sizeof route, "/dev/fd/%d/devfd_x", folder);
  report("/dev/fd/N/devfd_x", open(route, O_WRONLY | O_CREAT | O_TRUNC, 0600));
  report("openat(tmp folder, at_x)", openat(folder, "at_x", O_RDWR | O_CREAT, 0600));
  close(folder);
  symlink(in(tmp_dir, "linked_x"), in(outside, "dangling"));
  report("link outside -> missing file in /tmp", open(in(outside, "dangling"), O_RDWR | O_CREAT, 0600));
  symlink(tmp_dir, in(outside, "tmp_link"));
  int outside_fd = open(outside, O_PATH | O_DIRECTORY);
  report("openat(outside, tmp_link/dirlink_x)", openat(outside_fd, "tmp_link/dirlink_x", O_RDWR | O_CREAT, 0600));
  report("fopen(link outside/x, w)", file_result(fopen(in(outside, "tmp_link/fopen_x"), "w")));
  close(outside_fd);
  /* Made unwatched: a name made in /tmp is itself judged. */
  own_system_call(SYS_symlinkat, (long)in(outside, "made_from_tmp_link"), AT_FDCWD, (long)in(tmp_dir, "out_link"), 0);
  report("link in /tmp -> missing file outside", open(in(tmp_dir, "out_link"), O_RDWR | O_CREAT, 0600));
  report("open(/tmp, O_TMPFILE)", open("/tmp", O_TMPFILE | O_RDWR, 0600));
  report("open(/tmp, O_RDONLY)", open("/tmp", O_RDONLY | O_DIRECTORY));
  /* ".." over real folders: the file the kernel reaches, there or not. */
  close((int)own_system_call(SYS_openat, AT_FDCWD, (long)in(tmp_dir, "dotdot_x"), O_RDWR | O_CREAT, 0600));
  snprintf(route, sizeof route, "%s/../%s/dotdot_x", tmp_dir, strrchr(tmp_dir, '/') + 1);
  report("open(tmp/../tmp/dotdot_x)", open(route, O_RDONLY));
  report("open(tmp/missing/../dotdot_x)", open(in(tmp_dir, "missing/../dotdot_x"), O_RDONLY));
  report("fopen(tmp/../tmp/dotdot_x, r)", file_result(fopen(route, "r")));
  chdir(tmp_dir);
  report("open(dotdot_x) in tmp", open("dotdot_x", O_RDONLY));
  report("open(missing_r) in tmp", open("missing_r", O_RDONLY));
  chdir(outside);
}

static void on_alarm(int signal) { (void)signal; }

/* Opens the pipe's other end late, so that an open that waits for it again
 * after the interruption ends, with a visibly different result. */
static void *open_other_end(void *fifo) {
  usleep(300000);
  int fd = open((const char *)fifo, O_WRONLY | O_NONBLOCK);
  if (fd >= 0) close(fd);
  return NULL;
}

/* A wait for a pipe's writer cut short by a signal (no SA_RESTART): EINTR. */
static void interrupted_pipe_open(const char *route, int through_fopen) {
  char fifo[2048];
  snprintf(fifo, sizeof fifo, "%s", in(outside, through_fopen ? "fifo_f" : "fifo"));
  mkfifo(fifo, 0600);
  struct sigaction action = {0};
  action.sa_handler = on_alarm;
  sigaction(SIGALRM, &action, NULL);
  pthread_t writer;
  pthread_create(&writer, NULL, open_other_end, fifo);
  /* Every 50 ms, not once: on a busy machine a single alarm may come before
   * the open waits, which then sees the writer. */
  struct itimerval every = {{0, 50000}, {0, 50000}}, off = {{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &every, NULL);
  const int result = through_fopen ? file_result(fopen(fifo, "r")) : open(fifo, O_RDONLY);
  const int saved_errno = errno;
  setitimer(ITIMER_REAL, &off, NULL);
  errno = saved_errno;
  report(route, result);
  pthread_join(writer, NULL);
  signal(SIGALRM, SIG_DFL);
}

/* Failing opens outside /tmp: the same errors with and without the library. */
static void failing_routes(void) {
  mkdir(in(outside, "dir"), 0700);
  close(creat(in(outside, "file"), 0600));
  symlink("loop", in(outside, "loop"));
  symlink(in(outside, "file"), in(outside, "file_link"));
  report("parity missing", open(in(outside, "missing"), O_RDONLY));
  report("parity missing folder, O_CREAT", open(in(outside, "none/x"), O_RDWR | O_CREAT, 0600));
  report("parity folder O_WRONLY", open(in(outside, "dir"), O_WRONLY));
  report("parity folder O_CREAT", open(in(outside, "dir"), O_RDWR | O_CREAT, 0600));
  report("parity folder/ O_CREAT", open(in(outside, "dir/"), O_RDWR | O_CREAT, 0600));
  report("parity file as folder", open(in(outside, "file/x"), O_RDONLY));
  report("parity link loop", open(in(outside, "loop"), O_RDONLY));
  report("parity link loop, O_CREAT", open(in(outside, "loop"), O_RDWR | O_CREAT, 0600));
  report("parity O_NOFOLLOW on a link", open(in(outside, "file_link"), O_RDONLY | O_NOFOLLOW));
  report("parity O_EXCL on a link", open(in(outside, "file_link"), O_RDWR | O_CREAT | O_EXCL, 0600));
  report("parity O_DIRECTORY on a file", open(in(outside, "file"), O_RDONLY | O_DIRECTORY));
  report("parity fopen missing", file_result(fopen(in(outside, "missing"), "r")));
  report("parity fopen folder w", file_result(fopen(in(outside, "dir"), "w")));
  /* Created where a relative link in the last place leads. */
  symlink("made_through_link", in(outside, "relative_link"));
  report("parity create through a relative link", open(in(outside, "relative_link"), O_RDWR | O_CREAT, 0600));
  printf("parity made through the link: %s\n", access(in(outside, "made_through_link"), F_OK) == 0 ? "yes" : "no");
  interrupted_pipe_open("parity interrupted pipe open", 0);
  interrupted_pipe_open("parity interrupted pipe fopen", 1);
}

/* A thread swaps a link between a harmless file and the handler while the
 * main thread opens it: not one read may return the handler's text. */
static volatile int swapping = 1;
static void *swap_link(void *link) {
  char next[2200];
  snprintf(next, sizeof next, "%s.next", (const char *)link);
  for (int i = 0; swapping; ++i) {
    unlink(next);
    symlink(i % 2 ? handler : in(outside, "harmless"), next);
    rename(next, link);
  }
  return NULL;
}

static void swap_race(void) {
  int harmless = creat(in(outside, "harmless"), 0600);
  write(harmless, "harmless", 8);
  close(harmless);
  char link[2048];
  snprintf(link, sizeof link, "%s", in(outside, "swapped"));
  symlink(in(outside, "harmless"), link);
  pthread_t thread;
  pthread_create(&thread, NULL, swap_link, link);
  int handler_reads = 0, refused = 0, harmless_reads = 0;
  for (int i = 0; i < 20000; ++i) {
    int fd = open(link, O_RDONLY);
    if (fd < 0) {
      refused += errno == 222;
      continue;
    }
    char text[16] = {0};
    read(fd, text, sizeof text - 1);
    close(fd);
    if (strncmp(text, "HANDLER", 7) == 0) ++handler_reads;
    else ++harmless_reads;
  }
  swapping = 0;
  pthread_join(thread, NULL);
  printf("swap race handler reads %d\n", handler_reads);
  printf("swap race both seen %s\n", refused > 0 && harmless_reads > 0 ? "yes" : "no");
}

/* A signal arrives while fopen waits inside the C library (a named pipe
 * with no writer yet); its handler opens a file in /tmp, then opens the
 * pipe's writing end so that fopen returns. */
static const char *fifo_path;
static void open_in_handler(int signal_number) {
  (void)signal_number;
  int saved = errno;
  report("open in a signal handler during fopen", open(in(tmp_dir, "signal_x"), O_RDWR | O_CREAT, 0600));
  /* Read and write: it never waits, and holds the writer's end (left open
   * until the probe ends) for the restarted open of the reader. */
  open(fifo_path, O_RDWR);
  errno = saved;
}

static void signal_during_fopen(void) {
  static char fifo[2048];
  snprintf(fifo, sizeof fifo, "%s", in(outside, "fifo"));
  fifo_path = fifo;
  mkfifo(fifo, 0600);
  struct sigaction action = {0};
  action.sa_handler = open_in_handler;
  action.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &action, NULL);
  struct itimerval timer = {{0, 0}, {0, 200000}};
  setitimer(ITIMER_REAL, &timer, NULL);
  report("fopen of the pipe", file_result(fopen(fifo, "r")));
}

/* The C library's own open, in the caller and in posix_spawn's child (on its
 * small stack), and a name made without an open. */
static void own_opens_and_names(void) {
  int (*open_nocancel)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_DEFAULT, "__open_nocancel");
  report("__open_nocancel(tmp/nocancel_x)", open_nocancel ? open_nocancel(in(tmp_dir, "nocancel_x"), O_RDWR | O_CREAT, 0600) : -1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, in(tmp_dir, "spawn_x"), O_WRONLY | O_CREAT, 0600);
  char *args[] = {"true", NULL};
  pid_t child;
  const int spawned = posix_spawn(&child, "/bin/true", &actions, NULL, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned == 0) waitpid(child, &status, 0);
  errno = spawned;
  /* 127: the child failed before its program, with a parent that could not
   * learn why (qemu-user runs the spawn child in memory of its own). */
  if (spawned == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127)
    printf("posix_spawn open action on tmp/spawn_x -> child ended 127\n");
  else
    report("posix_spawn open action on tmp/spawn_x", spawned ? -1 : 0);
  int folder = unwatched_folder(tmp_dir);
  report("mkdirat(tmp folder, made_x)", mkdirat(folder, "made_x", 0700));
  close(folder);
}

/* The runtime's own load of the handler, then the next code file (dep.py
 * beside it): the start phase is over and every read of the handler is
 * judged. */
static void end_start_phase(void) {
  char dep[4096];
  snprintf(dep, sizeof dep, "%.*s/dep.py", (int)(strrchr(handler, '/') - handler), handler);
  close(open(handler, O_RDONLY));
  close(open(dep, O_RDONLY));
}

int main(int argc, char **argv) {
  if (argc != 5) return 2;
  if (argv[1][0]) probe_configure(argv[1]);
  snprintf(tmp_dir, sizeof tmp_dir, "%s", argv[2]);
  snprintf(outside, sizeof outside, "%s", argv[3]);
  snprintf(handler, sizeof handler, "%s", argv[4]);
  if (argv[1][0]) end_start_phase();
  if (probe_configure_entry()) {
    hidden_routes();
    own_opens_and_names();
  }
  failing_routes();
  if (probe_configure_entry()) {
    swap_race();
    signal_during_fopen();
  }
  printf("done\n");
  return 0;
}
