// Programs whose start the platforms' own activity needs, and the in-place
// rule of a runtime's start chain. Private to the policy.
#pragma once

#include <sys/types.h>

#include "policy/policy.hpp"

enum exempt_program : int {
  GETCONF_USR_LOCAL_BIN,
  GETCONF_USR_BIN,
  GETCONF_USR_LOCAL_SBIN,
  GETCONF_USR_SBIN,
  LANG_NODE,
  EXPR,
  LANG_RUBY,
  ENV,
  BASH,
  UNAME,
  SH,
  USR_BIN_ENV,
  RUNTIME_BOOTSTRAP,
  EXEMPT_PROGRAM_COUNT,
};

// True when `path` (a program as a process event names it) is `program`,
// as written or as canonicalised.
bool is_program(const char *path, exempt_program program);

// True when this process's environment could make a shell run something
// other than its command line: exported functions (BASH_FUNC_*), BASH_ENV,
// ENV, SHELLOPTS, BASHOPTS or PS4.
bool shell_can_be_redirected();

// True when the program an event names is one a runtime's start chain
// replaces itself with: a language interpreter (node, python3.N, ruby,
// java, ...), the runtime's bootstrap, or env naming one of them. Judged by
// the caller only for the function's first process re-executed in place.
// Goes by the names alone.
bool is_runtime_start(const event_view &event);
// True when `path` is a file that code running as `uid` cannot have made or
// changed: a regular file owned by another user, writable by no one but
// its owner, in a folder of the same kind. Never for root, who can change
// any file.
bool beyond_reach_of(const char *path, uid_t uid);
// The in-place rule: the function's first process re-executed in place,
// during the start phase, as a runtime start (is_runtime_start) whose
// program (and bootstrap script) is beyond the reach of the process's user.
bool in_place_start_passes(const event_view &event);
