// Interception: events and verdicts, the shared slots and configuration,
// the replacement functions and the set-up that installs them.
//
//   events.cpp             verdict_callback slot, begin_event, judge_event
//   hook_table.hpp         the hooked functions (real_* slots, hooked_*
//                          prototypes, set-up rows), interceptor_init statuses
//   config.cpp             interceptor_config, load_interceptor_config,
//                          real_* slots, dns_db_lock
//   path.cpp               absolute_path, lexical_absolute_path
//   file_open.cpp          hooked_open, hooked_fopen, hooked_creat, judge_file_open
//   network.cpp            dns_db, hooked_getaddrinfo, hooked_connect,
//                          judge_connection
//   process_execution.cpp  init_child_injection, process_execution,
//                          judge_program_start
//   exec_environment.cpp   build_exec_environment, hooked_execve,
//                          hooked_execveat, hooked_fexecve
//   setup.cpp              interceptor_init, install_hook_rows, hooked_close,
//                          the fork handlers
//
// Stands on core (and the hooking engine); knows the policy only through
// the verdict callback's type in core/contract.hpp.
#pragma once

#include <pthread.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <netdb.h>
#include <climits>
#include <cstdint>
#include <string_view>

#include "core/json_text.hpp"

#include "core/contract.hpp"
#include "core/timestamp.hpp"
#include "interceptor/hook_table.hpp"

// ---- events and verdicts -------------------------------------------------
// The one registered callback; written once by interceptor_init.
extern verdict_callback registered_callback;

// An event text is made in one pass: begin_event writes
// {"name":N,"timestamp":T,"args": into `text`, the producer writes its
// arguments object, and judge_event closes the text and hands it to the
// callback. `name` is one of the library's own, written as it stands. The
// verdict is 0 when there is no callback.
void begin_event(json_text &text, std::string_view name);
int judge_event(json_text &text);

// ---- configuration (the real-function slots are in hook_table.hpp) -------
struct propagated_env {
  char *name;
  char *value;  // null when the variable was unset at load time
  char *entry;  // "NAME=VALUE", made once at load time; null with the value
  size_t name_length;
};

struct interceptor_config_record {
  int32_t env_count;
  propagated_env *envs;
  int32_t fd_count;
  int32_t *fds;
};

extern interceptor_config_record *interceptor_config;
extern pthread_rwlock_t *dns_db_lock;

int load_interceptor_config(const char *text);

// ---- replacements ---------------------------------------------------------
char *absolute_path(const char *path);
// The same path written into `buffer` when it fits there; otherwise (rarely)
// a malloc'd text. Null when no path can be made.
char *absolute_path_into(const char *path, char (&buffer)[PATH_MAX]);
// Joins `path` to `base` when relative and normalises "." / ".." / "//"
// textually. Returns a malloc'd text or null.
char *lexical_absolute_path(const char *base, const char *path);
// The verdict on opening `path` ({"path"}: its absolute form); 0 whenever
// no event can be made. errno is left as the caller had it.
int judge_file_open(const char *path);

// The hooked_* replacements are declared in hook_table.hpp.

// True when connect was called from the system resolver: an object whose
// path ends with "/libresolv.so.2", or the function getaddrinfo.
bool is_resolver_caller(const char *file_name, const char *symbol_name);
// is_resolver_caller on what dladdr says about a return address (answers
// kept per call site until objects are loaded or unloaded).
bool connect_caller_is_resolver(const void *return_address);
// The verdict on connecting to `ip` ({"ip", "hostname" when known}).
int judge_connection(const char *ip, const char *hostname);

int init_child_injection();
void process_execution();
// The verdict on this program's start ({"argv":[...], "path"}).
int judge_program_start(const char *path, int count, char *const *items);
// The environment handed to a new program, built without allocating: the
// caller's entries, each propagated variable that has a captured value in
// place of the first entry of its name (every other entry of that name is
// left out) or appended, in `envs` order. `out` has room for `capacity`
// pointers; the result is the number of pointers the environment needs,
// closing null included. When that exceeds `capacity` nothing was written.
size_t build_exec_environment(char *const envp[], char **out, size_t capacity);
int hooked_execveat(int dirfd, const char *path, char *const argv[], char *const envp[], int flags);
int hooked_fexecve(int fd, char *const argv[], char *const envp[]);

// Calls into the dynamic loader from a replacement (dl_iterate_phdr,
// dladdr) are made inside a loader_scope. The fork handlers wait until none
// is under way: the C library does not reset every loader lock in a forked
// child, so a child forked while another thread was inside dl_iterate_phdr
// would hang at its own first call. Scopes do not nest.
struct loader_scope {
  bool held;
  loader_scope();
  ~loader_scope();
  loader_scope(const loader_scope &) = delete;
  loader_scope &operator=(const loader_scope &) = delete;
};

// Fork handlers: the name table's lock and the loader scopes are held
// across fork, so the child never starts with one of them taken by a thread
// it does not have.
void atfork_prepare();
void atfork_parent();
void atfork_child();
int interceptor_init(verdict_callback callback, const char *config_text);

// The constant configuration start-up hands to the interceptor.
extern const char INTERCEPTOR_CONFIG_TEXT[];
