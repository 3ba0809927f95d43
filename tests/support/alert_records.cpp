#include "alert_records.hpp"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <optional>

#include "process_runner.hpp"

namespace {

std::string member_text(const cJSON *object, const char *name, const char *absent = "") {
  const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : absent;
}

std::optional<alert_record> parse_alert_record(const std::string &line) {
  cJSON *record = cJSON_ParseWithLength(line.data(), line.size());
  const cJSON *details = cJSON_GetObjectItemCaseSensitive(record, "details");
  if (!record || !cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(record, "tessel_guard")) ||
      !cJSON_IsObject(details)) {
    cJSON_Delete(record);
    return std::nullopt;
  }
  alert_record parsed;
  parsed.policy = member_text(record, "policy");
  parsed.mode = member_text(record, "mode");
  parsed.path = member_text(details, "path");
  parsed.ip = member_text(details, "ip");
  parsed.host = member_text(details, "host");
  const cJSON *arguments = cJSON_GetObjectItemCaseSensitive(details, "arguments");
  parsed.argument_count = cJSON_IsArray(arguments) ? static_cast<size_t>(cJSON_GetArraySize(arguments)) : 0;
  const cJSON *item = nullptr;
  cJSON_ArrayForEach(item, arguments) if (cJSON_IsString(item)) parsed.arguments.push_back(item->valuestring);
  cJSON_Delete(record);
  return parsed;
}

std::string summary(const std::string &alert_text) {
  cJSON *alert = cJSON_Parse(alert_text.c_str());
  if (!alert) return "unparseable alert: " + alert_text;
  char *details = cJSON_PrintUnformatted(cJSON_GetObjectItemCaseSensitive(alert, "details"));
  std::string result = member_text(alert, "policy", "(none)") + " " + member_text(alert, "mode", "(none)") + " " +
                       (details ? details : "(no details)");
  free(details);
  cJSON_Delete(alert);
  return result;
}

// The TextPayload of a "POST /_ah/log" request, or what was wrong with it.
std::string payload_of(const std::string &request) {
  size_t body_start = request.find("\r\n\r\n");
  if (request.rfind("POST /_ah/log HTTP/1.1\r\n", 0) != 0 || body_start == std::string::npos)
    return "not a log request: " + request;
  cJSON *body = cJSON_Parse(request.c_str() + body_start + 4);
  if (!body) return "unparseable body: " + request;
  const cJSON *entries = cJSON_GetObjectItemCaseSensitive(body, "Entries");
  std::string payload = cJSON_GetArraySize(entries) == 1
                            ? member_text(cJSON_GetArrayItem(entries, 0), "TextPayload", "(none)")
                            : "not one entry: " + request;
  cJSON_Delete(body);
  return payload;
}

}  // namespace

std::vector<alert_record> alert_records(const std::string &text) {
  std::vector<alert_record> records;
  for (const auto &line : split_lines(text))
    if (auto record = parse_alert_record(line)) records.push_back(*record);
  return records;
}

bool parse_alert_lines(const std::string &log, std::vector<alert_record> *records, std::string *bad) {
  for (const auto &line : split_lines(log)) {
    auto record = parse_alert_record(line);
    if (!record) {
      *bad = line;
      return false;
    }
    records->push_back(*record);
  }
  return true;
}

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
