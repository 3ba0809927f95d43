// Calls that make a new name without opening a file: folders, symbolic and
// hard links, named pipes and device files, Unix sockets bound to a path,
// renames. Each is judged as an open that creates the new name ("fs_open",
// a write), by the path the kernel gives it: its folder is opened once (a
// symbolic link in the last place is not followed, as none of these calls
// follows it), judged as that folder's path and the name, and the name is
// made in that very folder, so a link swapped in meanwhile changes nothing.
// Where no folder can be held, the caller's own path is judged by its text
// and used as it is (the kernel gives its own error).
#include "interceptor/interceptor.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

// Making a name is judged as this open would be: a write that creates and
// follows no link in the last place.
constexpr int NEW_NAME = O_WRONLY | O_CREAT | O_EXCL;

// Judges making `path` (relative to `dirfd`), then returns what
// `make(folder, name)` returns: the judged folder and the name in it, or
// the caller's own folder and path when no folder could be held.
template <typename Make>
int make_judged_name(int dirfd, const char *path, Make make) {
  // An empty path names nothing (the kernel's ENOENT); the library's own
  // path work makes no names.
  if (!path || !path[0] || !registered_callback || own_path_work_depth > 0) return make(dirfd, path);
  creation_target target;
  // "name/" makes "name" (mkdir), or fails: judged as the name, and made by
  // the caller's own path, which gives the kernel's answer to the slash.
  const size_t length = strnlen(path, PATH_MAX);
  if (length > 1 && length < PATH_MAX && path[length - 1] == '/') {
    char name[PATH_MAX];
    size_t end = length;
    while (end > 1 && path[end - 1] == '/') --end;
    memcpy(name, path, end);
    name[end] = '\0';
    const int verdict = resolve_creation_target(dirfd, name, NEW_NAME, target);
    const bool held = target.folder_fd >= 0;
    target.release();
    if (const int refusal = held ? verdict : judge_path_text(dirfd, path, NEW_NAME)) return errno = refusal, -1;
    return make(dirfd, path);
  }
  const int verdict = resolve_creation_target(dirfd, path, NEW_NAME, target);
  if (target.folder_fd < 0) {
    if (int text_verdict = judge_path_text(dirfd, path, NEW_NAME)) return errno = text_verdict, -1;
    return make(dirfd, path);
  }
  if (verdict) return errno = verdict, -1;
  return make(target.folder_fd, target.last_name);
}

}  // namespace

// mkdir, symlink, link, mknod and rename are made with their *at forms, so
// that a C library whose plain form jumps into the *at one (mknod into
// mknodat on x86-64) judges each call once.
int hooked_mkdir(const char *path, mode_t mode) { return hooked_mkdirat(AT_FDCWD, path, mode); }

int hooked_mkdirat(int dirfd, const char *path, mode_t mode) {
  return make_judged_name(dirfd, path, [&](int folder, const char *name) { return real_mkdirat(folder, name, mode); });
}

int hooked_symlink(const char *target, const char *path) { return hooked_symlinkat(target, AT_FDCWD, path); }

int hooked_symlinkat(const char *target, int dirfd, const char *path) {
  return make_judged_name(dirfd, path,
                          [&](int folder, const char *name) { return real_symlinkat(target, folder, name); });
}

int hooked_link(const char *old_path, const char *path) { return hooked_linkat(AT_FDCWD, old_path, AT_FDCWD, path, 0); }

int hooked_linkat(int old_dirfd, const char *old_path, int dirfd, const char *path, int flags) {
  return make_judged_name(
      dirfd, path, [&](int folder, const char *name) { return real_linkat(old_dirfd, old_path, folder, name, flags); });
}

int hooked_mknod(const char *path, mode_t mode, dev_t device) { return hooked_mknodat(AT_FDCWD, path, mode, device); }

int hooked_mknodat(int dirfd, const char *path, mode_t mode, dev_t device) {
  return make_judged_name(dirfd, path,
                          [&](int folder, const char *name) { return real_mknodat(folder, name, mode, device); });
}

int hooked_rename(const char *old_path, const char *path) { return hooked_renameat(AT_FDCWD, old_path, AT_FDCWD, path); }

int hooked_renameat(int old_dirfd, const char *old_path, int dirfd, const char *path) {
  return make_judged_name(dirfd, path,
                          [&](int folder, const char *name) { return real_renameat(old_dirfd, old_path, folder, name); });
}

int hooked_renameat2(int old_dirfd, const char *old_path, int dirfd, const char *path, unsigned flags) {
  const auto rename_to = [&](int old_folder, const char *old_name) {
    return make_judged_name(dirfd, path, [&](int folder, const char *name) {
      return real_renameat2(old_folder, old_name, folder, name, flags);
    });
  };
  // An exchange gives the old name the other file: both names are made.
  if ((flags & RENAME_EXCHANGE) != 0) return make_judged_name(old_dirfd, old_path, rename_to);
  return rename_to(old_dirfd, old_path);
}

// A Unix socket bound to a path makes that name; an abstract address (a
// first byte 0) and every other family make none. The socket is bound with
// the caller's own address, so that it reads back as given: a link swapped
// into its folder's path after the judgement is not noticed here.
int hooked_bind(int sockfd, const struct sockaddr *addr, socklen_t addrlen) {
  constexpr size_t PATH_OFFSET = offsetof(sockaddr_un, sun_path);
  if (!addr || addrlen <= PATH_OFFSET || addr->sa_family != AF_UNIX)
    return real_bind(sockfd, addr, addrlen);
  const auto *unix_address = reinterpret_cast<const sockaddr_un *>(addr);
  // The kernel reads at most sun_path's size, up to the first NUL.
  char path[sizeof unix_address->sun_path + 1];
  const size_t length = strnlen(unix_address->sun_path, std::min(addrlen - PATH_OFFSET, sizeof unix_address->sun_path));
  if (length == 0) return real_bind(sockfd, addr, addrlen);
  memcpy(path, unix_address->sun_path, length);
  path[length] = '\0';
  return make_judged_name(AT_FDCWD, path, [&](int, const char *) { return real_bind(sockfd, addr, addrlen); });
}
