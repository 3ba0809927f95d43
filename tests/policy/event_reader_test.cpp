// The in-place reader of the interceptor's flat event texts against cJSON's
// reading of the same texts: where the reader accepts a text, it must see
// exactly what cJSON sees; every other text is left to cJSON.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>

#include "policy/policy.hpp"

namespace {

std::string show(const char *text) { return text ? std::string("\"") + text + "\"" : "null"; }

std::string describe(const event_view &view) {
  return "name=" + show(view.name) + " timestamp=" + show(view.timestamp) + " path=" + show(view.path) +
         " ip=" + show(view.ip) + " hostname=" + show(view.hostname) + (view.argv ? " argv" : "");
}

struct row {
  const char *text;
  bool flat;  // read in place
};

TEST(EventReader, SeesWhatCJsonSeesOrLeavesTheTextToIt) {
  const row rows[] = {
      {R"({"name":"fs_open","timestamp":"2019-03-07T12:34:56.000123Z","args":{"path":"/tmp/x"}})", true},
      {R"({"name":"connect","timestamp":"t","args":{"ip":"10.0.0.1","hostname":"Example.com."}})", true},
      {R"({"name":"connect","timestamp":"t","args":{"ip":"127.0.0.1"}})", true},
      {R"({"name":"fs_open","timestamp":"t","args":{}})", true},
      {R"({"name":"fs_open","timestamp":"","args":{"path":""}})", true},
      {"{\"name\":\"fs_open\",\"timestamp\":\"t\",\"args\":{\"path\":\"/tmp/caf\xc3\xa9\x01\"}}", true},
      {R"({"name":"process_execution","timestamp":"t","args":{"path":"/bin/true"}})", true},
      // Left to cJSON: escapes, whitespace, other members, repeats, other types, trailing text.
      {R"({"name":"fs_open","timestamp":"t","args":{"path":"/tmp/a\"b"}})", false},
      {R"({"name":"fs_open","timestamp":"t","args":{"path":"/tmp/\u0041"}})", false},
      {R"({ "name":"fs_open","timestamp":"t","args":{"path":"/tmp/x"}})", false},
      {R"({"name":"fs_open","timestamp":"t","args":{"path":"/tmp/x","path":"/etc/y"}})", false},
      {R"({"name":"fs_open","timestamp":"t","args":{"mode":"r","path":"/tmp/x"}})", false},
      {R"({"name":"fs_open","timestamp":"t","args":{"path":7}})", false},
      {R"({"name":"fs_open","timestamp":"t","args":{"path":"/tmp/x"}} trailing)", false},
      {R"({"name":"fs_open","timestamp":"t","args":{"path":"/tmp/x"})", false},
      {R"({"name":"fs_open","args":{"path":"/tmp/x"}})", false},
      {R"({"name":"process_execution","timestamp":"t","args":{"argv":["a",1],"path":"/bin/a"}})", false},
      {R"({"timestamp":"t","name":"fs_open","args":{"path":"/tmp/x"}})", false},
      {R"([1,2])", false},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.text);
    char buffer[1024];
    event_view flat;
    const bool read = read_flat_event(r.text, buffer, sizeof buffer, &flat);
    EXPECT_EQ(read, r.flat);
    cJSON *parsed = cJSON_Parse(r.text);
    event_view reference;
    view_of_parsed_event(parsed, &reference);
    if (read) {
      ASSERT_NE(parsed, nullptr);
      EXPECT_EQ(describe(flat), describe(reference));
    }
    cJSON_Delete(parsed);
  }
}

TEST(EventReader, TextsLongerThanTheBufferAreLeftToCJson) {
  const std::string text =
      R"({"name":"fs_open","timestamp":"t","args":{"path":"/tmp/)" + std::string(2000, 'x') + R"("}})";
  char buffer[1024];
  event_view view;
  EXPECT_FALSE(read_flat_event(text.c_str(), buffer, sizeof buffer, &view));
  EXPECT_FALSE(read_flat_event(nullptr, buffer, sizeof buffer, &view));
}

}  // namespace
