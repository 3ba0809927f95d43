// Stand-ins around hooked_getaddrinfo and hooked_connect for the unit tests:
// a scripted resolver in real_getaddrinfo, a recording real_connect and a
// recording verdict callback, installed by the NetworkFakes fixture.
//
// The name table is process-wide and never cleared, so every case uses
// addresses of its own (10.200.<case>.x; 10.201/10.202 for threads).
#pragma once

#include "interceptor/interceptor.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace network_fakes {

struct scripted_answer {
  int code = 0;
  std::vector<std::string> addresses;  // "10.0.0.1" or "v6:fd00::1"
  bool list_despite_failure = false;   // hand out a list even with a failing code
  std::function<void()> during;        // runs inside the "real" resolution
};

// Scripts the answer for a name ("" for a null name).
void set_answer(const std::string &node, scripted_answer answer);
void free_list(addrinfo *list);
// Resolves through the replacement and frees the list; returns the code.
int resolve(const char *node, const char *service = "80");

extern std::mutex record_mutex;
extern std::vector<std::string> real_connects;  // "ip:port", "family <n>" or "null"
extern std::vector<std::string> events;         // event texts as the callback saw them
extern std::atomic<int> verdict_to_answer;
extern std::atomic<int> real_connect_result;
extern std::atomic<int> real_connect_errno;
// Runs inside the callback, for nested resolutions and connections.
extern std::function<void(const std::string &)> inside_judgement;

// The "args" member of a connect event text, printed unformatted.
std::string args_of(const std::string &event_text);
sockaddr_in ipv4(const char *text, uint16_t port = 443);
int connect_to(const char *ip, uint16_t port = 443);
// Connects and returns the event's arguments ("" when no event was sent).
std::string judged_args(const char *ip, uint16_t port = 443);
// Runs `work` on a thread; a hang beyond `seconds` aborts the test program.
void run_with_deadline(const std::function<void()> &work, int seconds);

class NetworkFakes : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  verdict_callback saved_callback_ = nullptr;
  decltype(real_connect) saved_connect_ = nullptr;
  decltype(real_getaddrinfo) saved_getaddrinfo_ = nullptr;
  pthread_rwlock_t *saved_lock_ = nullptr;
};

}  // namespace network_fakes
