// The runtime's own start: a first process that replaces itself in place
// with its interpreter (a Lambda bootstrap, a `#!/usr/bin/env node`
// launcher) keeps the first process's standing; what the function's code
// starts is judged.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "alert_records.hpp"
#include "interceptor_test_support.hpp"
#include "process_runner.hpp"
#include "scratch_directory.hpp"

namespace {

std::string write_file(scratch_directory &scratch, const std::string &name, const std::string &text) {
  const std::string path = scratch.file(name);
  std::ofstream(path) << text;
  return path;
}

// The intercept_actions probe as the platforms run functions: an
// unprivileged user (root can change any program, so nothing it execs in
// place is beyond its reach).
RunResult run_unprivileged(const std::vector<std::string> &actions, std::vector<std::string> env) {
  RunOptions options;
  options.argv = {probe_path("intercept_actions")};
  options.argv.insert(options.argv.end(), actions.begin(), actions.end());
  options.env = std::move(env);
  options.capture_log_fd = true;
  options.timeout_ms = 60000;
  options.before_exec = become_unprivileged_user;
  return run_process(options);
}

// Under child-process block, the interpreter exec'd in place by the first
// process starts with no record; `id`, a shell and the interpreter started
// by the function's code are refused with 222, each with its record.
TEST(InPlaceStart, InterpreterStartsUnderChildBlockWhatItStartsIsRefused) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("node");
  TG_SKIP_IF_SANITIZED();
  if (geteuid() != 0) GTEST_SKIP() << "needs root to change user";
  scratch_directory scratch;
  chmod(scratch.path.c_str(), 0755);
  struct family {
    std::string execution_env;
    std::string interpreter;
    std::string script_name;
    std::string script;
  } const families[] = {
      {"AWS_Lambda_python3.12", "/usr/bin/python3", "bootstrap.py",
       "import subprocess, sys\n"
       "for cmd in (['/usr/bin/id'], ['/bin/sh', '-c', 'true'], [sys.executable, '-c', 'pass']):\n"
       "    print('started', cmd[0], subprocess.run(cmd, capture_output=True).returncode, flush=True)\n"},
      {"AWS_Lambda_nodejs20.x", "/usr/bin/node", "bootstrap.js",
       "const { spawnSync } = require('child_process');\n"
       "for (const cmd of [['/usr/bin/id'], ['/bin/sh', '-c', 'true'], [process.execPath, '-e', '0']])\n"
       "  console.log('started', cmd[0], spawnSync(cmd[0], cmd.slice(1)).status);\n"},
  };
  for (const family &f : families) {
    SCOPED_TRACE(f.execution_env);
    if (access(f.interpreter.c_str(), X_OK) != 0) continue;
    const std::string script = write_file(scratch, f.script_name, f.script);
    RunResult result = run_unprivileged(
        {R"(configure:{"policy":{"create_child_process":"block"}})", "exec:" + f.interpreter + "," + script},
        aws_env(f.execution_env));
    EXPECT_TRUE(has_lines(result.out, {"started /usr/bin/id 222", "started /bin/sh 222",
                                       "started " + f.interpreter + " 222"}))
        << result.out << result.err;
    // Three records, none for the interpreter that replaced the first process.
    std::vector<alert_record> records;
    std::string bad;
    ASSERT_TRUE(parse_alert_lines(result.log, &records, &bad)) << bad;
    ASSERT_EQ(records.size(), 3u) << result.log;
    for (const alert_record &record : records) EXPECT_EQ(record.mode, "block");
    EXPECT_EQ(records[0].path, "/usr/bin/id");
    EXPECT_EQ(records[2].arguments.at(1), f.interpreter == "/usr/bin/node" ? "-e" : "-c");
  }
}

// After the start phase, an in-place exec of the real python3 is judged
// like any program start; a copy of `id` named python3, where the function
// can write (a folder like /var/tmp, or /tmp with the tmp rule at allow),
// is judged even during it. Each refused start is one record.
TEST(InPlaceStart, InPlaceExecAfterThePhaseOrOfAProgramTheFunctionMadeIsRefused) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  TG_SKIP_IF_SANITIZED();
  if (geteuid() != 0) GTEST_SKIP() << "needs root to change user";
  if (python_path().empty()) GTEST_SKIP() << "no python3 on this machine";
  scratch_directory task(build_scratch_base());
  chmod(task.path.c_str(), 0755);
  const std::string handler = write_file(task, "handler.py", "def main(event, context): return 1\n");
  write_file(task, "dep.py", "x = 1\n");
  scratch_directory writable(build_scratch_base());  // as /var/tmp: anyone may write there
  chmod(writable.path.c_str(), 01777);
  struct row {
    const char *name;
    std::string before_exec;  // Python run before the in-place exec
    std::string program;      // what is exec'd in place
  } const rows[] = {
      {"after the phase", "open(sys.argv[1]).read()\nopen(sys.argv[2]).read()\n", real_path_of(python_path())},
      {"copy of id, writable folder", "shutil.copy('/usr/bin/id', P)\n", writable.file("python3")},
      {"copy of id, /tmp", "os.makedirs(os.path.dirname(P), exist_ok=True)\nshutil.copy('/usr/bin/id', P)\n",
       "/tmp/tesselguard-in-place/python3"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    const std::string script = write_file(
        task, "bootstrap.py",
        "import os, shutil, sys\nP = '" + r.program + "'\n" + r.before_exec +
            "print('exec', flush=True)\nos.execv(P, [P, '-c', 'print(\"started\")'])\n");
    auto env = aws_env("AWS_Lambda_python3.11");
    env.insert(env.end(), {"_HANDLER=handler.main", "LAMBDA_TASK_ROOT=" + task.path});
    RunResult result = run_unprivileged(
        {R"(configure:{"disable_analytics":true,"policy":{"create_child_process":"block"},"runtime":"Python"})",
         "exec:" + real_path_of(python_path()) + "," + script + "," + handler + "," + task.file("dep.py")},
        env);
    EXPECT_EQ(result.exit_code, 222) << result.out << result.err;
    EXPECT_TRUE(contains_line(result.out, "exec")) << result.out << result.err;
    EXPECT_FALSE(contains_line(result.out, "started")) << result.out;
    std::vector<alert_record> records;
    std::string bad;
    ASSERT_TRUE(parse_alert_lines(result.log, &records, &bad)) << bad;
    ASSERT_EQ(records.size(), 1u) << result.log;
    EXPECT_EQ(records[0].policy, "create_child_process");
    EXPECT_EQ(records[0].path, r.program);
  }
}

}  // namespace

namespace {

// Google's current generation started through a launcher: `env` is the
// first process and execs python3 in place; the configuration call from
// Python is accepted and protects, and the record is a structured line on
// standard output.
TEST(InPlaceStart, EnvLauncherLeavesPythonTheFirstProcess) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  TG_SKIP_IF_SANITIZED();
  if (python_path().empty()) GTEST_SKIP() << "no python3 on this machine";
  scratch_directory scratch;
  const std::string main_py = write_file(
      scratch, "main.py",
      "import ctypes, os, sys\n"
      "library = ctypes.CDLL(os.environ['LD_PRELOAD'])\n"
      "cookie = library.tesselguard_configure(b'{\"policy\":{\"read_write_tmp\":\"block\"},\"runtime\":\"Python\"}')\n"
      "print('cookie', 'issued' if cookie else 'refused', flush=True)\n"
      "try:\n"
      "    open('/tmp/tesselguard-launcher-test', 'w')\n"
      "    print('open ok', flush=True)\n"
      "except OSError as error:\n"
      "    print('open errno', error.errno, flush=True)\n");
  RunOptions options;
  options.argv = {"/usr/bin/env", "python3", main_py};
  options.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "K_SERVICE=function", "FUNCTION_TARGET=handle",
                 "K_REVISION=function-00001", "FUNCTION_SIGNATURE_TYPE=http", "PORT=8080"};
  options.cwd = scratch.path;
  RunResult result = run_process(options);
  EXPECT_TRUE(has_lines(result.out, {"cookie issued", "open errno 222"})) << result.out << result.err;
  EXPECT_NE(result.out.find(R"(,"policy":"read_write_tmp","mode":"block","severity":"WARNING"})"), std::string::npos)
      << result.out;
}

}  // namespace
