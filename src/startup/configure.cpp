// tesselguard_configure, the library's one exported function: writes the
// policy into the shared record and draws the analytics sample. It sits with
// start-up because it joins two floors (the record in core, analytics in the
// policy).
#include "core/core.hpp"
#include "core/diagnostics.hpp"
#include "core/guards.hpp"
#include "startup/startup.hpp"
#include "tesselguard.h"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "policy/policy.hpp"

namespace {

constexpr int32_t COOKIE_ATTEMPTS = 6;

void reseed_from_clock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  srand(static_cast<unsigned>(now.tv_nsec));
}

// Stores a string into a fixed character field; longer values are cut so
// the field always keeps its terminating NUL.
void store_text(char *field, size_t size, const char *value) {
  memset(field, 0, size);
  strncpy(field, value, size - 1);
}

void apply_document(const cJSON *document, bool by_function_code) {
  const cJSON *policy = cJSON_GetObjectItemCaseSensitive(document, "policy");
  if (cJSON_IsObject(policy)) {
    struct {
      const char *name;
      int32_t *mode;
    } const rules[] = {
        {"read_write_tmp", &state_map->read_write_tmp},
        {"create_child_process", &state_map->create_child_process},
        {"outbound_connectivity", &state_map->outbound_connectivity},
        {"read_handler", &state_map->read_handler},
    };
    for (const auto &rule : rules) {
      const cJSON *word = cJSON_GetObjectItemCaseSensitive(policy, rule.name);
      if (cJSON_IsString(word) && word->valuestring) store_field(*rule.mode, parse_mode(word->valuestring));
    }
  }
  const cJSON *runtime = cJSON_GetObjectItemCaseSensitive(document, "runtime");
  if (cJSON_IsString(runtime) && runtime->valuestring) {
    const bool handler_known = state_map->handler_path[0] != '\0';
    store_text(state_map->runtime, sizeof state_map->runtime, runtime->valuestring);
    if (!detect_handler_path())
      print_message(message_stream::output, "cannot detect handler path. read_handler protection disabled");
    else if (by_function_code && !handler_known)
      start_phase_handler_found();
  }
  const cJSON *version = cJSON_GetObjectItemCaseSensitive(document, "runtime_version");
  if (cJSON_IsString(version) && version->valuestring)
    store_text(state_map->runtime_version, sizeof state_map->runtime_version, version->valuestring);
  const cJSON *disable = cJSON_GetObjectItemCaseSensitive(document, "disable_analytics");
  if (cJSON_IsBool(disable)) store_field(state_map->disable_analytics, cJSON_IsTrue(disable) ? 1 : 0);
}

int32_t check_cookie(const cJSON *document) {
  if (load_field(state_map->cookie) == 0) {
    reseed_from_clock();
    // rand() + 1 with 32-bit wrap-around: never 0.
    const auto cookie = static_cast<int32_t>(static_cast<uint32_t>(rand()) + 1u);
    store_field(state_map->cookie, cookie);
    return cookie;
  }
  // Sealed: the cookie is in the record for anyone who reads memory, but
  // was given to no one, so no caller can hold it rightfully.
  if (load_field(state_map->configuration_sealed) != 0) return 0;
  const cJSON *cookie = cJSON_GetObjectItemCaseSensitive(document, "cookie");
  if (cJSON_IsNumber(cookie) && cookie->valueint == load_field(state_map->cookie)) return state_map->cookie;
  return 0;
}

void sample_analytics() {
  if (load_field(state_map->disable_analytics) != 0) return;
  reseed_from_clock();
  if (rand() % 100 == 50) send_analytics();
}

}  // namespace

void seal_configuration() {
  state_write_scope scope;
  if (scope.open && load_field(state_map->cookie) != 0) store_field(state_map->configuration_sealed, 1);
}

int32_t parse_mode(const char *word) {
  if (!word) return MODE_ALLOW;
  if (strcmp(word, "block") == 0) return MODE_BLOCK;
  if (strcmp(word, "alert") == 0) return MODE_ALERT;
  return MODE_ALLOW;
}

int configure_policy(const char *config, bool by_function_code) {
  if (!state_map) return 0;
  int32_t result = 0;
  if (!state_writable) {
    // Descendant processes map the shared record read-only: only the
    // function's first process can change the policy.
    print_message(message_stream::output, "TesselGuard can only be configured in the function's first process");
  } else if (config) {
    json_guard document{cJSON_Parse(config)};
    // The record is writable only while this call writes it.
    state_write_scope scope;
    if (document.item && scope.open) {
      result = check_cookie(document.item);
      if (state_map->failed_cookie_count >= COOKIE_ATTEMPTS) {
        print_message(message_stream::output, "Are you trying to brute-force cookie value ?!");
        result = 0;
      } else if (result == 0) {
        state_map->failed_cookie_count += 1;
        print_message(message_stream::output, "Please provide a valid cookie from first TesselGuard configure call");
      } else {
        apply_document(document.item, by_function_code);
      }
    }
  }
  // The kernel's floor under the hooks, once the policy first reaches block.
  keep_kernel_floor(true);
  sample_analytics();
  return result;
}

extern "C" __attribute__((visibility("default"))) int tesselguard_configure(const char *config) {
  return configure_policy(config, true);
}
