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
#include "policy/policy.hpp"
#include "stress_support.hpp"
#include "tesselguard.h"

namespace {

constexpr int THREADS = 16;
constexpr int ROUNDS = 150;

// Installs a private state record, the policy callback, a name-table lock
// and a drained pipe on descriptor 999, and puts everything back afterwards.
class InProcessStress : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_map_ = state_map;
    saved_writable_ = state_writable;
    saved_callback_ = registered_callback;
    saved_lock_ = dns_db_lock;
    record_ = state_record{};
    record_.provider = PROVIDER_AWS;
    state_map = &record_;
    state_writable = true;
    registered_callback = policy_callback;
    pthread_rwlock_init(&lock_, nullptr);
    if (!dns_db_lock) dns_db_lock = &lock_;
    ASSERT_EQ(pipe2(log_, O_CLOEXEC), 0);
    saved_999_ = fcntl(ALERT_LOG_FD, F_DUPFD_CLOEXEC, 1000);
    ASSERT_EQ(dup2(log_[1], ALERT_LOG_FD), ALERT_LOG_FD);
    close(log_[1]);
    reader_ = std::thread([this] {
      char buffer[65536];
      for (;;) {
        ssize_t n = read(log_[0], buffer, sizeof buffer);
        if (n <= 0) return;
        log_text_.append(buffer, static_cast<size_t>(n));
      }
    });
  }

  void TearDown() override {
    if (saved_999_ >= 0) {
      dup2(saved_999_, ALERT_LOG_FD);
      close(saved_999_);
    } else {
      close(ALERT_LOG_FD);
    }
    reader_.join();
    close(log_[0]);
    if (dns_db_lock == &lock_) dns_db_lock = saved_lock_;
    registered_callback = saved_callback_;
    state_map = saved_map_;
    state_writable = saved_writable_;
  }

  std::string log_text_;

 private:
  state_record record_{};
  state_record *saved_map_ = nullptr;
  bool saved_writable_ = false;
  verdict_callback saved_callback_ = nullptr;
  pthread_rwlock_t *saved_lock_ = nullptr;
  pthread_rwlock_t lock_;
  int log_[2] = {-1, -1};
  int saved_999_ = -1;
  std::thread reader_;
};

TEST_F(InProcessStress, SixteenThreadsKeepEveryTmpRefusalWhileTheConfigurationChanges) {
  scratch_directory scratch;
  ASSERT_FALSE(scratch.path.empty());
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = inet_addr("127.0.0.2");
  socklen_t length = sizeof server;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&server), sizeof server), 0);
  ASSERT_EQ(listen(listener, 4096), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&server), &length), 0);

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
