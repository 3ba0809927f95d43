// The shared state file: created and mapped by the function's first
// process, mapped by every process started below it.
//
// No descriptor to the file stays open after start-up, in any process: with
// one open, the function's code could write the record (pwrite) or cut the
// file short (every process of the function would die of SIGBUS). The
// mapping is all that is kept, and it is read-only in every process: the
// few processes that may write the record make it writable for the length
// of their own write (state_write_scope), so a stray or hostile memory write
// faults instead of changing the policy.
#include "core/contract.hpp"
#include "core/core.hpp"
#include "core/diagnostics.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

state_record *state_map = nullptr;
bool state_writable = false;
bool in_place_first_process = false;
state_file_identity state_identity = {};

namespace {

// The mapping state_init made; tests may point state_map at a record of
// their own, which is plain memory.
state_record *mapped_record = nullptr;
// Taken by the outermost write scope of a thread: one writer at a time, so
// one thread's end of writing never makes the record read-only under
// another's write.
pthread_mutex_t write_lock = PTHREAD_MUTEX_INITIALIZER;
thread_local int write_depth = 0;

thread_local bool protecting_record = false;

// A system call of our own: the C library's mprotect is watched, and its
// syscall lets through only the change this thread makes here.
bool protect_record(int protection) {
  protecting_record = true;
  const bool done = syscall(SYS_mprotect, mapped_record, sizeof(state_record), protection) == 0;
  protecting_record = false;
  return done;
}

struct state_id {
  uint64_t device;
  uint64_t inode;
  int64_t pid;
};

// "<dev>:<ino>:<pid>", all three decimal, nothing else. Read by hand: every
// process reads it at start, and the C library's number parsing would be
// code and tables paged in for three numbers.
bool parse_state_id(const char *text, state_id *id) {
  if (!text) return false;
  const char *cursor = text;
  uint64_t numbers[3];
  for (int i = 0; i < 3; ++i) {
    if (*cursor < '0' || *cursor > '9') return false;
    uint64_t value = 0;
    for (; *cursor >= '0' && *cursor <= '9'; ++cursor) {
      const auto digit = static_cast<uint64_t>(*cursor - '0');
      if (value > (UINT64_MAX - digit) / 10) return false;
      value = value * 10 + digit;
    }
    numbers[i] = value;
    if (*cursor != (i < 2 ? ':' : '\0')) return false;
    if (i < 2) ++cursor;
  }
  *id = {numbers[0], numbers[1], static_cast<int64_t>(numbers[2])};
  return true;
}

bool set_state_id(uint64_t device, uint64_t inode, int64_t pid) {
  char text[72];
  snprintf(text, sizeof text, "%" PRIu64 ":%" PRIu64 ":%" PRId64, device, inode, pid);
  if (setenv(STATE_ID_VARIABLE, text, 1) == 0) return true;
  print_message(message_stream::output, "Cannot set TESSELGUARD_STATE_ID environment variable: %s", strerror(errno));
  return false;
}

void remember_identity(const char *path, const struct stat &info, int64_t creator_pid) {
  state_identity.device = info.st_dev;
  state_identity.inode = info.st_ino;
  state_identity.creator_pid = creator_pid;
  // Made absolute now, while the working directory is the one it names;
  // the canonical form of an absolute path waits for its first use.
  char canonical[PATH_MAX];
  const char *known = path[0] == '/' || !realpath(path, canonical) ? path : canonical;
  const size_t length = strnlen(known, sizeof state_identity.path - 1);
  memcpy(state_identity.path, known, length);
  state_identity.path[length] = '\0';
  __atomic_store_n(&state_identity.canonical_state, 0, __ATOMIC_RELEASE);
}

[[noreturn]] void refuse_replaced_file() {
  print_message(message_stream::output, "TesselGuard state file was replaced: refusing to start");
  exit(VERDICT_REFUSE);
}

int map_inherited(const char *path) {
  state_id id{};
  const char *id_text = env_lookup(STATE_ID_VARIABLE);
  const bool has_id = id_text != nullptr;
  // An identity that cannot be read names no file of ours.
  if (has_id && !parse_state_id(id_text, &id)) refuse_replaced_file();
  // The function's first process, executed again in place (a runtime's
  // bootstrap that execs its interpreter, a `#!/usr/bin/env` launcher): same
  // process, so the same standing. Another process id never is, whatever
  // its environment says.
  bool in_place = has_id && id.pid == static_cast<int64_t>(getpid());

  // Opened without the hooks (they are not installed yet at start-up).
  // Non-blocking so that a FIFO named here cannot stall start-up; it is then
  // refused by the size check below.
  int fd = -1;
  if (in_place) fd = open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
  // A first process that cannot write the file (its program changed user)
  // goes on as any other process.
  if (fd < 0) {
    in_place = false;
    fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  }
  struct stat info {};
  const bool known = fd >= 0 && fstat(fd, &info) == 0;
  if (known && has_id && (info.st_dev != id.device || info.st_ino != id.inode)) {
    close(fd);
    refuse_replaced_file();
  }
  // A file shorter than the record would fault on first read beyond its end:
  // refuse it here as a mapping failure.
  if (known && info.st_size < static_cast<off_t>(sizeof(state_record))) {
    close(fd);
    errno = EINVAL;
    print_message(message_stream::output, "Cannot map existing state file: %s", strerror(errno));
    return 0;
  }
  // Read-only even where this process may write: a descriptor opened for
  // writing lets a write scope make it writable later.
  void *mapping = mmap(nullptr, sizeof(state_record), PROT_READ, MAP_SHARED, fd, 0);
  const int map_errno = errno;
  if (fd >= 0) close(fd);
  if (mapping == MAP_FAILED) {
    print_message(message_stream::output, "Cannot map existing state file: %s", strerror(map_errno));
    return 0;
  }
  state_map = static_cast<state_record *>(mapping);
  mapped_record = state_map;
  state_writable = in_place;
  in_place_first_process = in_place;
  remember_identity(path, info, has_id ? id.pid : 0);
  // Without an inherited identity (a path set by hand) the file is
  // identified from here on, with no first process known: programs started
  // below check the same file, and none can claim to be the first process.
  if (!has_id && !set_state_id(info.st_dev, info.st_ino, 0)) return 0;
  return 1;
}

int create_new() {
  char path[] = "/tmp/tesselguard_state_XXXXXX";
  int fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0) {
    print_message(message_stream::output, "Cannot create state file: %s", strerror(errno));
    return 0;
  }
  // Closed on every route out: the mapping is all this process keeps.
  struct descriptor_guard {
    int fd;
    ~descriptor_guard() { close(fd); }
  } guard{fd};
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
  struct stat info;
  if (fstat(fd, &info) != 0) {
    print_message(message_stream::output, "Cannot map state file: %s", strerror(errno));
    return 0;
  }
  if (setenv(STATE_PATH_VARIABLE, path, 1) != 0) {
    print_message(message_stream::output, "Cannot set TESSELGUARD_STATE_PATH environment variable: %s", strerror(errno));
    return 0;
  }
  const int64_t self = getpid();
  if (!set_state_id(info.st_dev, info.st_ino, self)) return 0;
  remember_identity(path, info, self);
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
  record->configuration_sealed = 0;
  // Platform facts: provider, Google's generation, the supervisor.
  record->google_generation = GOOGLE_FIRST_GENERATION;
  memset(record->supervisor_host, 0, sizeof record->supervisor_host);
  memset(record->supervisor_port, 0, sizeof record->supervisor_port);
  capture_platform_facts(record);
  // The start phase begins with the record.
  record->start_phase = START_PHASE_OPEN;
  record->handler_touched = 0;
  record->handler_opens = 0;
  state_map = record;
  mapped_record = record;
  state_writable = true;
  // From here on written only inside write scopes.
  protect_record(PROT_READ);
  return 1;
}

}  // namespace

state_write_scope::state_write_scope() : open(false) {
  if (!state_map || !state_writable) return;
  if (write_depth > 0 || state_map != mapped_record) {
    ++write_depth;
    open = true;
    return;
  }
  pthread_mutex_lock(&write_lock);
  if (!protect_record(PROT_READ | PROT_WRITE)) {
    pthread_mutex_unlock(&write_lock);
    return;
  }
  locked = true;
  ++write_depth;
  open = true;
}

state_write_scope::~state_write_scope() {
  if (!open) return;
  --write_depth;
  if (!locked) return;
  protect_record(PROT_READ);
  pthread_mutex_unlock(&write_lock);
}

bool record_protection_of_ours() { return protecting_record; }

bool touches_state_mapping(const void *address, size_t length) {
  if (!mapped_record) return false;
  const uintptr_t page = static_cast<uintptr_t>(getpagesize());
  const uintptr_t record_first = reinterpret_cast<uintptr_t>(mapped_record) & ~(page - 1);
  const uintptr_t record_end = reinterpret_cast<uintptr_t>(mapped_record) + sizeof(state_record);
  const uintptr_t first = reinterpret_cast<uintptr_t>(address) & ~(page - 1);
  // A length that wraps around reaches the end of memory.
  const uintptr_t end = reinterpret_cast<uintptr_t>(address) + length < reinterpret_cast<uintptr_t>(address)
                            ? UINTPTR_MAX
                            : reinterpret_cast<uintptr_t>(address) + length;
  return length > 0 && first < record_end && record_first < end;
}

void state_after_fork_child() {
  // The child's one thread: a scope another thread had open at fork is gone
  // with that thread, and left the record writable and the lock taken.
  const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  write_lock = fresh;
  if (mapped_record && write_depth == 0) protect_record(PROT_READ);
}

int state_init() {
  const char *inherited = env_lookup(STATE_PATH_VARIABLE);
  if (inherited) return map_inherited(inherited);
  return create_new();
}
