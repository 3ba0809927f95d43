// Opens judged by what the kernel opens: routes whose text hides that they
// lead into /tmp or to the handler, a link swapped under a repeated open, a
// signal handler's open inside fopen, and failing opens whose errors must be
// the kernel's own (tests/probes/open_routes.c).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "interceptor_test_support.hpp"

namespace {

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
