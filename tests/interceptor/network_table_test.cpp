// The name table and the connect judgement, through hooked_getaddrinfo and
// hooked_connect with a scripted resolver and recording stand-ins.
#include "network_fakes.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/un.h>

#include <cstring>

namespace {

using namespace network_fakes;

using NetworkTable = NetworkFakes;

// Connects to an IPv6 address and returns the event's arguments.
std::string judged_args6(const char *ip, socklen_t length = sizeof(sockaddr_in6)) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(443);
  inet_pton(AF_INET6, ip, &address.sin6_addr);
  const size_t before = events.size();
  hooked_connect(-1, reinterpret_cast<sockaddr *>(&address), length);
  return events.size() == before ? "" : args_of(events.back());
}

TEST_F(NetworkTable, EventArgumentsFollowTheLatestResolution) {
  // Never resolved: "ip" only, no "hostname" key at all.
  EXPECT_EQ(judged_args("10.200.0.1"), R"({"ip":"10.200.0.1"})");

  // Several addresses for one name: each reports it.
  set_answer("multi.example", {0, {"10.200.1.1", "10.200.1.2", "10.200.1.3"}});
  ASSERT_EQ(resolve("multi.example"), 0);
  for (const char *ip : {"10.200.1.1", "10.200.1.2", "10.200.1.3"})
    EXPECT_EQ(judged_args(ip), std::string(R"({"ip":")") + ip + R"(","hostname":"multi.example"})");

  // A later name for the same address replaces the earlier one.
  set_answer("first.example", {0, {"10.200.2.1"}});
  set_answer("second.example", {0, {"10.200.2.1"}});
  ASSERT_EQ(resolve("first.example"), 0);
  EXPECT_EQ(judged_args("10.200.2.1"), R"({"ip":"10.200.2.1","hostname":"first.example"})");
  ASSERT_EQ(resolve("second.example"), 0);
  EXPECT_EQ(judged_args("10.200.2.1"), R"({"ip":"10.200.2.1","hostname":"second.example"})");

  // One address listed once per socket type leaves one entry.
  set_answer("repeated.example", {0, {"10.200.2.9", "10.200.2.9", "10.200.2.9"}});
  ASSERT_EQ(resolve("repeated.example"), 0);
  EXPECT_EQ(judged_args("10.200.2.9"), R"({"ip":"10.200.2.9","hostname":"repeated.example"})");

  // A numeric name maps the address to its own text.
  set_answer("10.200.3.1", {0, {"10.200.3.1"}});
  ASSERT_EQ(resolve("10.200.3.1"), 0);
  EXPECT_EQ(judged_args("10.200.3.1"), R"({"ip":"10.200.3.1","hostname":"10.200.3.1"})");

  // The caller's text byte for byte: case and a trailing dot are kept.
  set_answer("MiXeD.Example.COM.", {0, {"10.200.3.2"}});
  ASSERT_EQ(resolve("MiXeD.Example.COM."), 0);
  EXPECT_EQ(judged_args("10.200.3.2"), R"({"ip":"10.200.3.2","hostname":"MiXeD.Example.COM."})");

  // The port is not part of the event.
  EXPECT_EQ(judged_args("10.200.3.2", 80), judged_args("10.200.3.2", 8443));
}

TEST_F(NetworkTable, NamedSuccessfulResolutionsAreRecordedUnderTheJudgedText) {
  // IPv6 elements are recorded by their text, an IPv4-mapped one as its
  // IPv4 address.
  set_answer("mixed.example", {0, {"v6:fd00::1", "v6:::ffff:10.200.4.1", "10.200.4.2"}});
  ASSERT_EQ(resolve("mixed.example"), 0);
  EXPECT_EQ(judged_args("10.200.4.1"), R"({"ip":"10.200.4.1","hostname":"mixed.example"})");
  EXPECT_EQ(judged_args("10.200.4.2"), R"({"ip":"10.200.4.2","hostname":"mixed.example"})");
  EXPECT_EQ(judged_args6("fd00::1"), R"({"ip":"fd00::1","hostname":"mixed.example"})");
  EXPECT_EQ(judged_args("0.0.0.0"), R"({"ip":"0.0.0.0"})") << "an IPv6 element read as IPv4";

  // A service-only lookup records nothing and returns the real result.
  set_answer("", {0, {"10.200.4.3"}});
  addrinfo *list = nullptr;
  ASSERT_EQ(hooked_getaddrinfo(nullptr, "80", nullptr, &list), 0);
  ASSERT_NE(list, nullptr);
  free_list(list);
  EXPECT_EQ(judged_args("10.200.4.3"), R"({"ip":"10.200.4.3"})");

  // A failing resolution returns its code, and a list it leaves behind is
  // not looked at.
  set_answer("failing.example", {EAI_AGAIN, {"10.200.4.4"}, true});
  list = nullptr;
  EXPECT_EQ(hooked_getaddrinfo("failing.example", "80", nullptr, &list), EAI_AGAIN);
  free_list(list);
  EXPECT_EQ(resolve("unknown.example"), EAI_NONAME);
  EXPECT_EQ(judged_args("10.200.4.4"), R"({"ip":"10.200.4.4"})");
}

TEST_F(NetworkTable, VerdictDecidesWhetherTheRealConnectRuns) {
  verdict_to_answer = 222;
  errno = 0;
  EXPECT_EQ(connect_to("10.200.5.1"), -1);
  EXPECT_EQ(errno, 222);
  EXPECT_TRUE(real_connects.empty()) << "a refused connection never reaches the real connect";

  verdict_to_answer = 13;
  EXPECT_EQ(connect_to("10.200.5.1"), -1);
  EXPECT_EQ(errno, 13);
  EXPECT_TRUE(real_connects.empty());

  // Allowed: the real connect runs with the caller's address, and its
  // result and errno reach the caller untouched.
  verdict_to_answer = 0;
  real_connect_result = -1;
  real_connect_errno = ECONNREFUSED;
  EXPECT_EQ(connect_to("10.200.5.1", 4321), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  real_connect_result = 0;
  EXPECT_EQ(connect_to("10.200.5.1", 4322), 0);
  EXPECT_EQ(real_connects, (std::vector<std::string>{"10.200.5.1:4321", "10.200.5.1:4322"}));
  EXPECT_EQ(events.size(), 4u);
}

TEST_F(NetworkTable, Ipv6IsJudgedByTextAndMappedAddressesAsIpv4) {
  struct row {
    const char *address;
    socklen_t length;
    const char *args;  // "" when the call passes unjudged
  };
  const row rows[] = {
      {"::ffff:10.200.6.1", sizeof(sockaddr_in6), R"({"ip":"10.200.6.1"})"},
      {"fd00::6", sizeof(sockaddr_in6), R"({"ip":"fd00::6"})"},
      {"FD00:0:0::6", sizeof(sockaddr_in6), R"({"ip":"fd00::6"})"},  // inet_ntop's form
      {"fd00::7", 24, R"({"ip":"fd00::7"})"},  // the kernel's short form without the scope
      {"fd00::8", 23, ""},                      // the kernel rejects it itself
  };
  for (const row &r : rows) EXPECT_EQ(judged_args6(r.address, r.length), r.args) << r.address;
}

TEST_F(NetworkTable, OtherFamiliesAndMalformedAddressesPassUnjudged) {
  verdict_to_answer = 222;

  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  strcpy(un.sun_path, "/run/example.sock");
  EXPECT_EQ(hooked_connect(-1, reinterpret_cast<sockaddr *>(&un), sizeof un), 0);

  // The real connect reports these itself (EFAULT, EINVAL).
  EXPECT_EQ(hooked_connect(-1, nullptr, sizeof(sockaddr_in)), 0);
  sockaddr_in short_address = ipv4("10.200.6.2");
  EXPECT_EQ(hooked_connect(-1, reinterpret_cast<sockaddr *>(&short_address), sizeof(sockaddr_in) - 1), 0);
  EXPECT_EQ(hooked_connect(-1, reinterpret_cast<sockaddr *>(&short_address), 0), 0);

  EXPECT_TRUE(events.empty());
  EXPECT_EQ(real_connects, (std::vector<std::string>{"family 1", "null", "10.200.6.2:443", "10.200.6.2:443"}));
}

TEST_F(NetworkTable, KeepsTheMostRecentAddressesOnly) {
  set_answer("oldest.example", {0, {"10.203.0.1"}});
  ASSERT_EQ(resolve("oldest.example"), 0);
  scripted_answer many;
  for (int i = 0; i < 4096; ++i)
    many.addresses.push_back("10.204." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  set_answer("many.example", many);
  ASSERT_EQ(resolve("many.example"), 0);
  EXPECT_EQ(judged_args("10.203.0.1"), R"({"ip":"10.203.0.1"})") << "the oldest address was not evicted";
  EXPECT_EQ(judged_args("10.204.0.0"), R"({"ip":"10.204.0.0","hostname":"many.example"})");
  EXPECT_EQ(judged_args("10.204.15.255"), R"({"ip":"10.204.15.255","hostname":"many.example"})");
}

TEST_F(NetworkTable, LockFailuresLeaveCallsUnjudgedAndTheTableUnchanged) {
  verdict_to_answer = 222;
  set_answer("locked.example", {0, {"10.200.7.1", "10.200.7.2", "v6:fd00::7"}});
  // A second write lock on the thread that holds it fails with EDEADLK.
  ASSERT_EQ(pthread_rwlock_wrlock(dns_db_lock), 0);
  ::testing::internal::CaptureStderr();
  int code = resolve("locked.example");
  // While the table cannot be read, the connection goes ahead unjudged.
  int connected = connect_to("10.200.7.1");
  std::string messages = ::testing::internal::GetCapturedStderr();
  pthread_rwlock_unlock(dns_db_lock);

  EXPECT_EQ(code, 0);
  EXPECT_EQ(connected, 0);
  std::string no_write = std::string("[INTERCEPTOR] hooked_getaddrinfo: Cannot acquire dns db lock: ") +
                         strerror(EDEADLK) + "\n";
  std::string no_read = std::string("[INTERCEPTOR] hooked_connect: Cannot acquire dns db lock: ") +
                        strerror(EDEADLK) + "\n";
  EXPECT_EQ(messages, no_write + no_write + no_write + no_read) << "one message per address, then the connect's";
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(real_connects, std::vector<std::string>{"10.200.7.1:443"});

  // Nothing was recorded.
  EXPECT_EQ(judged_args("10.200.7.1"), R"({"ip":"10.200.7.1"})");
  EXPECT_EQ(judged_args("10.200.7.2"), R"({"ip":"10.200.7.2"})");
}

}  // namespace
