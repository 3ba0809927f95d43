// The analytics exchange, end to end: a process under the library variant
// whose endpoint is a TLS server on loopback.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <openssl/sha.h>

#include <chrono>
#include <string>
#include <vector>

#include "process_runner.hpp"
#include "tls_server.hpp"

namespace {

constexpr const char *RECORD_PREFIX = "{\"tessel_guard_analytics\":true,";
// Enough calls that a run without any draw of 50 is rarer than 1e-6.
constexpr const char *MANY_CALLS = "2000";

std::string sha256_text(const std::string &text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
  char hex[65];
  for (int i = 0; i < 32; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

std::vector<std::string> member_names(const std::string &json) {
  std::vector<std::string> names;
  cJSON *root = cJSON_Parse(json.c_str());
  for (cJSON *item = root ? root->child : nullptr; item; item = item->next) names.push_back(item->string);
  cJSON_Delete(root);
  return names;
}

std::string member_text(const std::string &json, const char *name) {
  cJSON *root = cJSON_Parse(json.c_str());
  const cJSON *item = cJSON_GetObjectItemCaseSensitive(root, name);
  std::string value = cJSON_IsString(item) ? item->valuestring : "<absent>";
  cJSON_Delete(root);
  return value;
}

// Splits one recorded request into its head (through the blank line) and body.
void split_request(const std::string &request, std::string &head, std::string &body) {
  size_t end = request.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos) << request;
  head = request.substr(0, end + 4);
  body = request.substr(end + 4);
  ASSERT_GE(body.size(), 2u);
  ASSERT_EQ(body.substr(body.size() - 2), "\r\n") << "body must be followed by CR LF";
  body.resize(body.size() - 2);
}

RunResult run_configure(std::vector<std::string> env, std::vector<std::string> args, int timeout_ms = 120000) {
  env.push_back(std::string("LD_PRELOAD=") + TG_ANALYTICS_VARIANT_PATH);
  return run_probe("analytics_configure", args, std::move(env), true, "", timeout_ms);
}

class AnalyticsExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    TG_SKIP_IF_SANITIZED();
  }
  void start(TlsServer::Behaviour behaviour = TlsServer::Behaviour::answer) {
    if (!server.start(TG_ANALYTICS_VARIANT_PORT, behaviour))
      GTEST_SKIP() << "port " << TG_ANALYTICS_VARIANT_PORT << " is taken";
  }
  TlsServer server;
};

TEST_F(AnalyticsExchange, AwsRequestRecordAndLogAgree) {
  start();
  if (IsSkipped()) return;
  auto env = aws_env("AWS_Lambda_nodejs10.x");
  env.push_back("AWS_LAMBDA_FUNCTION_NAME=orders-handler");
  RunResult run = run_configure(env, {MANY_CALLS, R"({"runtime":"Node.js","runtime_version":"10.x"})"});
  server.stop();
  ASSERT_EQ(run.exit_code, 0) << run.err;
  auto requests = server.requests();
  ASSERT_GE(requests.size(), 1u);

  std::vector<std::string> logged;
  for (const auto &line : split_lines(run.log))
    if (line.rfind(RECORD_PREFIX, 0) == 0) logged.push_back(line);
  ASSERT_EQ(logged.size(), requests.size()) << run.log;

  for (size_t i = 0; i < requests.size(); ++i) {
    std::string head, body;
    split_request(requests[i], head, body);
    EXPECT_EQ(head, "POST /analytics HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n"
                    "Content-Type: application/json\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(body, logged[i]);
    EXPECT_EQ(member_names(body),
              (std::vector<std::string>{"tessel_guard_analytics", "time", "runtime", "runtime_version",
                                        "tessel_guard_version", "provider", "function_name_sha256"}));
    EXPECT_EQ(member_text(body, "runtime"), "Node.js");
    EXPECT_EQ(member_text(body, "runtime_version"), "10.x");
    EXPECT_EQ(member_text(body, "tessel_guard_version"), "2.0.14");
    EXPECT_EQ(member_text(body, "provider"), "AWS");
    EXPECT_EQ(member_text(body, "function_name_sha256"), sha256_text("orders-handler"));
    EXPECT_EQ(member_text(body, "time").size(), 27u);
  }
  // Each successful exchange writes one line feed of its own to standard output.
  size_t empty_lines = 0;
  for (const auto &line : split_lines(run.out)) empty_lines += line.empty();
  EXPECT_EQ(empty_lines, requests.size()) << run.out;
}

TEST_F(AnalyticsExchange, GoogleAnalyticsPassesOutboundBlockOtherAddressesDoNot) {
  start();
  if (IsSkipped()) return;
  auto env = google_env("");
  RunResult run = run_configure(env, {MANY_CALLS, R"({"policy":{"outbound_connectivity":"block"}})",
                                      "127.0.0.2", "9"});
  server.stop();
  ASSERT_EQ(run.exit_code, 0) << run.err;
  auto requests = server.requests();
  ASSERT_GE(requests.size(), 1u);
  std::string head, body;
  split_request(requests.front(), head, body);
  EXPECT_EQ(member_names(body),
            (std::vector<std::string>{"tessel_guard_analytics", "time", "runtime", "runtime_version",
                                      "tessel_guard_version", "provider", "function_name_sha256"}));
  EXPECT_EQ(member_text(body, "provider"), "Google");
  EXPECT_EQ(member_text(body, "runtime"), "");
  // The digest of the empty name is that of the empty input.
  EXPECT_EQ(member_text(body, "function_name_sha256"),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_TRUE(contains_line(run.err, "connect -1 errno 222")) << run.err;
}

TEST_F(AnalyticsExchange, NothingListeningLogsCannotConnectAndNoRecord) {
  RunResult run = run_configure(aws_env(), {MANY_CALLS, "{}"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  auto lines = split_lines(run.log);
  size_t failures = 0;
  for (const auto &line : lines) {
    EXPECT_NE(line.rfind(RECORD_PREFIX, 0), 0u) << "record logged without an exchange";
    failures += line == "cannot connect";
  }
  EXPECT_GE(failures, 1u) << run.log;
}

TEST_F(AnalyticsExchange, DisabledAnalyticsNeverConnects) {
  start();
  if (IsSkipped()) return;
  RunResult run = run_configure(aws_env(), {MANY_CALLS, R"({"disable_analytics":true})"});
  server.stop();
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(server.connections(), 0u);
  EXPECT_EQ(run.log, "");
}

TEST_F(AnalyticsExchange, SilentEndpointCannotHoldTheCallerForever) {
  start(TlsServer::Behaviour::stall);
  if (IsSkipped()) return;
  auto started = std::chrono::steady_clock::now();
  RunResult run = run_configure(aws_env(), {"20000", "{}", "stop-after-slow-call"}, 60000);
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  server.stop();
  ASSERT_FALSE(run.timed_out);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.err.find("slow call"), std::string::npos) << run.err;
  EXPECT_TRUE(contains_line(run.log, "cannot connect")) << run.log;
  EXPECT_LT(seconds, 30.0);
}

}  // namespace
