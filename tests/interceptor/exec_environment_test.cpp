// The environment handed to executed programs, the process-execution
// arguments and the protected descriptors of close.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "forked_child.hpp"
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
  char *const *source = caller ? envp.data() : nullptr;
  // Too small a buffer is reported, and the size asked for is enough.
  char *none[1] = {};
  const size_t needed = build_exec_environment(source, none, 0);
  std::vector<char *> out(needed, nullptr);
  EXPECT_EQ(build_exec_environment(source, out.data(), out.size()), needed);
  env_list result;
  for (char **entry = out.data(); *entry; ++entry) result.push_back(*entry);
  return result;
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

// A second entry of a propagated name must not survive: the loader takes
// the last LD_PRELOAD it finds.
TEST_F(ExecEnvironment, ReplacesTheFirstEntryOfEachNameDropsTheOthersAndAppendsTheRest) {
  const env_list caller = {"A=1", "TG_FIRST=mine", "TG_FIRST=second", "TG_FIRST_X=keep", "TG_FIRS=short",
                           "TG_FIRST="};
  EXPECT_EQ(rebuilt(&caller),
            (env_list{"A=1", "TG_FIRST=one", "TG_FIRST_X=keep", "TG_FIRS=short", "TG_SECOND=two=2"}));
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
  TG_SKIP_UNLESS_EXECVEAT();
  static char *argv[] = {const_cast<char *>("/nonexistent/program"), nullptr};
  struct row {
    const char *route;
    int (*call)();
    int error;
  } const rows[] = {
      {"execve", [] { return hooked_execve(argv[0], argv, nullptr); }, ENOENT},
      {"execveat", [] { return hooked_execveat(AT_FDCWD, argv[0], argv, nullptr, 0); }, ENOENT},
      // The C library's own answer to a null environment.
      {"fexecve", [] { return hooked_fexecve(-1, argv, nullptr); }, EINVAL},
  };
  for (const row &r : rows) {
    errno = 0;
    EXPECT_EQ(r.call(), -1) << r.route;
    EXPECT_EQ(errno, r.error) << r.route;
  }
}

// Every route starts the program with the propagated values, whether the
// new environment fits on the stack or not.
TEST_F(ExecEnvironment, EveryRouteStartsTheProgramWithThePropagatedValues) {
  TG_SKIP_UNLESS_EXECVEAT();
  using start = void (*)(char *const *argv, char *const *envp);
  struct route {
    const char *name;
    start run;
  } const routes[] = {
      {"execve", [](char *const *argv, char *const *envp) { hooked_execve(argv[0], argv, envp); }},
      {"execveat", [](char *const *argv, char *const *envp) { hooked_execveat(AT_FDCWD, argv[0], argv, envp, 0); }},
      {"fexecve",
       [](char *const *argv, char *const *envp) { hooked_fexecve(open(argv[0], O_RDONLY | O_CLOEXEC), argv, envp); }},
  };
  for (const route &r : routes) {
    for (size_t size : {size_t{3}, size_t{3000}}) {
      SCOPED_TRACE(std::string(r.name) + " with " + std::to_string(size) + " entries");
      std::vector<std::string> caller = {"TG_FIRST=mine", "TG_FIRST=again"};
      while (caller.size() < size) caller.push_back("FILL" + std::to_string(caller.size()) + "=x");
      std::vector<char *> envp;
      for (auto &e : caller) envp.push_back(e.data());
      envp.push_back(nullptr);
      char *argv[] = {const_cast<char *>("/usr/bin/env"), nullptr};
      child_result child = run_in_child([&] { r.run(argv, envp.data()); });
      EXPECT_EQ(count_of(child.out, "TG_FIRST="), 1u) << child.out.substr(0, 200);
      EXPECT_EQ(count_of(child.out, "TG_FIRST=one\n"), 1u);
      EXPECT_EQ(count_of(child.out, "TG_SECOND=two=2\n"), 1u);
      EXPECT_EQ(count_of(child.out, "=x\n"), size - 2);
    }
  }
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
