#include "core/core.hpp"
#include "core/diagnostics.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

state_record *state_map = nullptr;
bool state_writable = false;
bool in_place_first_process = false;

namespace {

int map_inherited(const char *path) {
  // Opened without the hooks (they are not installed yet at start-up).
  // Non-blocking so that a FIFO named here cannot stall start-up; it is then
  // refused by the size check below.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  // A file shorter than the record would fault on first read beyond its end:
  // refuse it here as a mapping failure.
  struct stat info;
  if (fd >= 0 && fstat(fd, &info) == 0 && info.st_size < static_cast<off_t>(sizeof(state_record))) {
    close(fd);
    errno = EINVAL;
    print_message(message_stream::output, "Cannot map existing state file: %s", strerror(errno));
    return 0;
  }
  void *mapping = mmap(nullptr, sizeof(state_record), PROT_READ, MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED) {
    print_message(message_stream::output, "Cannot map existing state file: %s", strerror(errno));
    if (fd >= 0) close(fd);
    return 0;
  }
  // The descriptor stays open for the life of the process.
  state_map = static_cast<state_record *>(mapping);
  state_writable = false;
  return 1;
}

int create_new() {
  char path[] = "/tmp/tesselguard_state_XXXXXX";
  // Close-on-exec: executed programs map the file read-only by its path and
  // must not inherit this writable descriptor to the shared record.
  int fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0) {
    print_message(message_stream::output, "Cannot create state file: %s", strerror(errno));
    return 0;
  }
  if (ftruncate(fd, sizeof(state_record)) != 0) {
    print_message(message_stream::output, "Cannot truncate state file: %s", strerror(errno));
    return 0;
  }
  // ftruncate only makes a hole: on a full /tmp the first write to the
  // mapping would then kill the process with SIGBUS. Reserve the blocks now,
  // so a full file system fails here, as a sizing failure.
  if (int error = posix_fallocate(fd, 0, sizeof(state_record))) {
    print_message(message_stream::output, "Cannot truncate state file: %s", strerror(error));
    return 0;
  }
  void *mapping = mmap(nullptr, sizeof(state_record), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED) {
    print_message(message_stream::output, "Cannot map state file: %s", strerror(errno));
    return 0;
  }
  if (setenv(STATE_PATH_VARIABLE, path, 1) != 0) {
    print_message(message_stream::output, "Cannot set TESSELGUARD_STATE_PATH environment variable: %s", strerror(errno));
    return 0;
  }
  state_record *record = static_cast<state_record *>(mapping);
  record->provider = PROVIDER_UNSUPPORTED;
  record->read_write_tmp = MODE_ALLOW;
  record->create_child_process = MODE_ALLOW;
  record->outbound_connectivity = MODE_ALLOW;
  record->read_handler = MODE_ALLOW;
  memset(record->runtime, 0, sizeof record->runtime);
  memset(record->runtime_version, 0, sizeof record->runtime_version);
  memset(record->handler_path, 0, sizeof record->handler_path);
  record->disable_analytics = 0;
  record->cookie = 0;
  record->failed_cookie_count = 0;
  state_map = record;
  state_writable = true;
  record->provider = detect_provider();
  return 1;
}

}  // namespace

int state_init() {
  const char *inherited = env_lookup(STATE_PATH_VARIABLE);
  if (inherited) return map_inherited(inherited);
  return create_new();
}
