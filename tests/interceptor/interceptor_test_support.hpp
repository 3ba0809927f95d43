// Helpers shared by the interception unit tests.
#pragma once

#include <string>
#include <vector>

#include "alert_records.hpp"
#include "process_runner.hpp"
#include "scratch_directory.hpp"

// Frees the record that load_interceptor_config made and clears the pointer.
void release_interceptor_config();

// Stands in for the policy: records every event text and answers `verdict`.
struct recorded_event {
  std::string name;
  std::string path;  // "path" of the args, when present
  std::string text;
};
struct recording_callback {
  recording_callback(int verdict);
  ~recording_callback();
  std::vector<recorded_event> events() const;
};

// Runs the action probe (tests/probes/intercept_actions.c) with `actions`.
RunResult run_actions(std::vector<std::string> env, const std::vector<std::string> &actions,
                      bool capture_log_fd = true, const std::string &stdin_text = "");

// A configure action that sets the given rules, e.g. {"read_write_tmp", "block"}.
std::string configure_action(const std::vector<std::pair<std::string, std::string>> &rules,
                             const std::string &extra_members = "");

// The system's Python 3 (the distribution's, not a per-user shim).
std::string python_path();
