// What an open reaches, as the kernel sees it: the path of an open
// descriptor, and the folder a file is about to be created in, held open so
// that the file is made exactly where it was judged to be.
#include "interceptor/interceptor.hpp"
#include "core/kernel_call.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Cleared for good when the kernel has no openat2 (before 5.6, or filtered).
std::atomic<bool> openat2_available{true};

constexpr std::string_view DELETED_SUFFIX = " (deleted)";
// As many symbolic links as the kernel follows in one lookup.
constexpr int MAX_LINKS = 40;
// A link put in the place of a judged name between judgement and open is
// judged again; an endless swapper gets the kernel's ELOOP in the end.
constexpr int MAX_SWAPS = 8;

// The descriptor link's name in /proc; no stdio on this route.
void descriptor_link(int fd, char (&link)[40]) {
  static constexpr char prefix[] = "/proc/self/fd/";
  memcpy(link, prefix, sizeof prefix);
  char digits[16];
  int count = 0;
  unsigned value = static_cast<unsigned>(fd);
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  size_t at = sizeof prefix - 1;
  while (count > 0) link[at++] = digits[--count];
  link[at] = '\0';
}

void close_keeping_errno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

// Splits `path` into the folder part (kept in `folder`) and its last name.
// False when the last name is not a plain name ("", ".", ".."), or too long.
bool split_last_name(const char *path, char (&folder)[PATH_MAX], const char *&last) {
  const char *slash = strrchr(path, '/');
  last = slash ? slash + 1 : path;
  const std::string_view name(last);
  if (name.empty() || name == "." || name == "..") return false;
  if (!slash) {
    folder[0] = '.';
    folder[1] = '\0';
    return true;
  }
  size_t length = static_cast<size_t>(slash - path);
  if (length == 0) length = 1;  // "/name": the root
  if (length >= sizeof folder) return false;
  memcpy(folder, path, length);
  folder[length] = '\0';
  return true;
}

// `folder` + "/" + `name` into `out`; false when it does not fit.
bool join_name(char (&out)[PATH_MAX], const char *folder, const char *name) {
  const size_t folder_length = strlen(folder);
  const size_t name_length = strlen(name);
  const bool root = folder_length == 1 && folder[0] == '/';
  const size_t length = folder_length + (root ? 0 : 1) + name_length;
  if (length >= sizeof out) return false;
  memmove(out, folder, folder_length);
  size_t at = folder_length;
  if (!root) out[at++] = '/';
  memcpy(out + at, name, name_length + 1);
  return true;
}

}  // namespace

bool descriptor_path(int fd, char (&out)[PATH_MAX]) {
  char link[40];
  descriptor_link(fd, link);
  const int saved = errno;
  const ssize_t length = readlink(link, out, sizeof out - 1);
  errno = saved;
  // Pipes, sockets and other objects without a name have no absolute path.
  if (length <= 0 || length >= static_cast<ssize_t>(sizeof out) - 1 || out[0] != '/') return false;
  std::string_view text(out, static_cast<size_t>(length));
  // A file unlinked since it was opened is still that file.
  if (text.ends_with(DELETED_SUFFIX)) text.remove_suffix(DELETED_SUFFIX.size());
  out[text.size()] = '\0';
  return true;
}

int judge_path_text(int dirfd, const char *path, int flags) {
  if (!path) return 0;
  if (path[0] == '/' || dirfd == AT_FDCWD) return judge_file_open_flags(path, flags);
  // Relative to a folder descriptor: that folder's path, then the name.
  char joined[PATH_MAX];
  if (!descriptor_path(dirfd, joined) || !join_name(joined, joined, path)) return 0;
  return judge_file_open_flags(joined, flags);
}

int judge_descriptor(int fd, int dirfd, const char *path, int flags) {
  char kernel_path[PATH_MAX];
  if (descriptor_path(fd, kernel_path)) return judge_opened_file(kernel_path, flags, fd);
  return judge_path_text(dirfd, path, flags);
}

void creation_target::release() {
  if (folder_fd >= 0) close_keeping_errno(folder_fd);
  folder_fd = -1;
}

int resolve_creation_target(int dirfd, const char *path, int flags, creation_target &target,
                            const char *already_judged) {
  target.release();
  // One link text and the target's own buffers: this runs on posix_spawn's
  // small child stack too.
  char link_text[PATH_MAX];
  const bool follows_last = (flags & O_NOFOLLOW) == 0 && (flags & (O_CREAT | O_EXCL)) != (O_CREAT | O_EXCL);
  int base = dirfd;
  for (int hop = 0; hop <= MAX_LINKS; ++hop) {
    // The folder part goes where the judged path is written later; the name
    // may lie in the link text read next, so the target keeps a copy.
    if (!split_last_name(path, target.judged, target.last_name)) break;
    const size_t name_length = strlen(target.last_name);
    if (name_length > NAME_MAX) break;
    memcpy(target.name, target.last_name, name_length + 1);
    target.last_name = target.name;
    const int folder_fd = real_openat(base, target.judged, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (base != dirfd) close_keeping_errno(base);
    base = dirfd;
    if (folder_fd < 0) break;
    if (follows_last) {
      // A symbolic link in the last place is followed by the kernel, even
      // to a file that does not exist yet: follow it here, from its folder.
      const int saved = errno;
      const ssize_t length = readlinkat(folder_fd, target.name, link_text, PATH_MAX - 1);
      errno = saved;
      if (length > 0 && length < PATH_MAX - 1) {
        link_text[length] = '\0';
        path = link_text;
        base = folder_fd;
        continue;
      }
    }
    if (!descriptor_path(folder_fd, target.judged) || !join_name(target.judged, target.judged, target.name)) {
      close_keeping_errno(folder_fd);
      break;
    }
    target.folder_fd = folder_fd;
    if (already_judged && strcmp(already_judged, target.judged) == 0) return 0;
    return judge_canonical_path(target.judged, flags);
  }
  if (base != dirfd) close_keeping_errno(base);
  // No folder to hold (target.folder_fd stays -1): the caller judges by the
  // text and opens by its own path, which gives the kernel's own error.
  return 0;
}

int open_judged_first(int dirfd, const char *path, int flags, mode_t mode, const char *already_judged) {
  // O_TMPFILE names a folder, and a file is made in it: judged as that
  // folder, opened through the descriptor that was judged.
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    const int folder_fd = real_openat(dirfd, path, O_PATH | O_DIRECTORY | O_CLOEXEC | (flags & O_NOFOLLOW));
    if (folder_fd < 0) {
      if (int verdict = judge_path_text(dirfd, path, flags)) return errno = verdict, -1;
      return real_openat(dirfd, path, flags, mode);
    }
    int verdict = judge_descriptor(folder_fd, dirfd, path, flags);
    const int fd = verdict ? -1 : real_openat(folder_fd, ".", flags, mode);
    close_keeping_errno(folder_fd);
    if (verdict) errno = verdict;
    return fd;
  }
  for (int swap = 0; swap < MAX_SWAPS; ++swap) {
    creation_target target;
    const int verdict = resolve_creation_target(dirfd, path, flags, target, already_judged);
    if (target.folder_fd < 0) {
      if (int text_verdict = judge_path_text(dirfd, path, flags)) return errno = text_verdict, -1;
      return real_openat(dirfd, path, flags, mode);
    }
    if (verdict) {
      target.release();
      errno = verdict;
      return -1;
    }
    bool link_appeared = false;
    const int fd = open_in_judged_folder(target, flags, mode, link_appeared);
    target.release();
    if (!link_appeared) return fd;
  }
  errno = ELOOP;
  return -1;
}

int open_in_judged_folder(const creation_target &target, int flags, mode_t mode, bool &link_appeared) {
  // O_NOFOLLOW: a link put there since the judgement is not followed.
  const int fd = real_openat(target.folder_fd, target.last_name, flags | O_NOFOLLOW, mode);
  link_appeared = fd < 0 && errno == ELOOP && (flags & O_NOFOLLOW) == 0;
  return fd;
}

namespace {

bool canonical_open_possible(const char *path, int flags) {
  // realpath follows a link in the last place, which O_NOFOLLOW does not.
  if ((flags & O_NOFOLLOW) != 0 || !openat2_available.load(std::memory_order_relaxed)) return false;
  const std::string_view text(path);
  // A descriptor's link reopens that very object, which its name may not.
  return !text.starts_with("/proc/") && !text.starts_with("/dev/fd/");
}

long open_without_links(const char *canonical, int flags, mode_t mode) {
  open_how how{};
  how.flags = static_cast<unsigned>(flags);
  if ((flags & O_CREAT) != 0) how.mode = mode;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const long fd = kernel_call(SYS_openat2, AT_FDCWD, reinterpret_cast<long>(canonical), reinterpret_cast<long>(&how),
                              sizeof how);
  if (fd < 0 && errno == ENOSYS) openat2_available.store(false, std::memory_order_relaxed);
  return fd;
}

// Errors that an openat2 with no link on its way shares with the plain
// open of the same text (an interrupted wait for a pipe's other end
// included: opening again would wait again).
bool fails_as_open_would(int error) {
  switch (error) {
    case ENOENT: case ENOTDIR: case EACCES: case EISDIR: case ENAMETOOLONG: case EINTR: case ENXIO:
    case ETXTBSY: case EROFS: case EMFILE: case ENFILE: case ENODEV: case EOVERFLOW: case EFBIG: case EBUSY:
      return true;
    default:
      return false;
  }
}

// The canonical path of `path`, or of its folder and the name when it is
// not there yet, unless the name is a link to a file not there yet (the
// folder route follows it).
bool canonical_creation_path(const char *path, char (&judged)[PATH_MAX]) {
  own_path_work scope;
  if (realpath(path, judged)) return true;
  char folder[PATH_MAX];
  const char *last = nullptr;
  return errno == ENOENT && readlink(path, folder, 1) < 0 && errno == ENOENT && split_last_name(path, folder, last) &&
         realpath(folder, judged) && join_name(judged, judged, last);
}

}  // namespace

bool create_through_canonical_path(const char *path, int flags, mode_t mode, int &result) {
  if ((flags & O_TMPFILE) == O_TMPFILE || !canonical_open_possible(path, flags)) return false;
  const int saved = errno;
  char judged[PATH_MAX];
  if (!canonical_creation_path(path, judged)) {
    errno = saved;
    return false;
  }
  if (int verdict = judge_canonical_path(judged, flags)) {
    errno = verdict;
    result = -1;
    return true;
  }
  const long fd = open_without_links(judged, flags, mode);
  if (fd >= 0) {
    errno = saved;
    result = static_cast<int>(fd);
    return true;
  }
  // A link on the way (a dangling one in the last place, or one swapped
  // in), flags or a mode openat2 refuses, a search permission only the
  // caller's own path has: the folder route, which follows links as the
  // kernel does and judges only a path not judged yet.
  if (errno == ELOOP || errno == EINVAL || errno == EACCES || errno == ENOSYS) {
    result = open_judged_first(AT_FDCWD, path, flags, mode, judged);
    return true;
  }
  result = -1;
  return true;
}

bool open_first_without_links(const char *path, int flags, mode_t mode, int &result) {
  // O_PATH|O_NOFOLLOW would open a link itself: the other routes.
  if ((flags & O_PATH) != 0 || !openat2_available.load(std::memory_order_relaxed)) return false;
  const int saved = errno;
  // A relative path is opened as the current folder's canonical path (the
  // kernel's, not $PWD) followed by the caller's own text.
  const bool relative = path[0] != '/';
  char joined[PATH_MAX];
  const char *opened = path;
  if (relative) {
    bool known;
    {
      own_path_work scope;
      known = getcwd(joined, sizeof joined) != nullptr && joined[0] == '/';
    }
    errno = saved;
    const size_t folder_length = known ? strlen(joined) : 0;
    const size_t path_length = strlen(path);
    if (!known || folder_length + 1 + path_length >= sizeof joined) return false;
    joined[folder_length] = '/';
    memcpy(joined + folder_length + 1, path, path_length + 1);
    opened = joined;
  }
  const std::string_view text(opened);
  if (text.starts_with("/proc/") || text.starts_with("/dev/fd/")) return false;
  char judged[PATH_MAX];
  if (!lexical_absolute_path_into(opened, judged)) return false;
  // The caller's own text, so that a failure is the kernel's for it.
  const long fd = open_without_links(opened, flags, mode);
  if (fd < 0) {
    const int error = errno;
    // With no link on the way the kernel stopped where it would have
    // anyway; the path is judged by its text, as any failed open is.
    // Anything else (a link, flags openat2 refuses, no openat2, a search
    // permission only the relative path has): the other routes.
    if (!fails_as_open_would(error) || (relative && error == EACCES)) {
      errno = saved;
      return false;
    }
    // A failed relative path's text is made as it always was (from $PWD
    // when that names the current folder).
    const int verdict = relative ? judge_file_open_flags(path, flags) : judge_canonical_path(judged, flags);
    errno = verdict ? verdict : error;
    result = -1;
    return true;
  }
  if (int verdict = judge_opened_file(judged, flags, static_cast<int>(fd))) {
    close_keeping_errno(static_cast<int>(fd));
    errno = verdict;
    result = -1;
    return true;
  }
  errno = saved;
  result = static_cast<int>(fd);
  return true;
}

bool canonical_route_applies(const char *path, int flags, char (&canonical)[PATH_MAX]) {
  if (!canonical_open_possible(path, flags)) return false;
  const int saved = errno;
  own_path_work scope;
  const bool resolved = realpath(path, canonical) != nullptr;
  errno = saved;
  return resolved;
}

int open_judged_canonical(const char *path, const char *canonical, int flags, mode_t mode) {
  const int saved = errno;
  // The canonical path holds no symbolic link: opened without following
  // any, it is the file that was judged, or the open fails.
  const long fd = open_without_links(canonical, flags, mode);
  if (fd >= 0) {
    errno = saved;
    return static_cast<int>(fd);
  }
  // The judged file was reached, and the wait for a pipe's other end cut
  // short: opening again would wait again.
  if (errno == EINTR) return -1;
  // A link swapped in, flags openat2 refuses, a search permission only the
  // relative path has: the caller's own path, judged again only when the
  // kernel went somewhere else.
  const int result = real_openat(AT_FDCWD, path, flags, mode);
  if (result < 0) return result;
  if (int verdict = judge_if_elsewhere(result, canonical, flags)) {
    close_keeping_errno(result);
    errno = verdict;
    return -1;
  }
  errno = saved;
  return result;
}

int judge_if_elsewhere(int fd, const char *judged, int flags) {
  char kernel_path[PATH_MAX];
  if (!descriptor_path(fd, kernel_path) || strcmp(kernel_path, judged) == 0) return 0;
  return judge_opened_file(kernel_path, flags, fd);
}

bool open_through_canonical_path(const char *path, int flags, mode_t mode, int &result) {
  char canonical[PATH_MAX];
  if (!canonical_route_applies(path, flags, canonical)) return false;
  if (int verdict = judge_canonical_path(canonical, flags)) {
    errno = verdict;
    result = -1;
    return true;
  }
  result = open_judged_canonical(path, canonical, flags, mode);
  return true;
}
