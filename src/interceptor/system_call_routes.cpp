// The C library's syscall() with the number of a watched call: the same
// judgement as the patched function of that name, so that one exported call
// through ctypes or an FFI does not step around it. The state record's and
// descriptor 999's numbers are routed in state_guard.cpp.
#include "interceptor/interceptor.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>

#include <climits>

namespace {

const char *text(long word) { return reinterpret_cast<const char *>(word); }
int number(long word) { return static_cast<int>(word); }
auto address(long word) { return reinterpret_cast<const struct sockaddr *>(word); }
auto strings(long word) { return reinterpret_cast<char *const *>(word); }

}  // namespace

bool route_watched_syscall(long call, const long a[6], long *result) {
  switch (call) {
#ifdef SYS_open
    case SYS_open:
      *result = hooked_open(text(a[0]), number(a[1]), static_cast<mode_t>(a[2]));
      return true;
    case SYS_creat:
      *result = hooked_creat(text(a[0]), static_cast<mode_t>(a[1]));
      return true;
#endif
    case SYS_openat:
      *result = hooked_openat(number(a[0]), text(a[1]), number(a[2]), static_cast<mode_t>(a[3]));
      return true;
    case SYS_openat2: {
      // Without resolve restrictions it is an openat; with them the kernel
      // resolves in ways the patched open does not copy, and it goes as is.
      const auto *how = reinterpret_cast<const open_how *>(a[2]);
      if (!how || static_cast<size_t>(a[3]) < sizeof(open_how) || how->resolve != 0 || how->flags > INT_MAX) return false;
      *result = hooked_openat(number(a[0]), text(a[1]), static_cast<int>(how->flags), static_cast<mode_t>(how->mode));
      return true;
    }
    case SYS_connect:
      *result = hooked_connect(number(a[0]), address(a[1]), static_cast<socklen_t>(a[2]));
      return true;
    case SYS_sendto:
      *result = hooked_sendto(number(a[0]), reinterpret_cast<const void *>(a[1]), static_cast<size_t>(a[2]),
                              number(a[3]), address(a[4]), static_cast<socklen_t>(a[5]));
      return true;
    case SYS_sendmsg:
      *result = hooked_sendmsg(number(a[0]), reinterpret_cast<const struct msghdr *>(a[1]), number(a[2]));
      return true;
    case SYS_sendmmsg:
      *result = hooked_sendmmsg(number(a[0]), reinterpret_cast<struct mmsghdr *>(a[1]),
                                static_cast<unsigned>(a[2]), number(a[3]));
      return true;
    case SYS_bind:
      *result = hooked_bind(number(a[0]), address(a[1]), static_cast<socklen_t>(a[2]));
      return true;
    case SYS_execve:
      *result = hooked_execve(text(a[0]), strings(a[1]), strings(a[2]));
      return true;
    case SYS_execveat:
      *result = hooked_execveat(number(a[0]), text(a[1]), strings(a[2]), strings(a[3]), number(a[4]));
      return true;
#ifdef SYS_mkdir
    case SYS_mkdir:
      *result = hooked_mkdir(text(a[0]), static_cast<mode_t>(a[1]));
      return true;
    case SYS_symlink:
      *result = hooked_symlink(text(a[0]), text(a[1]));
      return true;
    case SYS_link:
      *result = hooked_link(text(a[0]), text(a[1]));
      return true;
    case SYS_mknod:
      *result = hooked_mknod(text(a[0]), static_cast<mode_t>(a[1]), static_cast<dev_t>(a[2]));
      return true;
    case SYS_rename:
      *result = hooked_rename(text(a[0]), text(a[1]));
      return true;
#endif
    case SYS_mkdirat:
      *result = hooked_mkdirat(number(a[0]), text(a[1]), static_cast<mode_t>(a[2]));
      return true;
    case SYS_symlinkat:
      *result = hooked_symlinkat(text(a[0]), number(a[1]), text(a[2]));
      return true;
    case SYS_linkat:
      *result = hooked_linkat(number(a[0]), text(a[1]), number(a[2]), text(a[3]), number(a[4]));
      return true;
    case SYS_mknodat:
      *result = hooked_mknodat(number(a[0]), text(a[1]), static_cast<mode_t>(a[2]), static_cast<dev_t>(a[3]));
      return true;
#ifdef SYS_renameat
    case SYS_renameat:
      *result = hooked_renameat(number(a[0]), text(a[1]), number(a[2]), text(a[3]));
      return true;
#endif
    case SYS_renameat2:
      *result = hooked_renameat2(number(a[0]), text(a[1]), number(a[2]), text(a[3]), static_cast<unsigned>(a[4]));
      return true;
    default:
      return false;
  }
}
