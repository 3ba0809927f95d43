// Sixteen threads making intercepted calls for a fixed time while the main
// thread reconfigures the policy in a loop.
#include <gtest/gtest.h>

#include "stress_support.hpp"

namespace {

constexpr const char *RUN_SECONDS = "6";

TEST(StressThreads, SixteenThreadsUnderReconfigurationLoseNoVerdict) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;
  ASSERT_FALSE(scratch.path.empty());
  // A deadlock shows as a time-out.
  RunResult result = run_probe("stress_threads", {scratch.path, RUN_SECONDS}, stress_env(), true, "", 90000);
  ASSERT_FALSE(result.timed_out) << "no progress: deadlock?\n" << result.out.substr(0, 2000);
  ASSERT_EQ(result.exit_code, 0) << result.err.substr(0, 2000);
  ASSERT_TRUE(contains_line(result.out, "done")) << result.out.substr(0, 2000);

  const long calls = number_after(result.out, "calls");
  const long refusals = number_after(result.out, "tmp_refusals");
  RecordProperty("calls", std::to_string(calls));
  RecordProperty("configurations", value_after(result.out, "configurations"));
  std::printf("16 threads x %s s: %ld intercepted calls, %s configuration calls, rss growth %s kB\n", RUN_SECONDS,
              calls, value_after(result.out, "configurations").c_str(),
              value_after(result.out, "rss_growth_kb").c_str());
  EXPECT_GT(calls, 16 * 100);
  EXPECT_GT(number_after(result.out, "configurations"), 100);
  // /tmp was blocked throughout: not one open got through.
  EXPECT_EQ(value_after(result.out, "escaped"), "0");
  EXPECT_EQ(value_after(result.out, "unexpected"), "0");
  // Memory is flat once every thread has made its first calls.
  EXPECT_LT(number_after(result.out, "rss_growth_kb"), 4096);

  // Every refusal left one well-formed record.
  std::vector<alert_record> records;
  std::string bad;
  ASSERT_TRUE(parse_alert_lines(result.log, &records, &bad)) << bad;
  size_t tmp_blocks = 0;
  for (const auto &record : records) tmp_blocks += record.policy == "read_write_tmp" && record.mode == "block";
  EXPECT_EQ(tmp_blocks, static_cast<size_t>(refusals));
}

}  // namespace
