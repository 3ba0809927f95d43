#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.hpp"
#include "core/timestamp.hpp"
#include "policy/policy.hpp"

namespace {

constexpr const char *TESSEL_GUARD_VERSION = "2.0.14";

// Room for OpenSSL's SHA256_CTX (112 bytes), kept opaque since the library
// never includes OpenSSL's headers.
struct alignas(16) sha256_context {
  unsigned char bytes[256];
};

void add_function_digest(cJSON *record, const char *name_variable) {
  const char *name = env_lookup(name_variable);
  if (!name) return;
  char digest[65];
  sha256_hex(name, digest);
  cJSON_AddStringToObject(record, "function_name_sha256", digest);
}

}  // namespace

void sha256_hex(const char *text, char *out) {
  sha256_context context{};
  unsigned char digest[32];
  auto *state = reinterpret_cast<sha256_state_st *>(&context);
  ssl_api.SHA256_Init(state);
  ssl_api.SHA256_Update(state, text, strlen(text));
  ssl_api.SHA256_Final(digest, state);
  for (int i = 0; i < 32; ++i) snprintf(out + 2 * i, 3, "%02x", digest[i]);
  out[64] = '\0';
}

char *build_analytics_record() {
  char *timestamp = event_timestamp();
  cJSON *record = cJSON_CreateObject();
  if (!record) {
    free(timestamp);
    return nullptr;
  }
  // strnlen: the fields are rewritten in place by concurrent configuration calls.
  char runtime[sizeof state_map->runtime + 1] = {};
  char runtime_version[sizeof state_map->runtime_version + 1] = {};
  memcpy(runtime, state_map->runtime, sizeof state_map->runtime);
  memcpy(runtime_version, state_map->runtime_version, sizeof state_map->runtime_version);

  cJSON_AddTrueToObject(record, "tessel_guard_analytics");
  if (timestamp) cJSON_AddStringToObject(record, "time", timestamp);
  cJSON_AddStringToObject(record, "runtime", runtime);
  cJSON_AddStringToObject(record, "runtime_version", runtime_version);
  cJSON_AddStringToObject(record, "tessel_guard_version", TESSEL_GUARD_VERSION);
  if (state_map->provider == PROVIDER_AWS) {
    cJSON_AddStringToObject(record, "provider", "AWS");
    if (is_layer_preload()) cJSON_AddTrueToObject(record, "lambda_layer");
    add_function_digest(record, "AWS_LAMBDA_FUNCTION_NAME");
  } else if (state_map->provider == PROVIDER_GOOGLE) {
    cJSON_AddStringToObject(record, "provider", "Google");
    add_function_digest(record, "X_GOOGLE_FUNCTION_NAME");
  }
  char *text = cJSON_PrintUnformatted(record);
  cJSON_Delete(record);
  free(timestamp);
  return text;
}

void send_analytics() {
  char *record = build_analytics_record();
  if (!record) return;
  post_analytics(record);
}
