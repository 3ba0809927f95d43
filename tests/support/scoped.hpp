// Changes to the test process that undo themselves: an environment
// variable, standard output set aside, a state record of the test's own.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "core/core.hpp"

// Sets (or, with null, unsets) one variable and restores it on exit.
class scoped_env {
 public:
  scoped_env(const char *name, const char *value) : name_(name) {
    if (const char *old = getenv(name)) old_ = std::string(old);
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~scoped_env() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  scoped_env(const scoped_env &) = delete;
  scoped_env &operator=(const scoped_env &) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Collects what is written to descriptor 1 (printf, puts) while it lives.
// An anonymous memory file: no size limit, and nothing left in /tmp.
class stdout_capture {
 public:
  stdout_capture() {
    fflush(stdout);
    saved_ = dup(1);
    file_ = memfd_create("test_stdout", 0);
    dup2(file_, 1);
  }
  ~stdout_capture() { finish(); }
  // Puts descriptor 1 back and returns everything written meanwhile.
  std::string finish() {
    if (saved_ < 0) return text_;
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    char buffer[4096];
    ssize_t n;
    lseek(file_, 0, SEEK_SET);
    while ((n = read(file_, buffer, sizeof buffer)) > 0) text_.append(buffer, static_cast<size_t>(n));
    close(file_);
    return text_;
  }
  stdout_capture(const stdout_capture &) = delete;
  stdout_capture &operator=(const stdout_capture &) = delete;

 private:
  int saved_ = -1;
  int file_ = -1;
  std::string text_;
};

// Points state_map at a writable record of the test's own and restores the
// previous one afterwards. Analytics starts disabled: no libssl is loaded
// in the test process, so an analytics draw must not fire here.
struct scoped_state {
  state_record record{};
  state_record *saved_map = state_map;
  bool saved_writable = state_writable;
  // The platform facts as start-up would capture them from the test's
  // environment, but for the provider given.
  explicit scoped_state(int32_t provider = PROVIDER_AWS) {
    capture_platform_facts(&record);
    record.provider = provider;
    record.disable_analytics = 1;
    state_map = &record;
    state_writable = true;
  }
  ~scoped_state() {
    state_map = saved_map;
    state_writable = saved_writable;
  }
  scoped_state(const scoped_state &) = delete;
  scoped_state &operator=(const scoped_state &) = delete;
};

// Google's current generation in the environment, K_SERVICE and
// FUNCTION_TARGET: a scoped_state made while it lives records it.
struct scoped_current_generation {
  scoped_env first_generation{"X_GOOGLE_FUNCTION_NAME", nullptr};
  scoped_env service{"K_SERVICE", "function"};
  scoped_env target{"FUNCTION_TARGET", "entry"};
};

// Makes `path` the state file that start-up would have found (device and
// inode 0: known by its path only); restores the previous identity after.
struct scoped_state_identity {
  state_file_identity saved = state_identity;
  explicit scoped_state_identity(const char *path) {
    state_identity = {};
    if (path) snprintf(state_identity.path, sizeof state_identity.path, "%s", path);
  }
  ~scoped_state_identity() { state_identity = saved; }
  scoped_state_identity(const scoped_state_identity &) = delete;
  scoped_state_identity &operator=(const scoped_state_identity &) = delete;
};

// Fills a fixed-size text field of the record, always terminated.
template <size_t N>
void set_text(char (&field)[N], const char *text) {
  memset(field, 0, N);
  strncpy(field, text, N - 1);
}
