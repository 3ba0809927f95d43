// Many threads making intercepted calls while the policy changes.
#include <gtest/gtest.h>

#include <string>

#include "interceptor_test_support.hpp"

namespace {

TEST(ThreadProcess, EveryVerdictHoldsWhileThePolicyChanges) {
  TG_SKIP_IF_SANITIZED();
  scratch_directory scratch;
  RunResult result = run_probe("intercept_threads", {scratch.path, "100"}, aws_env(), true, "", 120000);
  ASSERT_FALSE(result.timed_out) << result.out;
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  ASSERT_TRUE(contains_line(result.out, "done")) << result.out;
  EXPECT_EQ(value_after(result.out, "mismatches"), "0");
  EXPECT_EQ(value_after(result.out, "unexpected"), "0");
  // Two block phases of 8 threads x 100 rounds x 2 judged calls, plus the
  // refusals of the flipping phase.
  const long refusals = std::stol(value_after(result.out, "refusals"));
  EXPECT_GE(refusals, 3200);
  EXPECT_EQ(value_after(result.out, "alerted"), "1600");
  // Every refusal and every alerted call left its record in the log. Records
  // are counted, not lines: concurrent deliveries may share a line.
  EXPECT_EQ(count_of(result.log, "\"mode\":\"block\"}"), static_cast<size_t>(refusals));
  EXPECT_EQ(count_of(result.log, "\"mode\":\"alert\"}"), 1600u);
}

}  // namespace
