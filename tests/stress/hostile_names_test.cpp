// Hostile texts inside the process: host names with quotes and control
// characters on their way from a resolution into an alert record, a
// configuration text of several megabytes, and deeply nested JSON.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "policy/policy.hpp"
#include "stress_support.hpp"
#include "tesselguard.h"

namespace {

// Every name resolves to 203.0.113.<n>, where n counts the resolutions;
// connections never leave the process.
int resolutions = 0;

int fake_getaddrinfo(const char *, const char *, const addrinfo *, addrinfo **res) {
  auto *element = static_cast<addrinfo *>(calloc(1, sizeof(addrinfo) + sizeof(sockaddr_in)));
  auto *address = reinterpret_cast<sockaddr_in *>(element + 1);
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(0xcb007100u + static_cast<uint32_t>(++resolutions % 250));
  element->ai_family = AF_INET;
  element->ai_socktype = SOCK_STREAM;
  element->ai_addr = reinterpret_cast<sockaddr *>(address);
  element->ai_addrlen = sizeof(sockaddr_in);
  *res = element;
  return 0;
}

int fake_connect(int, const sockaddr *, socklen_t) { return 0; }

class HostileNames : public PrivateStateTest {
 protected:
  void SetUp() override {
    PrivateStateTest::SetUp();
    saved_resolver_ = real_getaddrinfo;
    saved_connect_ = real_connect;
    real_getaddrinfo = fake_getaddrinfo;
    real_connect = fake_connect;
  }
  void TearDown() override {
    real_getaddrinfo = saved_resolver_;
    real_connect = saved_connect_;
    PrivateStateTest::TearDown();
  }

  // Resolves `name` through the replacement and connects to its address.
  int connect_by_name(const std::string &name) {
    addrinfo *list = nullptr;
    if (hooked_getaddrinfo(name.c_str(), "443", nullptr, &list) != 0 || !list) return -2;
    sockaddr_in address;
    memcpy(&address, list->ai_addr, sizeof address);
    free(list);  // one block: the fake's allocation
    return hooked_connect(3, reinterpret_cast<sockaddr *>(&address), sizeof address);
  }

 private:
  decltype(real_getaddrinfo) saved_resolver_ = nullptr;
  decltype(real_connect) saved_connect_ = nullptr;
};

TEST_F(HostileNames, QuotesAndControlCharactersInHostNamesKeepEveryRecordOneLineOfJson) {
  record_.outbound_connectivity = MODE_BLOCK;
  const std::string names[] = {
      "evil\"host.example",     "back\\slash\\\"",        "line\nfeed.example", "tab\there\rreturn",
      "bell\x01\x07\x1f\x7f", "\"}],\"mode\":\"allow\"", "unicode-\xc3\xa9-\xe2\x80\xa8",
  };
  for (const auto &name : names) EXPECT_EQ(connect_by_name(name), -1) << name;
  std::vector<alert_record> records;
  std::string bad;
  ASSERT_TRUE(parse_alert_lines(alert_log(), &records, &bad)) << bad;
  ASSERT_EQ(records.size(), std::size(names));
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].host, names[i]);  // byte for byte, whatever it holds
    EXPECT_EQ(records[i].mode, "block");   // an injected "mode" stays inside the string
  }
}

TEST_F(HostileNames, ConfigurationTextOfSeveralMegabytesIsApplied) {
  std::string padding(4 << 20, 'x');
  const std::string document = R"({"padding":")" + padding + R"(","disable_analytics":true,)" +
                               R"("policy":{"read_write_tmp":"block"},"runtime_version":")" + padding + "\"}";
  EXPECT_NE(tesselguard_configure(document.c_str()), 0);
  EXPECT_EQ(record_.read_write_tmp, MODE_BLOCK);
  // A value longer than its field is cut, never written past it.
  EXPECT_EQ(std::string(record_.runtime_version), padding.substr(0, sizeof record_.runtime_version - 1));
  EXPECT_EQ(record_.handler_path[0], '\0');
}

TEST_F(HostileNames, DeeplyNestedJsonIsRefusedWithoutExhaustingTheStack) {
  // Far beyond any parser's nesting limit: not a document, nothing counted.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  EXPECT_EQ(tesselguard_configure(deep.c_str()), 0);
  EXPECT_EQ(record_.cookie, 0);
  EXPECT_EQ(record_.failed_cookie_count, 0);
  const std::string objects = [] {
    std::string text;
    for (int i = 0; i < 100000; ++i) text += "{\"a\":";
    return text + "1" + std::string(100000, '}');
  }();
  EXPECT_EQ(tesselguard_configure(objects.c_str()), 0);
  // Nested deeply but within the limit: a document like any other.
  const std::string moderate = "{\"policy\":" + std::string(500, '[') + std::string(500, ']') + "}";
  EXPECT_NE(tesselguard_configure(moderate.c_str()), 0);
  EXPECT_EQ(record_.read_write_tmp, MODE_ALLOW);

  // The verdict callback meets the same texts as events.
  EXPECT_EQ(policy_callback(deep.c_str()), 0);
  EXPECT_EQ(policy_callback(objects.c_str()), 0);
  EXPECT_EQ(alert_log(), "");
}

}  // namespace
