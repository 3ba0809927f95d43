// File opens in a process with the library preloaded: every call goes
// through the patched C-library functions and the real policy.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "interceptor_test_support.hpp"

namespace {

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void touch(const std::string &path) {
  int fd = creat(path.c_str(), 0600);
  ASSERT_GE(fd, 0) << path;
  close(fd);
}

TEST(FileProcess, OpensUnderTmpInEachModeAndFopenIsJudgedOnce) {
  TG_SKIP_IF_SANITIZED();
  struct row {
    const char *mode;
    const char *result;  // of every call
    size_t alerts;
    bool created;
  } const rows[] = {
      {"allow", "ok", 0, true},
      {"alert", "ok", 4, true},
      {"block", "errno 222", 4, false},
  };
  for (const auto &r : rows) {
    scratch_directory scratch;
    touch(scratch.file("existing"));
    const std::vector<std::string> calls = {"open:" + scratch.file("a"), "fopen:" + scratch.file("b"),
                                            "creat:" + scratch.file("c"), "openr:" + scratch.file("existing")};
    std::vector<std::string> actions = {configure_action({{"read_write_tmp", r.mode}})};
    actions.insert(actions.end(), calls.begin(), calls.end());
    RunResult result = run_actions(aws_env(), actions);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    for (const auto &call : calls) EXPECT_TRUE(contains_line(result.out, call + " -> " + r.result)) << r.mode << "\n" << result.out;
    for (const char *name : {"a", "b", "c"}) EXPECT_EQ(exists(scratch.file(name)), r.created) << r.mode << " " << name;
    auto alerts = alert_records(result.log);
    ASSERT_EQ(alerts.size(), r.alerts) << r.mode << "\n" << result.log;
    for (size_t i = 0; i < alerts.size(); ++i) {
      EXPECT_EQ(alerts[i].policy, "read_write_tmp");
      EXPECT_EQ(alerts[i].mode, r.mode);
      EXPECT_EQ(alerts[i].path, calls[i].substr(calls[i].find(':') + 1));
    }
  }
}

TEST(FileProcess, EventPathsAreAbsoluteForRelativeDotDotAndLinkedPaths) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;                          // under /tmp
  scratch_directory outside(build_scratch_base());    // not under /tmp
  touch(scratch.file("target"));
  touch(outside.file("plain"));
  // Made here: making a name in /tmp is judged itself.
  ASSERT_EQ(symlink(scratch.file("target").c_str(), outside.file("in_link").c_str()), 0);
  ASSERT_EQ(symlink(outside.file("plain").c_str(), scratch.file("out_link").c_str()), 0);
  RunResult result = run_actions(
      aws_env(), {configure_action({{"read_write_tmp", "alert"}}), "chdir:" + scratch.path, "creat:out.txt",
                  "open:" + scratch.file("missing/../dotdot"), "openr:" + outside.file("in_link"),
                  "openr:" + scratch.file("out_link")});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(contains_line(result.out, "creat:out.txt -> ok")) << result.out;
  // The kernel refuses the missing directory; the event was made textually.
  EXPECT_TRUE(has_lines(result.out, {"open:" + scratch.file("missing/../dotdot") + " -> errno 2",
                                     "openr:" + scratch.file("out_link") + " -> ok"}));
  auto alerts = alert_records(result.log);
  ASSERT_EQ(alerts.size(), 3u) << result.log;
  EXPECT_EQ(alerts[0].path, scratch.file("out.txt"));
  EXPECT_EQ(alerts[1].path, scratch.file("dotdot"));
  // A link outside /tmp to a file in /tmp is judged by its target; a link in
  // /tmp to a file elsewhere is not under the rule at all.
  EXPECT_EQ(alerts[2].path, scratch.file("target"));
}

TEST(FileProcess, HandlerReachedThroughALinkIsRefusedAndTimeZoneFilesStayOpen) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory task_root(build_scratch_base());
  scratch_directory scratch;
  touch(task_root.file("handler.py"));
  auto env = aws_env();
  env.push_back("LAMBDA_TASK_ROOT=" + task_root.path);
  env.push_back("_HANDLER=handler.main");
  ASSERT_EQ(symlink(task_root.file("handler.py").c_str(), scratch.file("link").c_str()), 0);
  RunResult result = run_actions(
      env, {configure_action({{"read_handler", "block"}, {"read_write_tmp", "block"}}, "\"runtime\":\"Python\""),
            "fork", "openr:" + scratch.file("link"),
            "fopenr:/etc/localtime", "fopenr:/usr/share/zoneinfo/UTC", "fopenr:/etc/../etc/localtime"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(has_lines(result.out, {"openr:" + scratch.file("link") + " -> errno 222", "fopenr:/etc/localtime -> ok",
                                     "fopenr:/usr/share/zoneinfo/UTC -> ok", "fopenr:/etc/../etc/localtime -> ok"}));
  auto alerts = alert_records(result.log);
  ASSERT_EQ(alerts.size(), 1u) << result.log;
  EXPECT_EQ(alerts[0].policy, "read_handler");
  EXPECT_EQ(alerts[0].path, task_root.file("handler.py"));
}

TEST(FileProcess, StateFileIsRefusedEvenWhenTmpIsAllowed) {
  TG_SKIP_IF_SANITIZED();
  for (const auto &env : {aws_env(), google_env()}) {
    RunResult result = run_actions(env, {"statefile"});
    EXPECT_TRUE(contains_line(result.out, "statefile -> errno 222")) << result.out << result.err;
  }
}

TEST(FileProcess, TimeZoneLoadedAfterStartDoesNotHangAlerts) {
  TG_SKIP_IF_SANITIZED();
  if (access("/usr/share/zoneinfo/Europe/Berlin", R_OK) != 0) GTEST_SKIP() << "tzdata is not installed";
  scratch_directory scratch;
  RunResult result = run_probe("intercept_actions",
                               {configure_action({{"read_write_tmp", "alert"}}), "tz:Europe/Berlin",
                                "open:" + scratch.file("x"), "tz:America/New_York", "fopen:" + scratch.file("y")},
                               aws_env(), true, "", 20000);
  ASSERT_FALSE(result.timed_out) << result.out;
  EXPECT_TRUE(has_lines(result.out, {"tz:Europe/Berlin -> ok", "open:" + scratch.file("x") + " -> ok",
                                     "fopen:" + scratch.file("y") + " -> ok"}));
  EXPECT_EQ(alert_records(result.log).size(), 2u) << result.log;
}

TEST(FileProcess, NullPathsReachTheCLibraryUnjudged) {
  TG_SKIP_IF_SANITIZED();
  RunResult result = run_actions(google_env(), {configure_action({{"read_write_tmp", "block"}}), "nullpaths"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(has_lines(result.out, {"nullpaths open -> -1 errno 14", "nullpaths fopen -> null errno 14",
                                     "nullpaths creat -> -1 errno 14"}));
}

}  // namespace
