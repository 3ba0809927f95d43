// Program execution: every program started from a protected process loads
// the library too (LD_PRELOAD and the captured variables ride along in its
// environment), and judges its own start before its main code runs.
#include "interceptor/interceptor.hpp"
#include "core/diagnostics.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.hpp"

namespace {

// The library's own file, resolved; printed and null on failure.
char *own_library_path() {
  Dl_info info{};
  // Any function of the library names its file.
  if (!dladdr(reinterpret_cast<void *>(&init_child_injection), &info) || !info.dli_fname) {
    print_message(message_stream::output, "Cannot find tesselguard path");
    return nullptr;
  }
  char *path = realpath(info.dli_fname, nullptr);
  if (!path) print_message(message_stream::output, "Cannot resolve tesselguard path: %s", strerror(errno));
  return path;
}

struct command_line {
  char **items = nullptr;
  int count = 0;
  ~command_line() {
    for (int i = 0; i < count; ++i) free(items[i]);
    free(items);
  }
};

// Reads the NUL-separated items of /proc/self/cmdline. An unreadable file
// gives an empty command line; the process is judged all the same.
void read_command_line(command_line &line) {
  FILE *file = fopen("/proc/self/cmdline", "rb");
  if (!file) return;
  char *buffer = nullptr;
  size_t buffer_size = 0;
  int capacity = 0;
  while (getdelim(&buffer, &buffer_size, '\0', file) != -1) {
    if (line.count == capacity) {
      int grown = capacity ? capacity * 2 : 8;
      void *items = realloc(line.items, static_cast<size_t>(grown) * sizeof(char *));
      if (!items) break;
      line.items = static_cast<char **>(items);
      capacity = grown;
    }
    char *item = strdup(buffer);
    if (!item) break;
    line.items[line.count++] = item;
  }
  free(buffer);
  fclose(file);
}

struct environment_list {
  char **entries;
  size_t count;
};

// Puts `text` (NAME=VALUE, owned) in place of the first entry named `name`,
// or appends it. False when memory runs out; the text is then freed.
bool set_entry(environment_list &list, const char *name, size_t name_length, char *text) {
  for (size_t i = 0; i < list.count; ++i) {
    if (strncmp(list.entries[i], name, name_length) == 0 && list.entries[i][name_length] == '=') {
      free(list.entries[i]);
      list.entries[i] = text;
      return true;
    }
  }
  void *grown = realloc(list.entries, (list.count + 2) * sizeof(char *));
  if (!grown) {
    free(text);
    return false;
  }
  list.entries = static_cast<char **>(grown);
  list.entries[list.count++] = text;
  list.entries[list.count] = nullptr;
  return true;
}

void free_environment(char **entries) {
  if (!entries) return;
  for (char **entry = entries; *entry; ++entry) free(*entry);
  free(entries);
}

}  // namespace

int init_child_injection() {
  if (!env_lookup("LD_PRELOAD")) {
    char *path = own_library_path();
    if (!path) return 0;
    if (setenv("LD_PRELOAD", path, 1) != 0) {
      print_message(message_stream::output, "Cannot set LD_PRELOAD environment variable: %s", strerror(errno));
      free(path);
      return 0;
    }
    free(path);
  }
  if (state_map && state_map->provider == PROVIDER_AWS) {
    if (fcntl(ALERT_LOG_FD, F_GETFD) == -1 && errno == EBADF && dup2(STDOUT_FILENO, ALERT_LOG_FD) == -1) {
      print_message(message_stream::output, "Cannot duplicate stdout: %s", strerror(errno));
      return 0;
    }
  }
  return 1;
}

int judge_program_start(const char *path, int count, char *const *items) {
  if (!registered_callback) return 0;
  char buffer[1024];
  json_text event(buffer, sizeof buffer);
  begin_event(event, "process_execution");
  event.begin_object();
  event.plain_key("argv");
  event.begin_array();
  for (int i = 0; i < count; ++i) event.string(items[i]);
  event.end_array();
  event.member("path", path);
  event.end_object();
  return judge_event(event);
}

// Runs before any hook exists, so its own reads of /proc/self are not judged.
void process_execution() {
  char *path = absolute_path("/proc/self/exe");
  if (!path) return;
  int verdict = 0;
  {
    command_line line;
    read_command_line(line);
    verdict = judge_program_start(path, line.count, line.items);
    free(path);
  }
  if (verdict != 0) exit(verdict);
}

char **build_exec_environment(char *const envp[]) {
  size_t count = 0;
  if (envp)
    while (envp[count]) ++count;
  environment_list list{static_cast<char **>(calloc(count + 1, sizeof(char *))), 0};
  if (!list.entries) return nullptr;
  for (; list.count < count; ++list.count) {
    list.entries[list.count] = strdup(envp[list.count]);
    if (!list.entries[list.count]) {
      free_environment(list.entries);
      return nullptr;
    }
  }
  const interceptor_config_record *config = interceptor_config;
  for (int32_t i = 0; config && i < config->env_count; ++i) {
    const propagated_env &variable = config->envs[i];
    if (!variable.name || !variable.value) continue;
    const size_t name_length = strlen(variable.name);
    const size_t value_length = strlen(variable.value);
    char *text = static_cast<char *>(malloc(name_length + value_length + 2));
    if (!text) {
      free_environment(list.entries);
      return nullptr;
    }
    memcpy(text, variable.name, name_length);
    text[name_length] = '=';
    memcpy(text + name_length + 1, variable.value, value_length + 1);
    if (!set_entry(list, variable.name, name_length, text)) {
      free_environment(list.entries);
      return nullptr;
    }
  }
  return list.entries;
}

int hooked_execve(const char *path, char *const argv[], char *const envp[]) {
  char **environment = build_exec_environment(envp);
  // Without memory for the new environment the call still goes ahead, as
  // the caller asked for it.
  if (!environment) return real_execve(path, argv, envp);
  int result = real_execve(path, argv, environment);
  const int saved_errno = errno;
  free_environment(environment);
  errno = saved_errno;
  return result;
}
