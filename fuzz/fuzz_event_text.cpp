// The JSON text writer and the event reader against cJSON, the reference:
// - the writer: the input's NUL-separated pieces written as strings, as an
//   array and as object members must be the bytes cJSON_PrintUnformatted
//   prints for the same values;
// - the reader: any input is accepted exactly when cJSON parses it, and then
//   gives the view cJSON's lookups give.
#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/json_text.hpp"
#include "policy/policy.hpp"

namespace {

struct json_guard {
  cJSON *item;
  ~json_guard() { cJSON_Delete(item); }
};

std::string printed(const cJSON *item) {
  char *text = cJSON_PrintUnformatted(item);
  std::string result = text ? text : "";
  cJSON_free(text);
  return result;
}

void check_writer(const std::string &input) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    pieces.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  char buffer[64];
  json_text text(buffer, sizeof buffer);
  json_guard reference{cJSON_CreateObject()};
  text.begin_object();
  cJSON *items = cJSON_AddArrayToObject(reference.item, "items");
  text.key("items");
  text.begin_array();
  for (const std::string &piece : pieces) {
    cJSON_AddItemToArray(items, cJSON_CreateString(piece.c_str()));
    text.string(piece.c_str());
  }
  text.end_array();
  for (const std::string &piece : pieces) {
    cJSON_AddStringToObject(reference.item, piece.c_str(), piece.c_str());
    text.key(piece.c_str());
    text.string(piece.c_str());
  }
  text.end_object();
  const char *written = text.c_str();
  if (!written || printed(reference.item) != written) abort();
}

bool same(const char *a, const char *b) { return (!a && !b) || (a && b && strcmp(a, b) == 0); }

const char *member_text(const cJSON *object, const char *name) {
  const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

void check_reader(const std::string &input) {
  event_reading reading;
  const bool read = read_event(input.c_str(), &reading);
  json_guard parsed{cJSON_Parse(input.c_str())};
  if (read != (parsed.item != nullptr)) abort();
  if (!read) return;
  const event_view &view = reading.view;
  const cJSON *args = cJSON_GetObjectItemCaseSensitive(parsed.item, "args");
  if (!cJSON_IsObject(args)) args = nullptr;
  if (!same(view.name, member_text(parsed.item, "name")) || !same(view.timestamp, member_text(parsed.item, "timestamp")) ||
      !same(view.path, member_text(args, "path")) || !same(view.ip, member_text(args, "ip")) ||
      !same(view.hostname, member_text(args, "hostname")))
    abort();
  const cJSON *argv = cJSON_GetObjectItemCaseSensitive(args, "argv");
  if (!cJSON_IsArray(argv)) argv = nullptr;
  if (view.argv_count != cJSON_GetArraySize(argv)) abort();
  for (int i = 0; i < view.argv_count; ++i) {
    const cJSON *item = cJSON_GetArrayItem(argv, i);
    if (!same(view.argv[i], cJSON_IsString(item) ? item->valuestring : nullptr)) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  check_writer(input);
  check_reader(input);
  return 0;
}
