#include "network_alerts.hpp"

#include "process_runner.hpp"

#include <cjson/cJSON.h>

#include <cstdlib>

namespace {

std::string string_member(const cJSON *object, const char *name) {
  const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : "(none)";
}

std::string summary(const std::string &alert_text) {
  cJSON *alert = cJSON_Parse(alert_text.c_str());
  if (!alert) return "unparseable alert: " + alert_text;
  char *details = cJSON_PrintUnformatted(cJSON_GetObjectItemCaseSensitive(alert, "details"));
  std::string result = string_member(alert, "policy") + " " + string_member(alert, "mode") + " " +
                       (details ? details : "(no details)");
  free(details);
  cJSON_Delete(alert);
  return result;
}

// The TextPayload of a "POST /_ah/log" request, or a description of what
// was wrong with it.
std::string payload_of(const std::string &request) {
  size_t body_start = request.find("\r\n\r\n");
  if (request.rfind("POST /_ah/log HTTP/1.1\r\n", 0) != 0 || body_start == std::string::npos)
    return "not a log request: " + request;
  cJSON *body = cJSON_Parse(request.c_str() + body_start + 4);
  if (!body) return "unparseable body: " + request;
  const cJSON *entries = cJSON_GetObjectItemCaseSensitive(body, "Entries");
  std::string payload = cJSON_GetArraySize(entries) == 1
                            ? string_member(cJSON_GetArrayItem(entries, 0), "TextPayload")
                            : "not one entry: " + request;
  cJSON_Delete(body);
  return payload;
}

}  // namespace

std::vector<std::string> alert_summaries_from_log(const std::string &log) {
  std::vector<std::string> result;
  for (const auto &line : split_lines(log)) result.push_back(summary(line));
  return result;
}

std::vector<std::string> alert_summaries_from_requests(const std::vector<std::string> &requests) {
  std::vector<std::string> result;
  for (const auto &request : requests) result.push_back(summary(payload_of(request)));
  return result;
}
