// The resolver test on connect's caller keeps its answers per call site;
// they must stay what dladdr says, also across loading and unloading.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <vector>

#include "interceptor/interceptor.hpp"

namespace {

bool dladdr_says_resolver(const void *address) {
  Dl_info info;
  return dladdr(address, &info) != 0 && is_resolver_caller(info.dli_fname, info.dli_sname);
}

const void *inside(void *function, int offset) { return static_cast<const char *>(function) + offset; }

TEST(ConnectCallerAnswers, StayWhatDladdrSaysAcrossLoadsAndUnloads) {
  // A call site inside getaddrinfo (a resolver), and ones that are not.
  std::vector<const void *> sites = {inside(reinterpret_cast<void *>(&getaddrinfo), 16),
                                     inside(reinterpret_cast<void *>(&freeaddrinfo), 4),
                                     reinterpret_cast<const void *>(&dladdr_says_resolver)};
  ASSERT_TRUE(dladdr_says_resolver(sites[0]));
  ASSERT_FALSE(dladdr_says_resolver(sites[2]));
  for (int round = 0; round < 3; ++round)
    for (const void *site : sites) EXPECT_EQ(connect_caller_is_resolver(site), dladdr_says_resolver(site));

  // An object loaded and unloaded in between: call sites inside it are
  // answered afresh, and the earlier ones stay right.
  void *resolver_library = dlopen("libresolv.so.2", RTLD_NOW);
  ASSERT_NE(resolver_library, nullptr) << dlerror();
  void *function = dlsym(resolver_library, "ns_initparse");
  ASSERT_NE(function, nullptr);
  const void *in_libresolv = inside(function, 8);
  EXPECT_TRUE(dladdr_says_resolver(in_libresolv));
  EXPECT_TRUE(connect_caller_is_resolver(in_libresolv));
  for (const void *site : sites) EXPECT_EQ(connect_caller_is_resolver(site), dladdr_says_resolver(site));
  dlclose(resolver_library);
  for (const void *site : sites) EXPECT_EQ(connect_caller_is_resolver(site), dladdr_says_resolver(site));
  // More call sites than a thread keeps: the oldest are asked again.
  for (int i = 0; i < 20; ++i) {
    const void *site = inside(reinterpret_cast<void *>(&freeaddrinfo), i);
    EXPECT_EQ(connect_caller_is_resolver(site), dladdr_says_resolver(site));
  }
}

}  // namespace
