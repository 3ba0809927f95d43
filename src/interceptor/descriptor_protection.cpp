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
#include "interceptor/interceptor.hpp"

#include <errno.h>

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
