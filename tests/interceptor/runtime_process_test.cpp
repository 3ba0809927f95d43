// Real language runtimes started with the library preloaded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "interceptor_test_support.hpp"

namespace {

constexpr const char *NODE = "/usr/bin/node";

// Configures the policy from inside Python through the exported function.
std::string python_configure(const std::string &policy) {
  return "import ctypes\n"
         "ctypes.CDLL(None).tesselguard_configure(b'{\"disable_analytics\":true,\"policy\":" + policy + "}')\n";
}

RunResult run_python(const std::vector<std::string> &env, const std::string &script,
                     const std::vector<std::string> &args = {}, bool capture_log_fd = true) {
  RunOptions options;
  options.argv = {python_path(), "-c", script};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = env;
  options.capture_log_fd = capture_log_fd;
  options.timeout_ms = 60000;
  return run_process(options);
}

class PythonRuntime : public ::testing::Test {
 protected:
  void SetUp() override {
    TG_SKIP_IF_SANITIZED();
    if (python_path().empty()) GTEST_SKIP() << "no python3 on this machine";
  }
};

TEST_F(PythonRuntime, TmpWriteIsRefusedUnderBlock) {
  scratch_directory scratch;
  RunResult result = run_python(aws_env(),
                                python_configure("{\"read_write_tmp\":\"block\"}") +
                                    "import sys\n"
                                    "try:\n"
                                    "    open(sys.argv[1], 'w')\n"
                                    "    print('open ok')\n"
                                    "except OSError as e:\n"
                                    "    print('open errno', e.errno)\n",
                                {scratch.file("x")});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(contains_line(result.out, "open errno 222")) << result.out;
  EXPECT_NE(access(scratch.file("x").c_str(), F_OK), 0);
}

TEST_F(PythonRuntime, ChildProcessIsRefusedUnderBlock) {
  RunResult result = run_python(google_env(), python_configure("{\"create_child_process\":\"block\"}") +
                                                  "import subprocess\n"
                                                  "print('returncode', subprocess.run(['/bin/true']).returncode)\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(contains_line(result.out, "returncode 222")) << result.out;
}

TEST_F(PythonRuntime, PlatformProbeOfThePythonRuntimeIsExempt) {
  // The runtime's own "uname -p" probe names /bin/uname, which on merged-/usr
  // systems runs as /usr/bin/uname.
  RunResult result =
      run_python(aws_env(), "import ctypes, subprocess\n"
                            "ctypes.CDLL(None).tesselguard_configure(b'{\"disable_analytics\":true,\"policy\":{\"create_child_process\":\"block\"},"
                            "\"runtime\":\"Python\",\"runtime_version\":\"3.7\"}')\n"
                            "print('uname', subprocess.run(['uname', '-p'], capture_output=True).returncode)\n"
                            "print('uname -a', subprocess.run(['uname', '-a'], capture_output=True).returncode)\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(has_lines(result.out, {"uname 0", "uname -a 222"}));
}

TEST_F(PythonRuntime, FunctionWithEveryRuleAtBlockIsVisiblyProtected) {
  scratch_directory scratch;
  // On AWS the alerts share standard output with the function (the log).
  RunResult result = run_python(
      aws_env(),
      python_configure("{\"read_write_tmp\":\"block\",\"create_child_process\":\"block\","
                       "\"outbound_connectivity\":\"block\"}") +
          "import socket, subprocess, sys\n"
          "try:\n"
          "    open(sys.argv[1], 'w')\n"
          "except OSError as e:\n"
          "    print('write errno', e.errno, flush=True)\n"
          "print('child returncode', subprocess.run(['/bin/true']).returncode, flush=True)\n"
          "try:\n"
          "    socket.create_connection(('127.0.0.2', 9), timeout=5)\n"
          "except OSError as e:\n"
          "    print('connect errno', e.errno, flush=True)\n",
      {scratch.file("x")}, /*capture_log_fd=*/false);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(has_lines(result.out, {"write errno 222", "child returncode 222", "connect errno 222"}));
  auto alerts = alert_records(result.out);
  ASSERT_EQ(alerts.size(), 3u) << result.out;
  EXPECT_EQ(alerts[0].policy, "read_write_tmp");
  EXPECT_EQ(alerts[1].policy, "create_child_process");
  EXPECT_EQ(alerts[2].policy, "outbound_connectivity");
  EXPECT_EQ(alerts[2].ip, "127.0.0.2");
  for (const auto &alert : alerts) EXPECT_EQ(alert.mode, "block");
}

class NodeRuntime : public ::testing::Test {
 protected:
  void SetUp() override {
    TG_SKIP_IF_SANITIZED();
    if (access(NODE, X_OK) != 0) GTEST_SKIP() << "no Node.js on this machine";
  }
};

TEST_F(NodeRuntime, FileWriteIsRefusedUnderBlock) {
  scratch_directory scratch;
  // The first process sets the policy and then becomes Node.js, which
  // inherits it through the state file. The script comes on standard input.
  RunResult result = run_actions(aws_env(), {configure_action({{"read_write_tmp", "block"}}), "exec:" + std::string(NODE) + ",-"},
                                 true,
                                 "try { require('fs').writeFileSync('" + scratch.file("x") + "', 'data');\n"
                                 "  console.log('write ok'); }\n"
                                 "catch (e) { console.log('write errno ' + e.errno); }\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(contains_line(result.out, "write errno -222")) << result.out;
  EXPECT_NE(access(scratch.file("x").c_str(), F_OK), 0);
  auto alerts = alert_records(result.log);
  ASSERT_EQ(alerts.size(), 1u) << result.log;
  EXPECT_EQ(alerts[0].path, scratch.file("x"));
}

TEST_F(NodeRuntime, SpawnedChildIsRefusedUnderBlock) {
  // Node.js starts while child processes are allowed; the block is set once
  // it runs, and its own child is then refused.
  RunResult result = run_actions(
      google_env(),
      {"launch:" + std::string(NODE) + ",-", configure_action({{"create_child_process", "block"}}), "release"}, true,
      "const fs = require('fs');\n"
      "fs.writeSync(3, 'r');\n"
      "fs.readSync(4, Buffer.alloc(1));\n"
      "const r = require('child_process').spawnSync('/bin/true');\n"
      "console.log('status ' + r.status);\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(contains_line(result.out, "launch:" + std::string(NODE) + ",- -> running")) << result.out;
  EXPECT_TRUE(contains_line(result.out, "status 222")) << result.out << result.err;
  EXPECT_TRUE(contains_line(result.out, "release -> child exit 0")) << result.out;
}

}  // namespace
