// Starts a program with the library preloaded and an exact environment, and
// collects its exit status and output.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "program_architecture.hpp"

struct RunOptions {
  std::vector<std::string> argv;
  // The exact environment of the child. With `preload`, LD_PRELOAD (the built
  // library) and LD_LIBRARY_PATH (the libssl compatibility library) are
  // added unless already present.
  std::vector<std::string> env;
  bool preload = true;
  std::string stdin_text;
  std::string cwd;
  int timeout_ms = 30000;
  // Give the child its own descriptor 999 (a pipe read into RunResult::log)
  // before it starts, so alert records arrive apart from standard output.
  bool capture_log_fd = false;
  // Runs in the child once its descriptors are in place, before the exec
  // (to enter a namespace, say): "" to go on, else what failed, which the
  // child prints on its standard error before it ends with status 125.
  std::function<std::string()> before_exec;
};

// A before_exec that drops a root test to uid and gid 65534, as a function
// runs on Lambda; does nothing when the test is not root.
std::string become_unprivileged();

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;
  bool timed_out = false;
  std::string out;
  std::string err;
  std::string log;  // what the child wrote to descriptor 999, with capture_log_fd
};

RunResult run_process(const RunOptions &options);
// A before_exec step: the child drops to the unprivileged user and group
// 65534, as functions run on the platforms. "" when done.
std::string become_unprivileged_user();

// Path of a probe program built from tests/probes/<name>.c
std::string probe_path(const std::string &name);
// Runs that probe under the library with `args` and the environment `env`.
RunResult run_probe(const std::string &name, const std::vector<std::string> &args, std::vector<std::string> env,
                    bool capture_log_fd = false, const std::string &stdin_text = "", int timeout_ms = 60000);
std::string library_path();
// realpath of `path`, or `path` itself when it does not resolve.
std::string real_path_of(const std::string &path);
std::string compat_dir();

// Typical environments: PATH plus the platform's marker variables.
std::vector<std::string> aws_env(const std::string &execution_env = "AWS_Lambda_python3.7");
std::vector<std::string> google_env(const std::string &function_name = "test-function");

// State files (/tmp/tesselguard_state_*) currently present: this test
// program's own when its /tmp is private (test_main.cpp).
std::vector<std::string> list_state_files();

// Lines of a text, without their line ends.
std::vector<std::string> split_lines(const std::string &text);
bool contains_line(const std::string &text, const std::string &line);
// The value printed by a probe on the line "KEY VALUE"; "<missing>" if none.
std::string value_after(const std::string &out, const std::string &key);
// The same as a number; -1 when missing or not a number.
long number_after(const std::string &out, const std::string &key);
size_t count_of(const std::string &text, const std::string &needle);
// Each of `lines` stands as a whole line of `text`; a failure names the
// missing ones and shows the text.
::testing::AssertionResult has_lines(const std::string &text, const std::vector<std::string> &lines);

// Tests that preload the library into other programs cannot run in the
// sanitizer build (the sanitizer runtime must be loaded first).
#ifdef TG_SANITIZED_BUILD
#define TG_SKIP_IF_SANITIZED() GTEST_SKIP() << "preloading is not supported in the sanitizer build"
#else
#define TG_SKIP_IF_SANITIZED() (void)0
#endif
