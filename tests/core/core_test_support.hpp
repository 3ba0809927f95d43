// Helpers of the core tests: the core_state probe, its "key=value" lines
// and the state files it leaves.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/core.hpp"
#include "process_runner.hpp"
#include "scoped.hpp"

using values = std::map<std::string, std::string>;

// The "key=value" lines of a probe's output; a later line with the same
// key replaces an earlier one unless `first` is set.
inline std::map<std::string, std::string> probe_values(const std::string &out, bool first = false) {
  std::map<std::string, std::string> values;
  for (const auto &line : split_lines(out)) {
    auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    if (first && values.count(key)) continue;
    values[key] = line.substr(equals + 1);
  }
  return values;
}

// Each key of `expected` is in `values` with that value; a failure names
// every key that differs.
inline ::testing::AssertionResult has_values(const std::map<std::string, std::string> &values,
                                             const std::vector<std::pair<std::string, std::string>> &expected) {
  std::string wrong;
  for (const auto &[key, value] : expected) {
    auto found = values.find(key);
    if (found == values.end())
      wrong += "  " + key + " missing, expected \"" + value + "\"\n";
    else if (found->second != value)
      wrong += "  " + key + "=\"" + found->second + "\", expected \"" + value + "\"\n";
  }
  if (wrong.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\n" << wrong;
}

// The record as stored in a state file, read directly (the test process is
// not under the library).
inline std::optional<state_record> read_state_file(const std::string &path) {
  FILE *file = fopen(path.c_str(), "rb");
  if (!file) return std::nullopt;
  state_record record{};
  size_t n = fread(&record, 1, sizeof record, file);
  fclose(file);
  if (n != sizeof record) return std::nullopt;
  return record;
}

// A state file made by the test itself, holding `record` followed by
// `extra` bytes (or cut short when `extra` is negative). Removed at the end.
class TestStateFile {
 public:
  TestStateFile(const state_record &record, long extra = 0) {
    char name[] = "/tmp/tesselguard_state_XXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    std::string bytes(reinterpret_cast<const char *>(&record), sizeof record);
    if (extra < 0)
      bytes.resize(bytes.size() - static_cast<size_t>(-extra));
    else
      bytes.append(static_cast<size_t>(extra), '\x7f');
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) path_.clear();
    if (fd >= 0) close(fd);
  }
  ~TestStateFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

inline std::vector<std::string> new_state_files(const std::vector<std::string> &before) {
  std::vector<std::string> added;
  for (const auto &file : list_state_files())
    if (std::find(before.begin(), before.end(), file) == before.end()) added.push_back(file);
  return added;
}

struct counted_run {
  RunResult result;
  std::vector<std::string> created;  // state files that appeared meanwhile
};

// Runs `run` and notes the state files that appeared while it ran. Where
// the test program's /tmp is not its own (test_main.cpp), other programs on
// the machine may create state files at the same moment, so a count other
// than `expected` is tried again a few times: a real fault shows on every
// attempt.
template <typename Run>
counted_run run_counting_state_files(size_t expected, Run run) {
  counted_run counted;
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto before = list_state_files();
    counted.result = run();
    counted.created = new_state_files(before);
    if (counted.created.size() == expected) break;
  }
  return counted;
}

inline RunResult run_state_probe(std::vector<std::string> env, std::vector<std::string> commands,
                                 const std::string &stdin_text = "") {
  return run_probe("core_state", commands, std::move(env), false, stdin_text);
}
