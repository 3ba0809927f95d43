// Interceptor set-up: turns the watching on.
//
// How it works. Seven C-library functions are patched in memory by the
// hooking engine (src/hook): the first bytes of each are replaced by a jump
// to its replacement, hooked_<name>, so every call reaches the replacement,
// whoever makes it: the function's code, the language runtime, the C library
// itself and this library. Preparing a hook writes the address of a
// trampoline (the displaced instructions plus a jump back) into the slot
// real_<name>; a replacement reaches the real function only through that
// slot, never by name, because by name it would come back to itself.
//
// Every replacement has one shape: build the call's argument object, ask
// judge_event for a verdict, then either call real_<name> with the caller's
// arguments or fail with errno set to the verdict. Any failure of our own
// work (no path, no memory, no lock) lets the call go ahead unjudged.
//
// Order matters: the configuration is captured and the process's own start
// is judged before any hook exists, so those reads of /proc are not judged
// themselves. After fork the child keeps only execve and close hooked: it
// needs nothing else to carry the protection into the programs it runs.
#include "interceptor/interceptor.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "hook/hook.hpp"

const char INTERCEPTOR_CONFIG_TEXT[] =
    "{\"propagate_envs\":[\"_HANDLER\",\"AWS_EXECUTION_ENV\",\"AWS_LAMBDA_FUNCTION_NAME\","
    "\"TESSEL_GUARD_DISABLE_ANALYTICS\",\"TESSEL_GUARD_POLICY_CREATE_CHILD_PROCESS\","
    "\"TESSEL_GUARD_POLICY_OUTBOUND_CONNECTIVITY\",\"TESSEL_GUARD_POLICY_READ_WRITE_TMP\","
    "\"TESSELGUARD_STATE_PATH\",\"LAMBDA_TASK_ROOT\",\"LD_PRELOAD\",\"X_GOOGLE_CODE_LOCATION\","
    "\"X_GOOGLE_FUNCTION_NAME\",\"X_GOOGLE_SUPERVISOR_HOSTNAME\",\"X_GOOGLE_SUPERVISOR_INTERNAL_PORT\"],"
    "\"propagate_fds\":[999]}";

namespace {

hook_set *installed_hooks = nullptr;

// Status codes of interceptor_init.
constexpr int STATUS_INSTALL = 2;
constexpr int STATUS_NO_HOOK_SET = STATUS_INSTALL;  // nothing can be installed without a set
constexpr int STATUS_ATFORK = 3;
constexpr int STATUS_LOCK = 12;
constexpr int STATUS_IGNORED = 0;

struct hook_row {
  void **slot;
  void *function;
  void *replacement;
  int status;  // returned when preparing fails; 0: the result is ignored
};

template <typename F>
void **slot_of(F *slot) {
  return reinterpret_cast<void **>(slot);
}

template <typename F>
void *address_of(F function) {
  return reinterpret_cast<void *>(function);
}

// The hook table, in the order of preparation.
constexpr int HOOK_COUNT = 7;
void fill_hook_table(hook_row (&rows)[HOOK_COUNT]) {
  rows[0] = {slot_of(&real_open), address_of(open), address_of(hooked_open), 4};
  rows[1] = {slot_of(&real_fopen), address_of(fopen), address_of(hooked_fopen), 5};
  rows[2] = {slot_of(&real_creat), address_of(creat), address_of(hooked_creat), 11};
  rows[3] = {slot_of(&real_connect), address_of(connect), address_of(hooked_connect), 6};
  rows[4] = {slot_of(&real_getaddrinfo), address_of(getaddrinfo), address_of(hooked_getaddrinfo), 7};
  rows[5] = {slot_of(&real_execve), address_of(execve), address_of(hooked_execve), 8};
  rows[6] = {slot_of(&real_close), address_of(close), address_of(hooked_close), STATUS_IGNORED};
}

// Points every slot at the C library's own function again.
void reset_slots(const hook_row (&rows)[HOOK_COUNT]) {
  for (const hook_row &row : rows) *row.slot = row.function;
}

}  // namespace

int interceptor_init(verdict_callback callback, const char *config_text) {
  if (int status = load_interceptor_config(config_text)) return status;

  auto *lock = static_cast<pthread_rwlock_t *>(malloc(sizeof(pthread_rwlock_t)));
  if (!lock || pthread_rwlock_init(lock, nullptr) != 0) {
    free(lock);
    return STATUS_LOCK;
  }
  dns_db_lock = lock;
  registered_callback = callback;

  // Judged while nothing is hooked; a refusal ends the process here.
  process_execution();

  hook_set *set = hook_set_create();
  if (!set) return STATUS_NO_HOOK_SET;
  hook_row rows[HOOK_COUNT];
  fill_hook_table(rows);
  for (const hook_row &row : rows) {
    *row.slot = row.function;
    if (hook_set_prepare(set, row.slot, row.replacement) != HOOK_OK && row.status != STATUS_IGNORED)
      return row.status;
  }
  if (hook_set_install(set) != HOOK_OK) return STATUS_INSTALL;
  installed_hooks = set;
  if (pthread_atfork(nullptr, nullptr, atfork_child) != 0) return STATUS_ATFORK;
  return 0;
}

int hooked_close(int fd) {
  if (const interceptor_config_record *config = interceptor_config) {
    for (int32_t i = 0; i < config->fd_count; ++i) {
      if (config->fds[i] == fd) {
        errno = EPERM;
        return -1;
      }
    }
  }
  return real_close(fd);
}

// Runs in the child right after fork, while it has one thread. Results are
// ignored: the child goes on with whatever could be installed.
void atfork_child() {
  hook_row rows[HOOK_COUNT];
  fill_hook_table(rows);
  if (installed_hooks) {
    hook_set_uninstall(installed_hooks);
    hook_set_destroy(installed_hooks);
    installed_hooks = nullptr;
  }
  // The old trampolines are gone with the set: no slot may point at them.
  reset_slots(rows);
  hook_set *set = hook_set_create();
  if (!set) return;
  hook_set_prepare(set, rows[5].slot, rows[5].replacement);
  hook_set_prepare(set, rows[6].slot, rows[6].replacement);
  hook_set_install(set);
  installed_hooks = set;
}
