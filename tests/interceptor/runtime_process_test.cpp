// Real language runtimes started with the library preloaded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
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
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  RunResult result = run_python(google_env(), python_configure("{\"create_child_process\":\"block\"}") +
                                                  "import subprocess\n"
                                                  "print('returncode', subprocess.run(['/bin/true']).returncode)\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(contains_line(result.out, "returncode 222")) << result.out;
}

TEST_F(PythonRuntime, PlatformProbeOfThePythonRuntimeIsExempt) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
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
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
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

// Through the thread pool, and through io_uring where libuv is asked to
// use it (a ring cannot be made once a rule is at block: libuv falls back
// to its threads, whose calls are watched); writes elsewhere still work.
TEST_F(NodeRuntime, FileWriteIsRefusedUnderBlock) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("node");
  scratch_directory scratch;
  scratch_directory outside(build_scratch_base());
  const std::string elsewhere = outside.file("elsewhere");
  const std::string writes[] = {
      "require('fs').writeFileSync(TARGET, 'data')",
      "await require('fs').promises.writeFile(TARGET, 'data')",
  };
  for (const std::string &write : writes) {
    SCOPED_TRACE(write);
    std::vector<std::string> env = aws_env();
    env.push_back("UV_USE_IO_URING=1");
    // The first process sets the policy and then becomes Node.js, which
    // inherits it through the state file. The script comes on standard input.
    RunResult result = run_actions(
        env, {configure_action({{"read_write_tmp", "block"}}), "exec:" + std::string(NODE) + ",-"}, true,
        "const fs = require('fs'); const TARGET = '" + scratch.file("x") + "';\n"
        "(async () => {\n"
        "  try { " + write + "; console.log('write ok'); }\n"
        "  catch (e) { console.log('write errno ' + e.errno); }\n"
        "  await fs.promises.writeFile('" + elsewhere + "', 'kept');\n"
        "  console.log('elsewhere ' + await fs.promises.readFile('" + elsewhere + "', 'utf8'));\n"
        "})();\n");
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_TRUE(has_lines(result.out, {"write errno -222", "elsewhere kept"}));
    EXPECT_NE(access(scratch.file("x").c_str(), F_OK), 0);
    auto alerts = alert_records(result.log);
    ASSERT_EQ(alerts.size(), 1u) << result.log;
    EXPECT_EQ(alerts[0].path, scratch.file("x"));
  }
}

TEST_F(NodeRuntime, SpawnedChildIsRefusedUnderBlock) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("node");
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

// The start phase on the real runtimes, read_handler at block: the
// runtime's own load of the handler passes with no record; a dependency the
// handler imports, which reads the handler at import time, is refused, and
// so are the same read by a started program and by a forked child.
TEST(RuntimeStartPhase, HandlerReadByItsDependencyIsRefusedTheRuntimesLoadIsNot) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("node");
  TG_SKIP_IF_SANITIZED();
  const std::string read_js =
      "const fs = require('fs');\n"
      "try { fs.readFileSync(H); console.log('dep read ok'); } catch (e) { console.log('dep read errno ' + e.errno); }\n";
  struct runtime_case {
    const char *name, *execution_env, *runtime, *handler_env, *interpreter;
    std::vector<std::pair<std::string, std::string>> files;  // name, text ("H": the handler's path)
    std::string main;  // run by the interpreter; loads the handler, then reads it from a program and a fork
  } const cases[] = {
      {"CommonJS", "AWS_Lambda_nodejs20.x", "Node.js", "index.handler", NODE,
       {{"index.js", "require('./dep.js');\nexports.handler = async () => 1;\n"},
        {"dep.js", "const H = __dirname + '/index.js';\n" + read_js}},
       "require(T + '/index.js');\n"
       "console.log('program status ' + require('child_process').spawnSync('/bin/cat', [T + '/index.js']).status);\n"},
      {"ESM", "AWS_Lambda_nodejs20.x", "Node.js", "index.handler", NODE,
       {{"index.mjs", "import './dep.mjs';\nexport const handler = async () => 1;\n"},
        {"dep.mjs", "import { createRequire } from 'module';\nconst require = createRequire(import.meta.url);\n"
                    "const H = new URL('./index.mjs', import.meta.url).pathname;\n" + read_js}},
       "import(T + '/index.mjs').then(() => console.log('program status ' +\n"
       "  require('child_process').spawnSync('/bin/cat', [T + '/index.mjs']).status));\n"},
      {"Python", "AWS_Lambda_python3.11", "Python", "handler.main", "/usr/bin/python3",
       {{"handler.py", "import dep\ndef main(event, context): return 1\n"},
        {"dep.py", "import os\nH = os.path.join(os.path.dirname(__file__), 'handler.py')\n"
                   "try:\n    open(H).read(); print('dep read ok', flush=True)\n"
                   "except OSError as e:\n    print('dep read errno', e.errno, flush=True)\n"}},
       "import os, subprocess, sys\nsys.path.insert(0, T)\nimport handler\n"
       "print('program status', subprocess.run(['/bin/cat', T + '/handler.py'], capture_output=True).returncode, flush=True)\n"
       "pid = os.fork()\n"
       "if pid == 0:\n"
       "    try:\n        open(T + '/handler.py').read(); os._exit(0)\n"
       "    except OSError as e:\n        os._exit(e.errno - 200)\n"
       "print('fork status', os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) + 200, flush=True)\n"},
      {"Ruby", "AWS_Lambda_ruby3.3", "Ruby", "handler.main", "/usr/bin/ruby",
       {{"handler.rb", "require_relative 'dep'\ndef main(event:, context:) = 1\n"},
        {"dep.rb", "H = File.join(__dir__, 'handler.rb')\n"
                   "begin\n  File.read(H); puts 'dep read ok'\n"
                   "rescue SystemCallError => e\n  puts \"dep read errno #{e.errno}\"\nend\n$stdout.flush\n"}},
       "require T + '/handler'\n"
       "system('/bin/cat', T + '/handler.rb', out: File::NULL, err: File::NULL)\n"
       "puts \"program status #{$?.exitstatus}\"\n"
       "pid = fork { begin; File.read(T + '/handler.rb'); exit! 0; rescue SystemCallError => e; exit! e.errno - 200; end }\n"
       "Process.wait(pid)\nputs \"fork status #{$?.exitstatus + 200}\"\n"},
  };
  for (const runtime_case &c : cases) {
    SCOPED_TRACE(c.name);
    if (access(c.interpreter, X_OK) != 0) continue;
    scratch_directory task(build_scratch_base());
    for (const auto &[name, text] : c.files) std::ofstream(task.file(name)) << text;
    const bool node = std::string(c.runtime) == "Node.js";
    const bool ruby = std::string(c.runtime) == "Ruby";
    const std::string main = task.file(node ? "main.js" : ruby ? "main.rb" : "main.py");
    std::ofstream(main) << (node ? "const T = " : "T = ") << "'" << task.path << "'\n" << c.main;
    auto env = aws_env(c.execution_env);
    env.insert(env.end(), {std::string("_HANDLER=") + c.handler_env, "LAMBDA_TASK_ROOT=" + task.path});
    RunResult result = run_actions(
        env, {configure_action({{"read_handler", "block"}}, std::string("\"runtime\":\"") + c.runtime + "\""),
              "exec:" + std::string(c.interpreter) + "," + main});
    const std::string refused = node ? "dep read errno -222" : "dep read errno 222";
    std::vector<std::string> lines = {refused, "program status 1"};
    if (!node) lines.push_back("fork status 222");
    EXPECT_TRUE(has_lines(result.out, lines)) << result.out << result.err;
    // A record for each refused read, none for the runtime's own load.
    auto alerts = alert_records(result.log);
    EXPECT_EQ(alerts.size(), lines.size()) << result.log;
    for (const auto &alert : alerts) EXPECT_EQ(alert.policy, "read_handler");
  }
}

}  // namespace

// gunicorn under read_write_tmp block, the app loaded in the master
// (--preload) and the library configured there: each worker's heartbeat
// file (mkstemp "wgunicorn-" in /tmp) is an anonymous memory file, so the
// worker boots and serves with no record and nothing is left in /tmp; a
// near name ("wgunicorn-" and nine characters) is still refused.
TEST_F(PythonRuntime, GunicornWorkerBootsAndServesUnderTmpBlock) {
  constexpr const char *GUNICORN = "/usr/bin/gunicorn";
  if (access(GUNICORN, X_OK) != 0) GTEST_SKIP() << "no gunicorn on this machine";
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO(GUNICORN);
  scratch_directory app(build_scratch_base());
  std::ofstream(app.file("app.py"))
      << python_configure("{\"read_write_tmp\":\"block\"}")
      << "import tempfile\n"
         "try:\n"
         "    tempfile.mkstemp(prefix='wgunicorn-x'); print('near name ok', flush=True)\n"
         "except OSError as e:\n"
         "    print('near name errno', e.errno, flush=True)\n"
         "def app(environ, start_response):\n"
         "    start_response('200 OK', [('Content-Type', 'text/plain')])\n"
         "    return [b'served']\n";
  // When the master is ready, a forked client makes one request and stops it.
  std::ofstream(app.file("conf.py"))
      << "import os, signal, urllib.request\n"
         "def when_ready(server):\n"
         "    port = server.LISTENERS[0].sock.getsockname()[1]\n"
         "    if os.fork() == 0:\n"
         "        try:\n"
         "            body = urllib.request.urlopen(f'http://127.0.0.1:{port}/', timeout=30).read().decode()\n"
         "            print('response', body, flush=True)\n"
         "        finally:\n"
         "            os.kill(os.getppid(), signal.SIGTERM)\n"
         "            os._exit(0)\n";
  RunOptions options;
  options.argv = {GUNICORN, "--config", app.file("conf.py"), "--bind", "127.0.0.1:0", "--workers", "1",
                  "--preload", "--chdir", app.path, "app:app"};
  options.env = aws_env();
  options.capture_log_fd = true;
  options.timeout_ms = 60000;
  RunResult result = run_process(options);
  EXPECT_TRUE(has_lines(result.out, {"near name errno 222", "response served"})) << result.out << result.err;
  EXPECT_NE(result.err.find("Booting worker"), std::string::npos) << result.err;
  auto alerts = alert_records(result.log);
  ASSERT_EQ(alerts.size(), 1u) << result.log;  // the near name's
  EXPECT_EQ(alerts[0].path.rfind("/tmp/wgunicorn-x", 0), 0u) << alerts[0].path;
  for (const auto &entry : std::filesystem::directory_iterator("/tmp"))
    EXPECT_NE(entry.path().filename().string().rfind("wgunicorn-", 0), 0u) << entry.path();
}
