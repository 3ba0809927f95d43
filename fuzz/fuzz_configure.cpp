// The configuration call on arbitrary text, against a private state record.
// The first input byte picks the platform and how many calls are made, so
// the cookie test, its lock and the handler-path detection all take part.
// Checked: every character field stays NUL-terminated inside its bounds, the
// modes stay within the three values, the failure count never passes the lock.
#include <cstdint>

#include "fuzz_support.hpp"
#include "tesselguard.h"

namespace {

bool terminated(const char *field, size_t size) { return memchr(field, '\0', size) != nullptr; }

bool valid_mode(int32_t mode) { return mode == MODE_ALLOW || mode == MODE_ALERT || mode == MODE_BLOCK; }

void check_record(const state_record &record) {
  if (!terminated(record.runtime, sizeof record.runtime) ||
      !terminated(record.runtime_version, sizeof record.runtime_version) ||
      !terminated(record.handler_path, sizeof record.handler_path))
    abort();
  if (!valid_mode(record.read_write_tmp) || !valid_mode(record.create_child_process) ||
      !valid_mode(record.outbound_connectivity) || !valid_mode(record.read_handler))
    abort();
  if (record.failed_cookie_count > 6 || record.cookie == 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Variables the handler-path detection reads on both platforms.
  setenv("_HANDLER", "lib.util.handler", 1);
  setenv("LAMBDA_TASK_ROOT", "/var/task", 1);
  setenv("X_GOOGLE_CODE_LOCATION", "/srv", 1);
  fuzz::open_log_pipe();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  fuzz::use_private_state(control % 3);
  const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  // One call issues the cookie; more calls meet the cookie test and the lock.
  const int calls = 1 + (control >> 2) % 8;
  int32_t cookie = 0;
  for (int i = 0; i < calls; ++i) {
    int32_t result = tesselguard_configure(text.c_str());
    if (i == 0 && result != 0) cookie = result;
    // Accepted calls return the one cookie; nothing else is ever returned.
    if (result != 0 && result != cookie) abort();
    if (cookie != 0) check_record(*state_map);
  }
  // Once issued, the right cookie is accepted until the lock.
  if (cookie != 0) {
    std::string again = "{\"cookie\":" + std::to_string(cookie) + "}";
    int32_t result = tesselguard_configure(again.c_str());
    if ((state_map->failed_cookie_count < 6) != (result == cookie)) abort();
  }
  fuzz::drain_log();
  return 0;
}
