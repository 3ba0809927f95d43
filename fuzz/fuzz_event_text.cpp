// The event text's two hand-made routes against cJSON, the reference:
// - the writer: string arguments made of the input's bytes are written as an
//   event text; it must parse, and carry the name and every value unchanged;
// - the in-place reader: whenever it accepts the input as an event text,
//   cJSON must accept it too and see the same name, timestamp and arguments.
#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interceptor/interceptor.hpp"
#include "policy/policy.hpp"

namespace {

struct json_guard {
  cJSON *item;
  ~json_guard() { cJSON_Delete(item); }
};

std::string written;

int capture(const char *text) {
  written = text ? text : "<null>";
  return 0;
}

bool same(const char *a, const char *b) { return (!a && !b) || (a && b && strcmp(a, b) == 0); }

const char *member_text(const cJSON *object, const char *name) {
  const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

void check_writer(const std::string &input) {
  // Up to three values, split at NUL bytes: a path, or an address and a name.
  std::string values[3];
  int count = 0;
  size_t start = 0;
  while (count < 3 && start <= input.size()) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    values[count++] = input.substr(start, end - start);
    start = end + 1;
  }
  const bool connect = count > 1;
  flat_member members[2] = {{connect ? "ip" : "path", values[0].c_str()}, {"hostname", values[1].c_str()}};
  const char *name = connect ? "connect" : "fs_open";
  written.clear();
  registered_callback = capture;
  judge_flat_event(name, members, connect ? 2 : 1);
  if (written == "<null>") return;  // no memory: the callback saw no text
  json_guard event{cJSON_Parse(written.c_str())};
  if (!event.item) abort();
  const cJSON *args = cJSON_GetObjectItemCaseSensitive(event.item, "args");
  if (!same(member_text(event.item, "name"), name) || !member_text(event.item, "timestamp")) abort();
  if (!same(member_text(args, members[0].key), members[0].value)) abort();
  if (connect && !same(member_text(args, "hostname"), members[1].value)) abort();
  if (cJSON_GetArraySize(args) != (connect ? 2 : 1)) abort();
}

void check_reader(const std::string &input) {
  char buffer[1024];
  event_view flat;
  if (!read_flat_event(input.c_str(), buffer, sizeof buffer, &flat)) return;
  json_guard parsed{cJSON_Parse(input.c_str())};
  if (!parsed.item) abort();
  event_view reference;
  view_of_parsed_event(parsed.item, &reference);
  if (!same(flat.name, reference.name) || !same(flat.timestamp, reference.timestamp) ||
      !same(flat.path, reference.path) || !same(flat.ip, reference.ip) || !same(flat.hostname, reference.hostname))
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  check_writer(input);
  check_reader(input);
  return 0;
}
