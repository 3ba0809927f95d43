// Alert delivery: one text into the function's log, synchronously on the
// caller's thread. AWS Lambda collects standard output, reached through the
// private copy on descriptor 999; Google Cloud Functions takes log entries
// over HTTP from the supervisor. Failures are printed and forgotten.
#include "core/guards.hpp"
#include "core/diagnostics.hpp"
#include "policy/policy.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.hpp"
#include "core/json_text.hpp"
#include "core/timestamp.hpp"

namespace {

constexpr int SUPERVISOR_TIMEOUT_SECONDS = 5;

constexpr const char LOG_REQUEST_FORMAT[] =
    "POST /_ah/log HTTP/1.1\r\nHost: %s\r\nAccept: */*\r\nContent-Type: application/json\r\n"
    "Content-Length: %ld\r\nConnection: close\r\n\r\n%s\r\n";

struct addrinfo_guard {
  addrinfo *list;
  ~addrinfo_guard() {
    if (list) freeaddrinfo(list);
  }
};

struct socket_guard {
  int fd;
  ~socket_guard() {
    if (fd >= 0) close(fd);
  }
};

// The text and its line feed go out in one system call: with two calls,
// records delivered at once from several threads or processes could share a
// line and become unreadable in the log.
int deliver_aws(const char *text) {
  iovec parts[2] = {{const_cast<char *>(text), strlen(text)}, {const_cast<char *>("\n"), 1}};
  if (writev(ALERT_LOG_FD, parts, 2) == -1) return -1;
  return 0;
}

// {"Entries":[{"TextPayload":text,"Severity":"WARNING","Time":now}]}, in
// a malloc'd text; null when memory runs out.
char *log_body(const char *text) {
  char time[32];
  current_timestamp(time);
  char buffer[1024];
  json_text body(buffer, sizeof buffer);
  body.begin_object();
  body.plain_key("Entries");
  body.begin_array();
  body.begin_object();
  body.member("TextPayload", text);
  body.plain_member("Severity", "WARNING");
  body.plain_member("Time", time);
  body.end_object();
  body.end_array();
  body.end_object();
  const char *printed = body.c_str();
  return printed ? strdup(printed) : nullptr;
}

char *log_request(const char *host, const char *body) {
  const long body_length = static_cast<long>(strlen(body));
  const int length = snprintf(nullptr, 0, LOG_REQUEST_FORMAT, host, body_length, body);
  if (length < 0) return nullptr;
  char *request = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
  if (!request) return nullptr;
  snprintf(request, static_cast<size_t>(length) + 1, LOG_REQUEST_FORMAT, host, body_length, body);
  return request;
}

// The name text of a resolution failure; only EAI_SYSTEM leaves its reason in errno.
const char *resolution_error(int code, int saved_errno) {
  return code == EAI_SYSTEM ? strerror(saved_errno) : gai_strerror(code);
}

// Goes through the ordinary getaddrinfo and connect on purpose: the
// connection is judged like any other and allowed by the supervisor's name.
int deliver_google(const char *text) {
  const char *host = env_lookup("X_GOOGLE_SUPERVISOR_HOSTNAME");
  const char *port = env_lookup("X_GOOGLE_SUPERVISOR_INTERNAL_PORT");
  if (!host) {
    print_message(message_stream::output, "X_GOOGLE_SUPERVISOR_HOSTNAME environment variable not found");
    return 0;
  }
  if (!port) {
    print_message(message_stream::output, "X_GOOGLE_SUPERVISOR_INTERNAL_PORT environment variable not found");
    return 0;
  }
  malloc_guard request{nullptr};
  {
    malloc_guard body{log_body(text)};
    if (!body.text) return -1;  // out of memory: the alert is lost
    request.text = log_request(host, body.text);
    if (!request.text) return -1;
  }
  const size_t length = strlen(request.text);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo_guard resolved{nullptr};
  const int code = getaddrinfo(host, port, &hints, &resolved.list);
  if (code != 0 || !resolved.list) {
    print_message(message_stream::output, "getaddrinfo() failed. error: %s", resolution_error(code, errno));
    return -1;
  }
  // Only the first address is tried.
  const addrinfo *first = resolved.list;
  socket_guard connection{socket(first->ai_family, first->ai_socktype, first->ai_protocol)};
  if (connection.fd < 0) {
    print_message(message_stream::output, "socket() failed. error: %s", strerror(errno));
    return -1;
  }
  // A supervisor that never completes the connection, or stops reading,
  // must not hold the judged call: on Linux the send time-out bounds connect
  // as well as every send.
  timeval limit{SUPERVISOR_TIMEOUT_SECONDS, 0};
  setsockopt(connection.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (connect(connection.fd, first->ai_addr, first->ai_addrlen) != 0) {
    // A blocking connect cut short by the time-out reports EINPROGRESS.
    print_message(message_stream::output, "connect() failed. error: %s",
                  strerror(errno == EINPROGRESS ? ETIMEDOUT : errno));
    return -1;
  }
  // MSG_NOSIGNAL: a supervisor that hangs up must not kill the function
  // with SIGPIPE. The reply is never read.
  size_t sent = 0;
  while (sent < length) {
    const ssize_t count = send(connection.fd, request.text + sent, length - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    sent += static_cast<size_t>(count);
  }
  return 0;
}

}  // namespace

int report_alert(const char *text) {
  if (!text || !state_map) return 0;
  switch (state_map->provider) {
    case PROVIDER_AWS:
      return deliver_aws(text);
    case PROVIDER_GOOGLE:
      return deliver_google(text);
    default:
      return 0;
  }
}
