// The verdict on opening a path: the "fs_open" event made from the path's
// absolute form and handed to the verdict callback. The open routes
// (file_open.cpp, open_resolution.cpp, name_creation.cpp) call these; these
// call none of them.
#include "interceptor/interceptor.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "core/core.hpp"

namespace {

bool opens_for_writing(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }

bool may_write(int flags) {
  return opens_for_writing(flags) || (flags & (O_CREAT | O_TRUNC)) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

}  // namespace

int judge_canonical_path(const char *path, int flags) {
  if (!registered_callback) return 0;
  // Writing in the folder /tmp itself (O_TMPFILE, or a name the kernel
  // refuses as a folder) is writing under /tmp.
  if (std::string_view(path) == "/tmp" && may_write(flags)) path = "/tmp/";
  const int saved_errno = errno;
  char event_buffer[512];
  json_text event(event_buffer, sizeof event_buffer);
  begin_event(event, "fs_open");
  event.begin_object();
  event.member("path", path);
  event.end_object();
  const int verdict = judge_event(event);
  errno = saved_errno;
  return verdict;
}

int judge_opened_file(const char *path, int flags, int fd) {
  // Only a file under /tmp may be another name of the state file.
  const bool under_tmp = path[0] == '/' && path[1] == 't' && path[2] == 'm' && path[3] == 'p' && path[4] == '/';
  if (!under_tmp) return judge_canonical_path(path, flags);
  const int previous = judged_descriptor;
  judged_descriptor = fd;
  const int verdict = judge_canonical_path(path, flags);
  judged_descriptor = previous;
  return verdict;
}

int judge_file_open_flags(const char *path, int flags) {
  if (!path || !registered_callback) return 0;
  const int saved_errno = errno;
  int verdict = 0;
  // Every failed open comes here: no allocation on the usual route.
  char buffer[PATH_MAX];
  if (char *absolute = absolute_path_into(path, buffer)) {
    verdict = judge_canonical_path(absolute, flags);
    if (absolute != buffer) free(absolute);
  }
  errno = saved_errno;
  return verdict;
}

int judge_file_open(const char *path) { return judge_file_open_flags(path, O_RDONLY); }
