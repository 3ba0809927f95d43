// The descriptors the library keeps for itself ("propagate_fds" of the
// interceptor configuration: 999, the function's log) cannot be closed or
// replaced by the function's code: close, dup2 and dup3 onto one fail with
// EPERM and leave it as it was.
//
// close_range over a protected descriptor closes (or marks) everything else
// in the range, keeps the protected one, and fails with EPERM so the caller
// knows the range was not wholly closed. Refusing the whole call instead
// would leave every other descriptor open, and callers that fall back to
// closing one by one would then do the same work again anyway.
//
// A protected descriptor stays inheritable: close-on-exec cannot be set on
// it (fcntl F_SETFD, ioctl FIOCLEX), and a duplicate made by fcntl never
// lands on it. closefrom keeps it as close_range does, and the C library's
// own __close_nocancel (its closefrom fallback, posix_spawn's file actions)
// refuses it as close does. Before every program start the function's log
// is checked to be on 999 and inheritable (keep_function_log_for_start).
#include "interceptor/interceptor.hpp"

#include <errno.h>
#include <stdarg.h>
#include <sys/stat.h>

#include "core/core.hpp"

namespace {

bool is_protected(int fd) {
  if (const interceptor_config_record *config = interceptor_config)
    for (int32_t i = 0; i < config->fd_count; ++i)
      if (config->fds[i] == fd) return true;
  return false;
}

// The lowest protected descriptor in [first, last], or -1.
int protected_in(unsigned int first, unsigned int last) {
  int found = -1;
  if (const interceptor_config_record *config = interceptor_config)
    for (int32_t i = 0; i < config->fd_count; ++i) {
      const int fd = config->fds[i];
      if (fd >= 0 && static_cast<unsigned int>(fd) >= first && static_cast<unsigned int>(fd) <= last &&
          (found < 0 || fd < found))
        found = fd;
    }
  return found;
}

}  // namespace

int hooked_close(int fd) {
  if (is_protected(fd)) {
    errno = EPERM;
    return -1;
  }
  return real_close(fd);
}

int hooked_dup2(int oldfd, int newfd) {
  // dup2(999, 999) changes nothing and stays allowed.
  if (oldfd != newfd && is_protected(newfd)) {
    errno = EPERM;
    return -1;
  }
  const int fd = real_dup2(oldfd, newfd);
  if (fd >= 0) copy_name_server_mark(oldfd, fd);  // a name server's socket stays watched
  return fd;
}

int hooked_dup3(int oldfd, int newfd, int flags) {
  if (oldfd != newfd && is_protected(newfd)) {
    errno = EPERM;
    return -1;
  }
  const int fd = real_dup3(oldfd, newfd, flags);
  if (fd >= 0) copy_name_server_mark(oldfd, fd);
  return fd;
}

int hooked_close_range(unsigned int first, unsigned int last, int flags) {
  const int kept = first <= last ? protected_in(first, last) : -1;
  if (kept < 0) return real_close_range(first, last, flags);
  // The parts on either side of the protected descriptor, each of which
  // may hold further protected ones.
  int result = 0;
  const unsigned int at = static_cast<unsigned int>(kept);
  if (at > first && hooked_close_range(first, at - 1, flags) != 0 && errno != EPERM) result = -1;
  if (result == 0 && at < last && hooked_close_range(at + 1, last, flags) != 0 && errno != EPERM) result = -1;
  if (result != 0) return -1;  // the kernel's own error (EINVAL for bad flags)
  errno = EPERM;
  return -1;
}

void hooked_closefrom(int first) {
  const int kept = first >= 0 ? protected_in(static_cast<unsigned int>(first), ~0U) : -1;
  if (kept < 0) return real_closefrom(first);
  // Below the protected descriptor: close_range, or one by one where the
  // kernel has none.
  if (kept > first && hooked_close_range(static_cast<unsigned int>(first), static_cast<unsigned int>(kept - 1), 0) != 0 &&
      errno != EPERM)
    for (int fd = first; fd < kept; ++fd) hooked_close(fd);
  hooked_closefrom(kept + 1);
}

int hooked___close_nocancel(int fd) {
  if (is_protected(fd)) {
    errno = EPERM;
    return -1;
  }
  return real___close_nocancel(fd);
}

int hooked_fcntl(int fd, int cmd, ...) {
  // Every command takes one argument at most, an int, a long or a pointer,
  // all passed the same way.
  va_list rest;
  va_start(rest, cmd);
  void *argument = va_arg(rest, void *);
  va_end(rest);
  if (cmd == F_SETFD && (reinterpret_cast<uintptr_t>(argument) & FD_CLOEXEC) && is_protected(fd)) {
    errno = EPERM;
    return -1;
  }
  const int result = real_fcntl(fd, cmd, argument);
  if ((cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && result >= 0 && is_protected(result)) {
    // Only a route without hooks can have freed it; the duplicate does not
    // take its place.
    real_close(result);
    errno = EPERM;
    return -1;
  }
  return result;
}

int hooked_ioctl(int fd, unsigned long request, ...) {
  va_list rest;
  va_start(rest, request);
  void *argument = va_arg(rest, void *);
  va_end(rest);
  if (request == FIOCLEX && is_protected(fd)) {
    errno = EPERM;
    return -1;
  }
  return real_ioctl(fd, request, argument);
}

namespace {

// The log 999 held when this process started; 0/0 when it had none.
struct {
  dev_t device;
  ino_t inode;
  bool known;
} function_log;

// "/proc/<pid>/fd/999" written without the C library's formatting: this
// runs in posix_spawn's child, on its small stack.
void function_log_path(long pid, char (&path)[48]) {
  char *at = path;
  for (const char *part = "/proc/"; *part;) *at++ = *part++;
  at = write_decimal(at, pid);
  for (const char *part = "/fd/999"; *part;) *at++ = *part++;
  *at = '\0';
}

}  // namespace

char *write_decimal(char *at, long number) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number > 0 && count < 20);
  while (count > 0) *at++ = digits[--count];
  *at = '\0';
  return at;
}

int reach_function_log(long first_pid) {
  char path[48];
  function_log_path(first_pid, path);
  // Appending: when the log is a file, this copy must not write over it
  // from its start.
  const int fd = real_open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno;
  const int result = real_dup2(fd, ALERT_LOG_FD) == ALERT_LOG_FD ? 0 : errno;
  real_close(fd);
  return result;
}

void remember_function_log() {
  struct stat log;
  function_log.known = fstat(ALERT_LOG_FD, &log) == 0;
  if (!function_log.known) return;
  function_log.device = log.st_dev;
  function_log.inode = log.st_ino;
}

void keep_function_log_for_start() {
  if (!function_log.known) return;
  const int saved_errno = errno;
  struct stat now;
  if (fstat(ALERT_LOG_FD, &now) == 0 && now.st_dev == function_log.device && now.st_ino == function_log.inode) {
    const int flags = real_fcntl(ALERT_LOG_FD, F_GETFD);
    if (flags > 0 && (flags & FD_CLOEXEC)) real_fcntl(ALERT_LOG_FD, F_SETFD, flags & ~FD_CLOEXEC);
  } else {
    // Lost, or replaced by a route without hooks: the first process's copy,
    // when this is not the first process (whose own copy it was).
    const long first_pid = static_cast<long>(state_identity.creator_pid);
    if (first_pid > 0 && first_pid != static_cast<long>(getpid())) reach_function_log(first_pid);
  }
  errno = saved_errno;
}
