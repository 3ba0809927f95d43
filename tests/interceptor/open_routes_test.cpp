// Opens judged by what the kernel opens: routes whose text hides that they
// lead into /tmp or to the handler, a link swapped under a repeated open, a
// signal handler's open inside fopen, and failing opens whose errors must be
// the kernel's own (tests/probes/open_routes.c).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "interceptor_test_support.hpp"

namespace {

#if defined(__aarch64__)
// The arm64 suite runs under qemu-user, whose posix_spawn child does not
// share its parent's memory: the parent cannot learn why the child ended.
const std::string SPAWN_CHILD_REFUSAL = "child ended 127";
#else
const std::string SPAWN_CHILD_REFUSAL = "errno 222";
#endif

struct route_run {
  scratch_directory task_root{build_scratch_base()};
  scratch_directory outside{build_scratch_base()};
  scratch_directory tmp;
  RunResult result;

  explicit route_run(bool preload) {
    const std::string handler = task_root.file("handler.py");
    const int fd = creat(handler.c_str(), 0600);
    EXPECT_EQ(write(fd, "HANDLER", 7), 7);
    close(fd);
    close(creat(task_root.file("dep.py").c_str(), 0600));  // the probe ends the start phase with it
    auto env = aws_env();
    env.push_back("LAMBDA_TASK_ROOT=" + task_root.path);
    env.push_back("_HANDLER=handler.main");
    const std::string config =
        configure_action({{"read_handler", "block"}, {"read_write_tmp", "block"}}, "\"runtime\":\"Python\"")
            .substr(10);  // without "configure:"
    RunOptions options;
    options.argv = {probe_path("open_routes"), preload ? config : "", tmp.path, outside.path, handler};
    options.env = env;
    options.preload = preload;
    options.capture_log_fd = true;
    result = run_process(options);
  }
};

TEST(OpenRoutes, HiddenRoutesIntoTmpAreRefusedWithTheKernelsPath) {
  TG_SKIP_IF_SANITIZED();
  route_run run(true);
  ASSERT_EQ(run.result.exit_code, 0) << run.result.out << run.result.err;
  struct row {
    std::string route, outcome, recorded;  // recorded: "" for no record
  } const rows[] = {
      {"/proc/self/cwd/cwd_x", "errno 222", run.tmp.file("cwd_x")},
      {"/proc/self/fd/N/fd_x", "errno 222", run.tmp.file("fd_x")},
      {"/dev/fd/N/devfd_x", "errno 222", run.tmp.file("devfd_x")},
      {"openat(tmp folder, at_x)", "errno 222", run.tmp.file("at_x")},
      {"link outside -> missing file in /tmp", "errno 222", run.tmp.file("linked_x")},
      {"openat(outside, tmp_link/dirlink_x)", "errno 222", run.tmp.file("dirlink_x")},
      {"fopen(link outside/x, w)", "errno 222", run.tmp.file("fopen_x")},
      {"link in /tmp -> missing file outside", "ok", ""},
      {"open(/tmp, O_TMPFILE)", "errno 222", "/tmp/"},
      {"open(/tmp, O_RDONLY)", "ok", ""},
      {"open(tmp/../tmp/dotdot_x)", "errno 222", run.tmp.file("dotdot_x")},
      {"open(tmp/missing/../dotdot_x)", "errno 222", run.tmp.file("dotdot_x")},
      {"fopen(tmp/../tmp/dotdot_x, r)", "errno 222", run.tmp.file("dotdot_x")},
      {"open(dotdot_x) in tmp", "errno 222", run.tmp.file("dotdot_x")},
      {"open(missing_r) in tmp", "errno 222", run.tmp.file("missing_r")},
      {"__open_nocancel(tmp/nocancel_x)", "errno 222", run.tmp.file("nocancel_x")},
      {"posix_spawn open action on tmp/spawn_x", SPAWN_CHILD_REFUSAL, run.tmp.file("spawn_x")},
      {"mkdirat(tmp folder, made_x)", "errno 222", run.tmp.file("made_x")},
      {"open in a signal handler during fopen", "errno 222", run.tmp.file("signal_x")},
      {"fopen of the pipe", "ok", ""},
  };
  std::vector<std::string> expected_paths;
  for (const auto &r : rows) {
    EXPECT_TRUE(contains_line(run.result.out, r.route + " -> " + r.outcome)) << r.route << "\n" << run.result.out;
    if (!r.recorded.empty()) expected_paths.push_back(r.recorded);
  }
  std::vector<std::string> tmp_paths;
  size_t handler_records = 0;
  for (const auto &alert : alert_records(run.result.log)) {
    if (alert.policy == "read_write_tmp") tmp_paths.push_back(alert.path);
    if (alert.policy == "read_handler") {
      EXPECT_EQ(alert.path, run.task_root.file("handler.py"));
      ++handler_records;
    }
  }
  EXPECT_EQ(tmp_paths, expected_paths);
  // Nothing was made in /tmp.
  EXPECT_NE(access(run.tmp.file("cwd_x").c_str(), F_OK), 0);
  EXPECT_NE(access(run.tmp.file("linked_x").c_str(), F_OK), 0);
  // The swapped link: every open that reached the handler was refused.
  EXPECT_TRUE(contains_line(run.result.out, "swap race handler reads 0")) << run.result.out;
  EXPECT_TRUE(contains_line(run.result.out, "swap race both seen yes")) << run.result.out;
  EXPECT_GT(handler_records, 0u);
}

TEST(OpenRoutes, PythonDirFdOpensAreJudgedFromTheFolder) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  TG_SKIP_IF_SANITIZED();
  if (python_path().empty()) GTEST_SKIP() << "no python3 on this machine";
  scratch_directory tmp;
  RunOptions options;
  options.argv = {python_path(), "-c",
                  "import ctypes, os, sys\n"
                  "ctypes.CDLL(None).tesselguard_configure(b'{\"disable_analytics\":true,"
                  "\"policy\":{\"read_write_tmp\":\"block\"}}')\n"
                  "folder = os.open('/tmp', os.O_RDONLY)\n"
                  "try:\n"
                  "    os.open(sys.argv[1] + '/x', os.O_WRONLY | os.O_CREAT, dir_fd=folder)\n"
                  "    print('ok')\n"
                  "except OSError as error:\n"
                  "    print('errno', error.errno)\n",
                  tmp.path.substr(5)};  // relative to /tmp
  options.env = aws_env();
  options.capture_log_fd = true;
  RunResult result = run_process(options);
  EXPECT_EQ(result.out, "errno 222\n") << result.err;
  auto alerts = alert_records(result.log);
  ASSERT_EQ(alerts.size(), 1u) << result.log;
  EXPECT_EQ(alerts[0].path, tmp.file("x"));
}

constexpr int DEEP_LEVELS = 45;

// The folders of 100 "a" below `base` made by the test, and a file "x" at
// the bottom, removed from the bottom up (their paths are too long to name).
void remove_deep_folder(const std::string &base) {
  const std::string level(100, 'a');
  std::vector<int> folders{open(base.c_str(), O_PATH)};
  while (folders.size() <= DEEP_LEVELS && folders.back() >= 0)
    folders.push_back(openat(folders.back(), level.c_str(), O_PATH));
  if (folders.back() >= 0) unlinkat(folders.back(), "x", 0);
  for (size_t i = folders.size() - 1; i > 0; --i) {
    close(folders[i]);
    unlinkat(folders[i - 1], level.c_str(), AT_REMOVEDIR);
  }
  close(folders[0]);
}

// What the review tried as an unprivileged user, in Python: plain code
// (posix_spawn's file actions, names made in /tmp, a folder deeper than a
// page) and single C-library calls through ctypes (the C library's own open,
// utmp). Every attempt under /tmp, on the handler or on the state file is
// refused with one record; nothing is made.
TEST(OpenRoutes, PythonAsAnUnprivilegedUserIsRefusedTheCLibrarysOwnOpensAndNewNames) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  TG_SKIP_IF_SANITIZED();
  if (python_path().empty()) GTEST_SKIP() << "no python3 on this machine";
  scratch_directory task_root(build_scratch_base());
  scratch_directory outside(build_scratch_base());
  scratch_directory tmp;
  const std::string handler = task_root.file("handler.py");
  close(creat(handler.c_str(), 0644));
  close(creat(task_root.file("dep.py").c_str(), 0644));
  const std::string existing = tmp.file("existing");
  close(creat(existing.c_str(), 0666));
  // A folder deeper than a page, under /tmp (made here: mkdir is judged) and
  // outside it (made by the function).
  const std::string level(100, 'a');
  std::string deep = tmp.path;
  for (int i = 0, folder = open(tmp.path.c_str(), O_PATH); i < DEEP_LEVELS; ++i) {
    deep += "/" + level;
    EXPECT_EQ(syscall(SYS_mkdirat, folder, level.c_str(), 0755), 0);
    const int next = openat(folder, level.c_str(), O_PATH);
    close(folder);
    folder = next;
  }
  for (const auto &folder : {tmp.path, outside.path, existing}) chmod(folder.c_str(), 0777);
  chmod(task_root.path.c_str(), 0755);
  ASSERT_EQ(symlink(tmp.path.c_str(), outside.file("tmp_link").c_str()), 0);
  auto env = aws_env();
  env.push_back("LAMBDA_TASK_ROOT=" + task_root.path);
  env.push_back("_HANDLER=handler.main");
  RunOptions options;
  options.argv = {
      python_path(), "-c",
      "import ctypes, os, socket, sys\n"
      "libc = ctypes.CDLL(None, use_errno=True)\n"
      "libc.tesselguard_configure(sys.argv[1].encode())\n"
      "tmp, outside, handler, existing = sys.argv[2:6]\n"
      // The runtime's load of the handler, then the next code file: the start phase is over.
      "open(handler).close()\n"
      "open(os.path.join(os.path.dirname(handler), 'dep.py')).close()\n"
      "state = os.environ['TESSELGUARD_STATE_PATH'].encode()\n"
      "def c_call(call):\n"
      "    ctypes.set_errno(0)\n"
      "    result = call()\n"
      "    if result in (-1, None): raise OSError(ctypes.get_errno(), 'refused')\n"
      "def appended(path):\n"
      "    ctypes.set_errno(0)\n"
      "    libc.updwtmp(path.encode(), entry)\n"
      "    if os.path.getsize(path) == 0: raise OSError(ctypes.get_errno(), 'nothing appended')\n"
      "def chdir_deep(base):\n"
      "    os.chdir(base)\n"
      "    for _ in range(" + std::to_string(DEEP_LEVELS) + "):\n"
      "        if not os.path.isdir('a' * 100): os.mkdir('a' * 100)\n"
      "        os.chdir('a' * 100)\n"
      "def deep_open(base, flags):\n"
      "    chdir_deep(base)\n"
      "    os.close(os.open('x', flags, 0o600))\n"
      "entry = ctypes.create_string_buffer(400)\n"
      "entry[0] = 1  # RUN_LVL\n"
      "libc.pututline.restype = libc.getutent.restype = ctypes.c_void_p\n"
      "rows = [\n"
      "  ('posix_spawn open action', lambda: os.waitpid(os.posix_spawn('/bin/true', ['true'], {},\n"
      "      file_actions=[(os.POSIX_SPAWN_OPEN, 1, tmp + '/spawned', os.O_WRONLY | os.O_CREAT, 0o600)]), 0)),\n"
      "  ('__open64_nocancel(state, O_RDWR)', lambda: c_call(lambda: libc.__open64_nocancel(state, os.O_RDWR))),\n"
      "  ('__open_nocancel(tmp/x, O_CREAT)', lambda: c_call(lambda: libc.__open_nocancel((tmp + '/nocancel').encode(),\n"
      "      os.O_RDWR | os.O_CREAT, 0o600))),\n"
      "  ('utmpname(state)+pututline', lambda: (libc.utmpname(state), c_call(lambda: libc.pututline(entry)))),\n"
      "  ('utmpname(handler)+getutent', lambda: (libc.endutent(), libc.utmpname(handler.encode()),\n"
      "      c_call(libc.getutent))),\n"
      "  ('updwtmp(tmp file)', lambda: appended(existing)),\n"
      "  ('mkdir', lambda: os.mkdir(tmp + '/made_folder')),\n"
      "  ('mkdir through a link, name/', lambda: os.mkdir(outside + '/tmp_link/made_slash/')),\n"
      "  ('symlink', lambda: os.symlink('/etc/passwd', tmp + '/made_symlink')),\n"
      "  ('link', lambda: os.link(existing, tmp + '/made_link')),\n"
      "  ('mkfifo', lambda: os.mkfifo(tmp + '/made_fifo')),\n"
      "  ('mknod', lambda: os.mknod(tmp + '/made_node')),\n"
      "  ('bind', lambda: socket.socket(socket.AF_UNIX).bind(tmp + '/made_socket')),\n"
      "  ('rename into tmp', lambda: os.rename(existing, tmp + '/made_rename')),\n"
      "  ('relative open in a deep folder outside tmp', lambda: deep_open(outside, os.O_RDWR | os.O_CREAT)),\n"
      "  ('relative open in a deep folder under tmp', lambda: deep_open(tmp, os.O_RDONLY)),\n"
      "]\n"
      "for route, attempt in rows:\n"
      "    try:\n"
      "        attempt()\n"
      "        print(route, '-> ok')\n"
      "    except OSError as error:\n"
      "        print(route, '-> errno', error.errno)\n"
      "    sys.stdout.flush()\n",
      configure_action({{"read_handler", "block"}, {"read_write_tmp", "block"}, {"create_child_process", "block"}},
                       "\"runtime\":\"Python\"")
          .substr(10),
      tmp.path, outside.path, handler, existing};
  options.env = env;
  options.capture_log_fd = true;
  options.before_exec = []() -> std::string {
    return setgid(65534) == 0 && setuid(65534) == 0 ? "" : "cannot become an unprivileged user";
  };
  RunResult result = run_process(options);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  struct row {
    std::string route, outcome, recorded;  // recorded: "policy path", "" for none
  } const rows[] = {
      {"posix_spawn open action", "errno 222", "read_write_tmp " + tmp.file("spawned")},
      {"__open64_nocancel(state, O_RDWR)", "errno 222", "read_write_tmp state"},
      {"__open_nocancel(tmp/x, O_CREAT)", "errno 222", "read_write_tmp " + tmp.file("nocancel")},
      {"utmpname(state)+pututline", "errno 222", "read_write_tmp state"},
      {"utmpname(handler)+getutent", "errno 222", "read_handler " + handler},
      {"updwtmp(tmp file)", "errno 222", "read_write_tmp " + existing},
      {"mkdir", "errno 222", "read_write_tmp " + tmp.file("made_folder")},
      {"mkdir through a link, name/", "errno 222", "read_write_tmp " + tmp.file("made_slash")},
      {"symlink", "errno 222", "read_write_tmp " + tmp.file("made_symlink")},
      {"link", "errno 222", "read_write_tmp " + tmp.file("made_link")},
      {"mkfifo", "errno 222", "read_write_tmp " + tmp.file("made_fifo")},
      {"mknod", "errno 222", "read_write_tmp " + tmp.file("made_node")},
      {"bind", "errno 222", "read_write_tmp " + tmp.file("made_socket")},
      {"rename into tmp", "errno 222", "read_write_tmp " + tmp.file("made_rename")},
      {"relative open in a deep folder outside tmp", "ok", ""},
      {"relative open in a deep folder under tmp", "errno 222", "read_write_tmp " + deep + "/x"},
  };
  std::vector<std::string> expected, recorded;
  for (const auto &r : rows) {
    EXPECT_TRUE(contains_line(result.out, r.route + " -> " + r.outcome)) << r.route << "\n" << result.out;
    if (!r.recorded.empty()) expected.push_back(r.recorded);
  }
  for (const auto &alert : alert_records(result.log))
    recorded.push_back(alert.policy + " " + (alert.path.find("tesselguard_state_") != std::string::npos ? "state" : alert.path));
  EXPECT_EQ(recorded, expected);
  // Nothing was made in /tmp, and the file appended to is as it was.
  for (const char *name : {"spawned", "nocancel", "made_folder", "made_slash", "made_symlink", "made_fifo", "made_socket"})
    EXPECT_NE(access(tmp.file(name).c_str(), F_OK), 0) << name;
  struct stat info{};
  EXPECT_EQ(stat(existing.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
  remove_deep_folder(tmp.path);
  remove_deep_folder(outside.path);
}

TEST(OpenRoutes, FailingOpensReportTheKernelsOwnErrors) {
  TG_SKIP_IF_SANITIZED();
  route_run bare(false);
  route_run watched(true);
  ASSERT_EQ(bare.result.exit_code, 0) << bare.result.err;
  ASSERT_EQ(watched.result.exit_code, 0) << watched.result.err;
  std::vector<std::string> bare_lines, watched_lines;
  for (const auto &line : split_lines(bare.result.out))
    if (line.rfind("parity ", 0) == 0) bare_lines.push_back(line);
  for (const auto &line : split_lines(watched.result.out))
    if (line.rfind("parity ", 0) == 0) watched_lines.push_back(line);
  EXPECT_EQ(bare_lines.size(), 17u) << bare.result.out;
  EXPECT_EQ(watched_lines, bare_lines);
}

}  // namespace
