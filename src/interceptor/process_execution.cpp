// Program execution: every program started from a protected process loads
// the library too (LD_PRELOAD and the captured variables ride along in its
// environment), and judges its own start before its main code runs.
#include "interceptor/interceptor.hpp"
#include "core/diagnostics.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/core.hpp"

namespace {

// The library's own file, resolved; printed and null on failure.
char *own_library_path() {
  Dl_info info{};
  // Any function of the library names its file.
  if (!dladdr(reinterpret_cast<void *>(&init_child_injection), &info) || !info.dli_fname) {
    print_message(message_stream::output, "Cannot find tesselguard path");
    return nullptr;
  }
  char *path = realpath(info.dli_fname, nullptr);
  if (!path) print_message(message_stream::output, "Cannot resolve tesselguard path: %s", strerror(errno));
  return path;
}

// The items point into `text`, the file's bytes.
struct command_line {
  char *text = nullptr;
  char **items = nullptr;
  int count = 0;
  ~command_line() {
    free(items);
    free(text);
  }
};

// Reads the NUL-separated items of /proc/self/cmdline (a last item without
// its NUL counts too). An unreadable file gives an empty command line; the
// process is judged all the same.
void read_command_line(command_line &line) {
  const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  size_t size = 0, capacity = 0;
  char *text = nullptr;
  while (true) {
    if (capacity - size < 2) {  // room to read, and for a final NUL
      const size_t grown = capacity ? capacity * 2 : 4096;
      auto *bigger = static_cast<char *>(realloc(text, grown));
      if (!bigger) break;
      text = bigger;
      capacity = grown;
    }
    const ssize_t got = read(fd, text + size, capacity - size - 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size += static_cast<size_t>(got);
  }
  close(fd);
  line.text = text;
  if (!text) return;
  text[size] = '\0';
  int count = 0;
  for (size_t i = 0; i < size; ++i) count += text[i] == '\0';
  if (size > 0 && text[size - 1] != '\0') ++count;
  line.items = static_cast<char **>(malloc(static_cast<size_t>(count ? count : 1) * sizeof(char *)));
  if (!line.items) return;
  for (size_t start = 0; start < size; start += strlen(text + start) + 1) line.items[line.count++] = text + start;
}

// Google's current generation logs standard output, as AWS does.
bool logs_through_descriptor() {
  return state_map && (state_map->provider == PROVIDER_AWS || google_current_generation());
}

// When the function's log is a regular file, programs started later write
// to it through descriptions of their own, appending; the first process's
// description must append too, or its next line would go over theirs.
void append_to_log_file() {
  struct stat info;
  const int flags = fcntl(ALERT_LOG_FD, F_GETFL);
  if (flags != -1 && (flags & O_APPEND) == 0 && fstat(ALERT_LOG_FD, &info) == 0 && S_ISREG(info.st_mode))
    fcntl(ALERT_LOG_FD, F_SETFL, flags | O_APPEND);
}

// The function's log for this process. The first process makes it from its
// standard output; a program started later takes the first process's, so
// its records never land in output its caller reads, and falls back to its
// own standard output only when that copy cannot be reached.
bool prepare_alert_log() {
  const long first_pid = static_cast<long>(state_identity.creator_pid);
  const bool first_process = first_pid == static_cast<long>(getpid());
  if (fcntl(ALERT_LOG_FD, F_GETFD) != -1 || errno != EBADF) {
    if (first_process) append_to_log_file();
    return true;
  }
  if (first_pid > 0 && !first_process) {
    const int error = reach_function_log(first_pid);
    if (error == 0) return true;
    print_message(message_stream::error,
                  "Cannot reach the function's log through /proc/%ld/fd/%d: %s; alert records go to standard output",
                  first_pid, ALERT_LOG_FD, strerror(error));
  }
  if (dup2(STDOUT_FILENO, ALERT_LOG_FD) == -1) {
    print_message(message_stream::output, "Cannot duplicate stdout: %s", strerror(errno));
    return false;
  }
  if (first_process) append_to_log_file();
  return true;
}

}  // namespace

int init_child_injection() {
  if (!env_lookup("LD_PRELOAD")) {
    char *path = own_library_path();
    if (!path) return 0;
    if (setenv("LD_PRELOAD", path, 1) != 0) {
      print_message(message_stream::output, "Cannot set LD_PRELOAD environment variable: %s", strerror(errno));
      free(path);
      return 0;
    }
    free(path);
  }
  if (logs_through_descriptor()) {
    if (!prepare_alert_log()) return 0;
    remember_function_log();
  }
  return 1;
}

int judge_program_start(const char *path, int count, char *const *items) {
  if (!registered_callback) return 0;
  char buffer[1024];
  json_text event(buffer, sizeof buffer);
  begin_event(event, "process_execution");
  event.begin_object();
  event.plain_key("argv");
  event.begin_array();
  for (int i = 0; i < count; ++i) event.string(items[i]);
  event.end_array();
  event.member("path", path);
  event.end_object();
  return judge_event(event);
}

namespace {

// The kernel names the running program by the path it was found at, which
// is already absolute and free of links: one readlink, where resolving
// /proc/self/exe component by component takes one per folder. A program
// file since deleted (" (deleted)" added) takes the general route.
char *own_program_path() {
  char link[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", link, sizeof link - 1);
  if (length > 0 && length < PATH_MAX - 1 && link[0] == '/') {
    link[length] = '\0';
    constexpr std::string_view DELETED = " (deleted)";
    if (!std::string_view(link, static_cast<size_t>(length)).ends_with(DELETED)) return strdup(link);
  }
  return absolute_path("/proc/self/exe");
}

}  // namespace

// Runs before any hook exists, so its own reads of /proc/self are not judged.
void process_execution() {
  // Under an allow rule the program's path and command line would be read
  // for nothing: a judgement that cannot refuse or record.
  if (registered_need_check && !registered_need_check("process_execution")) return;
  char *path = own_program_path();
  if (!path) return;
  int verdict = 0;
  {
    command_line line;
    read_command_line(line);
    verdict = judge_program_start(path, line.count, line.items);
    free(path);
  }
  if (verdict != 0) exit(verdict);
}
