// The environment handed to executed programs, the process-execution
// arguments and the protected descriptors of close.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "interceptor/interceptor.hpp"
#include "interceptor_test_support.hpp"

namespace {

using env_list = std::vector<std::string>;

// Builds the environment for `caller` (or a null environment) and returns it.
env_list rebuilt(const env_list *caller) {
  std::vector<char *> envp;
  if (caller) {
    for (const auto &e : *caller) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
  }
  char **result = build_exec_environment(caller ? envp.data() : nullptr);
  env_list out;
  if (!result) return {"<null>"};
  for (char **entry = result; *entry; ++entry) {
    out.push_back(*entry);
    free(*entry);
  }
  free(result);
  return out;
}

class ExecEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TG_FIRST", "one", 1);
    setenv("TG_SECOND", "two=2", 1);
    unsetenv("TG_UNSET");
    ASSERT_EQ(load_interceptor_config("{\"propagate_envs\":[\"TG_FIRST\",\"TG_UNSET\",\"TG_SECOND\"]}"), 0);
    unsetenv("TG_FIRST");
    unsetenv("TG_SECOND");
  }
  void TearDown() override { release_interceptor_config(); }
};

TEST_F(ExecEnvironment, ReplacesTheFirstEntryOfEachNameOnlyAndAppendsTheRest) {
  const env_list caller = {"A=1", "TG_FIRST=mine", "TG_FIRST=second", "TG_FIRST_X=keep", "TG_FIRS=short"};
  EXPECT_EQ(rebuilt(&caller),
            (env_list{"A=1", "TG_FIRST=one", "TG_FIRST=second", "TG_FIRST_X=keep", "TG_FIRS=short", "TG_SECOND=two=2"}));
}

TEST_F(ExecEnvironment, UnsetVariableIsNeitherAddedNorRemoved) {
  const env_list caller = {"TG_UNSET=caller's", "B=2"};
  EXPECT_EQ(rebuilt(&caller), (env_list{"TG_UNSET=caller's", "B=2", "TG_FIRST=one", "TG_SECOND=two=2"}));
}

TEST_F(ExecEnvironment, EmptyOrNullEnvironmentGetsExactlyThePropagatedVariables) {
  const env_list empty;
  EXPECT_EQ(rebuilt(&empty), (env_list{"TG_FIRST=one", "TG_SECOND=two=2"}));
  EXPECT_EQ(rebuilt(nullptr), (env_list{"TG_FIRST=one", "TG_SECOND=two=2"}));
}

TEST_F(ExecEnvironment, WithoutConfigurationTheCallersEnvironmentIsCopied) {
  release_interceptor_config();
  const env_list caller = {"TG_FIRST=mine", "C=3"};
  EXPECT_EQ(rebuilt(&caller), caller);
}

TEST_F(ExecEnvironment, FailedExecutionReturnsTheRealError) {
  char *argv[] = {const_cast<char *>("/nonexistent/program"), nullptr};
  errno = 0;
  EXPECT_EQ(hooked_execve(argv[0], argv, nullptr), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(HookedClose, RefusesProtectedDescriptorsOnly) {
  ASSERT_EQ(load_interceptor_config("{\"propagate_fds\":[998,999]}"), 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  ASSERT_EQ(dup2(pipe_fds[1], 999), 999);
  errno = 0;
  EXPECT_EQ(hooked_close(999), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(write(999, "x", 1), 1);  // still open
  EXPECT_EQ(hooked_close(pipe_fds[1]), 0);
  errno = 0;
  EXPECT_EQ(hooked_close(pipe_fds[1]), -1);  // the C library's own error
  EXPECT_EQ(errno, EBADF);
  release_interceptor_config();
  EXPECT_EQ(hooked_close(999), 0);  // no configuration: nothing protected
  close(pipe_fds[0]);
}

}  // namespace
