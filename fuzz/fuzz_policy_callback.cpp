// The verdict callback on event texts. The first input byte picks the
// platform, the modes and the form of the rest: either the event text
// itself, or arbitrary bytes put into a well-formed event as its path,
// host name or command line, the way the interceptor would print them.
// Checked: the verdict is 0 or 222, and refusals and alerts always deliver
// a record that is one line of JSON that parses.
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "interceptor/interceptor.hpp"

namespace {

struct json_guard {
  cJSON *item;
  ~json_guard() { cJSON_Delete(item); }
};

// An event built as judge_event would build it, around `text`.
std::string wrapped_event(int form, const std::string &text) {
  json_guard args{cJSON_CreateObject()};
  const char *name = "fs_open";
  switch (form) {
    case 0:
      cJSON_AddStringToObject(args.item, "path", ("/tmp/" + text).c_str());
      break;
    case 1:
      name = "connect";
      cJSON_AddStringToObject(args.item, "ip", "203.0.113.9");
      cJSON_AddStringToObject(args.item, "hostname", text.c_str());
      break;
    default: {
      name = "process_execution";
      cJSON *argv = cJSON_AddArrayToObject(args.item, "argv");
      // Items split at NUL, like /proc/self/cmdline.
      size_t start = 0;
      while (start <= text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        cJSON_AddItemToArray(argv, cJSON_CreateString(text.substr(start, end - start).c_str()));
        start = end + 1;
      }
      cJSON_AddStringToObject(args.item, "path", "/bin/bash");
    }
  }
  char *event = event_json(name, args.item);
  std::string result = event ? event : "";
  cJSON_free(event);
  return result;
}

void check_log(const std::string &log, bool expect_record) {
  if (expect_record && log.empty()) abort();
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) abort();  // every record ends its line
    std::string line = log.substr(start, end - start);
    json_guard record{cJSON_Parse(line.c_str())};
    if (!record.item || !cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(record.item, "tessel_guard"))) abort();
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("TESSELGUARD_STATE_PATH", "/tmp/tesselguard_state_fuzz", 1);
  setenv("X_GOOGLE_SUPERVISOR_HOSTNAME", "supervisor.internal", 1);
  fuzz::open_log_pipe();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  // AWS delivers to descriptor 999, which is read back; the other platforms
  // only get the verdict checked.
  const int32_t provider = control & 1 ? PROVIDER_GOOGLE : PROVIDER_AWS;
  fuzz::use_private_state(provider);
  const int32_t mode = (control >> 1) % 3;
  state_map->read_write_tmp = mode;
  state_map->outbound_connectivity = mode;
  state_map->create_child_process = mode;
  state_map->read_handler = mode;
  strcpy(state_map->handler_path, "/var/task/index.js");
  strcpy(state_map->runtime, (control & 0x40) ? "Python" : "Node.js");

  const std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
  const int form = (control >> 3) & 3;
  const std::string event = form != 3 ? wrapped_event(form, rest) : rest;
  const int verdict = policy_callback(event.c_str());
  if (verdict != 0 && verdict != VERDICT_REFUSE) abort();
  // Below block only the state file is refused, whatever the mode.
  if (verdict != 0 && mode != MODE_BLOCK && event.find("tesselguard_state_fuzz") == std::string::npos) abort();
  const std::string log = fuzz::drain_log();
  if (provider == PROVIDER_AWS) check_log(log, verdict != 0);
  return 0;
}
