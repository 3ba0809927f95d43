#include "interceptor_test_support.hpp"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <unistd.h>

#include "interceptor/interceptor.hpp"

void release_interceptor_config() { unload_interceptor_config(); }

namespace {

std::mutex events_mutex;
std::vector<recorded_event> recorded;
int answer = 0;
verdict_callback previous = nullptr;

int record_event(const char *text) {
  recorded_event event;
  event.text = text ? text : "";
  if (cJSON *parsed = cJSON_Parse(event.text.c_str())) {
    const cJSON *name = cJSON_GetObjectItemCaseSensitive(parsed, "name");
    if (cJSON_IsString(name)) event.name = name->valuestring;
    const cJSON *args = cJSON_GetObjectItemCaseSensitive(parsed, "args");
    const cJSON *path = cJSON_GetObjectItemCaseSensitive(args, "path");
    if (cJSON_IsString(path)) event.path = path->valuestring;
    cJSON_Delete(parsed);
  }
  std::lock_guard<std::mutex> guard(events_mutex);
  recorded.push_back(event);
  return answer;
}

}  // namespace

recording_callback::recording_callback(int verdict) {
  std::lock_guard<std::mutex> guard(events_mutex);
  recorded.clear();
  answer = verdict;
  previous = registered_callback;
  registered_callback = record_event;
}

recording_callback::~recording_callback() { registered_callback = previous; }

std::vector<recorded_event> recording_callback::events() const {
  std::lock_guard<std::mutex> guard(events_mutex);
  return recorded;
}

RunResult run_actions(std::vector<std::string> env, const std::vector<std::string> &actions,
                      bool capture_log_fd, const std::string &stdin_text) {
  return run_probe("intercept_actions", actions, std::move(env), capture_log_fd, stdin_text);
}

std::string configure_action(const std::vector<std::pair<std::string, std::string>> &rules,
                             const std::string &extra_members) {
  // Analytics off: a usage report drawn by chance would add lines to the log.
  std::string text = "configure:{\"disable_analytics\":true,\"policy\":{";
  for (size_t i = 0; i < rules.size(); ++i)
    text += (i ? "," : "") + ("\"" + rules[i].first + "\":\"" + rules[i].second + "\"");
  text += "}";
  if (!extra_members.empty()) text += "," + extra_members;
  return text + "}";
}

std::string python_path() {
  if (access("/usr/bin/python3", X_OK) == 0) return "/usr/bin/python3";
  const char *search = getenv("PATH");
  std::string path_list = search ? search : "";
  size_t start = 0;
  while (start <= path_list.size()) {
    size_t end = path_list.find(':', start);
    if (end == std::string::npos) end = path_list.size();
    std::string candidate = path_list.substr(start, end - start) + "/python3";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}
