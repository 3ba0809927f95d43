// What the function's own code cannot do to the protection: reach the state
// record, write a process's memory, lose its hooks by forking, slip a second
// LD_PRELOAD past execve, or borrow the first process's standing.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "interceptor_test_support.hpp"

namespace {

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}


// Every route is refused with 222 and one record of the forced block
// ("read_write_tmp", "block", the path as judged), with every rule at allow:
// opening, cutting short, remapping the record's pages, and reaching into
// another process's memory (the record names that process's memory file).
TEST(StateGuard, StateFileAndProcessMemoryAreOutOfReach) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;
  struct route {
    std::vector<std::string> actions;  // the last one is the open looked at
    std::string outcome;               // "ok" or "errno N"
    std::string record_path;           // "" when no record; @PID@ is the probe's pid
  } const routes[] = {
      {{"setenv:TESSELGUARD_STATE_PATH=" + scratch.file("elsewhere"), "openw:@STATE@"}, "errno 222", "@STATE@"},
      {{"openr:@STATE@"}, "errno 222", "@STATE@"},
      {{"link:@STATE@:" + scratch.file("link"), "openr:" + scratch.file("link")}, "errno 222",
       scratch.file("link")},
      {{"openw:/proc/self/mem"}, "errno 222", "/proc/@PID@/mem"},
      {{"fopen:r+:/proc/self/mem"}, "errno 222", "/proc/@PID@/mem"},
      {{"openw:/proc/self/task/@TID@/mem"}, "errno 222", "/proc/@PID@/task/@PID@/mem"},
      {{"openr:/proc/self/mem"}, "errno 222", "/proc/@PID@/mem"},
      {{"fopen:r:/proc/self/mem"}, "errno 222", "/proc/@PID@/mem"},
      {{"truncate:@STATE@"}, "errno 222", "@STATE@"},
      {{"link:@STATE@:" + scratch.file("cut"), "truncate:" + scratch.file("cut")}, "errno 222", scratch.file("cut")},
      {{"ftruncate:@STATE@"}, "errno 222", "@STATE@"},
      {{"record:mprotect"}, "errno 222", "@STATE@"},
      {{"record:munmap"}, "errno 222", "@STATE@"},
      {{"record:syscall"}, "errno 222", "@STATE@"},
      {{"record:mmap"}, "errno 222", "@STATE@"},
      {{"record:mremap"}, "errno 222", "@STATE@"},
      {{"record:remap_file_pages"}, "errno 222", "@STATE@"},
      {{"parent:vmread"}, "errno 222", "/proc/@PID@/mem"},
      {{"parent:vmwrite"}, "errno 222", "/proc/@PID@/mem"},
      {{"parent:ptrace"}, "errno 222", "/proc/@PID@/mem"},
  };
  for (const route &r : routes) {
    SCOPED_TRACE(r.actions.back());
    RunResult result = run_probe("state_guard", r.actions, aws_env(), true);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    const std::string pid = value_after(result.out, "pid");
    EXPECT_TRUE(contains_line(result.out, r.actions.back() + " -> " + r.outcome)) << result.out;
    auto alerts = alert_records(result.log);
    if (r.record_path.empty()) {
      EXPECT_TRUE(alerts.empty()) << result.log;
      continue;
    }
    ASSERT_EQ(alerts.size(), 1u) << result.log;
    EXPECT_EQ(alerts[0].policy, "read_write_tmp");
    EXPECT_EQ(alerts[0].mode, "block");
    std::string expected = replace_all(r.record_path, "@PID@", pid);
    expected = replace_all(expected, "@STATE@", real_path_of(value_after(result.out, "state")));
    EXPECT_EQ(alerts[0].path, expected);
  }
}

// A forked child keeps every rule, and forking while other threads are in
// hooked connects never hangs: the child starts with no lock of ours held.
TEST(StateGuard, ForksWhileThreadsConnectNeverHangAndChildrenAreJudged) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;
  RunResult result = run_probe("state_guard", {configure_action({{"read_write_tmp", "block"}}),
                                               "forks:3000:" + scratch.file("child")},
                               aws_env(), true, "", 240000);
  ASSERT_FALSE(result.timed_out) << "hung after: " << result.out;
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(contains_line(result.out, "forks:3000:" + scratch.file("child") + " -> 3000 children, 3000 judged"))
      << result.out;
}

// The first process executed again in place keeps its standing: its
// configuration call is accepted and protects. A program started by fork is
// never the first process.
TEST(StateGuard, InPlaceExecKeepsFirstProcessStandingAForkedProgramDoesNot) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;
  const std::string self = probe_path("intercept_actions");
  const std::string configure = R"(configure:{"policy":{"read_write_tmp":"block"}})";
  struct row {
    std::string label;
    std::vector<std::string> before;  // actions of the first process before it executes
    std::string configured;           // the answer to the new program's configuration call
    std::string opened;               // its open under /tmp afterwards
  } const rows[] = {
      {"in place", {}, "ok", "errno 222"},
      {"after fork", {"fork"}, "refused", "ok"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    std::vector<std::string> actions = r.before;
    actions.push_back("exec:" + self + "," + configure + ",open:" + scratch.file(r.label));
    RunResult result = run_actions(aws_env(), actions);
    EXPECT_TRUE(has_lines(result.out, {configure + " -> " + r.configured, "open:" + scratch.file(r.label) + " -> " +
                                                                              r.opened}))
        << result.err;
  }
}

class PythonStarts : public ::testing::Test {
 protected:
  void SetUp() override {
    TG_SKIP_IF_SANITIZED();
    if (python_path().empty()) GTEST_SKIP() << "no python3 on this machine";
  }
};

// Programs started from Python, whose subprocess closes every descriptor
// above 2: their records still reach the function's log, never the output
// the caller captures, and a second LD_PRELOAD entry does not free them.
TEST_F(PythonStarts, StartedProgramsAreJudgedAndTheirRecordsReachTheFunctionsLog) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  const passwd *user = getpwuid(getuid());
  ASSERT_NE(user, nullptr);
  const std::string name = user->pw_name;
  struct row {
    std::string mode, call;
    std::string printed;  // what the script prints: repr of stdout, or the return code
  } const rows[] = {
      {"alert", "r = subprocess.run(['/usr/bin/id', '-un'], capture_output=True); print(r.stdout)",
       "b'" + name + "\\n'"},
      {"allow", "r = subprocess.run(['/usr/bin/id', '-un'], env=minimal, capture_output=True); print(r.stdout)",
       "b'" + name + "\\n'"},
      {"block", "print(subprocess.run(['/usr/bin/id', '-un'], env=minimal).returncode)", "222"},
      {"block", "print(subprocess.run(['/usr/bin/id', '-un'], env={**os.environ, b'LD_PRELOAD': b''}).returncode)",
       "222"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.call);
    RunOptions options;
    options.argv = {python_path(), "-c",
                    "import ctypes, os, subprocess\n"
                    "ctypes.CDLL(None).tesselguard_configure(b'{\"disable_analytics\":true,\"policy\":"
                    "{\"create_child_process\":\"" + r.mode + "\"}}')\n"
                    // The library finding its own files with no LD_LIBRARY_PATH is not looked at here.
                    "minimal = {'LD_LIBRARY_PATH': '" + compat_dir() + "'}\n" + r.call + "\n"};
    options.env = aws_env();
    options.capture_log_fd = true;
    RunResult result = run_process(options);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.out, r.printed + "\n") << result.err;
    auto alerts = alert_records(result.log);
    if (r.mode == "allow") {
      EXPECT_TRUE(alerts.empty()) << result.log;
      continue;
    }
    ASSERT_EQ(alerts.size(), 1u) << result.log;
    EXPECT_EQ(alerts[0].policy, "create_child_process");
    EXPECT_EQ(alerts[0].mode, r.mode);
    EXPECT_EQ(alerts[0].arguments, (std::vector<std::string>{"/usr/bin/id", "-un"}));
  }
}

// The review's attempts on the policy, made from Python as an unprivileged
// user under a tmp block: each is refused with one record in the function's
// log (none where the cookie is refused), and the policy stays as it was.
TEST_F(PythonStarts, AttemptsOnThePolicyFailAndThePolicyHolds) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  const std::string prelude =
      "import ctypes, os, subprocess, sys\n"
      "libc = ctypes.CDLL(None, use_errno=True)\n"
      "libc.tesselguard_configure(b'{\"disable_analytics\":true,\"policy\":{\"read_write_tmp\":\"block\"}}')\n"
      "state = os.environ['TESSELGUARD_STATE_PATH']\n"
      "address = next(int(l.split('-')[0], 16) for l in open('/proc/self/maps') if state in l)\n"
      "print('pid', os.getpid())\nprint('state', state)\n"
      "def child(code, *args): subprocess.run([sys.executable, '-c', 'import ctypes, os, sys\\n' + code, *args])\n";
  const std::string iovec =
      "class iovec(ctypes.Structure): _fields_ = [(\"base\", ctypes.c_void_p), (\"size\", ctypes.c_size_t)]\\n"
      "libc = ctypes.CDLL(None, use_errno=True)\\nzeros = ctypes.create_string_buffer(16)\\n"
      "local, remote = iovec(ctypes.addressof(zeros), 16), iovec(int(sys.argv[2]) + 4, 16)\\n";
  struct row {
    std::string label, code, printed;
    std::string record_path;  // "" when none; @STATE@, @PID@ as above
  } const rows[] = {
      {"a started program cuts the state file",
       "child('try: os.truncate(sys.argv[1], 0)\\nexcept OSError as e: print(\"errno\", e.errno)', state)",
       "errno 222", "@STATE@"},
      {"the cookie read from /proc/self/mem",
       "try: m = open('/proc/self/mem', 'rb'); m.seek(address + 4184); print(m.read(4))\n"
       "except OSError as e: print('errno', e.errno)",
       "errno 222", "/proc/@PID@/mem"},
      {"the record made writable",
       "print(libc.mprotect(ctypes.c_void_p(address), ctypes.c_size_t(4192), 3), ctypes.get_errno())", "-1 222",
       "@STATE@"},
      {"a started program writes the first process's record",
       "child('" + iovec +
           "print(libc.process_vm_writev(int(sys.argv[1]), ctypes.byref(local), 1, ctypes.byref(remote), 1, 0), "
           "ctypes.get_errno())', str(os.getpid()), str(address))",
       "-1 222", "/proc/@PID@/mem"},
  };
  scratch_directory scratch;
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    RunOptions options;
    options.argv = {python_path(), "-u", "-c",
                    prelude + r.code + "\ntry: open('" + scratch.file("after") + "', 'w')\n" +
                        "except OSError as e: print('after errno', e.errno)\n"};
    options.env = aws_env();
    // Python lists its working folder at import: outside /tmp, wherever the checkout lies.
    options.cwd = "/";
    options.capture_log_fd = true;
    options.before_exec = []() -> std::string {
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return "cannot become nobody";
      return "";
    };
    RunResult result = run_process(options);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_TRUE(has_lines(result.out, {r.printed, "after errno 222"})) << result.err;
    auto alerts = alert_records(result.log);
    std::vector<std::string> paths;
    for (const auto &alert : alerts) paths.push_back(alert.policy + " " + alert.mode + " " + alert.path);
    std::vector<std::string> expected;
    if (!r.record_path.empty())
      expected.push_back("read_write_tmp block " +
                         replace_all(replace_all(r.record_path, "@PID@", value_after(result.out, "pid")), "@STATE@",
                                     value_after(result.out, "state")));
    expected.push_back("read_write_tmp block " + scratch.file("after"));
    EXPECT_EQ(paths, expected) << result.log;
  }
}

// The first process marks 999 close-on-exec, points its standard output at
// /dev/null and executes itself again: the new program's record still
// reaches the function's log. Python's route is refused; a system call
// made past the hooks is undone by the library's execve.
TEST_F(PythonStarts, AnInPlaceStartKeepsTheFunctionsLog) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  struct mark {
    const char *code, *printed;
  } const marks[] = {
      {"try: os.set_inheritable(999, False)\nexcept OSError as e: print('refused', e.errno)\n", "refused 1"},
      // A system call instruction of its own: fcntl(999, F_SETFD, FD_CLOEXEC).
      {"import ctypes, mmap, platform\n"
      "code = {'x86_64': b'\\xb8\\x48\\0\\0\\0\\x0f\\x05\\xc3',\n"
      "        'aarch64': b'\\x28\\x03\\x80\\xd2\\x01\\0\\0\\xd4\\xc0\\x03\\x5f\\xd6'}[platform.machine()]\n"
      "page = mmap.mmap(-1, 4096, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC); page.write(code)\n"
      "raw = ctypes.CFUNCTYPE(ctypes.c_long, ctypes.c_long, ctypes.c_long, ctypes.c_long)("
      "ctypes.addressof(ctypes.c_char.from_buffer(page)))\n"
      "print('raw', raw(999, 2, 1), os.get_inheritable(999))\n",
       "raw 0 False"},
  };
  for (const mark &m : marks) {
    SCOPED_TRACE(m.code);
    // Started as: python -c RUNNER SCRIPT first; executed again with "again".
    const std::string runner = "import sys; exec(sys.argv[1])";
    const std::string script =
        "import ctypes, os, sys\n"
        "if sys.argv[2] == 'again':\n"
        "    try: open('/tmp/after-exec', 'w')\n"
        "    except OSError as e: print('open', e.errno, file=sys.stderr)\n"
        "    sys.exit(0)\n"
        "ctypes.CDLL(None).tesselguard_configure(b'{\"disable_analytics\":true,\"policy\":"
        "{\"read_write_tmp\":\"block\"}}')\n" +
        std::string(m.code) +
        "sys.stdout.flush(); os.dup2(os.open('/dev/null', os.O_WRONLY), 1)\n"
        "os.execv(sys.executable, [sys.executable, '-c', '" + runner + "', sys.argv[1], 'again'])\n";
    RunOptions options;
    options.argv = {python_path(), "-c", runner, script, "first"};
    options.env = aws_env();
    options.cwd = "/";  // as above: Python lists its working folder at import
    options.capture_log_fd = true;
    options.before_exec = become_unprivileged;
    RunResult result = run_process(options);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_TRUE(contains_line(result.out, m.printed)) << result.out;
    EXPECT_TRUE(contains_line(result.err, "open 222")) << result.err;
    auto alerts = alert_records(result.log);
    ASSERT_EQ(alerts.size(), 1u) << result.log;
    EXPECT_EQ(alerts[0].path, "/tmp/after-exec");
  }
}

// Loader variables that would write under /tmp before the library is in
// the new program: under block, one record each, and the program starts
// without them.
TEST_F(PythonStarts, LoaderVariablesWritingUnderTmpAreJudgedAtTheStart) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  struct row {
    std::string variables, start, record;  // @PID@: the started program's
  } const rows[] = {
      {"LD_DEBUG='files', LD_DEBUG_OUTPUT='/tmp/debug'", "subprocess", "/tmp/debug.@PID@"},
      {"LD_DEBUG='files', LD_DEBUG_OUTPUT='/tmp/debug'", "spawn", "/tmp/debug"},
      {"LD_PROFILE='libc.so.6', LD_PROFILE_OUTPUT='/tmp'", "subprocess", "/tmp/libc.so.6.profile"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.variables + " " + r.start);
    const std::string script =
        "import ctypes, os, subprocess\n"
        "ctypes.CDLL(None).tesselguard_configure(b'{\"disable_analytics\":true,\"policy\":"
        "{\"read_write_tmp\":\"block\"}}')\n"
        "env = dict(os.environ, " + r.variables + ")\n"
        "if '" + r.start + "' == 'spawn':\n"
        "    pid = os.posix_spawn('/bin/true', ['true'], env); status = os.waitpid(pid, 0)[1]\n"
        "else:\n"
        "    p = subprocess.Popen(['/bin/true'], env=env, stderr=subprocess.DEVNULL); pid, status = p.pid, p.wait()\n"
        "print('pid', pid); print('status', status)\n"
        "print('written', [n for n in os.listdir('/tmp') if n.startswith('debug') or n.endswith('.profile')])\n";
    RunOptions options;
    options.argv = {python_path(), "-c", script};
    options.env = aws_env();
    options.capture_log_fd = true;
    options.before_exec = become_unprivileged;
    RunResult result = run_process(options);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_TRUE(has_lines(result.out, {"status 0", "written []"}));
    auto alerts = alert_records(result.log);
    ASSERT_EQ(alerts.size(), 1u) << result.log;
    EXPECT_EQ(alerts[0].policy, "read_write_tmp");
    EXPECT_EQ(alerts[0].mode, "block");
    EXPECT_EQ(alerts[0].path, replace_all(r.record, "@PID@", value_after(result.out, "pid")));
  }
}

// A log that is a regular file: the started program appends its record,
// and the first process's next line goes after it, not over it.
TEST_F(PythonStarts, RecordsOfStartedProgramsAndTheFirstProcessShareALogFile) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  scratch_directory scratch(build_scratch_base());
  const std::string log = scratch.file("log");
  const std::string script =
      "import ctypes, os, subprocess\n"
      "ctypes.CDLL(None).tesselguard_configure(b'{\"disable_analytics\":true,\"policy\":"
      "{\"create_child_process\":\"alert\"}}')\n"
      "os.write(999, b'before\\n')\n"
      "subprocess.run(['/usr/bin/id', '-un'], capture_output=True)\n"
      "os.write(999, b'after\\n')\n";
  RunOptions options;
  options.preload = false;
  options.env = aws_env();
  // bash: the POSIX shell of some systems cannot redirect descriptors above 9.
  options.argv = {"/bin/bash", "-c",
                  "exec 999>'" + log + "'; LD_PRELOAD='" + library_path() + "' LD_LIBRARY_PATH='" + compat_dir() +
                      "' exec '" + python_path() + "' -c \"$0\"",
                  script};
  RunResult result = run_process(options);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  FILE *file = fopen(log.c_str(), "r");
  ASSERT_NE(file, nullptr);
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  fclose(file);
  auto lines = split_lines(text);
  ASSERT_EQ(lines.size(), 3u) << text;
  EXPECT_EQ(lines[0], "before");
  EXPECT_EQ(alert_records(lines[1]).size(), 1u) << text;
  EXPECT_EQ(lines[2], "after");
}

}  // namespace
