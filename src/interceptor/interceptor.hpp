// Interception: events and verdicts, the shared slots and configuration,
// the replacement functions and the set-up that installs them.
//
//   events.cpp             verdict_callback slot, judge_event, event_json,
//                          create_event, event_timestamp, json_verbatim_length
//   hook_table.hpp         the hooked functions (real_* slots, hooked_*
//                          prototypes, set-up rows), interceptor_init statuses
//   config.cpp             interceptor_config, load_interceptor_config,
//                          real_* slots, dns_db_lock
//   path.cpp               absolute_path, lexical_absolute_path
//   file_open.cpp          hooked_open, hooked_fopen, hooked_creat, path_args
//   network.cpp            dns_db, hooked_getaddrinfo, hooked_connect
//   process_execution.cpp  init_child_injection, process_execution,
//                          process_args, hooked_execve, build_exec_environment
//   setup.cpp              interceptor_init, install_hook_rows, hooked_close,
//                          atfork_child
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

#include "core/contract.hpp"
#include "core/json_text.hpp"
#include "core/timestamp.hpp"
#include "interceptor/hook_table.hpp"

struct cJSON;

// ---- events and verdicts -------------------------------------------------
// The one registered callback; written once by interceptor_init.
extern verdict_callback registered_callback;

int judge_event(const char *name, cJSON *args);
// An argument member whose value is a string.
struct flat_member {
  const char *key;
  const char *value;
};
// judge_event for arguments made of string members only (file opens,
// connections): the event text is written directly, byte for byte what
// event_json prints, without building and printing a tree. Values that need
// JSON escaping take the tree route.
int judge_flat_event(const char *name, const flat_member *members, int count);
char *event_json(const char *name, cJSON *args);
cJSON *create_event(const char *name, cJSON *args);

// ---- configuration (the real-function slots are in hook_table.hpp) -------
struct propagated_env {
  char *name;
  char *value;  // null when the variable was unset at load time
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
cJSON *path_args(const char *path);

// The hooked_* replacements are declared in hook_table.hpp.

// True when connect was called from the system resolver: an object whose
// path ends with "/libresolv.so.2", or the function getaddrinfo.
bool is_resolver_caller(const char *file_name, const char *symbol_name);
// is_resolver_caller on what dladdr says about a return address (answers
// kept per call site until objects are loaded or unloaded).
bool connect_caller_is_resolver(const void *return_address);

int init_child_injection();
void process_execution();
cJSON *process_args(const char *path, int count, char **items);
// The environment handed to a new program: a malloc'd, null-terminated array
// of malloc'd texts. Null when memory runs out.
char **build_exec_environment(char *const envp[]);

void atfork_child();
int interceptor_init(verdict_callback callback, const char *config_text);

// The constant configuration start-up hands to the interceptor.
extern const char INTERCEPTOR_CONFIG_TEXT[];
