#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.hpp"
#include "core/json_text.hpp"
#include "core/timestamp.hpp"
#include "policy/policy.hpp"

namespace {

// Room for OpenSSL's SHA256_CTX (112 bytes), kept opaque since the library
// never includes OpenSSL's headers.
struct alignas(16) sha256_context {
  unsigned char bytes[256];
};

void add_function_digest(json_text &record, const char *name_variable) {
  const char *name = env_lookup(name_variable);
  if (!name) return;
  char digest[65];
  sha256_hex(name, digest);
  record.plain_member("function_name_sha256", digest);
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
  char timestamp[32];
  current_timestamp(timestamp);
  // strnlen: the fields are rewritten in place by concurrent configuration calls.
  char runtime[sizeof state_map->runtime + 1] = {};
  char runtime_version[sizeof state_map->runtime_version + 1] = {};
  memcpy(runtime, state_map->runtime, sizeof state_map->runtime);
  memcpy(runtime_version, state_map->runtime_version, sizeof state_map->runtime_version);

  char buffer[512];
  json_text record(buffer, sizeof buffer);
  record.begin_object();
  record.plain_key("tessel_guard_analytics");
  record.literal("true");
  record.plain_member("time", timestamp);
  record.member("runtime", runtime);
  record.member("runtime_version", runtime_version);
  record.plain_member("tessel_guard_version", TESSELGUARD_VERSION_TEXT);
  if (state_map->provider == PROVIDER_AWS) {
    record.plain_member("provider", "AWS");
    if (is_layer_preload()) {
      record.plain_key("lambda_layer");
      record.literal("true");
    }
    add_function_digest(record, "AWS_LAMBDA_FUNCTION_NAME");
  } else if (state_map->provider == PROVIDER_GOOGLE) {
    record.plain_member("provider", "Google");
    add_function_digest(record, "X_GOOGLE_FUNCTION_NAME");
  }
  record.end_object();
  const char *text = record.c_str();
  return text ? strdup(text) : nullptr;
}

void send_analytics() {
  // The record's digest needs libssl as much as the post does.
  if (!libssl_ready()) return;
  char *record = build_analytics_record();
  if (!record) return;
  post_analytics(record);
}
