// Loading the interceptor configuration: statuses and captured values.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "interceptor/interceptor.hpp"
#include "interceptor_test_support.hpp"

namespace {

class InterceptorConfig : public ::testing::Test {
 protected:
  void TearDown() override {
    release_interceptor_config();
    unsetenv("TG_CONFIG_SET");
    unsetenv("TG_CONFIG_EMPTY");
  }
};

TEST_F(InterceptorConfig, StatusesFollowTheFirstFailingCheck) {
  struct row {
    const char *text;
    int status;
  } const rows[] = {
      {"not json", 1},
      {"{\"propagate_envs\":[\"A\"", 1},
      {"{}", 0},
      {"{\"propagate_envs\":[\"A\",7]}", 9},
      {"{\"propagate_envs\":[null]}", 9},
      {"{\"propagate_fds\":[1,\"2\"]}", 10},
      {"{\"propagate_envs\":[1],\"propagate_fds\":[\"x\"]}", 9},
      {"{\"propagate_envs\":{\"A\":1},\"propagate_fds\":7}", 0},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(load_interceptor_config(r.text), r.status) << r.text;
    release_interceptor_config();
  }
}

TEST_F(InterceptorConfig, NotJsonLeavesNoRecord) {
  ASSERT_EQ(load_interceptor_config("{"), 1);
  EXPECT_EQ(interceptor_config, nullptr);
  ASSERT_EQ(load_interceptor_config(nullptr), 1);
  EXPECT_EQ(interceptor_config, nullptr);
}

TEST_F(InterceptorConfig, EmptyObjectAndNonArraysMeanEmptyLists) {
  ASSERT_EQ(load_interceptor_config("{\"propagate_envs\":{\"A\":1},\"propagate_fds\":\"999\"}"), 0);
  ASSERT_NE(interceptor_config, nullptr);
  EXPECT_EQ(interceptor_config->env_count, 0);
  EXPECT_EQ(interceptor_config->fd_count, 0);
}

// A list that fails part-way frees everything read so far (the sanitizer
// build reports any leak) and publishes no record.
TEST_F(InterceptorConfig, FailedListLeavesNoRecord) {
  for (const char *text : {"{\"propagate_envs\":[\"A\"],\"propagate_fds\":[3,\"4\"]}",
                           "{\"propagate_envs\":[\"A\",\"B\",7],\"propagate_fds\":[3]}"}) {
    EXPECT_NE(load_interceptor_config(text), 0) << text;
    EXPECT_EQ(interceptor_config, nullptr) << text;
  }
}

TEST_F(InterceptorConfig, CapturesValuesAtLoadTime) {
  setenv("TG_CONFIG_SET", "value one", 1);
  setenv("TG_CONFIG_EMPTY", "", 1);
  unsetenv("TG_CONFIG_UNSET");
  ASSERT_EQ(load_interceptor_config(
                "{\"propagate_envs\":[\"TG_CONFIG_SET\",\"TG_CONFIG_EMPTY\",\"TG_CONFIG_UNSET\"],"
                "\"propagate_fds\":[999,3]}"),
            0);
  setenv("TG_CONFIG_SET", "changed later", 1);
  ASSERT_EQ(interceptor_config->env_count, 3);
  EXPECT_STREQ(interceptor_config->envs[0].name, "TG_CONFIG_SET");
  EXPECT_STREQ(interceptor_config->envs[0].value, "value one");
  EXPECT_STREQ(interceptor_config->envs[1].value, "");
  EXPECT_STREQ(interceptor_config->envs[2].name, "TG_CONFIG_UNSET");
  EXPECT_EQ(interceptor_config->envs[2].value, nullptr);
  ASSERT_EQ(interceptor_config->fd_count, 2);
  EXPECT_EQ(interceptor_config->fds[0], 999);
  EXPECT_EQ(interceptor_config->fds[1], 3);
}

TEST_F(InterceptorConfig, ConstantConfigurationNamesTwentyVariablesAndDescriptor999) {
  ASSERT_EQ(load_interceptor_config(INTERCEPTOR_CONFIG_TEXT), 0);
  const char *expected[] = {"_HANDLER",
                            "AWS_EXECUTION_ENV",
                            "AWS_LAMBDA_FUNCTION_NAME",
                            "TESSEL_GUARD_DISABLE_ANALYTICS",
                            "TESSEL_GUARD_POLICY_CREATE_CHILD_PROCESS",
                            "TESSEL_GUARD_POLICY_OUTBOUND_CONNECTIVITY",
                            "TESSEL_GUARD_POLICY_READ_WRITE_TMP",
                            "TESSELGUARD_STATE_PATH",
                            "LAMBDA_TASK_ROOT",
                            "LD_PRELOAD",
                            "X_GOOGLE_CODE_LOCATION",
                            "X_GOOGLE_FUNCTION_NAME",
                            "X_GOOGLE_SUPERVISOR_HOSTNAME",
                            "X_GOOGLE_SUPERVISOR_INTERNAL_PORT",
                            "TESSEL_GUARD_POLICY_READ_HANDLER",
                            "TESSELGUARD_STATE_ID",
                            "AWS_LAMBDA_RUNTIME_API",
                            "K_SERVICE",
                            "FUNCTION_TARGET",
                            "TESSELGUARD_LIBSSL_PATH"};
  ASSERT_EQ(interceptor_config->env_count, 20);
  for (int i = 0; i < 20; ++i) EXPECT_STREQ(interceptor_config->envs[i].name, expected[i]);
  ASSERT_EQ(interceptor_config->fd_count, 1);
  EXPECT_EQ(interceptor_config->fds[0], 999);
  // Written without any whitespace.
  EXPECT_EQ(std::string(INTERCEPTOR_CONFIG_TEXT).find_first_of(" \t\n"), std::string::npos);
}

// Start-up reads the constant configuration from its tables, in one walk
// over the environment; a copy of the text is parsed, with a look-up per
// name. Both must give the same record, whatever the environment holds.
TEST_F(InterceptorConfig, ConstantTablesSayWhatTheTextSays) {
  char *entries[] = {const_cast<char *>("K_SERVICE_X=decoy"), const_cast<char *>("NO_EQUALS_SIGN"),
                     const_cast<char *>("K_SERVICE=service-one"), const_cast<char *>("K_SERVICE=second"),
                     const_cast<char *>("LD_PRELOAD="), const_cast<char *>("_HANDLER=a=b"), nullptr};
  char **saved = environ;
  environ = entries;
  ASSERT_EQ(load_interceptor_config(INTERCEPTOR_CONFIG_TEXT), 0);
  const interceptor_config_record *from_tables = interceptor_config;
  const std::string copy = INTERCEPTOR_CONFIG_TEXT;
  ASSERT_EQ(load_interceptor_config(copy.c_str()), 0);
  environ = saved;
  const interceptor_config_record *parsed = interceptor_config;
  EXPECT_STREQ(from_tables->envs[17].entry, "K_SERVICE=service-one");
  ASSERT_NE(from_tables, parsed);
  ASSERT_EQ(from_tables->env_count, parsed->env_count);
  for (int i = 0; i < parsed->env_count; ++i) {
    EXPECT_STREQ(from_tables->envs[i].name, parsed->envs[i].name);
    EXPECT_STREQ(from_tables->envs[i].value, parsed->envs[i].value);
    EXPECT_STREQ(from_tables->envs[i].entry, parsed->envs[i].entry);
    EXPECT_EQ(from_tables->envs[i].name_length, parsed->envs[i].name_length);
  }
  ASSERT_EQ(from_tables->fd_count, parsed->fd_count);
  for (int i = 0; i < parsed->fd_count; ++i) EXPECT_EQ(from_tables->fds[i], parsed->fds[i]);
  // Both records released: the parsed one now, the other by TearDown.
  release_interceptor_config();
  interceptor_config = const_cast<interceptor_config_record *>(from_tables);
}

}  // namespace

namespace {

int unexpected_callback(const char *) {
  ADD_FAILURE() << "the process start must not be judged when the configuration is unusable";
  return 0;
}

TEST(InterceptorInit, ConfigurationFailuresReturnAtOnceWithoutJudgingOrHooking) {
  verdict_callback before = registered_callback;
  pthread_rwlock_t *lock_before = dns_db_lock;
  EXPECT_EQ(interceptor_init(unexpected_callback, "[not json"), 1);
  EXPECT_EQ(interceptor_init(unexpected_callback, "{\"propagate_envs\":[true]}"), 9);
  release_interceptor_config();
  EXPECT_EQ(interceptor_init(unexpected_callback, "{\"propagate_fds\":[null]}"), 10);
  release_interceptor_config();
  EXPECT_EQ(registered_callback, before);
  EXPECT_EQ(dns_db_lock, lock_before);
}

}  // namespace
