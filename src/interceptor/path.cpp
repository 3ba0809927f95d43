// Absolute paths for events: the file system's answer when the file exists,
// a purely textual one when it does not (yet).
#include "interceptor/interceptor.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Appends one segment to `out` (which holds `length` bytes, the root "/"
// at least), applying "." and ".." textually.
size_t append_segment(char *out, size_t length, std::string_view segment) {
  if (segment.empty() || segment == ".") return length;
  if (segment == "..") {
    // ".." at the root stays at the root.
    while (length > 1 && out[length - 1] != '/') --length;
    if (length > 1) --length;  // drop the separator before the removed segment
    return length;
  }
  if (length > 1) out[length++] = '/';
  memcpy(out + length, segment.data(), segment.size());
  return length + segment.size();
}

size_t append_segments(char *out, size_t length, std::string_view text) {
  while (!text.empty()) {
    size_t end = text.find('/');
    if (end == std::string_view::npos) end = text.size();
    length = append_segment(out, length, text.substr(0, end));
    text.remove_prefix(end == text.size() ? end : end + 1);
  }
  return length;
}

}  // namespace

thread_local constinit int own_path_work_depth = 0;

char *lexical_absolute_path(const char *base, const char *path) {
  if (!path) return nullptr;
  const bool relative = path[0] != '/';
  if (relative && !base) return nullptr;
  const size_t base_length = relative ? strlen(base) : 0;
  // The result is never longer than "/" + base + "/" + path.
  char *out = static_cast<char *>(malloc(base_length + strlen(path) + 3));
  if (!out) return nullptr;
  out[0] = '/';
  size_t length = 1;
  if (relative) length = append_segments(out, length, base);
  length = append_segments(out, length, path);
  out[length] = '\0';
  return out;
}

bool lexical_absolute_path_into(const char *path, char (&out)[PATH_MAX]) {
  // Normalising never lengthens an absolute path beyond its own text.
  if (!path || path[0] != '/' || strnlen(path, PATH_MAX) >= PATH_MAX) return false;
  out[0] = '/';
  const size_t length = append_segments(out, 1, path);
  out[length] = '\0';
  return true;
}

namespace {

// The textual route, for a path that the file system cannot resolve.
char *unresolved_absolute_path(const char *path) {
  // An absolute path needs no current directory: a process that removed its
  // own directory must not have its absolute paths go unjudged.
  if (path[0] == '/') return lexical_absolute_path(nullptr, path);
  own_path_work scope;
  char *directory = get_current_dir_name();
  // get_current_dir_name trusts $PWD when it names the same directory, even
  // in a relative form; only an absolute base can be joined.
  if (directory && directory[0] != '/') {
    free(directory);
    directory = getcwd(nullptr, 0);
  }
  if (!directory || directory[0] != '/') {
    free(directory);
    return nullptr;
  }
  char *result = lexical_absolute_path(directory, path);
  free(directory);
  return result;
}

}  // namespace

char *absolute_path(const char *path) {
  if (!path) return nullptr;
  {
    own_path_work scope;
    if (char *resolved = canonicalize_file_name(path)) return resolved;
  }
  return unresolved_absolute_path(path);
}

char *absolute_path_into(const char *path, char (&buffer)[PATH_MAX]) {
  if (!path) return nullptr;
  {
    own_path_work scope;
    // realpath into a buffer is canonicalize_file_name without the
    // allocation; only a result longer than the buffer needs the allocating
    // call (a folder deeper than PATH_MAX has no shorter name).
    if (char *resolved = realpath(path, buffer)) return resolved;
    if (errno == ENAMETOOLONG)
      if (char *resolved = canonicalize_file_name(path)) return resolved;
  }
  // An absolute path that fits is made in place: no allocation on the
  // routes that must not make one (posix_spawn's child).
  if (lexical_absolute_path_into(path, buffer)) return buffer;
  return unresolved_absolute_path(path);
}
