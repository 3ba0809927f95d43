// The event reader's view: first member wins, wrong types are absent, argv
// counts every item and keeps only strings' texts, escapes are decoded, and
// texts cJSON would not parse are refused. (Whole records over many more
// texts are checked against the golden file.)
#include <gtest/gtest.h>

#include <string>

#include "policy/policy.hpp"

namespace {

struct reader_row {
  const char *text;
  bool read;
  const char *name, *path, *argv;  // argv: items joined by '|', "~" for a non-string
};

std::string shown(const char *text) { return text ? text : "(absent)"; }

TEST(EventReader, Views) {
  const reader_row rows[] = {
      {R"({"name":"fs_open","args":{"path":"/a"}})", true, "fs_open", "/a", ""},
      {R"({"name":"x","name":"y","args":{"path":"/a","path":"/b"}})", true, "x", "/a", ""},
      {R"({"name":1,"name":"y","args":{"path":[],"path":"/b"}})", true, nullptr, nullptr, ""},
      {R"({"args":"no","args":{"path":"/b"}})", true, nullptr, nullptr, ""},
      {R"({"args":{"argv":["a",1,null,{"x":"y"},"b"]}})", true, nullptr, nullptr, "a|~|~|~|b"},
      {R"({"args":{"argv":"a","argv":["b"]}})", true, nullptr, nullptr, ""},
      {R"( {"n\u0061me" : "\u00e9\ud83d\ude00\n\/" , "args":{"path":"a\u0000b"}} trailing)", true,
       "\xc3\xa9\xf0\x9f\x98\x80\n/", "a", ""},
      {R"({"name":"a\udc00"})", false, nullptr, nullptr, ""},
      {R"({"name":"a\q"})", false, nullptr, nullptr, ""},
      {R"({"name":"a",})", false, nullptr, nullptr, ""},
      {R"({"a":-})", false, nullptr, nullptr, ""},
      {"", false, nullptr, nullptr, ""},
  };
  for (const reader_row &row : rows) {
    SCOPED_TRACE(row.text);
    event_reading reading;
    ASSERT_EQ(read_event(row.text, &reading), row.read);
    EXPECT_EQ(shown(reading.view.name), shown(row.name));
    EXPECT_EQ(shown(reading.view.path), shown(row.path));
    std::string argv;
    for (int i = 0; i < reading.view.argv_count; ++i)
      argv += (i ? "|" : "") + std::string(reading.view.argv[i] ? reading.view.argv[i] : "~");
    EXPECT_EQ(argv, row.argv);
  }
  event_reading reading;
  EXPECT_FALSE(read_event(nullptr, &reading));
}

}  // namespace
