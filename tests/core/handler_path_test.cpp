// Handler-path detection for each provider and runtime, against an
// in-memory record.
#include "core_test_support.hpp"

namespace {

constexpr const char *EARLIER_PATH = "/earlier/handler.js";

struct handler_case {
  int32_t provider;
  const char *runtime;
  const char *handler;    // _HANDLER, null when unset
  const char *task_root;  // LAMBDA_TASK_ROOT
  const char *location;   // X_GOOGLE_CODE_LOCATION
  int expected_result;
  const char *expected_path;  // null: the earlier path stays
  const char *expected_output;
};

void PrintTo(const handler_case &c, std::ostream *os) {
  *os << "provider " << c.provider << " runtime \"" << c.runtime << "\" _HANDLER="
      << (c.handler ? c.handler : "(unset)") << " LAMBDA_TASK_ROOT=" << (c.task_root ? c.task_root : "(unset)")
      << " X_GOOGLE_CODE_LOCATION=" << (c.location ? c.location : "(unset)");
}

constexpr handler_case CASES[] = {
    // AWS Lambda
    {PROVIDER_AWS, "Node.js", "index.handler", "/var/task", nullptr, 1, "/var/task/index.js", ""},
    {PROVIDER_AWS, "Node.js", "lib.util.handler", "/var/task", nullptr, 1, "/var/task/lib/util.js", ""},
    {PROVIDER_AWS, "Python", "lambda_function.lambda_handler", "/var/task", nullptr, 1,
     "/var/task/lambda_function.py", ""},
    {PROVIDER_AWS, "Python", "pkg.mod.fn", "/var/task", nullptr, 1, "/var/task/pkg/mod.py", ""},
    {PROVIDER_AWS, "Java", "example.Hello", "/var/task", nullptr, 1, "/var/task/example/Hello.class", ""},
    {PROVIDER_AWS, "Java", "example.Hello::handleRequest", "/var/task", nullptr, 1,
     "/var/task/example/Hello::handleRequest.class", ""},
    {PROVIDER_AWS, "Java", "Hello", "/var/task", nullptr, 1, "/var/task/Hello.class", ""},
    {PROVIDER_AWS, "Node.js", "index.handler", "/var/task/", nullptr, 1, "/var/task//index.js", ""},
    {PROVIDER_AWS, "Node.js", ".handler", "", nullptr, 1, "/.js", ""},
    {PROVIDER_AWS, "Node.js", "index", "/var/task", nullptr, 0, nullptr,
     "Improper handler format: should contain '.'\n"},
    {PROVIDER_AWS, "Python", "index", "/var/task", nullptr, 0, nullptr,
     "Improper handler format: should contain '.'\n"},
    {PROVIDER_AWS, "Ruby", "app.handler", "/var/task", nullptr, 0, nullptr,
     "Unsupported environment: cannot detect handler path\n"},
    {PROVIDER_AWS, "Layer", "app.handler", "/var/task", nullptr, 0, nullptr,
     "Unsupported environment: cannot detect handler path\n"},
    {PROVIDER_AWS, "node.js", "app.handler", "/var/task", nullptr, 0, nullptr,
     "Unsupported environment: cannot detect handler path\n"},
    {PROVIDER_AWS, "", "app.handler", "/var/task", nullptr, 0, nullptr,
     "Unsupported environment: cannot detect handler path\n"},
    // The variables are tested before the runtime.
    {PROVIDER_AWS, "Ruby", nullptr, "/var/task", nullptr, 0, nullptr, "_HANDLER environment variable not found\n"},
    {PROVIDER_AWS, "Node.js", nullptr, nullptr, nullptr, 0, nullptr, "_HANDLER environment variable not found\n"},
    {PROVIDER_AWS, "Python", "app.handler", nullptr, nullptr, 0, nullptr,
     "LAMBDA_TASK_ROOT environment variable not found\n"},
    {PROVIDER_AWS, "Ruby", "app.handler", nullptr, nullptr, 0, nullptr,
     "LAMBDA_TASK_ROOT environment variable not found\n"},
    // Google Cloud Functions
    {PROVIDER_GOOGLE, "Node.js", nullptr, nullptr, "/srv/code", 1, "/srv/code/index.js", ""},
    {PROVIDER_GOOGLE, "Python", nullptr, nullptr, "/srv/code", 1, "/srv/code/main.py", ""},
    {PROVIDER_GOOGLE, "Python", nullptr, nullptr, "/srv/code/", 1, "/srv/code//main.py", ""},
    {PROVIDER_GOOGLE, "Ruby", nullptr, nullptr, "/srv/code", 1, nullptr, ""},
    {PROVIDER_GOOGLE, "Java", nullptr, nullptr, "/srv/code", 1, nullptr, ""},
    {PROVIDER_GOOGLE, "Ruby", nullptr, nullptr, nullptr, 0, nullptr,
     "X_GOOGLE_CODE_LOCATION environment variable not found\n"},
    {PROVIDER_GOOGLE, "Node.js", "index.handler", "/var/task", nullptr, 0, nullptr,
     "X_GOOGLE_CODE_LOCATION environment variable not found\n"},
    // No platform: nothing to do.
    {PROVIDER_UNSUPPORTED, "Node.js", "index.handler", "/var/task", "/srv/code", 1, nullptr, ""},
};

class HandlerPath : public ::testing::TestWithParam<handler_case> {};

TEST_P(HandlerPath, DetectsOrKeepsTheEarlierPath) {
  const handler_case &c = GetParam();
  scoped_state scoped(c.provider);
  strcpy(scoped.record.runtime, c.runtime);
  strcpy(scoped.record.handler_path, EARLIER_PATH);
  scoped_env handler("_HANDLER", c.handler);
  scoped_env task_root("LAMBDA_TASK_ROOT", c.task_root);
  scoped_env location("X_GOOGLE_CODE_LOCATION", c.location);

  stdout_capture capture;
  int result = detect_handler_path();
  std::string output = capture.finish();

  EXPECT_EQ(result, c.expected_result);
  EXPECT_EQ(output, c.expected_output);
  const char *expected_path = c.expected_path ? c.expected_path : EARLIER_PATH;
  EXPECT_STREQ(scoped.record.handler_path, expected_path);
  // The field is cleared before a new path is written: nothing of the
  // earlier, longer path may remain behind the terminator.
  size_t length = strlen(scoped.record.handler_path);
  for (size_t i = length; i < sizeof scoped.record.handler_path; ++i)
    ASSERT_EQ(scoped.record.handler_path[i], '\0') << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(EveryProviderAndRuntime, HandlerPath, ::testing::ValuesIn(CASES));

// A joined path must fit the 4096-byte field with its terminator: 4095
// characters are written, one more is refused and the earlier path kept.
TEST(HandlerPathLength, LongestPathFitsAndOneMoreIsRefused) {
  for (int32_t provider : {PROVIDER_AWS, PROVIDER_GOOGLE}) {
    // AWS adds "/" + "a" + ".js" (5 characters); Google adds "/index.js" (9).
    size_t added = provider == PROVIDER_AWS ? 5 : 9;
    std::string root = "/" + std::string(4095 - added - 1, 'r');
    scoped_state scoped(provider);
    strcpy(scoped.record.runtime, "Node.js");
    strcpy(scoped.record.handler_path, EARLIER_PATH);
    scoped_env handler("_HANDLER", "a.handler");
    scoped_env task_root("LAMBDA_TASK_ROOT", root.c_str());
    scoped_env location("X_GOOGLE_CODE_LOCATION", root.c_str());
    {
      stdout_capture capture;
      EXPECT_EQ(detect_handler_path(), 1) << "provider " << provider;
      EXPECT_EQ(capture.finish(), "");
      EXPECT_EQ(strlen(scoped.record.handler_path), 4095u);
      EXPECT_EQ(scoped.record.handler_path[4095], '\0');
    }
    std::string longer = root + "x";
    scoped_env longer_root("LAMBDA_TASK_ROOT", longer.c_str());
    scoped_env longer_location("X_GOOGLE_CODE_LOCATION", longer.c_str());
    std::string before(scoped.record.handler_path);
    stdout_capture capture;
    EXPECT_EQ(detect_handler_path(), 0);
    EXPECT_EQ(capture.finish(), "Handler path too long\n");
    EXPECT_EQ(std::string(scoped.record.handler_path), before);
  }
}

}  // namespace
