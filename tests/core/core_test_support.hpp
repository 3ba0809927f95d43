// Helpers shared by the core tests: environment changes that undo
// themselves, capture of standard output, a fresh in-memory record, and the
// "key=value" lines printed by the core_state probe.
#pragma once

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/core.hpp"
#include "process_runner.hpp"

// Sets or unsets one variable of the test process and restores it on exit.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = getenv(name)) old_ = std::string(old);
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Collects what is written to descriptor 1 (printf, puts) while it lives.
// Uses an anonymous memory file, so nothing is left in /tmp.
class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    saved_ = dup(1);
    file_ = memfd_create("core_stdout", 0);
    dup2(file_, 1);
  }
  ~StdoutCapture() { finish(); }
  std::string text() {
    finish();
    return text_;
  }
  StdoutCapture(const StdoutCapture &) = delete;
  StdoutCapture &operator=(const StdoutCapture &) = delete;

 private:
  void finish() {
    if (saved_ < 0) return;
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    char buffer[4096];
    ssize_t n;
    lseek(file_, 0, SEEK_SET);
    while ((n = read(file_, buffer, sizeof buffer)) > 0) text_.append(buffer, static_cast<size_t>(n));
    close(file_);
  }
  int saved_ = -1;
  int file_ = -1;
  std::string text_;
};

// Points state_map at a record of the test's own, writable, and restores
// the previous pointer afterwards. Analytics starts disabled: no libssl is
// loaded in the test process, so the analytics draw must not fire here.
struct ScopedRecord {
  state_record record{};
  state_record *saved_map = state_map;
  bool saved_writable = state_writable;
  explicit ScopedRecord(int32_t provider = PROVIDER_AWS) {
    record.provider = provider;
    record.disable_analytics = 1;
    state_map = &record;
    state_writable = true;
  }
  ~ScopedRecord() {
    state_map = saved_map;
    state_writable = saved_writable;
  }
  ScopedRecord(const ScopedRecord &) = delete;
  ScopedRecord &operator=(const ScopedRecord &) = delete;
};

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

// Runs `run` and notes the state files that appeared while it ran. Other
// test programs on the machine may create state files at the same moment,
// so a count other than `expected` is tried again a few times: a real fault
// shows on every attempt.
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
  RunOptions options;
  options.argv = {probe_path("core_state")};
  options.argv.insert(options.argv.end(), commands.begin(), commands.end());
  options.env = std::move(env);
  options.stdin_text = stdin_text;
  return run_process(options);
}
