// Data shared by the replacement functions: the real-function slots, the
// captured interceptor configuration and the lock of the name table.
//
// All of it is written while interceptor_init runs and only read afterwards
// (a forked child inherits it as it is), so the replacements read it
// without locking.
#include "core/guards.hpp"
#include "interceptor/interceptor.hpp"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/core.hpp"

// Until a hook is prepared each slot holds the C library's own function;
// preparing it puts the trampoline there.
#define TESSELGUARD_DEFINE_SLOT(name, result, parameters, status) \
  result(*real_##name) parameters = name;
TESSELGUARD_HOOKS(TESSELGUARD_DEFINE_SLOT)
#undef TESSELGUARD_DEFINE_SLOT

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
  for (int32_t i = 0; i < config->env_count; ++i) {
    free(config->envs[i].name);
    free(config->envs[i].value);
    free(config->envs[i].entry);
  }
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

// The constant configuration, from its tables: what parsing its text gives.
int load_constant_config(interceptor_config_record *config) {
  config->envs = static_cast<propagated_env *>(calloc(INTERCEPTOR_CONFIG_ENV_COUNT, sizeof(propagated_env)));
  if (!config->envs) return STATUS_CONFIG_ENVS;
  config->env_count = INTERCEPTOR_CONFIG_ENV_COUNT;
  for (int i = 0; i < INTERCEPTOR_CONFIG_ENV_COUNT; ++i)
    if (int status = fill_env(config->envs[i], INTERCEPTOR_CONFIG_ENVS[i])) return status;
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
