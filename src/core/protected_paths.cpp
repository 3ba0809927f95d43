// Files the function's code must never open, whatever the rules say: the
// shared state file (it holds the policy) and the memory of a process of the
// function (writing it could undo the hooks or rewrite the mapped record).
#include "core/core.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

// Skips one run of decimal digits; null when there is none.
const char *skip_digits(const char *text) {
  const char *start = text;
  while (*text >= '0' && *text <= '9') ++text;
  return text == start ? nullptr : text;
}

// Skips a process part of a /proc path: "self", "thread-self" or a pid.
const char *skip_process(const char *text) {
  for (std::string_view name : {"thread-self", "self"})
    if (std::string_view(text).starts_with(name)) return text + name.size();
  return skip_digits(text);
}

}  // namespace

thread_local constinit int judged_descriptor = -1;

bool is_state_file(const char *path) {
  if (!path || state_identity.path[0] == '\0') return false;
  if (strcmp(path, state_identity.path) == 0) return true;
  if (strncmp(path, "/tmp/", 5) != 0) return false;
  // Another name of the same file: a hard link, or the file renamed away.
  const int saved_errno = errno;
  struct stat info;
  const bool known = judged_descriptor >= 0 ? fstat(judged_descriptor, &info) == 0 : stat(path, &info) == 0;
  const bool same = known && info.st_dev == state_identity.device &&
                    info.st_ino == state_identity.inode;
  errno = saved_errno;
  return same;
}

bool is_process_memory_path(const char *path) {
  if (!path || strncmp(path, "/proc/", 6) != 0) return false;
  const char *rest = skip_process(path + 6);
  if (!rest) return false;
  if (strncmp(rest, "/task/", 6) == 0) {
    rest = skip_digits(rest + 6);
    if (!rest) return false;
  }
  return strcmp(rest, "/mem") == 0;
}
