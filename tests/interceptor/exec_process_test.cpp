// Program execution in preloaded processes: each program judges its own
// start, and every executed program receives the captured variables.
#include <gtest/gtest.h>

#include <elf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "interceptor_test_support.hpp"

namespace {

// The "env NAME=VALUE" lines printed by the environment-dump probe.
std::vector<std::string> dumped_environment(const std::string &out) {
  std::vector<std::string> entries;
  for (const auto &line : split_lines(out))
    if (line.rfind("env ", 0) == 0 && line != "env end") entries.push_back(line.substr(4));
  // In the order the starter gave it.
  if (started_programs_see_the_environment_reversed()) std::reverse(entries.begin(), entries.end());
  return entries;
}


// The state path the first process created, as it propagated it.
std::string state_entry(const std::vector<std::string> &entries) {
  for (const auto &e : entries)
    if (e.rfind("TESSELGUARD_STATE_PATH=/tmp/tesselguard_state_", 0) == 0) return e;
  return "";
}

// The state file's identity the first process set, as it propagated it.
std::string state_id_entry(const std::vector<std::string> &entries) {
  for (const auto &e : entries)
    if (e.rfind("TESSELGUARD_STATE_ID=", 0) == 0) return e;
  return "";
}

// The libssl file the first process was given, as it propagated it: none
// (an empty value, so that no caller's entry gets through).
std::string libssl_entry() { return "TESSELGUARD_LIBSSL_PATH="; }

TEST(ExecProcess, RefusedChildExitsWith222BeforeItsMain) {
  TG_SKIP_IF_SANITIZED();
  const std::string dump = probe_path("intercept_env_dump");
  RunResult result = run_actions(aws_env(), {configure_action({{"create_child_process", "block"}}),
                                             "exec:" + dump + ",a,b c"});
  EXPECT_EQ(result.exit_code, 222) << result.out << result.err;
  EXPECT_EQ(result.out.find("main ran"), std::string::npos) << result.out;
  auto alerts = alert_records(result.log);
  ASSERT_EQ(alerts.size(), 1u) << result.log;
  EXPECT_EQ(alerts[0].policy, "create_child_process");
  EXPECT_EQ(alerts[0].mode, "block");
  EXPECT_EQ(alerts[0].arguments, (std::vector<std::string>{dump, "a", "b c"}));
  EXPECT_EQ(alerts[0].path, real_path_of(dump));
}

TEST(ExecProcess, ChildUnderAlertRunsAndIsReported) {
  TG_SKIP_IF_SANITIZED();
  RunResult result = run_actions(google_env(), {configure_action({{"create_child_process", "alert"}}),
                                                "exec:" + probe_path("intercept_env_dump")});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(contains_line(result.out, "main ran")) << result.out;
}

TEST(ExecProcess, CapturedVariablesReplaceTheFirstEntryOrAreAppended) {
  TG_SKIP_IF_SANITIZED();
  RunResult result = run_actions(
      aws_env(), {"env:A=1", "env:LD_PRELOAD=/nowhere/other.so", "env:LD_PRELOAD_X=x",
                  "env:AWS_EXECUTION_ENV=first", "env:AWS_EXECUTION_ENV=second", "env:LD_LIBRARY_PATH=" + compat_dir(),
                  "env:LD_PRELOAD=", "env:TESSELGUARD_STATE_ID=1:2:3", "exec:" + probe_path("intercept_env_dump")});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(contains_line(result.out, "main ran"));
  auto entries = dumped_environment(result.out);
  const std::string state = state_entry(entries);
  const std::string id = state_id_entry(entries);
  ASSERT_FALSE(state.empty()) << result.out;
  EXPECT_NE(id, "TESSELGUARD_STATE_ID=1:2:3");
  // No second entry of a propagated name survives (the loader would take
  // the last LD_PRELOAD).
  EXPECT_EQ(entries, (std::vector<std::string>{"A=1", "LD_PRELOAD=" + library_path(), "LD_PRELOAD_X=x",
                                               "AWS_EXECUTION_ENV=AWS_Lambda_python3.7",
                                               "LD_LIBRARY_PATH=" + compat_dir(), id, state, libssl_entry()}));
}

TEST(ExecProcess, EmptyOrNullEnvironmentGetsExactlyTheCapturedVariables) {
  TG_SKIP_IF_SANITIZED();
  for (const char *how : {"envempty", "envnull"}) {
    // The new program has no LD_LIBRARY_PATH for the libssl compatibility
    // library, so its copy of the library stops it; its environment was
    // printed before that.
    RunResult result = run_actions(aws_env(), {how, "exec:" + probe_path("intercept_env_dump")});
    auto entries = dumped_environment(result.out);
    const std::string state = state_entry(entries);
    ASSERT_FALSE(state.empty()) << how << "\n" << result.out;
    EXPECT_EQ(entries, (std::vector<std::string>{"AWS_EXECUTION_ENV=AWS_Lambda_python3.7", state,
                                                 "LD_PRELOAD=" + library_path(), state_id_entry(entries),
                                                 libssl_entry()}))
        << how;
  }
}

// A started program opens the libssl file its first process was given, or
// searches its library's own folders and the system's: neither the
// LD_LIBRARY_PATH nor the variable its starter passes chooses another (here
// stand-ins that announce themselves on standard error when they are
// opened, at the program's first analytics send).
TEST(ExecProcess, StartedProgramIsNotSteeredToAnotherLibssl) {
  TG_SKIP_IF_SANITIZED();
  const std::string stand_in = std::string(TG_CORE_FIXTURE_DIR) + "/all_three";
  const std::string sending = "exec:" + probe_path("analytics_configure") + ",2000,{}";
  struct row {
    std::string named;  // TESSELGUARD_LIBSSL_PATH of the first process ("": unset)
    std::string given;  // what the first process passes to the program
    std::string opened;
  } const rows[] = {
      {"", "env:LD_LIBRARY_PATH=" + stand_in, "No usable version of the libssl was found\n"},
      {"", "env:TESSELGUARD_LIBSSL_PATH=" + stand_in + "/libssl.so.10", "No usable version of the libssl was found\n"},
      {stand_in + "/libssl.so.1.0.2", "env:TESSELGUARD_LIBSSL_PATH=" + stand_in + "/libssl.so.10",
       "libssl.so.1.0.2: SSL_load_error_strings\nlibssl.so.1.0.2: SSL_library_init\n"},
  };
  for (const row &r : rows) {
    // The analytics variant has no libssl of its own beside it.
    auto env = aws_env();
    env.push_back(std::string("LD_PRELOAD=") + TG_ANALYTICS_VARIANT_PATH);
    if (!r.named.empty()) env.push_back("TESSELGUARD_LIBSSL_PATH=" + r.named);
    // Forked first: a program the first process starts in its own place keeps its standing.
    RunResult result = run_actions(env, {r.given, "fork", sending});
    EXPECT_TRUE(contains_line(result.out, "fork -> child exit 0")) << r.given << "\n" << result.out << result.err;
    std::string libssl_lines;
    for (const auto &line : split_lines(result.err))
      if (line.find("libssl") != std::string::npos) libssl_lines += line + "\n";
    EXPECT_EQ(libssl_lines, r.opened) << r.named << " / " << r.given;
  }
}

TEST(ExecProcess, ForkedChildKeepsEveryHookAndEveryRule) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;
  RunResult result = run_actions(
      aws_env(), {configure_action({{"read_write_tmp", "block"}}), "open:" + scratch.file("parent"), "fork",
                  "open:" + scratch.file("child"), "close999", "env:LD_LIBRARY_PATH=" + compat_dir(),
                  "exec:" + probe_path("intercept_env_dump")});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(has_lines(result.out, {"open:" + scratch.file("parent") + " -> errno 222",
                                     "open:" + scratch.file("child") + " -> errno 222", "close999 -> errno 1",
                                     "fork -> child exit 0"}));
  auto entries = dumped_environment(result.out);
  EXPECT_FALSE(state_entry(entries).empty()) << result.out;
  EXPECT_TRUE(std::find(entries.begin(), entries.end(), "LD_PRELOAD=" + library_path()) != entries.end());
  auto alerts = alert_records(result.log);
  ASSERT_EQ(alerts.size(), 2u) << result.log;
  EXPECT_EQ(alerts[1].path, scratch.file("child"));
  EXPECT_EQ(alerts[1].mode, "block");
}

#if defined(__aarch64__)
// Under branch protection: the probe, the library and the hooks' stubs and
// trampolines are all on BTI-guarded pages where the processor has BTI, so
// every indirect branch the hooks take must land on a landing pad. (Debian's
// arm64 C library is not marked for BTI, so its own pages stay unguarded
// here; they are guarded on Amazon Linux 2023.) Every rule at block still
// refuses with 222 and one record, in a forked child too (the handler is read
// there, past the runtime's start), and the arm64 program it starts judges
// its own start.
TEST(ExecProcess, OnBtiGuardedPagesEveryRuleIsRefusedWithItsRecord) {
  TG_SKIP_IF_SANITIZED();
  ASSERT_NE(aarch64_features(probe_path("intercept_actions_bti")) & GNU_PROPERTY_AARCH64_FEATURE_1_BTI, 0u);
  if (!processor_has_bti()) GTEST_SKIP() << "this processor has no BTI";
  scratch_directory task_root(build_scratch_base());
  scratch_directory scratch;
  std::ofstream(task_root.file("handler.py")) << "def main(event, context): pass\n";
  auto env = aws_env();
  env.push_back("LAMBDA_TASK_ROOT=" + task_root.path);
  env.push_back("_HANDLER=handler.main");
  const std::string dump = probe_path("intercept_env_dump");
  RunResult result = run_probe(
      "intercept_actions_bti",
      {configure_action({{"read_write_tmp", "block"}, {"read_handler", "block"}, {"create_child_process", "block"},
                         {"outbound_connectivity", "block"}},
                        "\"runtime\":\"Python\""),
       "open:" + scratch.file("x"), "connect:127.0.0.2:9", "fork", "openr:" + task_root.file("handler.py"),
       "open:" + scratch.file("child"), "exec:" + dump},
      env, /*capture_log_fd=*/true);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(has_lines(result.out, {"open:" + scratch.file("x") + " -> errno 222",
                                     "openr:" + task_root.file("handler.py") + " -> errno 222",
                                     "connect:127.0.0.2:9 -> errno 222", "open:" + scratch.file("child") + " -> errno 222",
                                     "fork -> child exit 222"}))
      << result.out << result.err;
  std::vector<std::string> policies;
  for (const auto &alert : alert_records(result.log)) policies.push_back(alert.policy + " " + alert.mode);
  EXPECT_EQ(policies, (std::vector<std::string>{"read_write_tmp block", "outbound_connectivity block",
                                                "read_handler block", "read_write_tmp block",
                                                "create_child_process block"}))
      << result.log;
}
#endif

TEST(ExecProcess, Descriptor999CannotBeClosedAndCarriesAlertsToStandardOutput) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;
  RunResult result = run_actions(aws_env(), {configure_action({{"read_write_tmp", "alert"}}), "close999",
                                             "write999:written to 999\n", "open:" + scratch.file("x"), "closefd:998"},
                                 /*capture_log_fd=*/false);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(has_lines(result.out, {"close999 -> errno 1", "written to 999", "closefd:998 -> errno 9"}));
  auto alerts = alert_records(result.out);
  ASSERT_EQ(alerts.size(), 1u) << result.out;
  EXPECT_EQ(alerts[0].path, scratch.file("x"));
}

TEST(ExecProcess, LibraryLoadedByTheRuntimeSetsLdPreloadForItsChildren) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  TG_SKIP_IF_SANITIZED();
  const std::string python = python_path();
  if (python.empty()) GTEST_SKIP() << "no python3";
  RunOptions options;
  options.argv = {python, "-c",
                  "import ctypes, os, subprocess, sys\n"
                  "ctypes.CDLL(sys.argv[1])\n"
                  "env = {'LD_LIBRARY_PATH': os.environ['LD_LIBRARY_PATH']}\n"
                  "sys.exit(subprocess.run([sys.argv[2]], env=env).returncode)\n",
                  library_path(), probe_path("intercept_env_dump")};
  options.env = google_env();
  options.env.push_back("LD_LIBRARY_PATH=" + compat_dir());
  options.preload = false;
  RunResult result = run_process(options);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  auto entries = dumped_environment(result.out);
  EXPECT_TRUE(std::find(entries.begin(), entries.end(), "LD_PRELOAD=" + real_path_of(library_path())) != entries.end())
      << result.out;
  EXPECT_TRUE(std::find(entries.begin(), entries.end(), "X_GOOGLE_FUNCTION_NAME=test-function") != entries.end());
  EXPECT_TRUE(contains_line(result.out, "main ran"));
}

TEST(ExecProcess, StartIsJudgedWithoutProcOnTheTextualPathAndAnEmptyCommandLine) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("/usr/bin/unshare");
  TG_SKIP_IF_SANITIZED();
  // A private mount namespace with an empty /proc: /proc/self/exe cannot be
  // resolved and /proc/self/cmdline cannot be read.
  RunOptions options;
  options.argv = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                  "mount -t tmpfs none /proc 2>/dev/null || { echo 'no namespace'; exit 0; }; exec \"$@\"", "sh",
                  "/usr/bin/env", "LD_PRELOAD=" + library_path(), "LD_LIBRARY_PATH=" + compat_dir(),
                  probe_path("intercept_actions"), configure_action({{"create_child_process", "alert"}}),
                  "exec:" + probe_path("intercept_env_dump")};
  options.env = aws_env();
  options.preload = false;
  options.capture_log_fd = true;
  RunResult result = run_process(options);
  if (result.exit_code != 0 && result.out.empty()) GTEST_SKIP() << "unshare is not allowed here: " << result.err;
  if (contains_line(result.out, "no namespace")) GTEST_SKIP() << "cannot mount in a private namespace here";
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(contains_line(result.out, "main ran")) << result.out;
  auto alerts = alert_records(result.log);
  ASSERT_EQ(alerts.size(), 1u) << result.log;
  EXPECT_EQ(alerts[0].path, "/proc/self/exe");
  EXPECT_TRUE(alerts[0].arguments.empty());
}

}  // namespace
