// Outbound connections of real processes under the preloaded library:
// loopback listeners stand in for the outside world, descriptor 999 (AWS) or
// a recording supervisor (Google) collects the alert records.
#include "alert_records.hpp"
#include "network_servers.hpp"
#include "process_runner.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace {

struct loopback {
  std::unique_ptr<test_server> first;   // 127.0.0.1
  std::unique_ptr<test_server> second;  // 127.0.0.2
  std::unique_ptr<test_server> supervisor;
  std::string error;

  bool start() {
    first = start_tcp_server(AF_INET, "127.0.0.1", false, &error);
    second = start_tcp_server(AF_INET, "127.0.0.2", false, &error);
    supervisor = start_tcp_server(AF_INET, "127.0.0.1", true, &error);
    return first && second && supervisor;
  }
  std::string at_first() const { return "127.0.0.1:" + std::to_string(first->port); }
  std::string at_second() const { return "127.0.0.2:" + std::to_string(second->port); }
  std::vector<std::string> google(const std::string &supervisor_host = "localhost") const {
    auto env = google_env();
    env.push_back("X_GOOGLE_SUPERVISOR_HOSTNAME=" + supervisor_host);
    env.push_back("X_GOOGLE_SUPERVISOR_INTERNAL_PORT=" + std::to_string(supervisor->port));
    return env;
  }
};

// Analytics off: a sampled analytics attempt would log a failure of its own
// and, on Google, resolve the supervisor's name ahead of the test's own calls.
std::string policy(const char *mode) {
  return std::string(R"(configure:{"policy":{"outbound_connectivity":")") + mode + R"("},"disable_analytics":true})";
}

RunResult run_client(std::vector<std::string> actions, std::vector<std::string> env, bool capture_log = false) {
  return run_probe("net_client", actions, std::move(env), capture_log);
}

void expect_clean_exit(const RunResult &result) {
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 0) << "out:\n" << result.out << "\nerr:\n" << result.err;
}

TEST(NetworkProcess, LoopbackConnectionsOnAws) {
  TG_SKIP_IF_SANITIZED();
  loopback net;
  ASSERT_TRUE(net.start()) << net.error;
  const std::string first = "connect:" + net.at_first(), second = "connect:" + net.at_second();

  RunResult blocked = run_client({policy("block"), first, second}, aws_env(), true);
  expect_clean_exit(blocked);
  EXPECT_TRUE(contains_line(blocked.out, first + " -> ok")) << blocked.out;  // 127.0.0.1 is the platform's own
  EXPECT_TRUE(contains_line(blocked.out, second + " -> errno 222")) << blocked.out;
  EXPECT_EQ(alert_summaries_from_log(blocked.log),
            std::vector<std::string>{R"(outbound_connectivity block {"ip":"127.0.0.2"})"});

  RunResult alerted = run_client({policy("alert"), first, second}, aws_env(), true);
  expect_clean_exit(alerted);
  EXPECT_TRUE(has_lines(alerted.out, {first + " -> ok", second + " -> ok"}));
  EXPECT_EQ(alert_summaries_from_log(alerted.log),
            std::vector<std::string>{R"(outbound_connectivity alert {"ip":"127.0.0.2"})"});

  RunResult allowed = run_client({first, second}, aws_env(), true);
  expect_clean_exit(allowed);
  EXPECT_TRUE(contains_line(allowed.out, second + " -> ok")) << allowed.out;
  EXPECT_EQ(allowed.log, "");
}

TEST(NetworkProcess, LoopbackConnectionsOnGoogleAreJudgedAndAlertsReachTheSupervisor) {
  TG_SKIP_IF_SANITIZED();
  loopback net;
  ASSERT_TRUE(net.start()) << net.error;
  const std::string first = "connect:" + net.at_first(), second = "connect:" + net.at_second();

  // The alert delivery itself resolves "localhost" and connects to
  // 127.0.0.1: exempt as the supervisor, so it is not refused.
  RunResult blocked = run_client({policy("block"), first, second}, net.google());
  expect_clean_exit(blocked);
  EXPECT_TRUE(has_lines(blocked.out, {first + " -> errno 222", second + " -> errno 222"}));
  ASSERT_TRUE(net.supervisor->wait_for_requests(2, 5000));
  EXPECT_EQ(alert_summaries_from_requests(net.supervisor->requests()),
            (std::vector<std::string>{R"(outbound_connectivity block {"ip":"127.0.0.1"})",
                                      R"(outbound_connectivity block {"ip":"127.0.0.2"})"}));
  EXPECT_EQ(net.first->accepted, 0);
  EXPECT_EQ(net.second->accepted, 0);
}

TEST(NetworkProcess, ResolvedNameIsCarriedAsHost) {
  TG_SKIP_IF_SANITIZED();
  loopback net;
  ASSERT_TRUE(net.start()) << net.error;
  const std::string port_first = std::to_string(net.first->port), port_second = std::to_string(net.second->port);
  const std::string by_name = "connectname:localhost:" + port_first;
  const std::string by_number = "connectname:127.0.0.2:" + port_second;
  const std::string unnamed = "connect:" + net.at_second();

  RunResult result = run_client({policy("alert"), by_name, by_number, unnamed}, net.google("127.0.0.1"));
  expect_clean_exit(result);
  for (const auto &action : {by_name, by_number, unnamed})
    EXPECT_TRUE(contains_line(result.out, action + " -> ok")) << result.out;
  ASSERT_TRUE(net.supervisor->wait_for_requests(3, 5000));
  // 127.0.0.2 was resolved as a numeric name, so even the plain connect
  // carries that name.
  EXPECT_EQ(alert_summaries_from_requests(net.supervisor->requests()),
            (std::vector<std::string>{R"(outbound_connectivity alert {"host":"localhost","ip":"127.0.0.1"})",
                                      R"(outbound_connectivity alert {"host":"127.0.0.2","ip":"127.0.0.2"})",
                                      R"(outbound_connectivity alert {"host":"127.0.0.2","ip":"127.0.0.2"})"}));
}

TEST(NetworkProcess, Ipv6UnixAndMalformedConnectionsAreNotJudged) {
  TG_SKIP_IF_SANITIZED();
  std::string error;
  auto v6 = start_tcp_server(AF_INET6, "::1", false, &error);
  ASSERT_TRUE(v6) << error;
  auto local = start_unix_server(&error);
  ASSERT_TRUE(local) << error;
  const std::string to_v6 = "connect6:::1:" + std::to_string(v6->port);
  const std::string to_local = "connectunix:" + local->unix_name;

  RunResult result = run_client({policy("block"), to_v6, to_local, "connectnull", "connectshort:127.0.0.2:9"},
                                aws_env(), true);
  expect_clean_exit(result);
  EXPECT_TRUE(has_lines(result.out, {to_v6 + " -> ok", to_local + " -> ok"}));
  // The kernel's own answers: a bad address, an invalid length.
  EXPECT_TRUE(has_lines(result.out, {"connectnull -> errno 14", "connectshort:127.0.0.2:9 -> errno 22"}));
  EXPECT_EQ(result.log, "");
}

TEST(NetworkProcess, ThreadsResolvingAndConnectingAreAllRefused) {
  TG_SKIP_IF_SANITIZED();
  loopback net;
  ASSERT_TRUE(net.start()) << net.error;
  const std::string threads = "threads:8:40:localhost:127.0.0.2:" + std::to_string(net.second->port);
  RunResult result = run_client({policy("block"), threads}, aws_env(), true);
  expect_clean_exit(result);
  EXPECT_TRUE(contains_line(result.out, threads + " -> made 0 refused 320 failed 0 unresolved 0")) << result.out;
  EXPECT_EQ(split_lines(result.log).size(), 320u);
  EXPECT_EQ(net.second->accepted, 0);
}

TEST(NetworkProcess, PythonCreateConnectionIsRefusedOnGoogle) {
  TG_SKIP_UNLESS_LIBRARY_LOADS_INTO("python3");
  TG_SKIP_IF_SANITIZED();
  loopback net;
  ASSERT_TRUE(net.start()) << net.error;
  const char *script = R"(
import ctypes, socket, sys
configure = ctypes.CDLL(None).tesselguard_configure
configure.argtypes = [ctypes.c_char_p]
print("configure", configure(('{"policy":{"outbound_connectivity":"%s"},"disable_analytics":true}' % sys.argv[2]).encode()) != 0)
try:
    socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5).close()
    print("connected")
except OSError as error:
    print("errno", error.errno)
)";
  for (const char *mode : {"block", "allow"}) {
    RunOptions options;
    options.argv = {"/usr/bin/python3", "-c", script, std::to_string(net.first->port), mode};
    options.env = net.google();
    RunResult result = run_process(options);
    expect_clean_exit(result);
    EXPECT_TRUE(contains_line(result.out, "configure True")) << result.out << result.err;
    EXPECT_TRUE(contains_line(result.out, std::string(mode) == "block" ? "errno 222" : "connected"))
        << mode << ":\n" << result.out << result.err;
  }
  ASSERT_TRUE(net.supervisor->wait_for_requests(1, 5000));
  EXPECT_EQ(alert_summaries_from_requests(net.supervisor->requests()),
            std::vector<std::string>{R"(outbound_connectivity block {"host":"127.0.0.1","ip":"127.0.0.1"})"});
}

}  // namespace
