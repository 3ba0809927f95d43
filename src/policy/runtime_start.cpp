// The programs a runtime's start chain replaces itself with. On AWS the
// bootstrap execs the language interpreter in place; on Google a launcher's
// "#!/usr/bin/env node" makes env the first process, which then execs node.
// Such a start is not a child of the function, but only while the runtime
// starts (the start phase) and only for a program the function cannot have
// made or changed: a copy of `id` named python3 in a folder the function can
// write is judged like any program start, and so is any in-place exec made
// after the start phase. Whatever passes runs under the library, and every
// program it starts is judged as before.
//
// A process running as root passes nothing here: root can make or change
// every file, so no program is beyond its reach. The platforms run functions
// as an unprivileged user; under root, an in-place exec is judged.
#include "policy/exempt_programs.hpp"
#include "policy/policy.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/core.hpp"

namespace {

constexpr std::string_view BOOTSTRAP_PATH = "/var/runtime/bootstrap";

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view last_name(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Interpreters arrive by their canonical path, where a distribution's
// "ruby" may be "ruby3.1" and "python3" is "python3.11".
bool is_interpreter_name(std::string_view name) {
  if (name == "node" || name == "nodejs" || name == "python" || name == "python3" || name == "ruby" ||
      name == "java")
    return true;
  if (name.starts_with("python3.")) return all_digits(name.substr(8));
  if (name.starts_with("ruby")) {
    const std::string_view version = name.substr(4);
    const size_t dot = version.find('.');
    return dot != std::string_view::npos && all_digits(version.substr(0, dot)) && all_digits(version.substr(dot + 1));
  }
  return false;
}

// A command as env is given it: a name looked up on PATH, or a path.
bool names_runtime_program(std::string_view command) {
  return command == BOOTSTRAP_PATH || is_interpreter_name(last_name(command));
}

// The command of an env command line, fed one word at a time: options and
// their arguments (GNU env: -u NAME, -C DIR, -S STRING and their long
// forms), then NAME=VALUE assignments, then the command.
struct env_command_scan {
  bool options_done = false;
  bool skip_next = false;   // the argument of -u / -C
  bool split_next = false;  // the argument of -S: more words
  bool found = false;
  std::string_view command;

  void feed_split(std::string_view text) {
    while (!found && !text.empty()) {
      const size_t start = text.find_first_not_of(" \t");
      if (start == std::string_view::npos) return;
      text = text.substr(start);
      const size_t end = text.find_first_of(" \t");
      feed(text.substr(0, end));
      text = end == std::string_view::npos ? std::string_view() : text.substr(end);
    }
  }

  void feed_short_options(std::string_view cluster) {
    for (size_t i = 0; i < cluster.size(); ++i) {
      const char option = cluster[i];
      const std::string_view rest = cluster.substr(i + 1);
      if (option == 'u' || option == 'C') {
        skip_next = rest.empty();
        return;
      }
      if (option == 'S') {
        if (rest.empty())
          split_next = true;
        else
          feed_split(rest);
        return;
      }
    }
  }

  void feed(std::string_view word) {
    if (found) return;
    if (skip_next) {
      skip_next = false;
      return;
    }
    if (split_next) {
      split_next = false;
      feed_split(word);
      return;
    }
    if (!options_done && word.starts_with("-")) {
      if (word == "-") return;  // an empty environment
      if (word == "--") {
        options_done = true;
      } else if (word.starts_with("--")) {
        if (word == "--unset" || word == "--chdir") skip_next = true;
        if (word == "--split-string") split_next = true;
        if (word.starts_with("--split-string=")) feed_split(word.substr(15));
      } else {
        feed_short_options(word.substr(1));
      }
      return;
    }
    options_done = true;
    if (word.find('=') != std::string_view::npos) return;  // NAME=VALUE
    found = true;
    command = word;
  }
};

bool env_names_runtime(const event_view &event) {
  env_command_scan scan;
  for (int i = 1; i < event.argv_count && !scan.found; ++i) {
    // An item that is not a text cannot be told apart: nothing is exempt.
    if (!event.argv[i]) return false;
    scan.feed(event.argv[i]);
  }
  return scan.found && names_runtime_program(scan.command);
}

}  // namespace

bool is_runtime_start(const event_view &event) {
  const char *path = event.path;
  if (!path) return false;
  if (is_program(path, RUNTIME_BOOTSTRAP) || is_interpreter_name(last_name(path))) return true;
  if (is_program(path, ENV) || is_program(path, USR_BIN_ENV)) return env_names_runtime(event);
  // A bootstrap that is a script runs as its shell, with the script's path
  // as the first argument.
  if (is_program(path, BASH) || is_program(path, SH))
    return event.argv_count >= 2 && event.argv[1] && event.argv[1] == BOOTSTRAP_PATH;
  return false;
}

namespace {

bool owned_by_another_and_closed(const struct stat &info, uid_t uid) {
  return info.st_uid != uid && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool beyond_reach_of(const char *path, uid_t uid) {
  if (!path || path[0] != '/' || uid == 0) return false;
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode) || !owned_by_another_and_closed(info, uid)) return false;
  const char *slash = strrchr(path, '/');
  char folder[PATH_MAX];
  const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
  if (length >= sizeof folder) return false;
  memcpy(folder, path, length);
  folder[length] = '\0';
  return stat(folder, &info) == 0 && S_ISDIR(info.st_mode) && owned_by_another_and_closed(info, uid);
}

bool in_place_start_passes(const event_view &event) {
  if (!in_place_first_process || !start_phase_open() || !is_runtime_start(event)) return false;
  const uid_t uid = geteuid();
  if (!beyond_reach_of(event.path, uid)) return false;
  // A bootstrap script run by its shell: the script is what runs.
  if (!is_program(event.path, RUNTIME_BOOTSTRAP) && !is_interpreter_name(last_name(event.path)) &&
      !is_program(event.path, ENV) && !is_program(event.path, USR_BIN_ENV)) {
    char script[PATH_MAX];
    if (!realpath(BOOTSTRAP_PATH.data(), script)) return false;
    return beyond_reach_of(script, uid);
  }
  return true;
}
