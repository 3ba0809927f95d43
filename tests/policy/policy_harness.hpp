// What the policy tests need around the code under test: a state record in
// memory, descriptor 999 on a pipe, a supervisor on loopback, environment
// variables and standard output set aside for one test.
#pragma once

#include <string>
#include <vector>

#include "core/core.hpp"

// A state record of the test's own, installed as state_map while it lives.
struct scoped_state {
  state_record record{};
  state_record *previous;
  explicit scoped_state(int32_t provider);
  ~scoped_state();
  void set_text(char *field, size_t size, const char *text);
};

// Sets (or, with null, unsets) an environment variable; restores it after.
struct scoped_env {
  std::string name;
  bool had_value;
  std::string old_value;
  scoped_env(const char *name, const char *value);
  ~scoped_env();
};

// Descriptor 999 as the write end of a pipe.
struct alert_log_pipe {
  int read_fd = -1;
  alert_log_pipe();
  ~alert_log_pipe();
  // Everything written so far, without waiting for more.
  std::string drain();
};

// Standard output into a pipe until finish(); for short messages only.
struct stdout_capture {
  int read_fd = -1;
  int saved_stdout = -1;
  stdout_capture();
  ~stdout_capture();
  std::string finish();
};

// A plain TCP listener on 127.0.0.1 with a port of the system's choosing.
struct loopback_sink {
  int listen_fd = -1;
  int port = 0;
  loopback_sink();
  ~loopback_sink();
  // Accepts one connection, waiting at most timeout_ms, and reads it until
  // the peer closes. False when nobody connected in time.
  bool next_request(std::string *raw, int timeout_ms);
  std::string port_text() const { return std::to_string(port); }
};

// A port on 127.0.0.1 where nobody listens (bound once, then released).
int unused_port();

struct http_request {
  std::string head;  // request line and headers, without the blank line
  std::string body;  // exactly Content-Length bytes
  std::string after_body;
  long content_length = -1;
};
bool parse_http_request(const std::string &raw, http_request *out);

// The "TextPayload" of a supervisor log body, or "" when the body is not one.
std::string log_entry_payload(const std::string &body);

// Alert texts delivered since the last call, by the provider's road: lines
// on descriptor 999 for AWS, supervisor requests for Google.
std::vector<std::string> delivered_alerts(int32_t provider, alert_log_pipe &pipe, loopback_sink &sink,
                                          bool expect_any);

int open_descriptor_count();
