// Exempt programs arrive by the canonical path of the running program
// (/proc/self/exe), so on systems where /bin is a link to /usr/bin the
// program "/bin/bash" arrives as "/usr/bin/bash". Each exempt path is
// matched as written and as canonicalised.
#include "policy/exempt_programs.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern char **environ;

namespace {

constexpr const char *EXEMPT_PROGRAM_PATHS[EXEMPT_PROGRAM_COUNT] = {
    "/usr/local/bin/getconf", "/usr/bin/getconf", "/usr/local/sbin/getconf", "/usr/sbin/getconf",
    "/var/lang/bin/node",     "/usr/bin/expr",    "/var/lang/bin/ruby",      "/bin/env",
    "/bin/bash",              "/bin/uname",       "/bin/sh",                 "/usr/bin/env",
    "/var/runtime/bootstrap",
};

// Each entry is resolved on first use, once per process. Threads that race
// each resolve it and the first to publish wins; nobody waits.
char UNRESOLVED_MARK;  // the path does not resolve (the program is not installed)
std::atomic<char *> canonical_programs[EXEMPT_PROGRAM_COUNT];

const char *canonical_exempt_program(exempt_program program) {
  char *known = canonical_programs[program].load(std::memory_order_acquire);
  if (!known) {
    // realpath resolves with lstat/readlink; it never opens the file, so it
    // raises no event of its own.
    char *fresh = realpath(EXEMPT_PROGRAM_PATHS[program], nullptr);
    if (!fresh) fresh = &UNRESOLVED_MARK;
    if (canonical_programs[program].compare_exchange_strong(known, fresh, std::memory_order_acq_rel)) {
      known = fresh;
    } else if (fresh != &UNRESOLVED_MARK) {
      free(fresh);
    }
  }
  return known == &UNRESOLVED_MARK ? nullptr : known;
}

}  // namespace

bool is_program(const char *path, exempt_program program) {
  if (!path) return false;
  if (strcmp(path, EXEMPT_PROGRAM_PATHS[program]) == 0) return true;
  const char *canonical = canonical_exempt_program(program);
  return canonical && strcmp(path, canonical) == 0;
}

// Every entry is looked at, not only the first of a name: the shell reads
// whichever it finds. Besides exported functions and start-up files, bash
// takes options from SHELLOPTS and BASHOPTS (xtrace, then a PS4 whose
// command substitutions it runs; extdebug, ...), so any of those, and PS4
// itself, is enough to take the exemption away.
bool shell_can_be_redirected() {
  if (!environ) return false;
  constexpr std::string_view READ_BY_SHELL[] = {"BASH_ENV=", "ENV=", "SHELLOPTS=", "BASHOPTS=", "PS4="};
  for (char **entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with("BASH_FUNC_")) return true;
    for (std::string_view name : READ_BY_SHELL)
      if (text.starts_with(name)) return true;
  }
  return false;
}
