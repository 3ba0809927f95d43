// The environment of every started program: the caller's, with each
// propagated variable set to the value captured when the interceptor
// started, so LD_PRELOAD and the state file's identity reach the new program
// whatever the caller passes.
//
// These replacements run where allocating is not safe: in a vfork child or
// a posix_spawn child, which share the parent's memory. Whatever they took
// from malloc would stay with the parent after a successful exec, and a
// malloc lock held by another thread of the parent could hang them. So the
// NAME=VALUE texts are made once at start-up and the new pointer array lives
// on the stack.
//
// Every start also keeps the function's log on 999 for the new program
// (keep_function_log_for_start), and judges the loader variables that would
// make it write a file before the library is in it (loader_variables.cpp).
// That judgement allocates, so it is made by the caller of posix_spawn and
// never in its child, which runs on a small stack of its own: the child's
// execve finds the environment already judged.
#include "interceptor/interceptor.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// Pointers kept on the stack: 8 KB. A posix_spawn child runs on a stack of
// some 32 KB of its own, so this must stay well below that.
constexpr size_t STACK_ENTRIES = 1024;

// Propagated variables whose first entry has been placed, one bit each.
// Variables past the last bit are appended instead of keeping the place of
// their first entry.
struct placed_set {
  static constexpr int32_t LIMIT = 256;
  uint64_t words[LIMIT / 64] = {};
  bool test_and_set(int32_t index) {
    if (index >= LIMIT) return true;
    uint64_t &word = words[index / 64];
    const uint64_t bit = uint64_t{1} << (index % 64);
    const bool was = (word & bit) != 0;
    word |= bit;
    return was;
  }
};

// Set on a thread while its posix_spawn runs: the child shares the thread's
// memory, and its execve must not judge again what the caller has judged.
thread_local bool starting_in_spawn_child = false;

struct spawn_scope {
  spawn_scope() { starting_in_spawn_child = true; }
  ~spawn_scope() { starting_in_spawn_child = false; }
};

// The propagated variable (with a captured value) that `entry` sets, or -1.
int32_t propagated_index(const interceptor_config_record *config, const char *entry) {
  for (int32_t i = 0; i < config->env_count; ++i) {
    const propagated_env &variable = config->envs[i];
    if (!variable.entry || entry[0] != variable.name[0]) continue;
    if (strncmp(entry, variable.name, variable.name_length) == 0 && entry[variable.name_length] == '=') return i;
  }
  return -1;
}

size_t count_entries(char *const envp[]) {
  size_t count = 0;
  if (envp)
    while (envp[count]) ++count;
  return count;
}

// Starts a program through `start` with the rebuilt environment. An
// environment too large for the stack is built in pages of its own (a
// vfork parent keeps those after the exec); only when even they cannot be
// had does the call go ahead with the caller's environment.
// `pid` is the new program's, 0 when not known yet (posix_spawn).
template <typename Start>
int start_with_environment(char *const envp[], long pid, Start start) {
  keep_function_log_for_start();
  const unsigned refused = starting_in_spawn_child ? 0 : judge_loader_writes(envp, pid);
  const interceptor_config_record *config = interceptor_config;
  const size_t bound = count_entries(envp) + (config ? static_cast<size_t>(config->env_count) : 0) + 1;
  if (bound <= STACK_ENTRIES) {
    char *local[STACK_ENTRIES];
    build_exec_environment(envp, local, STACK_ENTRIES, refused);
    return start(local);
  }
  const size_t bytes = bound * sizeof(char *);
  void *pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return start(envp);
  build_exec_environment(envp, static_cast<char **>(pages), bound, refused);
  const int result = start(static_cast<char **>(pages));
  const int saved_errno = errno;
  munmap(pages, bytes);
  errno = saved_errno;
  return result;
}

}  // namespace

size_t build_exec_environment(char *const envp[], char **out, size_t capacity, unsigned refused_loader_writes) {
  const interceptor_config_record *config = interceptor_config;
  const size_t count = count_entries(envp);
  const int32_t variables = config ? config->env_count : 0;
  // Every caller entry, every propagated variable, the closing null: what
  // the result can need at most.
  const size_t needed = count + static_cast<size_t>(variables) + 1;
  if (needed > capacity) return needed;
  placed_set placed;
  size_t length = 0;
  for (size_t i = 0; i < count; ++i) {
    if (refused_loader_writes && loader_entry_refused(envp[i], refused_loader_writes)) continue;
    const int32_t index = config ? propagated_index(config, envp[i]) : -1;
    if (index < 0) {
      out[length++] = envp[i];
    } else if (!placed.test_and_set(index)) {
      out[length++] = config->envs[index].entry;
    }
    // A later entry of a propagated name is left out: the loader would take
    // the last one, so none may survive.
  }
  for (int32_t index = 0; index < variables; ++index) {
    const propagated_env &variable = config->envs[index];
    if (!variable.entry) continue;
    bool already = index < placed_set::LIMIT ? placed.test_and_set(index) : false;
    if (!already) out[length++] = variable.entry;
  }
  out[length] = nullptr;
  return needed;
}

int hooked_execve(const char *path, char *const argv[], char *const envp[]) {
  return start_with_environment(envp, getpid(),
                                [&](char *const *environment) { return real_execve(path, argv, environment); });
}

int hooked_execveat(int dirfd, const char *path, char *const argv[], char *const envp[], int flags) {
  return start_with_environment(envp, getpid(), [&](char *const *environment) {
    return real_execveat(dirfd, path, argv, environment, flags);
  });
}

int hooked_fexecve(int fd, char *const argv[], char *const envp[]) {
  // The C library refuses a null environment here (EINVAL); so do we.
  if (!envp) return real_fexecve(fd, argv, envp);
  return start_with_environment(envp, getpid(),
                                [&](char *const *environment) { return real_fexecve(fd, argv, environment); });
}

// The child's execve rebuilds the environment as any execve does; here only
// the loader variables are judged, and the refused ones left out.
int hooked_posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                       const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]) {
  return start_with_environment(envp, 0, [&](char *const *environment) {
    spawn_scope scope;
    return real_posix_spawn(pid, path, actions, attributes, argv, environment);
  });
}

int hooked_posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                        const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]) {
  return start_with_environment(envp, 0, [&](char *const *environment) {
    spawn_scope scope;
    return real_posix_spawnp(pid, file, actions, attributes, argv, environment);
  });
}
