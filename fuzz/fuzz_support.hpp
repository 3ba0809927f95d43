// Shared set-up of the fuzz targets: a private state record in ordinary
// memory instead of the shared file, no network, and a log that can be read
// back.
#pragma once

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/core.hpp"
#include "policy/policy.hpp"

// Name resolution never leaves the process: the analytics exchange and the
// supervisor delivery that an input can trigger resolve through this
// definition, which the executable's own symbol puts ahead of the C library's.
extern "C" int getaddrinfo(const char *, const char *, const struct addrinfo *, struct addrinfo **res) {
  if (res) *res = nullptr;
  return EAI_NONAME;
}

namespace fuzz {

// The analytics exchange stops at its first step: no TLS method.
inline const ssl_method_st *no_method() { return nullptr; }
inline int sha256_init(sha256_state_st *) { return 1; }
inline int sha256_update(sha256_state_st *, const void *, size_t) { return 1; }
inline int sha256_final(unsigned char *digest, sha256_state_st *) {
  memset(digest, 0xab, 32);
  return 1;
}

inline void use_private_state(int32_t provider) {
  static state_record record;
  memset(&record, 0, sizeof record);
  record.provider = provider;
  state_map = &record;
  state_writable = true;
  ssl_api.SSLv23_method = no_method;
  ssl_api.SHA256_Init = sha256_init;
  ssl_api.SHA256_Update = sha256_update;
  ssl_api.SHA256_Final = sha256_final;
  mark_libssl_ready();
}

// Descriptor 999 as a non-blocking pipe with room for the largest record an
// input can produce; drain_log reads back what was written since.
inline void open_log_pipe() {
  int ends[2];
  if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) abort();
  fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
  dup2(ends[1], ALERT_LOG_FD);
  dup2(ends[0], ALERT_LOG_FD - 1);
  close(ends[0]);
  close(ends[1]);
}

inline std::string drain_log() {
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(ALERT_LOG_FD - 1, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace fuzz
