// Files the function's code must never open, whatever the rules say: the
// shared state file (it holds the policy) and the memory of a process of the
// function (writing it could undo the hooks or rewrite the mapped record;
// reading it finds whatever the process holds).
#include "core/core.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

enum : int32_t { CANONICAL_UNKNOWN = 0, CANONICAL_MAKING = 1, CANONICAL_READY = 2 };

// The real path of the state file; when the file is gone (renamed away),
// the real path of its folder and its name; else the path as found.
void make_canonical(const char *path, char (&out)[PATH_MAX]) {
  if (realpath(path, out)) return;
  const char *slash = strrchr(path, '/');
  char folder[PATH_MAX];
  const size_t folder_length = slash ? static_cast<size_t>(slash - path) : 0;
  if (slash && slash[1] != '\0' && folder_length < sizeof folder) {
    memcpy(folder, path, folder_length);
    folder[folder_length] = '\0';
    if (realpath(folder_length ? folder : "/", out)) {
      const size_t length = strlen(out);
      const size_t name_length = strlen(slash);  // with its '/'
      const size_t at = length == 1 ? 0 : length;  // no "//" after the root
      if (at + name_length < sizeof out) {
        memcpy(out + at, slash, name_length + 1);
        return;
      }
    }
  }
  snprintf(out, sizeof out, "%s", path);
}

}  // namespace

const char *state_file_canonical_path(char (&scratch)[PATH_MAX]) {
  int32_t &flag = state_identity.canonical_state;
  int32_t seen = __atomic_load_n(&flag, __ATOMIC_ACQUIRE);
  if (seen == CANONICAL_READY) return state_identity.canonical;
  if (seen == CANONICAL_UNKNOWN &&
      __atomic_compare_exchange_n(&flag, &seen, CANONICAL_MAKING, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    make_canonical(state_identity.path, state_identity.canonical);
    __atomic_store_n(&flag, CANONICAL_READY, __ATOMIC_RELEASE);
    return state_identity.canonical;
  }
  if (seen == CANONICAL_READY) return state_identity.canonical;
  make_canonical(state_identity.path, scratch);
  return scratch;
}

thread_local constinit int judged_descriptor = -1;

bool is_state_file(const char *path) {
  if (!path || state_identity.path[0] == '\0') return false;
  const int saved_errno = errno;
  char scratch[PATH_MAX];
  const bool named = strcmp(path, state_file_canonical_path(scratch)) == 0;
  errno = saved_errno;
  if (named) return true;
  if (strncmp(path, "/tmp/", 5) != 0) return false;
  // Another name of the same file: a hard link, or the file renamed away.
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
