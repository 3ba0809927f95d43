// Helpers of the stress, fault and coverage tests.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <thread>
#include <vector>

#include "alert_records.hpp"
#include "core/core.hpp"
#include "interceptor/interceptor.hpp"
#include "process_runner.hpp"
#include "scoped.hpp"
#include "scratch_directory.hpp"

// True when the text is well-formed UTF-8.
bool is_utf8(const std::string &text);

// AWS environment for a probe that configures the policy itself.
std::vector<std::string> stress_env();

// Runs `command` through /bin/sh inside a private mount namespace, with the
// environment `env`, on a fresh /tmp mounted with `tmp_options` (read-only
// with `read_only`) where the checkout stays reachable (mount_fresh_tmp).
// The library is not preloaded into the shell: the command adds LD_PRELOAD
// where it wants it ($TG_LIBRARY). False when this machine cannot make a
// mount namespace.
bool mount_namespace_available();
RunResult run_on_fresh_tmp(const std::string &tmp_options, bool read_only, const std::string &command,
                           std::vector<std::string> env, int timeout_ms = 60000);

// In-process cases: a private AWS state record, the policy callback, a
// name-table lock and a drained pipe on descriptor 999 (its text in
// log_text_ after TearDown's first step, see alert_log()); everything is put
// back afterwards.
class PrivateStateTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Closes descriptor 999 and returns everything written to it.
  std::string alert_log();

  scoped_state state_;
  state_record &record_ = state_.record;

 private:
  std::string log_text_;
  bool log_closed_ = false;
  verdict_callback saved_callback_ = nullptr;
  pthread_rwlock_t *saved_lock_ = nullptr;
  pthread_rwlock_t lock_;
  int log_[2] = {-1, -1};
  int saved_999_ = -1;
  std::thread reader_;
};
