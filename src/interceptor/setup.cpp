// Interceptor set-up: turns the watching on.
//
// How it works. The C-library functions of hook_table.hpp are patched in
// memory by the hooking engine (src/hook): the first bytes of each are
// replaced by a jump to its replacement, hooked_<name>, so every call
// reaches the replacement, whoever makes it: the function's code, the
// language runtime, the C library itself and this library. Preparing a hook writes the address of a
// trampoline (the displaced instructions plus a jump back) into the slot
// real_<name>; a replacement reaches the real function only through that
// slot, never by name, because by name it would come back to itself. The
// hooked functions and their statuses are listed once, in hook_table.hpp.
//
// Every replacement has one shape: build the call's argument object, ask
// judge_event for a verdict, then either call real_<name> with the caller's
// arguments or fail with errno set to the verdict. Any failure of our own
// work (no path, no memory, no lock) lets the call go ahead unjudged.
//
// Order matters: the configuration is captured and the process's own start
// is judged before any hook exists, so those reads of /proc are not judged
// themselves. A forked child keeps every hook and every rule: the patched
// code is part of the memory it copies. The fork handlers only make sure the
// child does not start with a lock of ours, or the loader's, held by a
// thread that did not come along; they call nothing that takes a lock
// another thread may hold at fork (no loader walk, no allocation).
#include "interceptor/interceptor.hpp"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/core.hpp"
#include "core/diagnostics.hpp"
#include "hook/hook.hpp"

const char INTERCEPTOR_CONFIG_TEXT[] =
    "{\"propagate_envs\":[\"_HANDLER\",\"AWS_EXECUTION_ENV\",\"AWS_LAMBDA_FUNCTION_NAME\","
    "\"TESSEL_GUARD_DISABLE_ANALYTICS\",\"TESSEL_GUARD_POLICY_CREATE_CHILD_PROCESS\","
    "\"TESSEL_GUARD_POLICY_OUTBOUND_CONNECTIVITY\",\"TESSEL_GUARD_POLICY_READ_WRITE_TMP\","
    "\"TESSELGUARD_STATE_PATH\",\"LAMBDA_TASK_ROOT\",\"LD_PRELOAD\",\"X_GOOGLE_CODE_LOCATION\","
    "\"X_GOOGLE_FUNCTION_NAME\",\"X_GOOGLE_SUPERVISOR_HOSTNAME\",\"X_GOOGLE_SUPERVISOR_INTERNAL_PORT\","
    // The read_handler mode, the state file's identity, what tells the platform
    // apart when a program is started with an empty environment, and the
    // libssl file its processes open.
    "\"TESSEL_GUARD_POLICY_READ_HANDLER\",\"TESSELGUARD_STATE_ID\",\"AWS_LAMBDA_RUNTIME_API\",\"K_SERVICE\","
    "\"FUNCTION_TARGET\",\"TESSELGUARD_LIBSSL_PATH\"],"
    "\"propagate_fds\":[999]}";

// The same configuration as tables: start-up reads these instead of parsing
// the text (some 40,000 instructions a start). A test checks that both say
// the same.
const char *const INTERCEPTOR_CONFIG_ENVS[] = {
    "_HANDLER", "AWS_EXECUTION_ENV", "AWS_LAMBDA_FUNCTION_NAME", "TESSEL_GUARD_DISABLE_ANALYTICS",
    "TESSEL_GUARD_POLICY_CREATE_CHILD_PROCESS", "TESSEL_GUARD_POLICY_OUTBOUND_CONNECTIVITY",
    "TESSEL_GUARD_POLICY_READ_WRITE_TMP", "TESSELGUARD_STATE_PATH", "LAMBDA_TASK_ROOT", "LD_PRELOAD",
    "X_GOOGLE_CODE_LOCATION", "X_GOOGLE_FUNCTION_NAME", "X_GOOGLE_SUPERVISOR_HOSTNAME",
    "X_GOOGLE_SUPERVISOR_INTERNAL_PORT", "TESSEL_GUARD_POLICY_READ_HANDLER", "TESSELGUARD_STATE_ID",
    "AWS_LAMBDA_RUNTIME_API", "K_SERVICE", "FUNCTION_TARGET", "TESSELGUARD_LIBSSL_PATH"};
const int INTERCEPTOR_CONFIG_ENV_COUNT = sizeof INTERCEPTOR_CONFIG_ENVS / sizeof INTERCEPTOR_CONFIG_ENVS[0];
const int32_t INTERCEPTOR_CONFIG_FDS[] = {999};
const int INTERCEPTOR_CONFIG_FD_COUNT = sizeof INTERCEPTOR_CONFIG_FDS / sizeof INTERCEPTOR_CONFIG_FDS[0];

// What pthread_atfork calls: pthread_atfork itself is linked in from
// libc_nonshared.a, whose objects are not BTI-marked on arm64 (one would
// leave the library unmarked). The handle names this library, so that its
// unloading drops the handlers.
extern "C" int __register_atfork(void (*prepare)(), void (*parent)(), void (*child)(), void *handle);
extern "C" __attribute__((visibility("hidden"))) void *__dso_handle;

namespace {

hook_set *installed_hooks = nullptr;

// Writers first: the fork handler takes the locks for writing, and a steady
// stream of lookups from other threads must not keep it waiting. Made
// ready by their initialisers, with no call at start-up.
constexpr pthread_rwlock_t WRITER_FIRST_LOCK = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
// The name table's (dns_db_lock once the interceptor starts).
pthread_rwlock_t name_table_lock = WRITER_FIRST_LOCK;
// Readers: the loader scopes under way; the fork handler is the one writer.
pthread_rwlock_t loader_calls_lock = WRITER_FIRST_LOCK;
bool loader_calls_lock_ready = false;

// The C library's private entry point of row `index`; null when it has
// none, or when it is the function of one of the rows before (patching one
// function twice would make the second trampoline jump into the first patch).
void *private_entry_point(int index, const hook_row *rows) {
  void *function = c_library_functions[index];
  for (int i = 0; function && i < index; ++i)
    if (rows[i].function == function) function = nullptr;
  return function;
}

// The row before `count` that prepared `function`; null when none did.
const hook_row *prepared_row_of(const void *function, const hook_row *rows, int count) {
  for (int i = 0; i < count; ++i)
    if (rows[i].function == function && *rows[i].slot != function) return &rows[i];
  return nullptr;
}

}  // namespace

void fill_hook_rows(hook_row (&rows)[HOOK_COUNT]) {
  int index = 0;
#define TESSELGUARD_HOOK_ROW(name, result, parameters, status)                                        \
  rows[index] = {#name, reinterpret_cast<void **>(&real_##name), c_library_functions[index],            \
                 reinterpret_cast<void *>(&hooked_##name), status, c_library_function_sizes[index]}; \
  ++index;
  TESSELGUARD_HOOKS(TESSELGUARD_HOOK_ROW)
#undef TESSELGUARD_HOOK_ROW
#define TESSELGUARD_PRIVATE_HOOK_ROW(name, result, parameters, status)                                \
  rows[index] = {#name, reinterpret_cast<void **>(&real_##name), private_entry_point(index, rows),      \
                 reinterpret_cast<void *>(&hooked_##name), status, c_library_function_sizes[index]}; \
  ++index;
  TESSELGUARD_PRIVATE_HOOKS(TESSELGUARD_PRIVATE_HOOK_ROW)
#undef TESSELGUARD_PRIVATE_HOOK_ROW
}

int install_hook_rows(const hook_row *rows, int count, hook_set **installed) {
  hook_set *set = hook_set_create();
  if (!set) return STATUS_NO_MEMORY_FOR_HOOKS;
  int status = 0;
  const char *failed = nullptr;
  for (int i = 0; i < count && status == 0; ++i) {
    const hook_row &row = rows[i];
    if (!row.function) continue;
    *row.slot = row.function;
    if (hook_set_prepare_sized(set, row.slot, row.replacement, row.size) == HOOK_OK) continue;
    // Another name of a function a row before prepared: hooked already, and
    // its real function is that row's trampoline.
    if (const hook_row *same = prepared_row_of(row.function, rows, i)) {
      *row.slot = *same->slot;
      continue;
    }
    if (row.status == PREPARE_FAILURE_IGNORED) {
      // That route stays unwatched; the rest of the protection goes on.
      *row.slot = row.function;
      print_message(message_stream::error, "[INTERCEPTOR] %s is not watched: %s", row.name,
                    hook_set_error_message(set));
      continue;
    }
    status = row.status;
    failed = row.name;
  }
  if (status == 0 && hook_set_install(set) != HOOK_OK) {
    status = STATUS_INSTALL;
    failed = "install";
  }
  if (status != 0) {
    // Nothing is patched yet; destroying the set also puts every prepared
    // slot back to its function.
    print_message(message_stream::output, "[interceptor_init] %s: %s", failed, hook_set_error_message(set));
    hook_set_destroy(set);
    // The slots that shared a trampoline get their functions back too.
    for (int i = 0; i < count; ++i)
      if (rows[i].function) *rows[i].slot = rows[i].function;
    return status;
  }
  *installed = set;
  return 0;
}

int interceptor_init(verdict_callback callback, const char *config_text) {
  if (int status = load_interceptor_config(config_text)) return status;

  loader_calls_lock_ready = true;
  dns_db_lock = &name_table_lock;
  registered_callback = callback;

  // Judged while nothing is hooked; a refusal ends the process here.
  process_execution();

  hook_row rows[HOOK_COUNT];
  fill_hook_rows(rows);
  if (int status = install_hook_rows(rows, HOOK_COUNT, &installed_hooks)) return status;
  if (__register_atfork(atfork_prepare, atfork_parent, atfork_child, &__dso_handle) != 0) return STATUS_ATFORK;
  return 0;
}

loader_scope::loader_scope() : held(loader_calls_lock_ready && pthread_rwlock_rdlock(&loader_calls_lock) == 0) {}

loader_scope::~loader_scope() {
  if (held) pthread_rwlock_unlock(&loader_calls_lock);
}

// The fork handlers. A thread of the parent inside the name table, or inside
// the loader, at fork would leave the child's copy of that lock taken for
// ever; so the forking thread takes ours for writing before fork (waiting
// for the work under way: short, and none of it forks) and the child starts
// from fresh locks.
void atfork_prepare() {
  if (loader_calls_lock_ready) pthread_rwlock_wrlock(&loader_calls_lock);
  if (dns_db_lock) pthread_rwlock_wrlock(dns_db_lock);
}

void atfork_parent() {
  if (dns_db_lock) pthread_rwlock_unlock(dns_db_lock);
  if (loader_calls_lock_ready) pthread_rwlock_unlock(&loader_calls_lock);
}

// Runs in the child, which has one thread: the locks it copied were held by
// the parent's forking thread, whose id the child does not have.
void atfork_child() {
  state_after_fork_child();
  reset_resolver_facts_after_fork();
  if (dns_db_lock) *dns_db_lock = WRITER_FIRST_LOCK;
  if (loader_calls_lock_ready) loader_calls_lock = WRITER_FIRST_LOCK;
}
