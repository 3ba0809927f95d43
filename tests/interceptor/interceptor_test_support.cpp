#include "interceptor_test_support.hpp"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <unistd.h>

#include "interceptor/interceptor.hpp"

void release_interceptor_config() {
  interceptor_config_record *config = interceptor_config;
  interceptor_config = nullptr;
  if (!config) return;
  for (int32_t i = 0; config->envs && i < config->env_count; ++i) {
    free(config->envs[i].name);
    free(config->envs[i].value);
  }
  free(config->envs);
  free(config->fds);
  free(config);
}

scratch_directory::scratch_directory(const std::string &base) {
  std::string name = base + "/tg_intercept_XXXXXX";
  if (mkdtemp(name.data())) path = name;
  EXPECT_FALSE(path.empty());
}

scratch_directory::~scratch_directory() {
  if (path.empty()) return;
  std::string command = "rm -rf '" + path + "'";
  EXPECT_EQ(system(command.c_str()), 0);
}

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

std::vector<alert_record> alert_records(const std::string &text) {
  std::vector<alert_record> records;
  for (const auto &line : split_lines(text)) {
    cJSON *parsed = cJSON_Parse(line.c_str());
    if (!parsed) continue;
    if (cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(parsed, "tessel_guard"))) {
      alert_record record;
      auto text_of = [](const cJSON *object, const char *key) {
        const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
        return std::string(cJSON_IsString(item) ? item->valuestring : "");
      };
      const cJSON *details = cJSON_GetObjectItemCaseSensitive(parsed, "details");
      record.policy = text_of(parsed, "policy");
      record.mode = text_of(parsed, "mode");
      record.path = text_of(details, "path");
      record.ip = text_of(details, "ip");
      record.host = text_of(details, "host");
      const cJSON *argument = nullptr;
      cJSON_ArrayForEach(argument, cJSON_GetObjectItemCaseSensitive(details, "arguments")) {
        if (cJSON_IsString(argument)) record.arguments.push_back(argument->valuestring);
      }
      records.push_back(record);
    }
    cJSON_Delete(parsed);
  }
  return records;
}

RunResult run_actions(std::vector<std::string> env, const std::vector<std::string> &actions,
                      bool capture_log_fd, const std::string &stdin_text) {
  RunOptions options;
  options.argv.push_back(probe_path("intercept_actions"));
  options.argv.insert(options.argv.end(), actions.begin(), actions.end());
  options.env = std::move(env);
  options.capture_log_fd = capture_log_fd;
  options.stdin_text = stdin_text;
  options.timeout_ms = 60000;
  return run_process(options);
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

std::string build_scratch_base() {
  char *resolved = realpath((compat_dir() + "/..").c_str(), nullptr);
  std::string base = resolved ? resolved : ".";
  free(resolved);
  return base;
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
