// Replacements of open, openat (with every fortified form, which jump to
// them), fopen, creat and the C library's own __open_nocancel: each open is
// judged as an "fs_open" event on the path of what the kernel opens.
//
// An open that changes nothing by itself (no O_CREAT, O_TRUNC or O_TMPFILE),
// of an absolute path or one relative to the current folder, is made first
// with no symbolic link followed: when no link was on the way, the path's
// own text names what was opened. Otherwise it is judged by its canonical
// path and then made on exactly that path with no symbolic link followed,
// so what was judged is what is opened. Where that route does not apply it
// is made first and judged by the path the kernel gives its descriptor; a
// refused descriptor is closed before anyone can use it. An open that may
// create or truncate is judged first, by the folder it happens in, held
// open (open_resolution.cpp). fopen for reading is judged by its inner open.
#include "interceptor/interceptor.hpp"

#include <fcntl.h>
#include <pthread.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string_view>


namespace {

// The one open that the C library makes inside a judged fopen: the same
// path pointer on the same thread, taken by the first open that matches.
// Anything else the thread opens meanwhile (a signal handler's open) is
// judged on its own. A write was judged by fopen, and the inner open makes
// the file in the judged folder; a read is judged by the inner open, as any
// open is.
struct judged_fopen {
  const char *path = nullptr;
  const creation_target *target = nullptr;  // judged, for a write
  bool unjudged = false;                   // the inner open judges itself
  bool taken = false;
};
thread_local judged_fopen *current_fopen = nullptr;

struct judged_fopen_scope {
  judged_fopen record;
  judged_fopen *previous;
  judged_fopen_scope(const char *path, const creation_target *target, bool unjudged = false)
      : record{path, target, unjudged}, previous(current_fopen) {
    current_fopen = &record;
  }
  ~judged_fopen_scope() { current_fopen = previous; }
};

// The inner open of a judged fopen, or null.
judged_fopen *take_inner_open(const char *path) {
  judged_fopen *record = current_fopen;
  if (!path || !record || record->taken || path != record->path) return nullptr;
  record->taken = true;
  return record;
}

bool is_exempt_zone_file(const char *path) {
  if (!path) return false;
  const std::string_view text(path);
  return text == "/etc/localtime" || text == "/usr/share/zoneinfo/UTC";
}

// The open itself may create or truncate a file. With O_PATH (and no
// O_TMPFILE) the kernel ignores O_CREAT and O_TRUNC.
bool changes_something(int flags) {
  if ((flags & O_TMPFILE) == O_TMPFILE) return true;
  return (flags & O_PATH) == 0 && (flags & (O_CREAT | O_TRUNC)) != 0;
}

int flags_of_fopen_mode(const char *mode) {
  if (!mode) return O_RDONLY;
  int flags = O_RDONLY;
  if (mode[0] == 'w') flags = O_WRONLY | O_CREAT | O_TRUNC;
  if (mode[0] == 'a') flags = O_WRONLY | O_CREAT | O_APPEND;
  for (const char *c = mode; *c && *c != ','; ++c) {
    if (*c == '+') flags = (flags & ~O_ACCMODE) | O_RDWR;
    if (*c == 'x') flags |= O_EXCL;
  }
  return flags;
}

mode_t mode_argument(int flags, va_list rest) {
  // The mode is there only when the flags ask for one, as the C library reads it.
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) return va_arg(rest, mode_t);
  return 0;
}

int open_then_judge(int dirfd, const char *path, int flags, mode_t mode) {
  const int fd = real_openat(dirfd, path, flags, mode);
  const int error = errno;
  // A failed open is judged by its text, so that what is refused stays
  // refused whether or not the file is there; otherwise the kernel's error.
  const int verdict = fd < 0 ? judge_path_text(dirfd, path, flags) : judge_descriptor(fd, dirfd, path, flags);
  if (verdict) {
    if (fd >= 0) real_close(fd);
    errno = verdict;
    return -1;
  }
  errno = error;
  return fd;
}

int open_judged_here(int dirfd, const char *path, int flags, mode_t mode);

int judged_open(int dirfd, const char *path, int flags, mode_t mode) {
  if (own_path_work_depth > 0) return real_openat(dirfd, path, flags, mode);
  if (const judged_fopen *inner = take_inner_open(path)) {
    if (inner->unjudged) return open_judged_here(dirfd, path, flags, mode);
    if (dirfd == AT_FDCWD && inner->target) {
      bool link_appeared = false;
      const int fd = open_in_judged_folder(*inner->target, flags, mode, link_appeared);
      // Somewhere else now: judged again from the start.
      return link_appeared ? open_judged_first(dirfd, path, flags, mode) : fd;
    }
    return real_openat(dirfd, path, flags, mode);
  }
  return open_judged_here(dirfd, path, flags, mode);
}

int open_judged_here(int dirfd, const char *path, int flags, mode_t mode) {
  // An empty path names nothing: the kernel's ENOENT.
  if (!path || !path[0] || !registered_callback) return real_openat(dirfd, path, flags, mode);
  int result;
  if (changes_something(flags)) {
    if (python_temp_file_route(path, flags, mode, result)) return result;
    if ((dirfd == AT_FDCWD || path[0] == '/') && create_through_canonical_path(path, flags, mode, result))
      return result;
    return open_judged_first(dirfd, path, flags, mode);
  }
  if ((dirfd == AT_FDCWD || path[0] == '/') && open_first_without_links(path, flags, mode, result)) return result;
  if ((dirfd == AT_FDCWD || path[0] == '/') && open_through_canonical_path(path, flags, mode, result)) return result;
  return open_then_judge(dirfd, path, flags, mode);
}

// A stream opened without the judged open, or not opened: judged by what it
// opened, or by its text.
FILE *judge_opened_stream(FILE *file, const char *path, int flags) {
  const int error = errno;
  const int verdict = file ? judge_descriptor(fileno(file), AT_FDCWD, path, flags)
                           : judge_path_text(AT_FDCWD, path, flags);
  if (verdict) {
    if (file) fclose(file);
    errno = verdict;
    return nullptr;
  }
  errno = error;
  return file;
}

}  // namespace

int hooked_open(const char *path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = mode_argument(flags, rest);
  va_end(rest);
  return judged_open(AT_FDCWD, path, flags, mode);
}

int hooked_openat(int dirfd, const char *path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = mode_argument(flags, rest);
  va_end(rest);
  return judged_open(dirfd, path, flags, mode);
}

// The C library's own open, which posix_spawn's file actions, the utmp
// functions and streams opened with "c" use: judged as any open. Its callers
// count on it not being a point where the thread may be cancelled (some hold
// a lock of the C library), and the judgement's own calls are: cancelling is
// held off meanwhile. In posix_spawn's child this runs on the child's small
// stack, in memory shared with the parent: the routes it takes keep their
// buffers on the stack and allocate nothing for the paths of a page or less.
int hooked___open_nocancel(const char *path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = mode_argument(flags, rest);
  va_end(rest);
  int cancel_state;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
  const int fd = judged_open(AT_FDCWD, path, flags, mode);
  const int error = errno;
  pthread_setcancelstate(cancel_state, nullptr);
  errno = error;
  return fd;
}

// creat(path, mode) is open(path, O_CREAT | O_WRONLY | O_TRUNC, mode).
int hooked_creat(const char *path, mode_t mode) {
  if (!path || !registered_callback) return real_creat(path, mode);
  return judged_open(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

FILE *hooked_fopen(const char *path, const char *mode) {
  if (!path || !registered_callback) return real_fopen(path, mode);
  if (is_exempt_zone_file(path)) {
    judged_fopen_scope scope(path, nullptr);
    return real_fopen(path, mode);
  }
  const int flags = flags_of_fopen_mode(mode);
  if (changes_something(flags)) {
    // Judged before the C library creates or truncates the file; its inner
    // open makes the file in the judged folder.
    creation_target target;
    int verdict = resolve_creation_target(AT_FDCWD, path, flags, target);
    const bool held = target.folder_fd >= 0;
    if (!held) verdict = judge_path_text(AT_FDCWD, path, flags);
    if (verdict) {
      errno = verdict;
      return nullptr;
    }
    judged_fopen_scope scope(path, held ? &target : nullptr);
    FILE *file = real_fopen(path, mode);
    if (file && held && !scope.record.taken) {
      if (int late = judge_if_elsewhere(fileno(file), target.judged, flags)) {
        fclose(file);
        errno = late;
        return nullptr;
      }
    }
    return file;
  }
  // Judged by the C library's own open, as any open is.
  FILE *file;
  {
    judged_fopen_scope scope(path, nullptr, true);
    file = real_fopen(path, mode);
    if (scope.record.taken) return file;
  }
  // Opened without the watched open ("c" in the mode): judged afterwards.
  return judge_opened_stream(file, path, flags);
}
