// The sixteen-thread stress run inside the test process, with the
// replacement functions called directly: the form the ThreadSanitizer build
// can check, since nothing can be preloaded there. The configuration call
// rewrites a private state record in a loop while the threads are judged.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/core.hpp"
#include "interceptor/interceptor.hpp"
#include "loopback.hpp"
#include "policy/policy.hpp"
#include "stress_support.hpp"
#include "tesselguard.h"

namespace {

constexpr int THREADS = 16;
constexpr int ROUNDS = 150;

using InProcessStress = PrivateStateTest;

TEST_F(InProcessStress, SixteenThreadsKeepEveryTmpRefusalWhileTheConfigurationChanges) {
  scratch_directory scratch;
  ASSERT_FALSE(scratch.path.empty());
  int port = 0;
  int listener = loopback_listener(4096, &port, "127.0.0.2");
  ASSERT_GE(listener, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(port));
  server.sin_addr.s_addr = inet_addr("127.0.0.2");

  const int32_t cookie = tesselguard_configure(R"({"disable_analytics":true,"policy":{"read_write_tmp":"block"}})");
  ASSERT_NE(cookie, 0);

  std::atomic<bool> running{true};
  std::atomic<long> escaped{0}, unexpected{0}, calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      const std::string path = scratch.path + "/t" + std::to_string(t);
      for (int round = 0; round < ROUNDS; ++round) {
        int fd = hooked_open(path.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd >= 0) {
          ++escaped;
          close(fd);
        } else if (errno != 222) {
          ++unexpected;
        }
        FILE *file = hooked_fopen(path.c_str(), "w");
        if (file) {
          ++escaped;
          fclose(file);
        } else if (errno != 222) {
          ++unexpected;
        }
        addrinfo hints{}, *list = nullptr;
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        if (hooked_getaddrinfo("localhost", nullptr, &hints, &list) == 0) freeaddrinfo(list);
        else ++unexpected;
        int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (hooked_connect(sock, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0 && errno != 222)
          ++unexpected;
        close(sock);
        calls += 4;
      }
    });
  }
  static const char *const words[] = {"allow", "alert", "block"};
  static const char *const runtimes[] = {"Python", "Node.js", "Java"};
  long configurations = 0;
  std::thread configurer([&] {
    while (running) {
      const std::string document = "{\"cookie\":" + std::to_string(cookie) +
                                   R"(,"policy":{"read_write_tmp":"block","outbound_connectivity":")" +
                                   words[configurations % 3] + R"("},"runtime_version":")" +
                                   runtimes[configurations % 3] + "\"}";
      if (tesselguard_configure(document.c_str()) != cookie) ++unexpected;
      ++configurations;
    }
  });
  for (auto &thread : threads) thread.join();
  running = false;
  configurer.join();
  close(listener);

  EXPECT_EQ(calls.load(), THREADS * ROUNDS * 4L);
  EXPECT_GT(configurations, 0);
  EXPECT_EQ(escaped.load(), 0);
  EXPECT_EQ(unexpected.load(), 0);
}

}  // namespace
