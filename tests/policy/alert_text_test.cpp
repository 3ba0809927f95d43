// Alert records of file opens and connections are written straight to text
// unless a value needs escaping; either way the record must be exactly what
// cJSON prints for the record tree, member order included.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/core.hpp"
#include "interceptor/interceptor.hpp"
#include "policy/policy.hpp"
#include "policy_harness.hpp"

namespace {

// The record as the tree route prints it.
std::string tree_record(const std::vector<std::pair<const char *, const char *>> &details, const char *timestamp,
                        const char *policy, const char *mode) {
  cJSON *alert = cJSON_CreateObject();
  cJSON *object = cJSON_AddObjectToObject(alert, "details");
  for (const auto &[key, value] : details) cJSON_AddStringToObject(object, key, value);
  cJSON_AddTrueToObject(alert, "tessel_guard");
  if (timestamp) cJSON_AddStringToObject(alert, "timestamp", timestamp);
  cJSON_AddStringToObject(alert, "policy", policy);
  cJSON_AddStringToObject(alert, "mode", mode);
  char *text = cJSON_PrintUnformatted(alert);
  std::string record = text;
  cJSON_free(text);
  cJSON_Delete(alert);
  return record + "\n";
}

// The event text as the interceptor would make it (escaped where needed).
std::string event_text(const char *name, const std::vector<std::pair<const char *, const char *>> &args,
                       const char *timestamp) {
  cJSON *event = cJSON_CreateObject();
  cJSON_AddStringToObject(event, "name", name);
  if (timestamp) cJSON_AddStringToObject(event, "timestamp", timestamp);
  cJSON *object = cJSON_AddObjectToObject(event, "args");
  for (const auto &[key, value] : args) cJSON_AddStringToObject(object, key, value);
  char *text = cJSON_PrintUnformatted(event);
  std::string printed = text;
  cJSON_free(text);
  cJSON_Delete(event);
  return printed;
}

TEST(AlertText, EqualsTheTreeRouteForFileOpensAndConnections) {
  alert_log_pipe log;
  scoped_state state(PROVIDER_AWS);
  state.record.read_write_tmp = MODE_ALERT;
  state.record.outbound_connectivity = MODE_BLOCK;
  scoped_env state_path(STATE_PATH_VARIABLE, nullptr);
  const std::string long_path = "/tmp/" + std::string(2500, 'y');
  const char *paths[] = {"/tmp/x", "/tmp/caf\xc3\xa9", "/tmp/q\"uote", "/tmp/back\\slash", "/tmp/new\nline",
                         long_path.c_str()};
  for (const char *timestamp : {"2021-06-01T10:20:30.000042Z", static_cast<const char *>(nullptr)}) {
    for (const char *path : paths) {
      SCOPED_TRACE(std::string(path).substr(0, 30));
      EXPECT_EQ(policy_callback(event_text("fs_open", {{"path", path}}, timestamp).c_str()), 0);
      EXPECT_EQ(log.drain(), tree_record({{"path", path}}, timestamp, "read_write_tmp", "alert"));
    }
    const std::vector<std::vector<std::pair<const char *, const char *>>> connections = {
        {{"ip", "10.0.0.1"}},
        {{"ip", "10.0.0.2"}, {"hostname", "Example.COM."}},
        {{"ip", "10.0.0.3"}, {"hostname", "we\"ird\\name"}},
    };
    for (const auto &args : connections) {
      SCOPED_TRACE(args.back().second);
      std::vector<std::pair<const char *, const char *>> details;
      if (args.size() > 1) details.push_back({"host", args[1].second});
      details.push_back({"ip", args[0].second});
      EXPECT_EQ(policy_callback(event_text("connect", args, timestamp).c_str()), VERDICT_REFUSE);
      EXPECT_EQ(log.drain(), tree_record(details, timestamp, "outbound_connectivity", "block"));
    }
  }
}

}  // namespace
