// Where connect was called from: the decision on the dladdr answer, and the
// return address it is asked about.
//
// hooked_connect takes its caller from its own return address. Through the
// hooking engine the call path is caller -> patched entry (jump) -> stub
// (jump) -> hooked_connect; jumps push nothing, so that must still be the
// original caller's. Checked by patching this process's own connect for the
// length of one test.
#include "hook/hook.hpp"
#include "interceptor/interceptor.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using connect_function = int (*)(int, const sockaddr *, socklen_t);

connect_function trampoline = nullptr;
std::vector<std::string> passed_through;  // what reached the real connect
std::vector<std::string> judged;          // event texts

int counting_connect(int fd, const sockaddr *addr, socklen_t length) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (addr && addr->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(addr)->sin_addr, text, sizeof text);
  else if (addr && addr->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr, text, sizeof text);
  passed_through.push_back(text);
  return trampoline(fd, addr, length);
}

int refusing_callback(const char *text) {
  judged.push_back(text ? text : "");
  return 222;
}

TEST(NetworkCaller, ReturnAddressThroughThePatchedEntryIsTheCallers) {
  verdict_callback saved_callback = registered_callback;
  connect_function saved_connect = real_connect;
  pthread_rwlock_t *saved_lock = dns_db_lock;
  static pthread_rwlock_t test_lock = PTHREAD_RWLOCK_INITIALIZER;
  if (!dns_db_lock) dns_db_lock = &test_lock;

  find_resolver_objects();
  real_connect = connect;
  hook_set *set = hook_set_create();
  ASSERT_NE(set, nullptr);
  ASSERT_EQ(hook_set_prepare(set, reinterpret_cast<void **>(&real_connect), reinterpret_cast<void *>(hooked_connect)),
            HOOK_OK)
      << hook_set_error_message(set);
  trampoline = real_connect;
  real_connect = counting_connect;
  registered_callback = refusing_callback;
  passed_through.clear();
  judged.clear();
  ASSERT_EQ(hook_set_install(set), HOOK_OK) << hook_set_error_message(set);

  // A connect from this program: judged and refused.
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(9);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  errno = 0;
  int own_result = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
  int own_errno = errno;
  close(fd);
  size_t judged_by_own_call = judged.size();

  // getaddrinfo (left unhooked here) probes each of several results with a
  // UDP connect made from its own code: that caller is the resolver.
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  int code = getaddrinfo(nullptr, "80", &hints, &list);
  if (code == 0) freeaddrinfo(list);

  hook_set_destroy(set);
  real_connect = saved_connect;
  registered_callback = saved_callback;
  dns_db_lock = saved_lock;

  EXPECT_EQ(own_result, -1);
  EXPECT_EQ(own_errno, 222);
  ASSERT_EQ(judged_by_own_call, 1u);
  EXPECT_NE(judged[0].find(R"("args":{"ip":"127.0.0.1"})"), std::string::npos) << judged[0];
  EXPECT_TRUE(passed_through.empty() || passed_through[0] != "127.0.0.1") << "the refused call went through";

  ASSERT_EQ(code, 0);
  auto seen = [](const char *ip) {
    return std::find(passed_through.begin(), passed_through.end(), ip) != passed_through.end();
  };
  // The IPv6 probe is never judged, so it shows whether probing happened.
  if (!seen("::1")) GTEST_SKIP() << "this C library does not probe source addresses from getaddrinfo";
  EXPECT_TRUE(seen("127.0.0.1")) << "the IPv4 probe from inside getaddrinfo was refused";
  EXPECT_EQ(judged.size(), 1u) << "the probe from inside getaddrinfo was judged: " << judged.back();
}

}  // namespace
