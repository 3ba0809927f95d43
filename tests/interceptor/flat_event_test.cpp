// Events written directly for string-only arguments (file opens,
// connections) must be byte for byte what the tree route prints, whatever
// the values hold, and must reach the callback the same way.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "interceptor/interceptor.hpp"

namespace {

std::string captured;
int answer = 0;

int capturing_callback(const char *text) {
  captured = text ? text : "(null)";
  return answer;
}

class FlatEvent : public ::testing::Test {
  verdict_callback saved_ = registered_callback;

 protected:
  void SetUp() override { registered_callback = capturing_callback; }
  void TearDown() override { registered_callback = saved_; }
};

// The text event_json prints for the same arguments, with the timestamp
// taken from `actual` (the two are made at different instants).
std::string tree_text(const char *name, const std::vector<flat_member> &members, const std::string &actual) {
  cJSON *args = cJSON_CreateObject();
  for (const flat_member &m : members) cJSON_AddStringToObject(args, m.key, m.value);
  char *text = event_json(name, args);
  cJSON_Delete(args);
  std::string expected = text ? text : "";
  cJSON_free(text);
  const std::string key = "\"timestamp\":\"";
  const size_t at = expected.find(key), actual_at = actual.find(key);
  if (at == std::string::npos || actual_at == std::string::npos) return expected;
  expected.replace(at + key.size(), 27, actual.substr(actual_at + key.size(), 27));
  return expected;
}

TEST_F(FlatEvent, TextEqualsTheTreeRouteForAnyValue) {
  const std::string long_path = "/tmp/" + std::string(3000, 'x');  // beyond the stack buffer
  const std::vector<std::vector<flat_member>> cases = {
      {{"path", "/etc/passwd"}},
      {{"path", "/tmp/caf\xc3\xa9 \x7f~"}},          // non-ASCII and DEL print as they are
      {{"path", "/tmp/a\"quote"}},                   // escaped: the tree route
      {{"path", "/tmp/back\\slash"}},
      {{"path", "/tmp/line\nbreak\ttab\x01"}},
      {{"path", ""}},
      {{"path", long_path.c_str()}},
      {{"ip", "127.0.0.1"}},
      {{"ip", "10.1.2.3"}, {"hostname", "Example.COM."}},
      {{"ip", "10.1.2.3"}, {"hostname", "we\"ird"}},
  };
  for (const auto &members : cases) {
    const char *name = strcmp(members[0].key, "path") == 0 ? "fs_open" : "connect";
    SCOPED_TRACE(std::string(members.back().value).substr(0, 40));
    answer = 0;
    EXPECT_EQ(judge_flat_event(name, members.data(), static_cast<int>(members.size())), 0);
    EXPECT_EQ(captured, tree_text(name, members, captured));
  }
}

TEST_F(FlatEvent, VerdictPassesThroughAndNoCallbackGoesAhead) {
  const flat_member path[] = {{"path", "/tmp/x"}};
  for (int verdict : {0, 13, 222}) {
    answer = verdict;
    EXPECT_EQ(judge_flat_event("fs_open", path, 1), verdict);
  }
  registered_callback = nullptr;
  EXPECT_EQ(judge_flat_event("fs_open", path, 1), 0);
}

}  // namespace
