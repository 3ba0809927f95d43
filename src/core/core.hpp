// The ground floor: what every other part of the library stands on. Nothing
// here includes anything above it (see docs/architecture.md).
//
//   core.hpp         the shared state record, providers, modes
//   env.cpp          env_lookup, is_layer_preload
//   state.cpp        state_map, state_init, state_identity
//   protected_paths.cpp  is_state_file, state_file_canonical_path,
//                    is_process_memory_path
//   platform.cpp     detect_provider, capture_platform_facts,
//                    adopt_recorded_platform, google_current_generation,
//                    captured_supervisor, detect_handler_path
//   contract.hpp     verdict_callback, VERDICT_REFUSE, ALERT_LOG_FD: what the
//                    interceptor and the policy share
//   timestamp.hpp    UTC timestamps of events and records
//   json_text.hpp    writing JSON text
//   diagnostics.hpp  print_message, abort_with_message: every message
//   guards.hpp       scope guards of cJSON trees, texts and buffers
//   loaded_object.hpp  a loaded object's dynamic section: addresses, soname
//   kernel_call.hpp  system calls the library makes past the patched syscall()
#pragma once

#include <cstddef>
#include <cstdint>

// Large zero-initialised arrays that a process start does not touch go after
// all other variables, so that the few pages every start writes stay few.
#define TESSELGUARD_RARELY_USED __attribute__((section(".lbss.tesselguard")))

constexpr int32_t PROVIDER_AWS = 0;
constexpr int32_t PROVIDER_GOOGLE = 1;
constexpr int32_t PROVIDER_UNSUPPORTED = 2;

// Google's first generation posts records to its supervisor; the current
// one (Cloud Run functions) logs standard output.
constexpr int32_t GOOGLE_FIRST_GENERATION = 0;
constexpr int32_t GOOGLE_CURRENT_GENERATION = 1;

constexpr int32_t MODE_ALLOW = 0;
constexpr int32_t MODE_ALERT = 1;
constexpr int32_t MODE_BLOCK = 2;

constexpr const char *LAYER_PATH = "/opt/lib/libtesselguard.so";
constexpr const char *STATE_PATH_VARIABLE = "TESSELGUARD_STATE_PATH";
// "<st_dev>:<st_ino>:<pid>" of the state file and of the process that created
// it. Carried into every started program like the path, so code cannot
// forge it for them.
constexpr const char *STATE_ID_VARIABLE = "TESSELGUARD_STATE_ID";
// The file of the libssl that the function's processes opened: a started
// program opens the same file instead of searching for the candidates again.
// Carried like the two above.
constexpr const char *LIBSSL_PATH_VARIABLE = "TESSELGUARD_LIBSSL_PATH";

// The policy and platform data shared by every process of a function,
// through a file in /tmp mapped by each of them. A file format: fixed size,
// native byte order, no padding.
struct state_record {
  int32_t provider;
  int32_t read_write_tmp;
  int32_t create_child_process;
  int32_t outbound_connectivity;
  int32_t read_handler;
  char runtime[32];
  char runtime_version[32];
  char handler_path[4096];
  int32_t disable_analytics;
  int32_t cookie;
  int32_t failed_cookie_count;
  // ---- Platform facts: captured from the first process's environment when
  // the file is made, never written again. Every process of the function,
  // and every program it starts, runs on the platform the function started
  // on, whatever its own environment says later.
  int32_t google_generation;  // GOOGLE_FIRST_GENERATION or GOOGLE_CURRENT_GENERATION
  char supervisor_host[256];  // X_GOOGLE_SUPERVISOR_HOSTNAME; empty when unset or too long
  char supervisor_port[32];   // X_GOOGLE_SUPERVISOR_INTERNAL_PORT; the same
  // Set when the function configured itself from the layer's variables: its
  // cookie went to no one, so every later configuration call is refused.
  int32_t configuration_sealed;
  // ---- The start phase: the runtime's own start and load of the handler, for
  // the whole function. Open from the record's creation until its first end
  // (src/policy/start_phase.cpp); once ended, never opened again.
  int32_t start_phase;      // START_PHASE_OPEN or START_PHASE_ENDED
  int32_t handler_touched;  // the first process opened the handler or its compiled form
  int32_t handler_opens;    // the first process's opens of the handler in the phase
};

static_assert(sizeof(state_record) == 4500);
static_assert(offsetof(state_record, provider) == 0);
static_assert(offsetof(state_record, read_write_tmp) == 4);
static_assert(offsetof(state_record, create_child_process) == 8);
static_assert(offsetof(state_record, outbound_connectivity) == 12);
static_assert(offsetof(state_record, read_handler) == 16);
static_assert(offsetof(state_record, runtime) == 20);
static_assert(offsetof(state_record, runtime_version) == 52);
static_assert(offsetof(state_record, handler_path) == 84);
static_assert(offsetof(state_record, disable_analytics) == 4180);
static_assert(offsetof(state_record, cookie) == 4184);
static_assert(offsetof(state_record, failed_cookie_count) == 4188);
static_assert(offsetof(state_record, google_generation) == 4192);
static_assert(offsetof(state_record, supervisor_host) == 4196);
static_assert(offsetof(state_record, supervisor_port) == 4452);
static_assert(offsetof(state_record, configuration_sealed) == 4484);
static_assert(offsetof(state_record, start_phase) == 4488);
static_assert(offsetof(state_record, handler_touched) == 4492);
static_assert(offsetof(state_record, handler_opens) == 4496);

constexpr int32_t START_PHASE_ENDED = 0;
constexpr int32_t START_PHASE_OPEN = 1;

// The record's integer fields are shared without a lock by every thread and
// process of the function, each one aligned 32-bit word. Accesses that may
// meet a concurrent configuration call go through these: relaxed atomics,
// the same single load or store as a plain access, but well defined.
inline int32_t load_field(const int32_t &field) { return __atomic_load_n(&field, __ATOMIC_RELAXED); }
inline void store_field(int32_t &field, int32_t value) { __atomic_store_n(&field, value, __ATOMIC_RELAXED); }

// Set once by state_init, never changed afterwards.
extern state_record *state_map;
// True when this process may write the record: it created the state file,
// is the function's first process re-executed in place, or was forked from
// one of those. The mapping itself stays read-only; every write of the
// record is made inside a state_write_scope.
extern bool state_writable;

// Opens the record for writing while it lives, then makes it read-only
// again, so that no memory write of the function's code can change the
// policy in between. Scopes nest on a thread and are taken one thread at a
// time; `open` is false when this process may not write the record (or it
// could not be made writable): write nothing then.
struct state_write_scope {
  bool open;
  bool locked = false;  // the outermost scope of the real mapping
  state_write_scope();
  ~state_write_scope();
  state_write_scope(const state_write_scope &) = delete;
  state_write_scope &operator=(const state_write_scope &) = delete;
};
// In a forked child: no other thread's scope is open there any more.
void state_after_fork_child();
// True when the pages of [address, address + length) meet the pages of the
// mapped record (the kernel works on whole pages).
bool touches_state_mapping(const void *address, size_t length);
// True while this thread changes the record's protection for a write scope.
bool record_protection_of_ours();
// True when this process is the function's first process re-executed in
// place (exec without fork): it keeps the first process's standing.
extern bool in_place_first_process;

// The state file as start-up found it. The policy recognises the file by
// this, never by the environment, which the function's code can change.
struct state_file_identity {
  uint64_t device;
  uint64_t inode;
  int64_t creator_pid;  // the function's first process; 0 when not known
  char path[4096];      // absolute, as found; empty until start-up has mapped the file
  // Its canonical form, made at the first judged path that needs it (a start
  // that judges none makes no system call for it): valid once
  // `canonical_state` is 2 (0: not made, 1: being made).
  char canonical[4096];
  int32_t canonical_state;
};
extern state_file_identity state_identity;

// True when `path` (absolute, as judged) is the state file: by its canonical
// path, and for paths under /tmp/ by device and inode (a hard link, a file
// renamed away). errno is left as it was.
bool is_state_file(const char *path);
// The state file's canonical path, as is_state_file knows it: made once and
// kept, or made into `scratch` while another thread makes it.
const char *state_file_canonical_path(char (&scratch)[4096]);
// The open descriptor of the file whose path is being judged, on this
// thread, when the interceptor holds one; -1 otherwise. The state file's
// device and inode are then read from it, without a second lookup of the path.
extern thread_local constinit int judged_descriptor;
// True for the memory file of a process: /proc/<pid>/mem,
// /proc/<pid>/task/<tid>/mem, with "self" or "thread-self" for the pid.
bool is_process_memory_path(const char *path);

const char *env_lookup(const char *name);
int is_layer_preload();

// The provider named by this process's environment. Only the first process
// asks: every other takes the provider from the shared record.
int32_t detect_provider();
// Fills the record's platform facts from this process's environment:
// provider, Google's generation (K_SERVICE and FUNCTION_TARGET without
// X_GOOGLE_FUNCTION_NAME: the current one) and the supervisor's host and
// port. Called once, where the state file is made.
void capture_platform_facts(state_record *record);
// Start-up of every process, once the record is mapped: false when the
// record names no supported platform. Where this process may run the handler
// detection on Google's current generation, remembers the working directory
// as the function's code folder.
bool adopt_recorded_platform();
// The record says Google's current generation: records go to the log as
// structured lines and there is no supervisor.
bool google_current_generation();
// Google's first-generation supervisor as captured when the state file was
// made; each part null when it was not set, both null on any other platform.
// What the policy exempts and where records are posted: the environment the
// function's code can change is never read for it.
struct supervisor_address {
  const char *host;
  const char *port;
};
supervisor_address captured_supervisor();
// The function's handler file, canonical, into the record's handler_path
// (from the record's provider and runtime). 0 after a printed failure.
int detect_handler_path();

int state_init();
