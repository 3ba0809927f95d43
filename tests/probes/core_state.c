/* Runs a small script of commands given as arguments, in a process started
 * with the library preloaded, and prints what it sees:
 *
 *   show                 the state path, the mapping of the state file and the record
 *   fds                  the descriptors this process holds on state files
 *   configure TEXT       calls tesselguard_configure; "@COOKIE@" in TEXT is
 *                        replaced by the last cookie returned
 *   configure-null       calls it with a null text
 *   configure-stdin      calls it with all of standard input
 *   spawn N CMD...       starts this program again with the next N arguments,
 *                        its standard input and output on pipes
 *   relay-until WORD     copies the child's lines as "child: LINE" up to WORD
 *   release              writes one line to the child's standard input
 *   reap                 copies the rest of the child's output, waits for it
 *   say WORD             prints WORD
 *   wait-input           reads one line from standard input
 *
 * The record is read from the process's own mapping of the state file, found
 * in /proc/self/maps, so it is what the library itself sees. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "probe_configure.h"

extern char **environ;

struct record {
  int32_t provider;
  int32_t read_write_tmp;
  int32_t create_child_process;
  int32_t outbound_connectivity;
  int32_t read_handler;
  char runtime[32];
  char runtime_version[32];
  char handler_path[4096];
  int32_t disable_analytics;
  int32_t cookie;
  int32_t failed_cookie_count;
  int32_t google_generation;
  char supervisor_host[256];
  char supervisor_port[32];
  int32_t configuration_sealed;
  int32_t start_phase;
  int32_t handler_touched;
  int32_t handler_opens;
};
_Static_assert(sizeof(struct record) == 4500, "state record layout");

static int last_cookie;
static pid_t child_pid = -1;
static FILE *child_out;
static int child_in = -1;

/* Finds the mapping of `path`; returns its start and fills `perms`. */
static const struct record *find_mapping(const char *path, char perms[5]) {
  FILE *maps = fopen("/proc/self/maps", "r");
  if (!maps) return NULL;
  char *line = NULL;
  size_t size = 0;
  const struct record *found = NULL;
  while (!found && getline(&line, &size, maps) > 0) {
    unsigned long start, end;
    char p[5];
    int name_at = 0;
    if (sscanf(line, "%lx-%lx %4s %*s %*s %*s %n", &start, &end, p, &name_at) < 3 || name_at == 0) continue;
    char *name = line + name_at;
    name[strcspn(name, "\n")] = '\0';
    if (strcmp(name, path) != 0) continue;
    memcpy(perms, p, 5);
    found = (const struct record *)start;
  }
  free(line);
  fclose(maps);
  return found;
}

static void show(void) {
  const char *path = getenv("TESSELGUARD_STATE_PATH");
  printf("state_path=%s\n", path ? path : "(unset)");
  char perms[5] = "";
  const struct record *r = path ? find_mapping(path, perms) : NULL;
  if (!r) {
    printf("mapping=none\n");
    return;
  }
  printf("mapping=%s\n", perms);
  printf("provider=%d\n", r->provider);
  printf("read_write_tmp=%d\n", r->read_write_tmp);
  printf("create_child_process=%d\n", r->create_child_process);
  printf("outbound_connectivity=%d\n", r->outbound_connectivity);
  printf("read_handler=%d\n", r->read_handler);
  printf("runtime=%.32s\n", r->runtime);
  printf("runtime_version=%.32s\n", r->runtime_version);
  printf("handler_path=%.4096s\n", r->handler_path);
  printf("disable_analytics=%d\n", r->disable_analytics);
  printf("cookie=%d\n", r->cookie);
  printf("failed_cookie_count=%d\n", r->failed_cookie_count);
  printf("google_generation=%d\n", r->google_generation);
  printf("supervisor_host=%.256s\n", r->supervisor_host);
  printf("supervisor_port=%.32s\n", r->supervisor_port);
  printf("start_phase=%d\n", r->start_phase);
  printf("handler_touched=%d\n", r->handler_touched);
  printf("handler_opens=%d\n", r->handler_opens);
}

/* One line per descriptor on a state file: "state_fd=r" or "state_fd=rw". */
static void show_fds(void) {
  DIR *dir = opendir("/proc/self/fd");
  if (!dir) return;
  struct dirent *entry;
  while ((entry = readdir(dir))) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%s", entry->d_name);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (strncmp(target, "/tmp/tesselguard_state_", 23) != 0) continue;
    int flags = fcntl(atoi(entry->d_name), F_GETFL);
    printf("state_fd=%s\n", (flags & O_ACCMODE) == O_RDONLY ? "r" : "rw");
  }
  closedir(dir);
}

static int (*resolve_configure(void))(const char *) {
  probe_configure_fn entry = probe_configure_entry();
  if (!entry) {
    printf("tesselguard_configure not found\n");
    fflush(stdout);
    exit(3);
  }
  return entry;
}

/* "@COOKIE@" is the cookie the last accepted call returned; "@RECORD@" the
   cookie as the mapped record holds it. */
static void configure(const char *text) {
  char *expanded = NULL;
  const char *marker = text ? strstr(text, "@COOKIE@") : NULL;
  const char *record_marker = text ? strstr(text, "@RECORD@") : NULL;
  int cookie = last_cookie;
  if (record_marker) {
    const char *path = getenv("TESSELGUARD_STATE_PATH");
    char perms[5];
    const struct record *r = path ? find_mapping(path, perms) : NULL;
    cookie = r ? r->cookie : 0;
    marker = record_marker;
  }
  if (marker) {
    size_t head = (size_t)(marker - text);
    if (asprintf(&expanded, "%.*s%d%s", (int)head, text, cookie, marker + 8) < 0) exit(4);
    text = expanded;
  }
  int result = resolve_configure()(text);
  if (result != 0) last_cookie = result;
  fflush(stdout);
  printf("result=%d\n", result);
  free(expanded);
}

static char *read_all(FILE *in) {
  size_t size = 0, used = 0;
  char *text = NULL;
  for (;;) {
    if (used + 4096 + 1 > size) {
      size = size * 2 + 4096 + 1;
      text = realloc(text, size);
      if (!text) exit(4);
    }
    size_t n = fread(text + used, 1, 4096, in);
    if (n == 0) break;
    used += n;
  }
  text[used] = '\0';
  return text;
}

static void spawn(char *self, int count, char **commands) {
  int to_child[2], from_child[2];
  if (pipe(to_child) || pipe(from_child)) exit(4);
  fflush(stdout);
  child_pid = fork();
  if (child_pid == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    close(to_child[0]);
    close(to_child[1]);
    close(from_child[0]);
    close(from_child[1]);
    char **argv = calloc((size_t)count + 2, sizeof *argv);
    argv[0] = self;
    for (int i = 0; i < count; ++i) argv[i + 1] = commands[i];
    execve(self, argv, environ);
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  child_in = to_child[1];
  child_out = fdopen(from_child[0], "r");
}

/* Copies the child's lines up to `word` (or to its end when null). */
static void relay(const char *word) {
  char *line = NULL;
  size_t size = 0;
  ssize_t n;
  while ((n = getline(&line, &size, child_out)) > 0) {
    if (line[n - 1] == '\n') line[n - 1] = '\0';
    printf("child: %s\n", line);
    if (word && strcmp(line, word) == 0) break;
  }
  free(line);
}

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *command = argv[i];
    const char *next = i + 1 < argc ? argv[i + 1] : NULL;
    if (strcmp(command, "show") == 0) {
      show();
    } else if (strcmp(command, "fds") == 0) {
      show_fds();
    } else if (strcmp(command, "configure") == 0 && next) {
      configure(next);
      ++i;
    } else if (strcmp(command, "configure-null") == 0) {
      configure(NULL);
    } else if (strcmp(command, "configure-stdin") == 0) {
      char *text = read_all(stdin);
      configure(text);
      free(text);
    } else if (strcmp(command, "spawn") == 0 && next) {
      int count = atoi(next);
      if (count < 0 || i + 1 + count >= argc) return 2;
      spawn(argv[0], count, argv + i + 2);
      i += 1 + count;
    } else if (strcmp(command, "relay-until") == 0 && next && child_out) {
      relay(next);
      ++i;
    } else if (strcmp(command, "release") == 0 && child_in >= 0) {
      if (write(child_in, "go\n", 3) != 3) return 4;
    } else if (strcmp(command, "reap") == 0 && child_out) {
      relay(NULL);
      int status = 0;
      waitpid(child_pid, &status, 0);
      printf("child_exit=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    } else if (strcmp(command, "say") == 0 && next) {
      printf("%s\n", next);
      ++i;
    } else if (strcmp(command, "wait-input") == 0) {
      char buffer[16];
      fflush(stdout);
      if (!fgets(buffer, sizeof buffer, stdin)) return 5;
    } else {
      fprintf(stderr, "unknown command: %s\n", command);
      return 2;
    }
    fflush(stdout);
  }
  return 0;
}
