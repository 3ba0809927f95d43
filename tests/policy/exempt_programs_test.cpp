// Exempt programs arrive by their canonical path (the running program's
// /proc/self/exe), which differs from the written one where /bin links to
// /usr/bin.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/core.hpp"
#include "policy/policy.hpp"
#include "policy_harness.hpp"

namespace {

std::string canonical(const char *path) {
  char *resolved = realpath(path, nullptr);
  std::string text = resolved ? resolved : "";
  free(resolved);
  return text;
}

std::string program_event(const std::string &path, const char *argv) {
  return std::string(R"({"name":"process_execution","timestamp":"t","args":{"argv":)") + argv +
         R"(,"path":")" + path + "\"}}";
}

class ExemptPrograms : public ::testing::Test {
 protected:
  alert_log_pipe log;
  scoped_state state{PROVIDER_AWS};

  void SetUp() override {
    state.record.create_child_process = MODE_BLOCK;
    set_text(state.record.runtime, "Python");
  }
};

TEST_F(ExemptPrograms, MatchedAsWrittenAndAsCanonicalised) {
  const std::string bash = canonical("/bin/bash");
  const std::string uname = canonical("/bin/uname");
  if (bash.empty() || bash == "/bin/bash") GTEST_SKIP() << "/bin/bash is not a link here";
  const char *probe = R"(["/bin/sh","-c","uname -p 2> /dev/null"])";
  EXPECT_EQ(policy_callback(program_event("/bin/bash", probe).c_str()), 0);
  EXPECT_EQ(policy_callback(program_event(bash, probe).c_str()), 0);
  EXPECT_EQ(policy_callback(program_event(uname, R"(["uname","-p"])").c_str()), 0);
  EXPECT_EQ(log.drain(), "");

  // The canonical form widens only the path; the arguments still decide.
  EXPECT_EQ(policy_callback(program_event(bash, R"(["/bin/sh","-c","id"])").c_str()), 222);
  EXPECT_NE(log.drain().find(R"("path":")" + bash + "\""), std::string::npos);
}

TEST_F(ExemptPrograms, CanonicalFormDoesNotLeakAcrossPrograms) {
  // Some other program that happens to live next to the exempt one.
  const std::string bash = canonical("/bin/bash");
  if (bash.empty()) GTEST_SKIP() << "no /bin/bash here";
  const std::string sibling = bash.substr(0, bash.rfind('/')) + "/perl";
  EXPECT_EQ(policy_callback(program_event(sibling, R"(["/bin/sh","-c","uname -p 2> /dev/null"])").c_str()), 222);
  EXPECT_NE(log.drain(), "");
}

// Python's platform probe runs "/bin/sh -c ...": bash on the platform, dash
// on Debian, either by its canonical path. An environment that could make
// the shell run something else (an exported function, a start-up file)
// takes the exemption away; the probe's uname itself stays exempt.
TEST_F(ExemptPrograms, UnameProbeUnderWhateverShellBinShIs) {
  const char *probe = R"(["/bin/sh","-c","uname -p 2> /dev/null"])";
  const std::string shells[] = {canonical("/bin/sh"), canonical("/bin/bash")};
  const std::string uname = canonical("/bin/uname");
  struct {
    const char *name, *value;
    int verdict;
  } const environments[] = {
      {nullptr, nullptr, 0},
      {"BASH_FUNC_uname%%", "() {  id\n}", 222},
      {"BASH_FUNC_x()", "() { :; }", 222},
      {"BASH_ENV", "/var/task/run.sh", 222},
      {"ENV", "/var/task/run.sh", 222},
      {"SHELLOPTS", "xtrace", 222},
      {"BASHOPTS", "extdebug", 222},
      {"PS4", "$(id>&2)", 222},
      {"SHELLOPTSX", "xtrace", 0},
      {"BASH_ENVIRONMENT", "x", 0},
  };
  for (const auto &environment : environments) {
    scoped_env variable(environment.name ? environment.name : "TG_UNUSED", environment.value);
    for (const std::string &shell : shells) {
      if (shell.empty()) continue;
      SCOPED_TRACE(shell + " with " + (environment.name ? environment.name : "a plain environment"));
      EXPECT_EQ(policy_callback(program_event(shell, probe).c_str()), environment.verdict);
      EXPECT_EQ(log.drain().empty(), environment.verdict == 0);
    }
    if (!uname.empty()) {
      EXPECT_EQ(policy_callback(program_event(uname, R"(["uname","-p"])").c_str()), 0);
    }
  }
}

TEST_F(ExemptPrograms, ProgramsThatDoNotExistMatchOnlyAsWritten) {
  // /var/lang does not exist outside the platform: the written form still works.
  set_text(state.record.runtime, "Ruby");
  set_text(state.record.runtime_version, "2.5");
  scoped_env preload("LD_PRELOAD", LAYER_PATH);
  EXPECT_EQ(policy_callback(program_event("/var/lang/bin/ruby", "[]").c_str()), 0);
  EXPECT_EQ(policy_callback(program_event("/var/lang/bin/ruby2", "[]").c_str()), 222);
  EXPECT_NE(log.drain(), "");
}

}  // namespace
