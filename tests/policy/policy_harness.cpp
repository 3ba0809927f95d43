#include "policy_harness.hpp"

#include <cjson/cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "loopback.hpp"
#include "policy/policy.hpp"
#include "process_runner.hpp"

alert_log_pipe::alert_log_pipe() {
  int ends[2];
  if (pipe(ends) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return;
  }
  fcntl(ends[0], F_SETFL, O_NONBLOCK);
  fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
  dup2(ends[1], ALERT_LOG_FD);
  close(ends[1]);
  read_fd = ends[0];
}

alert_log_pipe::~alert_log_pipe() {
  close(ALERT_LOG_FD);
  if (read_fd >= 0) close(read_fd);
}

std::string alert_log_pipe::drain() {
  std::string text;
  char buffer[4096];
  ssize_t count;
  while ((count = read(read_fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(count));
  return text;
}

loopback_sink::loopback_sink() {
  listen_fd = loopback_listener(64, &port);
  if (listen_fd < 0) ADD_FAILURE() << "loopback listener: " << strerror(errno);
}

loopback_sink::~loopback_sink() {
  if (listen_fd >= 0) close(listen_fd);
}

bool loopback_sink::next_request(std::string *raw, int timeout_ms) {
  pollfd waiting{listen_fd, POLLIN, 0};
  if (poll(&waiting, 1, timeout_ms) != 1) return false;
  int connection = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return false;
  raw->clear();
  char buffer[65536];
  for (;;) {
    pollfd readable{connection, POLLIN, 0};
    if (poll(&readable, 1, 5000) != 1) break;  // a sender that never closes
    ssize_t count = read(connection, buffer, sizeof buffer);
    if (count <= 0) break;
    raw->append(buffer, static_cast<size_t>(count));
  }
  close(connection);
  return true;
}

int unused_port() {
  loopback_sink probe;
  return probe.port;
}

bool parse_http_request(const std::string &raw, http_request *out) {
  size_t end_of_head = raw.find("\r\n\r\n");
  if (end_of_head == std::string::npos) return false;
  out->head = raw.substr(0, end_of_head);
  const std::string key = "\r\nContent-Length: ";
  size_t at = out->head.find(key);
  if (at == std::string::npos) return false;
  out->content_length = strtol(out->head.c_str() + at + key.size(), nullptr, 10);
  size_t body_start = end_of_head + 4;
  if (out->content_length < 0 || raw.size() < body_start + static_cast<size_t>(out->content_length)) return false;
  out->body = raw.substr(body_start, static_cast<size_t>(out->content_length));
  out->after_body = raw.substr(body_start + static_cast<size_t>(out->content_length));
  return true;
}

std::string log_entry_payload(const std::string &body) {
  cJSON *parsed = cJSON_Parse(body.c_str());
  std::string payload;
  const cJSON *entries = cJSON_GetObjectItemCaseSensitive(parsed, "Entries");
  const cJSON *text = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(entries, 0), "TextPayload");
  if (cJSON_IsString(text)) payload = text->valuestring;
  cJSON_Delete(parsed);
  return payload;
}

std::vector<std::string> delivered_alerts(int32_t provider, alert_log_pipe &pipe, loopback_sink &sink,
                                          bool expect_any) {
  std::vector<std::string> alerts;
  if (provider == PROVIDER_AWS) {
    std::string text = pipe.drain();
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "a record without its line feed: " << text;
    return split_lines(text);
  }
  // Delivery is synchronous: a connection made for an alert is already
  // queued when the callback returns, so "none" needs no waiting.
  std::string raw;
  int timeout_ms = expect_any ? 2000 : 0;
  while (sink.next_request(&raw, timeout_ms)) {
    http_request request;
    EXPECT_TRUE(parse_http_request(raw, &request)) << raw;
    alerts.push_back(log_entry_payload(request.body));
    timeout_ms = 0;
  }
  return alerts;
}

int open_descriptor_count() {
  int count = 0;
  DIR *directory = opendir("/proc/self/fd");
  if (!directory) return -1;
  while (dirent *entry = readdir(directory))
    if (entry->d_name[0] != '.') ++count;
  closedir(directory);
  return count;
}
