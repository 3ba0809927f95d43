// Alert delivery on each platform: lines on descriptor 999 for AWS, a log
// request to a supervisor on loopback for Google, and every failure on the
// way reported without hanging or crashing the caller.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <thread>

#include "core/core.hpp"
#include "forked_child.hpp"
#include "policy/policy.hpp"
#include "policy_harness.hpp"

namespace {

TEST(AwsDelivery, WritesTextThenOneLineFeed) {
  alert_log_pipe log;
  scoped_state state(PROVIDER_AWS);
  EXPECT_EQ(report_alert(R"({"a":1})"), 0);
  EXPECT_EQ(report_alert("first line\nsecond line\n"), 0);
  EXPECT_EQ(report_alert(""), 0);
  EXPECT_EQ(log.drain(), "{\"a\":1}\nfirst line\nsecond line\n\n\n");
}

TEST(AwsDelivery, ClosedDescriptorFails) {
  scoped_state state(PROVIDER_AWS);
  ASSERT_EQ(fcntl(ALERT_LOG_FD, F_GETFD), -1) << "descriptor 999 unexpectedly open";
  stdout_capture out;
  EXPECT_EQ(report_alert("lost"), -1);
  EXPECT_EQ(out.finish(), "");
}

TEST(UnsupportedDelivery, DoesNothing) {
  alert_log_pipe log;
  loopback_sink supervisor;
  scoped_env host("X_GOOGLE_SUPERVISOR_HOSTNAME", "127.0.0.1");
  scoped_env port("X_GOOGLE_SUPERVISOR_INTERNAL_PORT", supervisor.port_text().c_str());
  scoped_state state(PROVIDER_UNSUPPORTED);
  stdout_capture out;
  EXPECT_EQ(report_alert("text"), 0);
  EXPECT_EQ(out.finish(), "");
  EXPECT_EQ(log.drain(), "");
  std::string raw;
  EXPECT_FALSE(supervisor.next_request(&raw, 0));
}

// The supervisor as start-up captured it; the environment is no longer read.
class GoogleDelivery : public ::testing::Test {
 protected:
  loopback_sink supervisor;
  scoped_state state{PROVIDER_GOOGLE};
  void SetUp() override { supervise("127.0.0.1", supervisor.port_text().c_str()); }
  void supervise(const char *host, const char *port) {
    set_text(state.record.supervisor_host, host ? host : "");
    set_text(state.record.supervisor_port, port ? port : "");
  }
};

TEST_F(GoogleDelivery, SendsTheLogRequest) {
  // Quotes, a line feed and a two-byte character: escaped in the body and
  // counted in bytes by Content-Length.
  const std::string text = "{\"details\":{\"path\":\"/tmp/caf\xC3\xA9\"},\"note\":\"two\nlines\"}";
  ASSERT_EQ(report_alert(text.c_str()), 0);
  std::string raw;
  ASSERT_TRUE(supervisor.next_request(&raw, 2000));
  http_request request;
  ASSERT_TRUE(parse_http_request(raw, &request)) << raw;

  // The Host header names the supervisor without the port it listens on.
  EXPECT_EQ(request.head, "POST /_ah/log HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n"
                          "Content-Type: application/json\r\nContent-Length: " +
                              std::to_string(request.body.size()) + "\r\nConnection: close");
  EXPECT_EQ(request.after_body, "\r\n");

  // Members in order: one entry of TextPayload, Severity, Time.
  std::regex shape(R"re(^\{"Entries":\[\{"TextPayload":"(.*)","Severity":"WARNING","Time":"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)"\}\]\}$)re");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(request.body, parts, shape)) << request.body;
  EXPECT_EQ(log_entry_payload(request.body), text);
  EXPECT_EQ(request.body.find('\n'), std::string::npos);
}

TEST_F(GoogleDelivery, MissingVariablesAreReportedOnce) {
  struct {
    const char *host;
    const char *port;
    const char *message;
  } const cases[] = {
      {nullptr, nullptr, "X_GOOGLE_SUPERVISOR_HOSTNAME environment variable not found\n"},
      {nullptr, "8080", "X_GOOGLE_SUPERVISOR_HOSTNAME environment variable not found\n"},
      {"127.0.0.1", nullptr, "X_GOOGLE_SUPERVISOR_INTERNAL_PORT environment variable not found\n"},
  };
  // Set now, after start-up: not looked at.
  scoped_env host_now("X_GOOGLE_SUPERVISOR_HOSTNAME", "127.0.0.1");
  scoped_env port_now("X_GOOGLE_SUPERVISOR_INTERNAL_PORT", supervisor.port_text().c_str());
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    supervise(c.host, c.port);
    stdout_capture out;
    EXPECT_EQ(report_alert("text"), 0);
    EXPECT_EQ(out.finish(), c.message);
  }
  std::string raw;
  EXPECT_FALSE(supervisor.next_request(&raw, 0));
}

TEST_F(GoogleDelivery, NobodyListening) {
  supervise("127.0.0.1", std::to_string(unused_port()).c_str());
  const int descriptors = open_descriptor_count();
  stdout_capture out;
  EXPECT_EQ(report_alert("text"), -1);
  EXPECT_EQ(out.finish(), std::string("connect() failed. error: ") + strerror(ECONNREFUSED) + "\n");
  EXPECT_EQ(open_descriptor_count(), descriptors);
}

TEST_F(GoogleDelivery, UnresolvableService) {
  supervise("127.0.0.1", "no-such-service-here");
  const int descriptors = open_descriptor_count();
  stdout_capture out;
  EXPECT_EQ(report_alert("text"), -1);
  EXPECT_EQ(out.finish(), std::string("getaddrinfo() failed. error: ") + gai_strerror(EAI_SERVICE) + "\n");
  EXPECT_EQ(open_descriptor_count(), descriptors);
}

TEST_F(GoogleDelivery, ReleasesEverythingAfterSending) {
  const int descriptors = open_descriptor_count();
  ASSERT_EQ(report_alert("text"), 0);
  EXPECT_EQ(open_descriptor_count(), descriptors);
  std::string raw;
  EXPECT_TRUE(supervisor.next_request(&raw, 2000));
}

// A supervisor that hangs up while a large entry is still being sent: its
// FIN and then its reset make the next send fail with EPIPE, which must not
// kill the caller with SIGPIPE, nor hang it.
TEST_F(GoogleDelivery, SupervisorThatHangsUp) {
  // A small receive buffer keeps the sender blocked part-way.
  const int small = 4096;
  setsockopt(supervisor.listen_fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::thread hang_up([&] {
    int connection = accept(supervisor.listen_fd, nullptr, nullptr);
    if (connection < 0) return;
    usleep(100 * 1000);
    shutdown(connection, SHUT_WR);
    usleep(20 * 1000);
    close(connection);  // unread data: a reset
  });
  const std::string large(16 << 20, 'x');
  EXPECT_EQ(report_alert(large.c_str()), 0);
  hang_up.join();
}

// No descriptor left for the socket: the failure is reported and the
// resolution result released (checked by the leak checker in sanitizer runs).
TEST_F(GoogleDelivery, SocketCreationFails) {
  auto [out, status] = run_in_child([] {
    const int lowest_free = dup(0);
    close(lowest_free);
    rlimit limit{static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
    setrlimit(RLIMIT_NOFILE, &limit);
    _exit(report_alert("text") == -1 ? 0 : 1);
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(out, std::string("socket() failed. error: ") + strerror(EMFILE) + "\n");
}

}  // namespace
