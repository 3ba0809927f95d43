// Loader variables that make a new program write a file before the library
// is loaded into it: LD_DEBUG with LD_DEBUG_OUTPUT (the loader writes
// <output>.<pid>) and LD_PROFILE (it writes <LD_PROFILE_OUTPUT, else
// /var/tmp>/<object>.profile). Each is judged at the start, in the caller,
// as the open it would cause; a refused one is left out of the new
// program's environment, which then starts without it.
//
// The loader's other variables only read: LD_LIBRARY_PATH and LD_AUDIT name
// code, which must have been written first (and that write was judged);
// LD_PRELOAD is always the library's own; GLIBC_TUNABLES writes nothing.
#include "interceptor/interceptor.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

namespace {

// The value of the last entry of `name` (the one the loader takes), or null.
const char *last_value(char *const envp[], std::string_view name) {
  const char *value = nullptr;
  for (size_t i = 0; envp[i]; ++i)
    if (strncmp(envp[i], name.data(), name.size()) == 0 && envp[i][name.size()] == '=')
      value = envp[i] + name.size() + 1;
  return value;
}

bool is_set(const char *value) { return value && *value; }

// Appends `part` to `out` at `length`; false when it does not fit.
bool append(char (&out)[PATH_MAX], size_t &length, std::string_view part) {
  if (length + part.size() >= sizeof out) return false;
  memcpy(out + length, part.data(), part.size());
  length += part.size();
  out[length] = '\0';
  return true;
}

// The verdict on creating `path` as the loader would (no link followed in
// the last place), judged by the folder it lands in.
int judge_loader_write(const char *path) {
  constexpr int FLAGS = O_WRONLY | O_CREAT | O_NOFOLLOW;
  creation_target target;
  const int verdict = resolve_creation_target(AT_FDCWD, path, FLAGS, target);
  return target.folder_fd >= 0 ? verdict : judge_path_text(AT_FDCWD, path, FLAGS);
}

}  // namespace

unsigned judge_loader_writes(char *const envp[], long pid) {
  if (!envp || !registered_callback) return 0;
  // Most environments hold no LD_DEBUG_OUTPUT and no LD_PROFILE.
  bool any = false;
  for (size_t i = 0; envp[i] && !any; ++i)
    any = strncmp(envp[i], "LD_DEBUG_OUTPUT=", 16) == 0 || strncmp(envp[i], "LD_PROFILE=", 11) == 0;
  if (!any) return 0;
  unsigned refused = 0;
  char path[PATH_MAX];
  size_t length = 0;
  const char *output = last_value(envp, "LD_DEBUG_OUTPUT");
  if (is_set(last_value(envp, "LD_DEBUG")) && is_set(output) && append(path, length, output)) {
    // The new program's pid, when the caller knows it.
    if (pid > 0 && length + 22 < sizeof path) {
      path[length] = '.';
      write_decimal(path + length + 1, pid);
    }
    if (judge_loader_write(path)) refused |= LOADER_DEBUG_OUTPUT;
  }
  const char *profile = last_value(envp, "LD_PROFILE");
  if (is_set(profile)) {
    const char *folder = last_value(envp, "LD_PROFILE_OUTPUT");
    length = 0;
    if (append(path, length, is_set(folder) ? folder : "/var/tmp") && append(path, length, "/") &&
        append(path, length, profile) && append(path, length, ".profile") && judge_loader_write(path))
      refused |= LOADER_PROFILE;
  }
  return refused;
}

bool loader_entry_refused(const char *entry, unsigned refused) {
  if (entry[0] != 'L' || entry[1] != 'D' || entry[2] != '_') return false;
  const std::string_view text(entry);
  if (refused & LOADER_DEBUG_OUTPUT)
    if (text.starts_with("LD_DEBUG_OUTPUT=")) return true;
  if (refused & LOADER_PROFILE)
    if (text.starts_with("LD_PROFILE=") || text.starts_with("LD_PROFILE_OUTPUT=")) return true;
  return false;
}
