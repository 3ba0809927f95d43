#include "interceptor_test_support.hpp"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

#include "interceptor/interceptor.hpp"

void release_interceptor_config() {
  interceptor_config_record *config = interceptor_config;
  interceptor_config = nullptr;
  if (!config) return;
  for (int32_t i = 0; config->envs && i < config->env_count; ++i) {
    free(config->envs[i].name);
    free(config->envs[i].value);
  }
  // A list that failed part-way keeps count 0 but holds what was read.
  if (config->envs && config->env_count == 0) {
    // Entries are calloc'd, so unread ones are null.
    for (int i = 0; config->envs[i].name; ++i) {
      free(config->envs[i].name);
      free(config->envs[i].value);
    }
  }
  free(config->envs);
  free(config->fds);
  free(config);
}

scratch_directory::scratch_directory() {
  char name[] = "/tmp/tg_intercept_XXXXXX";
  if (mkdtemp(name)) path = name;
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
