// Reading an event text for judgement. Almost every event is a file open or
// a connection whose text the interceptor wrote itself, in one fixed shape
// with nothing escaped; those are read in place, without building a tree.
// Every other text is parsed with cJSON, whose reading is the reference:
// both routes give the same view of any text they both accept.
#include <cjson/cJSON.h>

#include <cstring>

#include "policy/policy.hpp"

namespace {

// The member's text when it is a string, else null (absent).
const char *string_member(const cJSON *object, const char *name) {
  const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

struct flat_reader {
  char *cursor;

  template <size_t N>
  bool literal(const char (&text)[N]) {
    if (strncmp(cursor, text, N - 1) != 0) return false;
    cursor += N - 1;
    return true;
  }

  // The rest of a string whose opening quote has been read; the closing
  // quote becomes its terminator. A string with escapes is left to cJSON
  // (which, like this reader, takes any other byte as it is).
  bool string(const char **out) {
    char *start = cursor;
    cursor += strcspn(cursor, "\"\\");
    if (*cursor != '"') return false;
    *cursor++ = '\0';
    *out = start;
    return true;
  }

  // "key":"value" into the view; unknown and repeated keys are left to cJSON.
  bool member(event_view *view) {
    const char *key = nullptr;
    const char *value = nullptr;
    if (!literal("\"") || !string(&key) || !literal(":\"") || !string(&value)) return false;
    const char **slot = strcmp(key, "path") == 0       ? &view->path
                        : strcmp(key, "ip") == 0       ? &view->ip
                        : strcmp(key, "hostname") == 0 ? &view->hostname
                                                       : nullptr;
    if (!slot || *slot) return false;
    *slot = value;
    return true;
  }
};

}  // namespace

bool read_flat_event(const char *text, char *buffer, size_t size, event_view *view) {
  *view = event_view{};
  if (!text) return false;
  const size_t length = strlen(text);
  if (length >= size) return false;
  memcpy(buffer, text, length + 1);
  flat_reader in{buffer};
  // {"name":"…","timestamp":"…","args":{"k":"v",…}}
  if (!in.literal("{\"name\":\"") || !in.string(&view->name) || !in.literal(",\"timestamp\":\"") ||
      !in.string(&view->timestamp) || !in.literal(",\"args\":{"))
    return false;
  if (!in.literal("}")) {
    do {
      if (!in.member(view)) return false;
    } while (in.literal(","));
    if (!in.literal("}")) return false;
  }
  return in.literal("}") && *in.cursor == '\0';
}

void view_of_parsed_event(const cJSON *event, event_view *view) {
  *view = event_view{};
  view->name = string_member(event, "name");
  view->timestamp = string_member(event, "timestamp");
  const cJSON *args = cJSON_GetObjectItemCaseSensitive(event, "args");
  if (!cJSON_IsObject(args)) return;
  view->path = string_member(args, "path");
  view->ip = string_member(args, "ip");
  view->hostname = string_member(args, "hostname");
  const cJSON *argv = cJSON_GetObjectItemCaseSensitive(args, "argv");
  view->argv = cJSON_IsArray(argv) ? argv : nullptr;
}
