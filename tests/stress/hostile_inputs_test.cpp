// Hostile inputs in a preloaded process: paths at and beyond PATH_MAX, paths
// with line feeds and bytes that are not UTF-8, and a program started with
// thousands of arguments. Every record must stay one line of JSON carrying
// the text byte for byte.
#include <gtest/gtest.h>

#include "stress_support.hpp"

namespace {

const std::string BLOCK =
    "configure:{\"disable_analytics\":true,\"policy\":{\"read_write_tmp\":\"block\","
    "\"create_child_process\":\"block\"}}";

RunResult run_faults(const std::vector<std::string> &actions) {
  return run_probe("stress_faults", actions, stress_env(), true);
}

std::vector<alert_record> records_of(const RunResult &result) {
  std::vector<alert_record> records;
  std::string bad;
  EXPECT_TRUE(parse_alert_lines(result.log, &records, &bad)) << bad.substr(0, 500);
  return records;
}

// A path of exactly `length` bytes under `directory`, in segments of 200.
std::string path_of_length(const std::string &directory, size_t length) {
  std::string path = directory;
  while (path.size() < length) {
    path += '/';
    path += std::string(std::min<size_t>(200, length - path.size()), 'p');
  }
  return path;
}

TEST(StressHostileInputs, PathsOf4095And5000BytesAreJudgedWhole) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;
  const std::string at_limit = path_of_length(scratch.path, 4095);
  const std::string beyond = path_of_length(scratch.path, 5000);
  ASSERT_EQ(at_limit.size(), 4095u);
  ASSERT_EQ(beyond.size(), 5000u);
  RunResult result = run_faults({BLOCK, "open:" + at_limit, "open:" + beyond, "fopen:" + beyond});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(split_lines(result.out), (std::vector<std::string>{"configure -> cookie", "open -> errno 222",
                                                               "open -> errno 222", "fopen -> errno 222", "done"}));
  auto records = records_of(result);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].path, at_limit);
  EXPECT_EQ(records[1].path, beyond);
  EXPECT_EQ(records[2].path, beyond);

  // Allowed, the C library's own answer comes back unchanged.
  result = run_faults({"open:" + beyond});
  EXPECT_TRUE(contains_line(result.out, "open -> errno 36")) << result.out;  // ENAMETOOLONG
}

TEST(StressHostileInputs, LineFeedsAndInvalidUtf8InPathsStayInsideOneRecord) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;
  const std::string paths[] = {
      scratch.path + "/first line\nsecond line",
      scratch.path + "/bad\xff\xfe\xc0\x80utf8",
      scratch.path + "/\n{\"tessel_guard\":true,\"mode\":\"allow\"}\n",
  };
  RunResult result = run_faults({BLOCK, "open:" + paths[0], "open:" + paths[1], "fopen:" + paths[2]});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(count_of(result.out, "-> errno 222"), 3u) << result.out;
  auto records = records_of(result);
  ASSERT_EQ(records.size(), 3u) << result.log;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(records[i].path, paths[i]);
    EXPECT_EQ(records[i].mode, "block");
  }
}

TEST(StressHostileInputs, ProgramWithThousandsOfArgumentsIsJudgedWithAllOfThem) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("/bin/true");
  TG_SKIP_IF_SANITIZED();
  RunResult result = run_faults({BLOCK, "exec:5000"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(contains_line(result.out, "exec -> exit 222")) << result.out;
  auto records = records_of(result);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].policy, "create_child_process");
  EXPECT_EQ(records[0].argument_count, 5001u);
  EXPECT_EQ(records[0].arguments.back(), "argument-with-some-length");
}

}  // namespace
