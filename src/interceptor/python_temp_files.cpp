// Python's own scratch files in /tmp, kept out of /tmp: gunicorn's worker
// heartbeat and tempfile's probe of the folder.
//
// Before it forks each worker, the gunicorn master makes the worker's
// heartbeat file with tempfile.mkstemp(prefix="wgunicorn-"), unlinks it at
// once and from then on only fchmods and fstats the descriptor. The first
// tempfile call of a process also probes each candidate folder (TMPDIR, then
// /tmp, ...): it creates an eight-character name, writes "blat", closes and
// unlinks it, and a failure of any step moves it to the next folder. Google's
// Python functions framework serves through gunicorn with no worker_tmp_dir,
// so under the tmp rule each cold start and each worker boot would be a
// write under /tmp: false records under alert, and under block the heartbeat
// goes wherever else the function may write, or no worker boots.
//
// So these opens get an anonymous memory file (memfd_create) instead: nothing
// is written in the folder, the heartbeat works through the descriptor as
// before (fchmod changes its ctime, fstat reads it), and the unlink of that
// very name that follows on the same thread is answered as done. Only this
// exact open qualifies: a Python interpreter, tempfile's flags and mode
// (O_RDWR|O_CREAT|O_EXCL|O_NOFOLLOW|O_CLOEXEC, 0600), a last name of eight
// characters of tempfile's alphabet, or "wgunicorn-" and eight, in /tmp
// itself or in the folder TMPDIR names under /tmp, and only while the tmp
// rule is not allow. Code that makes the same call gets a file no other
// process can find by name, gone with its last descriptor: nothing it writes
// there lands in /tmp. Where memfd_create fails, the open is judged as any.
#include "interceptor/interceptor.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "core/core.hpp"

namespace {

// What tempfile passes to os.open, which adds O_CLOEXEC.
constexpr int TEMPFILE_FLAGS = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t TEMPFILE_MODE = 0600;
constexpr std::string_view HEARTBEAT_PREFIX = "wgunicorn-";
// tempfile._RandomNameSequence: eight of these.
constexpr std::string_view NAME_ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789_";
constexpr size_t RANDOM_LENGTH = 8;

// The name of the last file routed on this thread, until its unlink.
thread_local char routed_name[HEARTBEAT_PREFIX.size() + RANDOM_LENGTH + 1];

bool is_random_name(std::string_view name) {
  return name.size() == RANDOM_LENGTH && name.find_first_not_of(NAME_ALPHABET) == std::string_view::npos;
}

bool is_tempfile_name(std::string_view name) {
  if (name.starts_with(HEARTBEAT_PREFIX)) name.remove_prefix(HEARTBEAT_PREFIX.size());
  return is_random_name(name);
}

// /tmp, or TMPDIR's folder under /tmp: where tempfile makes files.
bool is_temporary_folder(std::string_view folder) {
  if (folder == "/tmp") return true;
  const char *tmpdir = env_lookup("TMPDIR");
  if (!tmpdir) return false;
  std::string_view chosen(tmpdir);
  while (chosen.size() > 1 && chosen.back() == '/') chosen.remove_suffix(1);
  return chosen.starts_with("/tmp/") && folder == chosen;
}

// python, python3 or python3.<minor>, by the running program's own file.
bool running_python() {
  char exe[PATH_MAX];
  const int saved = errno;
  const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  errno = saved;
  if (length <= 0) return false;
  std::string_view name(exe, static_cast<size_t>(length));
  name.remove_prefix(name.rfind('/') + 1);
  if (name == "python" || name == "python3") return true;
  if (!name.starts_with("python3.") || name.size() == 8) return false;
  return name.substr(8).find_first_not_of("0123456789") == std::string_view::npos;
}

// The last name of `path` when it is a tempfile name in a temporary folder.
bool split_tempfile_path(const char *path, std::string_view &name) {
  if (!path || path[0] != '/') return false;
  const std::string_view text(path);
  const size_t slash = text.rfind('/');
  name = text.substr(slash + 1);
  return is_tempfile_name(name) && is_temporary_folder(text.substr(0, slash));
}

}  // namespace

bool python_temp_file_route(const char *path, int flags, mode_t mode, int &result) {
  if (flags != TEMPFILE_FLAGS || mode != TEMPFILE_MODE) return false;
  std::string_view name;
  if (!split_tempfile_path(path, name)) return false;
  if (!state_map || load_field(state_map->read_write_tmp) == MODE_ALLOW || !running_python()) return false;
  const int saved = errno;
  const int fd = memfd_create(name.starts_with(HEARTBEAT_PREFIX) ? "wgunicorn" : "tempfile", MFD_CLOEXEC);
  errno = saved;
  if (fd < 0) return false;
  memcpy(routed_name, name.data(), name.size());
  routed_name[name.size()] = '\0';
  result = fd;
  return true;
}

int hooked_unlink(const char *path) {
  std::string_view name;
  if (routed_name[0] && split_tempfile_path(path, name) && name == routed_name) {
    routed_name[0] = '\0';
    return 0;
  }
  return real_unlink(path);
}
