// Helpers shared by the interception unit tests.
#pragma once

#include <string>
#include <vector>

// Frees the record that load_interceptor_config made and clears the pointer.
void release_interceptor_config();

// A fresh directory under /tmp, removed with everything in it when the
// object goes away.
struct scratch_directory {
  std::string path;
  explicit scratch_directory(const std::string &base = "/tmp");
  ~scratch_directory();
  std::string file(const std::string &name) const { return path + "/" + name; }
};

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

// ---- process-level helpers ----------------------------------------------
#include "process_runner.hpp"

// One alert record found in a log text.
struct alert_record {
  std::string policy;
  std::string mode;
  std::string path;
  std::string ip;
  std::string host;
  std::vector<std::string> arguments;
};
// Every line of `text` that is an alert record, in order.
std::vector<alert_record> alert_records(const std::string &text);

// Runs the action probe (tests/probes/intercept_actions.c) with `actions`.
RunResult run_actions(std::vector<std::string> env, const std::vector<std::string> &actions,
                      bool capture_log_fd = true, const std::string &stdin_text = "");

// A configure action that sets the given rules, e.g. {"read_write_tmp", "block"}.
std::string configure_action(const std::vector<std::pair<std::string, std::string>> &rules,
                             const std::string &extra_members = "");

// A scratch directory outside /tmp, under the build directory.
std::string build_scratch_base();

// The system's Python 3 (the distribution's, not a per-user shim).
std::string python_path();
