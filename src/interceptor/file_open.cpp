// Replacements of open, fopen and creat: each open is judged as an "fs_open"
// event on the file's absolute path before the real function runs.
#include "interceptor/interceptor.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/core.hpp"

namespace {

// Set while an already judged real fopen (or creat) runs on this thread: the
// C library opens the file through the same code as open, and that inner
// open must not be judged a second time (nor judge an fopen that was exempt).
thread_local int inside_judged_open = 0;

struct judged_open_scope {
  judged_open_scope() { ++inside_judged_open; }
  ~judged_open_scope() { --inside_judged_open; }
};

bool is_exempt_zone_file(const char *path) {
  if (!path) return false;
  const std::string_view text(path);
  return text == "/etc/localtime" || text == "/usr/share/zoneinfo/UTC";
}

// Reading a process's memory file is left alone; only writing it is judged
// (and refused): it could undo the hooks or rewrite the mapped record.
bool reads_process_memory(const char *path, bool writes) { return !writes && is_process_memory_path(path); }

}  // namespace

int judge_file_open(const char *path) {
  if (!path || !registered_callback) return 0;
  const int saved_errno = errno;
  int verdict = 0;
  // Every open in the process comes here: no allocation on the usual route.
  char buffer[PATH_MAX];
  if (char *absolute = absolute_path_into(path, buffer)) {
    char event_buffer[512];
    json_text event(event_buffer, sizeof event_buffer);
    begin_event(event, "fs_open");
    event.begin_object();
    event.member("path", absolute);
    event.end_object();
    verdict = judge_event(event);
    if (absolute != buffer) free(absolute);
  }
  errno = saved_errno;
  return verdict;
}

int hooked_open(const char *path, int flags, ...) {
  // The mode is there only when the flags ask for one, as the C library reads it.
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list rest;
    va_start(rest, flags);
    mode = va_arg(rest, mode_t);
    va_end(rest);
  }
  if (inside_judged_open == 0 && !reads_process_memory(path, (flags & O_ACCMODE) != O_RDONLY)) {
    if (int verdict = judge_file_open(path)) {
      errno = verdict;
      return -1;
    }
  }
  return real_open(path, flags, mode);
}

int hooked_creat(const char *path, mode_t mode) {
  if (int verdict = judge_file_open(path)) {
    errno = verdict;
    return -1;
  }
  judged_open_scope scope;
  return real_creat(path, mode);
}

FILE *hooked_fopen(const char *path, const char *mode) {
  const bool writes = mode && (mode[0] != 'r' || strchr(mode, '+'));
  if (!is_exempt_zone_file(path) && !reads_process_memory(path, writes)) {
    if (int verdict = judge_file_open(path)) {
      errno = verdict;
      return nullptr;
    }
  }
  judged_open_scope scope;
  return real_fopen(path, mode);
}
