// Data shared by the replacement functions: the real-function slots, the
// captured interceptor configuration and the lock of the name table.
//
// All of it is written while interceptor_init runs (and in a forked child by
// atfork_child, while the child has one thread) and only read afterwards, so
// the replacements read it without locking.
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
int (*real_open)(const char *, int, ...) = open;
FILE *(*real_fopen)(const char *, const char *) = fopen;
int (*real_creat)(const char *, mode_t) = creat;
int (*real_connect)(int, const struct sockaddr *, socklen_t) = connect;
int (*real_getaddrinfo)(const char *, const char *, const struct addrinfo *, struct addrinfo **) = getaddrinfo;
int (*real_execve)(const char *, char *const[], char *const[]) = execve;
int (*real_close)(int) = close;

interceptor_config_record *interceptor_config = nullptr;
pthread_rwlock_t *dns_db_lock = nullptr;

namespace {

char *copy_text(const char *text) { return text ? strdup(text) : nullptr; }

int load_propagate_envs(interceptor_config_record *config, const cJSON *document) {
  config->env_count = 0;
  config->envs = nullptr;
  const cJSON *names = cJSON_GetObjectItemCaseSensitive(document, "propagate_envs");
  if (!cJSON_IsArray(names)) return 0;
  int count = cJSON_GetArraySize(names);
  if (count == 0) return 0;
  config->envs = static_cast<propagated_env *>(calloc(static_cast<size_t>(count), sizeof(propagated_env)));
  if (!config->envs) return 9;
  int index = 0;
  const cJSON *name = nullptr;
  cJSON_ArrayForEach(name, names) {
    if (!cJSON_IsString(name) || !name->valuestring) return 9;
    propagated_env &entry = config->envs[index++];
    entry.name = copy_text(name->valuestring);
    entry.value = copy_text(env_lookup(name->valuestring));
  }
  config->env_count = count;
  return 0;
}

int load_propagate_fds(interceptor_config_record *config, const cJSON *document) {
  config->fd_count = 0;
  config->fds = nullptr;
  const cJSON *numbers = cJSON_GetObjectItemCaseSensitive(document, "propagate_fds");
  if (!cJSON_IsArray(numbers)) return 0;
  int count = cJSON_GetArraySize(numbers);
  if (count == 0) return 0;
  config->fds = static_cast<int32_t *>(calloc(static_cast<size_t>(count), sizeof(int32_t)));
  if (!config->fds) return 10;
  int index = 0;
  const cJSON *number = nullptr;
  cJSON_ArrayForEach(number, numbers) {
    if (!cJSON_IsNumber(number)) return 10;
    config->fds[index++] = number->valueint;
  }
  config->fd_count = count;
  return 0;
}

}  // namespace

int load_interceptor_config(const char *text) {
  auto *config = static_cast<interceptor_config_record *>(calloc(1, sizeof(interceptor_config_record)));
  if (!config) return 1;
  interceptor_config = config;
  json_guard document{text ? cJSON_Parse(text) : nullptr};
  if (!document.item) {
    free(config);
    interceptor_config = nullptr;
    return 1;
  }
  int status = load_propagate_envs(config, document.item);
  if (status == 0) status = load_propagate_fds(config, document.item);
  return status;
}
