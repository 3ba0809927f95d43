// The configuration call against an in-memory record: the cookie states,
// the six-failure lock, the document's members and the read-only record.
#include <climits>

#include "core_test_support.hpp"
#include "startup/startup.hpp"
#include "tesselguard.h"

namespace {

constexpr const char *COOKIE_MESSAGE = "Please provide a valid cookie from first TesselGuard configure call\n";
constexpr const char *LOCK_MESSAGE = "Are you trying to brute-force cookie value ?!\n";
constexpr int32_t KNOWN_COOKIE = 123456;

struct call_result {
  int result;
  std::string output;
};

call_result configure(const char *text) {
  stdout_capture capture;
  int result = tesselguard_configure(text);
  return {result, capture.finish()};
}

call_result configure(const std::string &text) { return configure(text.c_str()); }

std::string with_cookie(int32_t cookie, const std::string &members = "") {
  return "{\"cookie\":" + std::to_string(cookie) + (members.empty() ? "" : "," + members) + "}";
}

void set_modes(state_record &r, int32_t mode) {
  r.read_write_tmp = r.create_child_process = r.outbound_connectivity = r.read_handler = mode;
}

TEST(CookieStates, FirstCallIssuesTheCookieAndLaterCallsMustPresentIt) {
  scoped_state scoped;
  set_modes(scoped.record, MODE_ALERT);

  call_result first = configure("{}");
  EXPECT_NE(first.result, 0);
  EXPECT_EQ(scoped.record.cookie, first.result);
  EXPECT_EQ(first.output, "");
  EXPECT_EQ(scoped.record.read_write_tmp, MODE_ALERT);
  EXPECT_EQ(scoped.record.read_handler, MODE_ALERT);

  call_result second = configure("{}");
  EXPECT_EQ(second.result, 0);
  EXPECT_EQ(second.output, COOKIE_MESSAGE);
  EXPECT_EQ(scoped.record.failed_cookie_count, 1);
  EXPECT_EQ(scoped.record.cookie, first.result);

  call_result third = configure(with_cookie(first.result, R"("policy":{"read_write_tmp":"block"})"));
  EXPECT_EQ(third.result, first.result);
  EXPECT_EQ(third.output, "");
  EXPECT_EQ(scoped.record.read_write_tmp, MODE_BLOCK);
  EXPECT_EQ(scoped.record.failed_cookie_count, 1);
}

TEST(CookieStates, FirstCallIgnoresAnyCookieMember) {
  for (const char *text : {R"({"cookie":5})", R"({"cookie":"x"})", R"({"cookie":0})", R"({"cookie":null})"}) {
    scoped_state scoped;
    call_result r = configure(text);
    EXPECT_NE(r.result, 0) << text;
    EXPECT_EQ(scoped.record.cookie, r.result) << text;
    EXPECT_EQ(scoped.record.failed_cookie_count, 0) << text;
    EXPECT_EQ(r.output, "") << text;
  }
}

TEST(CookieStates, OnlyTheIntegerValueOfANumberIsCompared) {
  struct row {
    int32_t stored;
    const char *text;
    bool accepted;
  } const rows[] = {
      {KNOWN_COOKIE, R"({"cookie":123456})", true},
      {KNOWN_COOKIE, R"({"cookie":123456.75})", true},
      {KNOWN_COOKIE, R"({"cookie":1.23456e5})", true},
      {KNOWN_COOKIE, R"({"cookie":123456,"cookie":1})", true},
      {KNOWN_COOKIE, R"({"policy":{},"cookie":123456})", true},
      {KNOWN_COOKIE, R"({"cookie":"123456"})", false},
      {KNOWN_COOKIE, R"({"cookie":123457})", false},
      {KNOWN_COOKIE, R"({"cookie":123455.99})", false},
      {KNOWN_COOKIE, R"({"cookie":1,"cookie":123456})", false},
      {KNOWN_COOKIE, R"({"Cookie":123456})", false},
      {KNOWN_COOKIE, R"({"cookie":[123456]})", false},
      {KNOWN_COOKIE, R"({"cookie":{"cookie":123456}})", false},
      {KNOWN_COOKIE, R"({"cookie":true})", false},
      {KNOWN_COOKIE, R"({"cookie":null})", false},
      {KNOWN_COOKIE, R"({"policy":{"cookie":123456}})", false},
      {-7, R"({"cookie":-7.9})", true},
      {-7, R"({"cookie":-8})", false},
      // The number is limited to the signed 32-bit range before comparing.
      {INT_MAX, R"({"cookie":1e12})", true},
      {INT_MIN, R"({"cookie":-1e12})", true},
  };
  for (const auto &r : rows) {
    scoped_state scoped;
    scoped.record.cookie = r.stored;
    call_result got = configure(r.text);
    EXPECT_EQ(got.result, r.accepted ? r.stored : 0) << r.text;
    EXPECT_EQ(got.output, r.accepted ? "" : COOKIE_MESSAGE) << r.text;
    EXPECT_EQ(scoped.record.failed_cookie_count, r.accepted ? 0 : 1) << r.text;
    EXPECT_EQ(scoped.record.cookie, r.stored) << r.text;
  }
}

// A function that configured itself: no cookie opens the record again, and
// each attempt is refused and counted like a wrong cookie.
TEST(CookieStates, SealedRecordRefusesEveryCookie) {
  scoped_state scoped;
  scoped.record.cookie = KNOWN_COOKIE;
  scoped.record.configuration_sealed = 1;
  int refusals = 0;
  for (int32_t cookie : {KNOWN_COOKIE, 0, -1}) {
    call_result r = configure(with_cookie(cookie, R"("policy":{"read_write_tmp":"block"})"));
    EXPECT_EQ(r.result, 0) << cookie;
    EXPECT_EQ(r.output, COOKIE_MESSAGE) << cookie;
    EXPECT_EQ(scoped.record.failed_cookie_count, ++refusals);
  }
  EXPECT_EQ(scoped.record.read_write_tmp, MODE_ALLOW);
  EXPECT_EQ(scoped.record.cookie, KNOWN_COOKIE);
}

TEST(CookieStates, SixRefusalsLockTheCallForGood) {
  scoped_state scoped;
  scoped.record.cookie = KNOWN_COOKIE;
  for (int i = 1; i <= 6; ++i) {
    call_result r = configure(with_cookie(KNOWN_COOKIE + i));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, COOKIE_MESSAGE) << "refusal " << i;
    EXPECT_EQ(scoped.record.failed_cookie_count, i);
  }
  // Locked: even the right cookie is refused and nothing is applied.
  call_result right = configure(with_cookie(KNOWN_COOKIE, R"("policy":{"read_write_tmp":"block"},"runtime":"Java")"));
  EXPECT_EQ(right.result, 0);
  EXPECT_EQ(right.output, LOCK_MESSAGE);
  EXPECT_EQ(scoped.record.read_write_tmp, MODE_ALLOW);
  EXPECT_STREQ(scoped.record.runtime, "");
  EXPECT_EQ(scoped.record.failed_cookie_count, 6);

  call_result wrong = configure("{}");
  EXPECT_EQ(wrong.output, LOCK_MESSAGE);
  EXPECT_EQ(scoped.record.failed_cookie_count, 6);
  EXPECT_EQ(scoped.record.cookie, KNOWN_COOKIE);

  call_result garbage = configure("not json");
  EXPECT_EQ(garbage.result, 0);
  EXPECT_EQ(garbage.output, "");
}

TEST(CookieStates, UnparseableTextsAreNeitherFirstCallsNorRefusals) {
  scoped_state scoped;
  for (const char *text : {static_cast<const char *>(nullptr), "", "{", "not json", R"({"policy":)", "  "}) {
    call_result r = configure(text);
    EXPECT_EQ(r.result, 0) << (text ? text : "(null)");
    EXPECT_EQ(r.output, "") << (text ? text : "(null)");
    EXPECT_EQ(scoped.record.cookie, 0);
    EXPECT_EQ(scoped.record.failed_cookie_count, 0);
  }
  // The next parseable call is still the first.
  call_result first = configure("{} and whatever follows");
  EXPECT_NE(first.result, 0);
  // After the cookie exists, unparseable texts are not counted either.
  call_result later = configure(static_cast<const char *>(nullptr));
  EXPECT_EQ(later.result, 0);
  EXPECT_EQ(later.output, "");
  EXPECT_EQ(scoped.record.failed_cookie_count, 0);
}

TEST(CookieStates, AnyParseableValueCountsEvenWithoutAnObject) {
  scoped_state scoped;
  call_result first = configure("[1,2]");
  EXPECT_NE(first.result, 0);
  EXPECT_EQ(scoped.record.read_write_tmp, MODE_ALLOW);
  call_result number = configure("42");
  EXPECT_EQ(number.result, 0);
  EXPECT_EQ(number.output, COOKIE_MESSAGE);
  call_result text = configure("\"x\"");
  EXPECT_EQ(text.result, 0);
  EXPECT_EQ(scoped.record.failed_cookie_count, 2);
}

TEST(ConfigurationDocument, PolicyWordsSetTheirModes) {
  scoped_state scoped;
  scoped.record.cookie = KNOWN_COOKIE;
  set_modes(scoped.record, MODE_ALERT);
  call_result r = configure(with_cookie(
      KNOWN_COOKIE,
      R"("policy":{"read_write_tmp":"block","create_child_process":"BLOCK","outbound_connectivity":"","read_handler":"alert","other":"block"})"));
  EXPECT_EQ(r.result, KNOWN_COOKIE);
  EXPECT_EQ(scoped.record.read_write_tmp, MODE_BLOCK);
  EXPECT_EQ(scoped.record.create_child_process, MODE_ALLOW);
  EXPECT_EQ(scoped.record.outbound_connectivity, MODE_ALLOW);
  EXPECT_EQ(scoped.record.read_handler, MODE_ALERT);

  // Missing members and members of another type leave their modes alone;
  // the first of two equal names counts.
  set_modes(scoped.record, MODE_ALERT);
  r = configure(with_cookie(
      KNOWN_COOKIE,
      R"("policy":{"read_write_tmp":2,"create_child_process":null,"outbound_connectivity":"block","outbound_connectivity":"allow"})"));
  EXPECT_EQ(r.result, KNOWN_COOKIE);
  EXPECT_EQ(scoped.record.read_write_tmp, MODE_ALERT);
  EXPECT_EQ(scoped.record.create_child_process, MODE_ALERT);
  EXPECT_EQ(scoped.record.outbound_connectivity, MODE_BLOCK);
  EXPECT_EQ(scoped.record.read_handler, MODE_ALERT);
}

TEST(ConfigurationDocument, PolicyThatIsNotAnObjectChangesNoMode) {
  for (const char *policy : {R"("policy":["block"])", R"("policy":"block")", R"("policy":null)",
                             R"("Policy":{"read_write_tmp":"block"})", R"("read_write_tmp":"block")"}) {
    scoped_state scoped;
    scoped.record.cookie = KNOWN_COOKIE;
    call_result r = configure(with_cookie(KNOWN_COOKIE, policy));
    EXPECT_EQ(r.result, KNOWN_COOKIE) << policy;
    EXPECT_EQ(r.output, "") << policy;
    EXPECT_EQ(scoped.record.read_write_tmp, MODE_ALLOW) << policy;
  }
}

TEST(ConfigurationDocument, RuntimeIsStoredBeforeTheHandlerPathIsDetected) {
  scoped_state scoped(PROVIDER_AWS);
  scoped.record.cookie = KNOWN_COOKIE;
  scoped_env handler("_HANDLER", "lambda_function.lambda_handler");
  scoped_env task_root("LAMBDA_TASK_ROOT", "/var/task");

  call_result r = configure(with_cookie(KNOWN_COOKIE, R"("runtime":"Python","runtime_version":"3.7")"));
  EXPECT_EQ(r.result, KNOWN_COOKIE);
  EXPECT_EQ(r.output, "");
  EXPECT_STREQ(scoped.record.runtime, "Python");
  EXPECT_STREQ(scoped.record.runtime_version, "3.7");
  EXPECT_STREQ(scoped.record.handler_path, "/var/task/lambda_function.py");

  // A failed detection keeps the earlier path but stores the new runtime.
  r = configure(with_cookie(KNOWN_COOKIE, R"("runtime":"Go","policy":{"read_handler":"block"})"));
  EXPECT_EQ(r.result, KNOWN_COOKIE);
  EXPECT_EQ(r.output,
            "Unsupported environment: cannot detect handler path\n"
            "cannot detect handler path. read_handler protection disabled\n");
  EXPECT_STREQ(scoped.record.runtime, "Go");
  EXPECT_EQ(std::string(scoped.record.runtime, sizeof scoped.record.runtime), std::string("Go") + std::string(30, '\0'));
  EXPECT_STREQ(scoped.record.runtime_version, "3.7");
  EXPECT_STREQ(scoped.record.handler_path, "/var/task/lambda_function.py");
  EXPECT_EQ(scoped.record.read_handler, MODE_BLOCK);

  // A runtime that is not a string runs no detection at all.
  r = configure(with_cookie(KNOWN_COOKIE, R"("runtime":7,"runtime_version":3.7)"));
  EXPECT_EQ(r.output, "");
  EXPECT_STREQ(scoped.record.runtime, "Go");
  EXPECT_STREQ(scoped.record.runtime_version, "3.7");
}

TEST(ConfigurationDocument, LongRuntimeTextsAreCutToTheirFields) {
  scoped_state scoped(PROVIDER_UNSUPPORTED);
  scoped.record.cookie = KNOWN_COOKIE;
  strcpy(scoped.record.handler_path, "/sentinel");
  std::string long_runtime(40, 'r');
  std::string long_version(40, 'v');
  call_result r = configure(
      with_cookie(KNOWN_COOKIE, "\"runtime\":\"" + long_runtime + "\",\"runtime_version\":\"" + long_version + "\""));
  EXPECT_EQ(r.result, KNOWN_COOKIE);
  EXPECT_EQ(std::string(scoped.record.runtime, 32), std::string(31, 'r') + '\0');
  EXPECT_EQ(std::string(scoped.record.runtime_version, 32), std::string(31, 'v') + '\0');
  EXPECT_STREQ(scoped.record.handler_path, "/sentinel");

  // Exactly 31 characters fit whole.
  std::string fits(31, 'f');
  configure(with_cookie(KNOWN_COOKIE, "\"runtime\":\"" + fits + "\""));
  EXPECT_EQ(std::string(scoped.record.runtime), fits);
  EXPECT_STREQ(scoped.record.runtime_version, std::string(31, 'v').c_str());
}

TEST(ConfigurationDocument, TooLongHandlerPathIsRefusedAndTheCallStillSucceeds) {
  scoped_state scoped(PROVIDER_GOOGLE);
  scoped.record.cookie = KNOWN_COOKIE;
  strcpy(scoped.record.handler_path, "/srv/earlier/main.py");
  std::string location = "/" + std::string(4090, 'l');
  scoped_env code_location("X_GOOGLE_CODE_LOCATION", location.c_str());
  call_result r = configure(with_cookie(KNOWN_COOKIE, R"("runtime":"Node.js","policy":{"read_handler":"block"})"));
  EXPECT_EQ(r.result, KNOWN_COOKIE);
  EXPECT_EQ(r.output, "Handler path too long\ncannot detect handler path. read_handler protection disabled\n");
  EXPECT_STREQ(scoped.record.handler_path, "/srv/earlier/main.py");
  EXPECT_STREQ(scoped.record.runtime, "Node.js");
  EXPECT_EQ(scoped.record.read_handler, MODE_BLOCK);
}

TEST(ConfigurationDocument, OnlyJsonTrueAndFalseSetTheAnalyticsSwitch) {
  scoped_state scoped;
  scoped.record.cookie = KNOWN_COOKIE;
  // The record starts with analytics off; none of these may switch it on.
  for (const char *value : {"0", "\"false\"", "null", "[]", "{}"}) {
    configure(with_cookie(KNOWN_COOKIE, std::string("\"disable_analytics\":") + value));
    EXPECT_EQ(scoped.record.disable_analytics, 1) << value;
  }
  scoped.record.disable_analytics = 0;
  call_result r = configure(with_cookie(KNOWN_COOKIE, R"("disable_analytics":true)"));
  EXPECT_EQ(r.result, KNOWN_COOKIE);
  EXPECT_EQ(scoped.record.disable_analytics, 1);
}

// A process that inherited the state file maps it read-only: the call must
// neither write (a write would fault here) nor crash.
TEST(ReadOnlyRecord, CallIsRefusedWithoutTouchingTheRecord) {
  size_t size = (sizeof(state_record) + 4095) & ~size_t{4095};
  void *page = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  auto *record = static_cast<state_record *>(page);
  record->provider = PROVIDER_AWS;
  record->read_write_tmp = MODE_ALERT;
  record->cookie = KNOWN_COOKIE;
  record->failed_cookie_count = 2;
  record->disable_analytics = 1;
  state_record before = *record;
  ASSERT_EQ(mprotect(page, size, PROT_READ), 0);

  state_record *saved_map = state_map;
  bool saved_writable = state_writable;
  state_map = record;
  state_writable = false;
  for (const char *text : {"{}", R"({"cookie":123456,"policy":{"read_write_tmp":"block"},"runtime":"Java"})",
                           "{\"cookie\":1}", "not json", static_cast<const char *>(nullptr)}) {
    call_result r = configure(text);
    EXPECT_EQ(r.result, 0) << (text ? text : "(null)");
    EXPECT_EQ(r.output, "TesselGuard can only be configured in the function's first process\n");
  }
  state_map = saved_map;
  state_writable = saved_writable;
  EXPECT_EQ(memcmp(record, &before, sizeof before), 0);
  munmap(page, size);
}

}  // namespace
