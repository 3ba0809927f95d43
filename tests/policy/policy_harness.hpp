// What the policy tests need around the code under test: descriptor 999 on
// a pipe and a supervisor on loopback (the shared scoped.hpp brings a state
// record, environment variables and standard output set aside).
#pragma once

#include <string>
#include <vector>

#include "core/core.hpp"
#include "scoped.hpp"

// Descriptor 999 as the write end of a pipe.
struct alert_log_pipe {
  int read_fd = -1;
  alert_log_pipe();
  ~alert_log_pipe();
  // Everything written so far, without waiting for more.
  std::string drain();
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
