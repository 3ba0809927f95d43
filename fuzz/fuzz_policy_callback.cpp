// The verdict callback on event texts. The first input byte picks the
// platform, the modes and the form of the rest: either the event text
// itself, or arbitrary bytes put into a well-formed event as its path,
// host name or command line, the way the interceptor would print them.
// Checked: the verdict is 0 or 222, and refusals and alerts always deliver
// a record that is one line of JSON that parses.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "interceptor/interceptor.hpp"

namespace {

struct json_guard {
  cJSON *item;
  ~json_guard() { cJSON_Delete(item); }
};

std::string produced;
int capture(const char *text) {
  produced = text ? text : "";
  return 0;
}

// The event the interceptor makes around `text`.
std::string wrapped_event(int form, const std::string &text) {
  registered_callback = capture;
  produced.clear();
  if (form == 0) {
    judge_file_open(("/tmp/" + text).c_str());
  } else if (form == 1) {
    judge_connection("203.0.113.9", text.c_str());
  } else {
    // Items split at NUL, like /proc/self/cmdline.
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\0', start);
      if (end == std::string::npos) end = text.size();
      pieces.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    std::vector<char *> items;
    for (std::string &piece : pieces) items.push_back(piece.data());
    judge_program_start("/bin/bash", static_cast<int>(items.size()), items.data());
  }
  registered_callback = nullptr;
  return produced;
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
  // Its port stays unset: a delivery prints that and sends nothing.
  strcpy(state_map->supervisor_host, "supervisor.internal");
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
  // Below block only the state file and a process's memory file
  // (/proc/<pid>/mem, .../task/<tid>/mem) are refused, whatever the mode.
  const bool always_refused =
      event.find("tesselguard_state_fuzz") != std::string::npos || event.find("/mem") != std::string::npos;
  if (verdict != 0 && mode != MODE_BLOCK && !always_refused) abort();
  const std::string log = fuzz::drain_log();
  if (provider == PROVIDER_AWS) check_log(log, verdict != 0);
  return 0;
}
