// A chain and a fan-out of a few hundred programs, started through execve,
// posix_spawn, fork+execve and vfork+execve, half of them by a caller that
// drops LD_PRELOAD from the environment it passes. Every program judges its
// own start against the shared state file.
#include <gtest/gtest.h>

#include "stress_support.hpp"

namespace {

RunResult run_tree(const std::string &mode, int chain, int fan) {
  return run_probe("stress_tree", {"root", mode, std::to_string(chain), std::to_string(fan)}, stress_env(), true, "",
                   180000);
}

size_t child_process_records(const std::string &log, const std::string &mode) {
  std::vector<alert_record> records;
  std::string bad;
  EXPECT_TRUE(parse_alert_lines(log, &records, &bad)) << bad;
  size_t count = 0;
  for (const auto &record : records) count += record.policy == "create_child_process" && record.mode == mode;
  return count;
}

TEST(StressProcessTree, EveryStartInAChainAndAFanOutIsJudgedOnce) {
  TG_SKIP_IF_SANITIZED();
  constexpr int CHAIN = 100, FAN = 200;
  RunResult result = run_tree("alert", CHAIN, FAN);
  ASSERT_FALSE(result.timed_out) << "a start hung";
  ASSERT_EQ(result.exit_code, 0) << result.out.substr(0, 2000) << result.err.substr(0, 2000);
  std::printf("%s programs started (chain %d, fan-out %d) in %s ms\n", value_after(result.out, "started").c_str(),
              CHAIN, FAN, value_after(result.out, "elapsed_ms").c_str());
  EXPECT_EQ(value_after(result.out, "chain_exit"), "0");
  EXPECT_EQ(number_after(result.out, "fan_exit_0"), FAN);
  // Every program ran its main code, and every start left exactly one record.
  EXPECT_EQ(count_of(result.out, "main link "), static_cast<size_t>(CHAIN));
  EXPECT_EQ(count_of(result.out, "main leaf "), static_cast<size_t>(FAN));
  EXPECT_EQ(child_process_records(result.log, "alert"), static_cast<size_t>(CHAIN + FAN));
}

TEST(StressProcessTree, NoStartEscapesABlock) {
  TG_SKIP_IF_SANITIZED();
  constexpr int FAN = 120;
  RunResult result = run_tree("block", 4, FAN);
  ASSERT_FALSE(result.timed_out) << "a start hung";
  ASSERT_EQ(result.exit_code, 0) << result.out.substr(0, 2000) << result.err.substr(0, 2000);
  // The chain stops at its first link; every leaf ends with 222 before its main.
  EXPECT_EQ(value_after(result.out, "chain_exit"), "222");
  EXPECT_EQ(number_after(result.out, "fan_exit_222"), FAN);
  EXPECT_EQ(count_of(result.out, "main "), 0u) << result.out.substr(0, 2000);
  EXPECT_EQ(child_process_records(result.log, "block"), static_cast<size_t>(FAN + 1));
}

}  // namespace
