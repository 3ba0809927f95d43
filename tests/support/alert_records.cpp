#include "alert_records.hpp"

#include <cjson/cJSON.h>

#include <optional>

#include "process_runner.hpp"

namespace {

std::string member_text(const cJSON *object, const char *name) {
  const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : "";
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
