// Alert delivery: one text into the function's log, synchronously on the
// caller's thread. AWS Lambda collects standard output, reached through the
// private copy on descriptor 999; so does Google's current generation, where
// a line that is one JSON object becomes a structured entry. Google's first
// generation takes log entries over HTTP from the supervisor, which may be
// unreachable: a delivery waits for it at most one second, and after a
// failure the next deliveries to it are skipped for a while and counted.
// Failures are printed and forgotten.
#include "core/guards.hpp"
#include "core/diagnostics.hpp"
#include "policy/policy.hpp"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/core.hpp"
#include "core/json_text.hpp"
#include "core/timestamp.hpp"

namespace {

// A delivery waits for the supervisor at most this long, connection and
// request together.
constexpr int64_t SUPERVISOR_DEADLINE_MS = 1000;
// After a failed delivery, deliveries to the same supervisor are skipped
// this long: a dead supervisor costs at most one deadline per period.
constexpr int64_t SUPERVISOR_BACKOFF_MS = 30000;

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

// The record with ,"severity":"WARNING" as its last member: the platform
// files a WARNING entry whose payload is the record. Written where the
// function's standard output is kept (descriptor 999), or to this process's
// own standard output when that copy is missing.
int deliver_structured_line(const char *text) {
  const size_t length = strlen(text);
  if (length == 0 || text[length - 1] != '}') return deliver_aws(text);
  static constexpr char SEVERITY[] = ",\"severity\":\"WARNING\"}\n";
  iovec parts[2] = {{const_cast<char *>(text), length - 1}, {const_cast<char *>(SEVERITY), sizeof SEVERITY - 1}};
  if (writev(ALERT_LOG_FD, parts, 2) != -1) return 0;
  if (errno != EBADF) return -1;
  // What the program printed before comes first, as for every message.
  fflush(stdout);
  return writev(STDOUT_FILENO, parts, 2) == -1 ? -1 : 0;
}

int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The last supervisor that could not be reached (a hash of its host and
// port) and until when deliveries to it are skipped; the records lost
// meanwhile (those of the failed deliveries and the skipped ones). Threads read and write these without a lock: a race costs at
// most one attempt too many or one skip too many, and a skip is counted.
std::atomic<uint64_t> failed_supervisor{0};
std::atomic<int64_t> skip_until_ms{0};
std::atomic<long> lost_records{0};

uint64_t supervisor_key(const char *host, const char *port) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char *text : {host, "\n", port})
    for (const char *c = text; *c; ++c) hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
  return hash | 1;  // never 0, the value of "none"
}

bool skipping(uint64_t key) {
  return failed_supervisor.load(std::memory_order_relaxed) == key &&
         monotonic_ms() < skip_until_ms.load(std::memory_order_relaxed);
}

void note_failure(uint64_t key) {
  lost_records.fetch_add(1, std::memory_order_relaxed);
  skip_until_ms.store(monotonic_ms() + SUPERVISOR_BACKOFF_MS, std::memory_order_relaxed);
  failed_supervisor.store(key, std::memory_order_relaxed);
}

// Said once the log can be reached again, before the record that got through.
void report_lost_records() {
  const long lost = lost_records.exchange(0, std::memory_order_relaxed);
  if (lost == 1)
    print_message(message_stream::output, "TesselGuard: 1 alert record was lost: the log endpoint was unreachable");
  else if (lost > 1)
    print_message(message_stream::output, "TesselGuard: %ld alert records were lost: the log endpoint was unreachable",
                  lost);
}

// Waits until `fd` is ready for `events` or the deadline passes; false on
// the deadline.
bool wait_ready(int fd, short events, int64_t deadline_ms) {
  for (;;) {
    const int64_t left = deadline_ms - monotonic_ms();
    if (left <= 0) return false;
    pollfd waiting{fd, events, 0};
    const int ready = poll(&waiting, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let the next call report it
  }
}

// A non-blocking connect completed within the deadline: 0, or the error
// number of the failure (ETIMEDOUT when the deadline passed).
int connect_within(int fd, const addrinfo *address, int64_t deadline_ms) {
  if (connect(fd, address->ai_addr, address->ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  if (!wait_ready(fd, POLLOUT, deadline_ms)) return ETIMEDOUT;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

// Sends everything unless the peer goes away or the deadline passes (then
// false). MSG_NOSIGNAL: a supervisor that hangs up must not kill the
// function with SIGPIPE.
bool send_within(int fd, const char *data, size_t length, int64_t deadline_ms) {
  size_t sent = 0;
  while (sent < length) {
    const ssize_t count = send(fd, data + sent, length - sent, MSG_NOSIGNAL);
    if (count > 0) {
      sent += static_cast<size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else if (count < 0 && errno == EAGAIN) {
      if (!wait_ready(fd, POLLOUT, deadline_ms)) return false;
    } else {
      return true;  // the supervisor went away: nothing more to do
    }
  }
  return true;
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
  const auto [host, port] = captured_supervisor();
  if (!host) {
    print_message(message_stream::output, "X_GOOGLE_SUPERVISOR_HOSTNAME environment variable not found");
    return 0;
  }
  if (!port) {
    print_message(message_stream::output, "X_GOOGLE_SUPERVISOR_INTERNAL_PORT environment variable not found");
    return 0;
  }
  const uint64_t key = supervisor_key(host, port);
  if (skipping(key)) {
    lost_records.fetch_add(1, std::memory_order_relaxed);
    return -1;
  }
  malloc_guard request{nullptr};
  {
    malloc_guard body{log_body(text)};
    if (!body.text) return -1;  // out of memory: the alert is lost
    request.text = log_request(host, body.text);
    if (!request.text) return -1;
  }
  const size_t length = strlen(request.text);

  const int64_t deadline_ms = monotonic_ms() + SUPERVISOR_DEADLINE_MS;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo_guard resolved{nullptr};
  const int code = getaddrinfo(host, port, &hints, &resolved.list);
  if (code != 0 || !resolved.list) {
    print_message(message_stream::output, "getaddrinfo() failed. error: %s", resolution_error(code, errno));
    note_failure(key);
    return -1;
  }
  // Only the first address is tried.
  const addrinfo *first = resolved.list;
  socket_guard connection{socket(first->ai_family, first->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                 first->ai_protocol)};
  if (connection.fd < 0) {
    print_message(message_stream::output, "socket() failed. error: %s", strerror(errno));
    note_failure(key);
    return -1;
  }
  if (const int error = connect_within(connection.fd, first, deadline_ms)) {
    print_message(message_stream::output, "connect() failed. error: %s", strerror(error));
    note_failure(key);
    return -1;
  }
  report_lost_records();
  // The reply is never read.
  if (!send_within(connection.fd, request.text, length, deadline_ms)) {
    print_message(message_stream::output, "send() failed. error: %s", strerror(ETIMEDOUT));
    note_failure(key);
    return -1;
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
      return google_current_generation() ? deliver_structured_line(text) : deliver_google(text);
    default:
      return 0;
  }
}
