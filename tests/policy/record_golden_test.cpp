// Byte-identity of event texts and alert records against a golden file
// recorded from the earlier cJSON-based writers and reader: every row of
// the policy table plus escaped, long, duplicated and malformed texts. Each
// line is either a producer call and the event text it made (timestamp
// masked), or an event text with its state, verdict and records.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "interceptor/interceptor.hpp"
#include "policy/policy.hpp"
#include "policy_harness.hpp"

namespace {

std::string captured;
int capture_text(const char *text) {
  captured = text ? text : "(null)";
  return 0;
}

std::string masked(std::string text) {
  const size_t at = text.find("\"timestamp\":\"");
  if (at != std::string::npos) text.replace(at + 13, 27, "<timestamp>");
  return text;
}

std::string text_of(const cJSON *line, const char *name) {
  const cJSON *item = cJSON_GetObjectItemCaseSensitive(line, name);
  return cJSON_IsString(item) ? item->valuestring : "";
}

int number_of(const cJSON *item) { return static_cast<int>(cJSON_GetNumberValue(item)); }

std::vector<std::string> strings_of(const cJSON *array) {
  std::vector<std::string> items;
  const cJSON *item = nullptr;
  cJSON_ArrayForEach(item, array) items.push_back(item->valuestring);
  return items;
}

// The event text a producer hands to the callback.
std::string produced(const std::vector<std::string> &call) {
  const verdict_callback saved = registered_callback;
  registered_callback = capture_text;
  captured.clear();
  if (call[0] == "fs_open") {
    judge_file_open(call[1].c_str());
  } else if (call[0] == "connect") {
    judge_connection(call[1].c_str(), call.size() > 2 ? call[2].c_str() : nullptr);
  } else {
    std::vector<char *> items;
    for (size_t i = 2; i < call.size(); ++i) items.push_back(const_cast<char *>(call[i].c_str()));
    judge_program_start(call[1].c_str(), static_cast<int>(items.size()), items.data());
  }
  registered_callback = saved;
  return masked(captured);
}

class RecordGolden : public ::testing::Test {
 protected:
  alert_log_pipe log;
  loopback_sink supervisor;
  scoped_state_identity state_file{"/tmp/tesselguard_state_Ab12Cd"};
  scoped_env supervisor_host{"X_GOOGLE_SUPERVISOR_HOSTNAME", "127.0.0.1"};
  scoped_env supervisor_port{"X_GOOGLE_SUPERVISOR_INTERNAL_PORT", supervisor.port_text().c_str()};

  void replay(const cJSON *line) {
    const int32_t provider = number_of(cJSON_GetObjectItemCaseSensitive(line, "provider"));
    scoped_state state(provider);
    const cJSON *modes = cJSON_GetObjectItemCaseSensitive(line, "modes");
    state.record.read_write_tmp = number_of(cJSON_GetArrayItem(modes, 0));
    state.record.read_handler = number_of(cJSON_GetArrayItem(modes, 1));
    state.record.outbound_connectivity = number_of(cJSON_GetArrayItem(modes, 2));
    state.record.create_child_process = number_of(cJSON_GetArrayItem(modes, 3));
    set_text(state.record.runtime, text_of(line, "runtime").c_str());
    set_text(state.record.runtime_version, text_of(line, "version").c_str());
    set_text(state.record.handler_path, text_of(line, "handler").c_str());
    scoped_env preload("LD_PRELOAD", cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(line, "layer")) ? LAYER_PATH : nullptr);
    const std::vector<std::string> records = strings_of(cJSON_GetObjectItemCaseSensitive(line, "records"));
    EXPECT_EQ(policy_callback(text_of(line, "event").c_str()),
              number_of(cJSON_GetObjectItemCaseSensitive(line, "verdict")));
    EXPECT_EQ(delivered_alerts(provider, log, supervisor, !records.empty()), records);
  }
};

TEST_F(RecordGolden, EventTextsAndRecordsAreUnchanged) {
  std::ifstream file(TG_SOURCE_DIR "/tests/policy/record_golden.jsonl", std::ios::binary);
  ASSERT_TRUE(file) << "golden file missing";
  std::string text;
  int producers = 0, replays = 0;
  while (std::getline(file, text)) {
    cJSON *line = cJSON_Parse(text.c_str());
    ASSERT_NE(line, nullptr) << text;
    if (const cJSON *call = cJSON_GetObjectItemCaseSensitive(line, "producer")) {
      SCOPED_TRACE(text.substr(0, 200));
      EXPECT_EQ(produced(strings_of(call)), text_of(line, "event"));
      ++producers;
    } else {
      SCOPED_TRACE(text_of(line, "label"));
      replay(line);
      ++replays;
    }
    cJSON_Delete(line);
  }
  EXPECT_EQ(producers, 11);
  EXPECT_EQ(replays, 131);
}

}  // namespace
