// The JSON text writer against cJSON's printer, the reference its bytes
// must match: every single byte inside a string, texts that outgrow the
// caller's buffer, and members, items and nesting.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>

#include "core/json_text.hpp"

namespace {

std::string cjson_printed(const char *value) {
  cJSON *item = cJSON_CreateString(value);
  char *text = cJSON_PrintUnformatted(item);
  std::string result = text;
  cJSON_free(text);
  cJSON_Delete(item);
  return result;
}

std::string written(const char *value, size_t buffer_size) {
  char buffer[4096];
  json_text text(buffer, buffer_size);
  text.string(value);
  return text.c_str();
}

TEST(JsonText, EscapesEveryByteAsCJsonDoes) {
  for (int byte = 1; byte < 256; ++byte) {
    const char value[] = {'a', static_cast<char>(byte), 'b', '\0'};
    EXPECT_EQ(written(value, 64), cjson_printed(value)) << "byte " << byte;
  }
}

TEST(JsonText, LongTextsMoveToTheHeap) {
  std::string value(20000, 'x');
  for (size_t i = 0; i < value.size(); i += 7) value[i] = static_cast<char>(i % 32 + 1);
  for (size_t buffer_size : {1u, 16u, 4096u}) EXPECT_EQ(written(value.c_str(), buffer_size), cjson_printed(value.c_str()));
}

TEST(JsonText, MembersAndItemsInOrder) {
  char buffer[8];
  json_text text(buffer, sizeof buffer);
  text.begin_object();
  text.key("a");
  text.begin_array();
  text.string("x");
  text.begin_object();
  text.end_object();
  text.begin_array();
  text.end_array();
  text.literal("null");
  text.end_array();
  text.member("b", "y");
  text.key("c");
  text.begin_object();
  text.member("d", "\"");
  text.plain_member("p", "q");
  text.end_object();
  text.key("e");
  text.literal("true");
  text.end_object();
  EXPECT_STREQ(text.c_str(), R"({"a":["x",{},[],null],"b":"y","c":{"d":"\"","p":"q"},"e":true})");
}

}  // namespace
