// Data shared by the replacement functions: the real-function slots, the
// captured interceptor configuration and the lock of the name table.
//
// All of it is written while interceptor_init runs and only read afterwards
// (a forked child inherits it as it is), so the replacements read it
// without locking.
#include "core/guards.hpp"
#include "interceptor/interceptor.hpp"

#include <cjson/cJSON.h>
#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/core.hpp"
#include "hook/hook.hpp"

// Until a hook is prepared each slot holds the C library's own function;
// preparing it puts the trampoline there. The slots are filled when the
// library is loaded, before any other of its code runs.
#define TESSELGUARD_DEFINE_SLOT(name, result, parameters, status) result(*real_##name) parameters = nullptr;
TESSELGUARD_HOOKS(TESSELGUARD_DEFINE_SLOT)
// Filled at set-up, when their rows are made.
TESSELGUARD_PRIVATE_HOOKS(TESSELGUARD_DEFINE_SLOT)
#undef TESSELGUARD_DEFINE_SLOT

void *c_library_functions[HOOK_COUNT];
size_t c_library_function_sizes[HOOK_COUNT];

// The hooked functions are the C library's (what this library exists to
// watch), so they are looked up in its symbol table alone, by name, not by
// the loader: its look-up of a name searches every loaded object in turn,
// some 600 instructions a name at every start against some 150 here, and
// the symbol's size is had with it. A public name the C library does not
// define there plainly (an indirect function) is left to the loader.
__attribute__((constructor(101))) static void fill_real_slots() {
  static const char *const names[HOOK_COUNT] = {
#define TESSELGUARD_HOOK_NAME(name, result, parameters, status) #name,
      TESSELGUARD_HOOKS(TESSELGUARD_HOOK_NAME) TESSELGUARD_PRIVATE_HOOKS(TESSELGUARD_HOOK_NAME)
#undef TESSELGUARD_HOOK_NAME
  };
  // Hashed by the compiler: no pass over each name at every start.
  static constexpr uint32_t hashes[HOOK_COUNT] = {
#define TESSELGUARD_HOOK_HASH(name, result, parameters, status) symbol_name_hash(#name),
      TESSELGUARD_HOOKS(TESSELGUARD_HOOK_HASH) TESSELGUARD_PRIVATE_HOOKS(TESSELGUARD_HOOK_HASH)
#undef TESSELGUARD_HOOK_HASH
  };
  hook_find_functions(reinterpret_cast<const void *>(&gnu_get_libc_version), names, HOOK_COUNT, c_library_functions,
                      c_library_function_sizes, hashes);
  int index = 0;
#define TESSELGUARD_FILL_SLOT(name, result, parameters, status)                              \
  if (!c_library_functions[index]) c_library_functions[index] = dlsym(RTLD_DEFAULT, #name); \
  real_##name = reinterpret_cast<decltype(real_##name)>(c_library_functions[index++]);
  TESSELGUARD_HOOKS(TESSELGUARD_FILL_SLOT)
#undef TESSELGUARD_FILL_SLOT
}

interceptor_config_record *interceptor_config = nullptr;
pthread_rwlock_t *dns_db_lock = nullptr;

namespace {

char *copy_text(const char *text) { return text ? strdup(text) : nullptr; }

int fill_env(propagated_env &entry, const char *name) {
  entry.name = copy_text(name);
  entry.value = copy_text(env_lookup(name));
  if (!entry.name) return STATUS_CONFIG_ENVS;
  entry.name_length = strlen(entry.name);
  // The text each started program gets, made now so that starting a
  // program allocates nothing.
  if (entry.value) {
    const size_t value_length = strlen(entry.value);
    entry.entry = static_cast<char *>(malloc(entry.name_length + value_length + 2));
    if (!entry.entry) return STATUS_CONFIG_ENVS;
    memcpy(entry.entry, entry.name, entry.name_length);
    entry.entry[entry.name_length] = '=';
    memcpy(entry.entry + entry.name_length + 1, entry.value, value_length + 1);
  }
  return 0;
}

int load_propagate_envs(interceptor_config_record *config, const cJSON *document) {
  config->env_count = 0;
  config->envs = nullptr;
  const cJSON *names = cJSON_GetObjectItemCaseSensitive(document, "propagate_envs");
  if (!cJSON_IsArray(names)) return 0;
  int count = cJSON_GetArraySize(names);
  if (count == 0) return 0;
  config->envs = static_cast<propagated_env *>(calloc(static_cast<size_t>(count), sizeof(propagated_env)));
  if (!config->envs) return STATUS_CONFIG_ENVS;
  // Counted from the start, so a failure below frees every entry made.
  config->env_count = count;
  int index = 0;
  const cJSON *name = nullptr;
  cJSON_ArrayForEach(name, names) {
    if (!cJSON_IsString(name) || !name->valuestring) return STATUS_CONFIG_ENVS;
    if (int status = fill_env(config->envs[index++], name->valuestring)) return status;
  }
  return 0;
}

// Frees a record and everything in it, complete or not: unfilled entries
// are zero.
void free_config(interceptor_config_record *config) {
  if (!config) return;
  for (int32_t i = 0; i < config->env_count && !config->texts; ++i) {
    free(config->envs[i].name);
    free(config->envs[i].value);
    free(config->envs[i].entry);
  }
  free(config->texts);
  free(config->envs);
  free(config->fds);
  free(config);
}

int load_propagate_fds(interceptor_config_record *config, const cJSON *document) {
  config->fd_count = 0;
  config->fds = nullptr;
  const cJSON *numbers = cJSON_GetObjectItemCaseSensitive(document, "propagate_fds");
  if (!cJSON_IsArray(numbers)) return 0;
  int count = cJSON_GetArraySize(numbers);
  if (count == 0) return 0;
  config->fds = static_cast<int32_t *>(calloc(static_cast<size_t>(count), sizeof(int32_t)));
  if (!config->fds) return STATUS_CONFIG_FDS;
  int index = 0;
  const cJSON *number = nullptr;
  cJSON_ArrayForEach(number, numbers) {
    if (!cJSON_IsNumber(number)) return STATUS_CONFIG_FDS;
    config->fds[index++] = number->valueint;
  }
  config->fd_count = count;
  return 0;
}

// The length of the name of an environment entry ("NAME=VALUE"), or
// SIZE_MAX when it has no '='.
size_t entry_name_length(const char *entry) {
  for (size_t i = 0; entry[i]; ++i)
    if (entry[i] == '=') return i;
  return SIZE_MAX;
}

// Copies `length` bytes and a NUL to `cursor`, which moves past them.
char *put_text(char *&cursor, const char *text, size_t length) {
  char *start = cursor;
  memcpy(start, text, length);
  start[length] = '\0';
  cursor += length + 1;
  return start;
}

// The constant configuration, from its tables: what parsing its text gives.
// Every start makes it, so the environment is walked once for all the names
// (the first entry of a name counts, as for getenv), and every text goes
// into one block.
int load_constant_config(interceptor_config_record *config) {
  const int count = INTERCEPTOR_CONFIG_ENV_COUNT;
  config->envs = static_cast<propagated_env *>(calloc(count, sizeof(propagated_env)));
  if (!config->envs) return STATUS_CONFIG_ENVS;
  config->env_count = count;
  size_t bytes = 0;
  for (int i = 0; i < count; ++i) {
    config->envs[i].name_length = strlen(INTERCEPTOR_CONFIG_ENVS[i]);
    bytes += config->envs[i].name_length + 1;
  }
  // Meanwhile `value` points into the environment; the texts are copied below.
  for (char **entry = environ; entry && *entry; ++entry) {
    const size_t length = entry_name_length(*entry);
    for (int i = 0; i < count; ++i) {
      propagated_env &variable = config->envs[i];
      if (variable.value || variable.name_length != length || memcmp(*entry, INTERCEPTOR_CONFIG_ENVS[i], length) != 0)
        continue;
      variable.value = *entry + length + 1;
      // The value, and the entry: name, '=', value.
      bytes += 2 * (strlen(variable.value) + 1) + length + 1;
      break;
    }
  }
  char *cursor = config->texts = static_cast<char *>(malloc(bytes));
  if (!cursor) {
    for (int i = 0; i < count; ++i) config->envs[i].value = nullptr;  // not ours to free
    return STATUS_CONFIG_ENVS;
  }
  for (int i = 0; i < count; ++i) {
    propagated_env &variable = config->envs[i];
    variable.name = put_text(cursor, INTERCEPTOR_CONFIG_ENVS[i], variable.name_length);
    if (!variable.value) continue;
    const char *value = variable.value;
    const size_t value_length = strlen(value);
    variable.value = put_text(cursor, value, value_length);
    variable.entry = cursor;
    memcpy(cursor, variable.name, variable.name_length);
    cursor[variable.name_length] = '=';
    cursor += variable.name_length + 1;
    put_text(cursor, value, value_length);
  }
  config->fds = static_cast<int32_t *>(calloc(INTERCEPTOR_CONFIG_FD_COUNT, sizeof(int32_t)));
  if (!config->fds) return STATUS_CONFIG_FDS;
  memcpy(config->fds, INTERCEPTOR_CONFIG_FDS, INTERCEPTOR_CONFIG_FD_COUNT * sizeof(int32_t));
  config->fd_count = INTERCEPTOR_CONFIG_FD_COUNT;
  return 0;
}

}  // namespace

// The record is published only when complete; a failure leaves no record.
int load_interceptor_config(const char *text) {
  interceptor_config = nullptr;
  if (text == INTERCEPTOR_CONFIG_TEXT) {
    auto *config = static_cast<interceptor_config_record *>(calloc(1, sizeof(interceptor_config_record)));
    if (!config) return STATUS_CONFIG_NOT_JSON;
    if (int status = load_constant_config(config)) {
      free_config(config);
      return status;
    }
    interceptor_config = config;
    return 0;
  }
  json_guard document{text ? cJSON_Parse(text) : nullptr};
  if (!document.item) return STATUS_CONFIG_NOT_JSON;
  auto *config = static_cast<interceptor_config_record *>(calloc(1, sizeof(interceptor_config_record)));
  if (!config) return STATUS_CONFIG_NOT_JSON;
  int status = load_propagate_envs(config, document.item);
  if (status == 0) status = load_propagate_fds(config, document.item);
  if (status != 0) {
    free_config(config);
    return status;
  }
  interceptor_config = config;
  return 0;
}

void unload_interceptor_config() {
  interceptor_config_record *config = interceptor_config;
  interceptor_config = nullptr;
  free_config(config);
}
