// The name table and the connect judgement, driven through hooked_getaddrinfo
// and hooked_connect with a scripted resolver, a recording connect and a
// recording verdict callback.
//
// The table is process-wide and never cleared, so every case uses addresses
// of its own (10.200.<case>.x, 10.201/10.202 for the threaded cases).
#include "interceptor/interceptor.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- scripted resolver ----------------------------------------------------

struct scripted_answer {
  int code = 0;
  std::vector<std::string> addresses;  // "10.0.0.1" or "v6:fd00::1"
  bool list_despite_failure = false;   // hand out a list even with a failing code
  std::function<void()> during;        // runs inside the "real" resolution
};

std::mutex script_mutex;
std::map<std::string, scripted_answer> script;  // key: node, or "" for null

addrinfo *make_element(const std::string &address) {
  auto *element = static_cast<addrinfo *>(calloc(1, sizeof(addrinfo)));
  element->ai_socktype = SOCK_STREAM;
  if (address.rfind("v6:", 0) == 0) {
    auto *in6 = static_cast<sockaddr_in6 *>(calloc(1, sizeof(sockaddr_in6)));
    in6->sin6_family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, address.c_str() + 3, &in6->sin6_addr), 1);
    element->ai_family = AF_INET6;
    element->ai_addr = reinterpret_cast<sockaddr *>(in6);
    element->ai_addrlen = sizeof(sockaddr_in6);
  } else {
    auto *in4 = static_cast<sockaddr_in *>(calloc(1, sizeof(sockaddr_in)));
    in4->sin_family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, address.c_str(), &in4->sin_addr), 1);
    element->ai_family = AF_INET;
    element->ai_addr = reinterpret_cast<sockaddr *>(in4);
    element->ai_addrlen = sizeof(sockaddr_in);
  }
  return element;
}

void free_list(addrinfo *list) {
  while (list) {
    addrinfo *next = list->ai_next;
    free(list->ai_addr);
    free(list);
    list = next;
  }
}

int scripted_getaddrinfo(const char *node, const char *, const addrinfo *, addrinfo **res) {
  scripted_answer answer;
  {
    std::lock_guard<std::mutex> lock(script_mutex);
    auto found = script.find(node ? node : "");
    if (found == script.end()) return EAI_NONAME;
    answer = found->second;
  }
  if (answer.during) answer.during();
  if (answer.code != 0 && !answer.list_despite_failure) return answer.code;
  addrinfo *head = nullptr, **tail = &head;
  for (const auto &address : answer.addresses) {
    *tail = make_element(address);
    tail = &(*tail)->ai_next;
  }
  *res = head;
  return answer.code;
}

void set_answer(const std::string &node, scripted_answer answer) {
  std::lock_guard<std::mutex> lock(script_mutex);
  script[node] = std::move(answer);
}

// Resolves through the replacement and frees the list; returns the code.
int resolve(const char *node, const char *service = "80") {
  addrinfo *list = nullptr;
  int code = hooked_getaddrinfo(node, service, nullptr, &list);
  if (code == 0) free_list(list);
  return code;
}

// ---- recording connect and callback ----------------------------------------

std::mutex record_mutex;
std::vector<std::string> real_connects;  // "ip:port", or "family <n>" for others
std::vector<std::string> events;         // event texts as the callback saw them
std::atomic<int> verdict_to_answer{0};
std::atomic<int> real_connect_result{0};
std::atomic<int> real_connect_errno{0};
// Runs inside the callback (nested resolutions and connections).
std::function<void(const std::string &)> inside_judgement;

int recording_connect(int, const sockaddr *addr, socklen_t) {
  std::string entry;
  if (addr && addr->sa_family == AF_INET) {
    const auto *in4 = reinterpret_cast<const sockaddr_in *>(addr);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
    entry = std::string(text) + ":" + std::to_string(ntohs(in4->sin_port));
  } else {
    entry = addr ? "family " + std::to_string(addr->sa_family) : "null";
  }
  {
    std::lock_guard<std::mutex> lock(record_mutex);
    real_connects.push_back(entry);
  }
  if (real_connect_result != 0) errno = real_connect_errno;
  return real_connect_result;
}

int recording_callback(const char *text) {
  std::string event = text ? text : "";
  {
    std::lock_guard<std::mutex> lock(record_mutex);
    events.push_back(event);
  }
  if (inside_judgement) inside_judgement(event);
  return verdict_to_answer;
}

// The "args" member of an event text, printed unformatted.
std::string args_of(const std::string &event_text) {
  cJSON *event = cJSON_Parse(event_text.c_str());
  if (!event) return "unparseable: " + event_text;
  std::string result;
  cJSON *name = cJSON_GetObjectItemCaseSensitive(event, "name");
  cJSON *args = cJSON_GetObjectItemCaseSensitive(event, "args");
  if (!cJSON_IsString(name) || std::string(name->valuestring) != "connect") {
    result = "not a connect event: " + event_text;
  } else if (args) {
    char *printed = cJSON_PrintUnformatted(args);
    result = printed;
    cJSON_free(printed);
  }
  cJSON_Delete(event);
  return result;
}

sockaddr_in ipv4(const char *text, uint16_t port = 443) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, text, &address.sin_addr);
  return address;
}

int connect_to(const char *ip, uint16_t port = 443) {
  sockaddr_in address = ipv4(ip, port);
  return hooked_connect(-1, reinterpret_cast<sockaddr *>(&address), sizeof address);
}

// Connects and returns the event's arguments ("" when no event was sent).
std::string judged_args(const char *ip, uint16_t port = 443) {
  size_t before;
  {
    std::lock_guard<std::mutex> lock(record_mutex);
    before = events.size();
  }
  connect_to(ip, port);
  std::lock_guard<std::mutex> lock(record_mutex);
  if (events.size() == before) return "";
  EXPECT_EQ(events.size(), before + 1) << "one connect, one event";
  return args_of(events.back());
}

void run_with_deadline(const std::function<void()> &work, int seconds) {
  std::mutex mutex;
  std::condition_variable done_signal;
  bool done = false;
  std::thread worker([&] {
    work();
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    done_signal.notify_one();
  });
  std::unique_lock<std::mutex> lock(mutex);
  if (!done_signal.wait_for(lock, std::chrono::seconds(seconds), [&] { return done; })) {
    fprintf(stderr, "deadlock: the work did not finish within %d s\n", seconds);
    abort();
  }
  lock.unlock();
  worker.join();
}

class NetworkTable : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_callback_ = registered_callback;
    saved_connect_ = real_connect;
    saved_getaddrinfo_ = real_getaddrinfo;
    saved_lock_ = dns_db_lock;
    // The table lives for the process; so does its lock once made here.
    static pthread_rwlock_t test_lock = PTHREAD_RWLOCK_INITIALIZER;
    if (!dns_db_lock) dns_db_lock = &test_lock;
    registered_callback = recording_callback;
    real_connect = recording_connect;
    real_getaddrinfo = scripted_getaddrinfo;
    verdict_to_answer = 0;
    real_connect_result = 0;
    real_connect_errno = 0;
    inside_judgement = nullptr;
    real_connects.clear();
    events.clear();
  }
  void TearDown() override {
    registered_callback = saved_callback_;
    real_connect = saved_connect_;
    real_getaddrinfo = saved_getaddrinfo_;
    dns_db_lock = saved_lock_;
    inside_judgement = nullptr;
  }

 private:
  verdict_callback saved_callback_;
  decltype(real_connect) saved_connect_;
  decltype(real_getaddrinfo) saved_getaddrinfo_;
  pthread_rwlock_t *saved_lock_;
};

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

TEST_F(NetworkTable, OnlyIpv4ResultsOfNamedSuccessfulResolutionsAreRecorded) {
  // IPv6 elements, an IPv4-mapped one included, are passed over.
  set_answer("mixed.example", {0, {"v6:fd00::1", "v6:::ffff:10.200.4.1", "10.200.4.2", "v6:fd00::2"}});
  ASSERT_EQ(resolve("mixed.example"), 0);
  EXPECT_EQ(judged_args("10.200.4.1"), R"({"ip":"10.200.4.1"})");
  EXPECT_EQ(judged_args("10.200.4.2"), R"({"ip":"10.200.4.2","hostname":"mixed.example"})");
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

TEST_F(NetworkTable, OtherFamiliesAndMalformedAddressesPassUnjudged) {
  verdict_to_answer = 222;

  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "::ffff:10.200.6.1", &in6.sin6_addr);  // IPv4-mapped
  EXPECT_EQ(hooked_connect(-1, reinterpret_cast<sockaddr *>(&in6), sizeof in6), 0);
  inet_pton(AF_INET6, "fd00::6", &in6.sin6_addr);
  EXPECT_EQ(hooked_connect(-1, reinterpret_cast<sockaddr *>(&in6), sizeof in6), 0);

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
  EXPECT_EQ(real_connects, (std::vector<std::string>{"family 10", "family 10", "family 1", "null",
                                                    "10.200.6.2:443", "10.200.6.2:443"}));
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
  EXPECT_EQ(messages, no_write + no_write + no_read) << "one message per IPv4 address, then the connect's";
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(real_connects, std::vector<std::string>{"10.200.7.1:443"});

  // Nothing was recorded.
  EXPECT_EQ(judged_args("10.200.7.1"), R"({"ip":"10.200.7.1"})");
  EXPECT_EQ(judged_args("10.200.7.2"), R"({"ip":"10.200.7.2"})");
}

TEST_F(NetworkTable, ConnectionsMadeInsideTheResolverOnItsOwnThreadPassUnjudged) {
  verdict_to_answer = 222;
  std::atomic<int> inner_result{-2};
  std::atomic<int> other_thread_result{-2};
  std::atomic<int> other_thread_errno{0};
  scripted_answer answer{0, {"10.200.8.1"}};
  answer.during = [&] {
    // As the C library's resolver does: a UDP connect to the name server.
    inner_result = connect_to("10.200.8.53", 53);
    // The allowance belongs to this thread only.
    std::thread other([&] {
      other_thread_result = connect_to("10.200.8.54", 53);
      other_thread_errno = errno;
    });
    other.join();
  };
  set_answer("inside.example", answer);
  ASSERT_EQ(resolve("inside.example"), 0);
  EXPECT_EQ(inner_result, 0);
  EXPECT_EQ(other_thread_result, -1);
  EXPECT_EQ(other_thread_errno, 222);
  EXPECT_EQ(real_connects, std::vector<std::string>{"10.200.8.53:53"});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(args_of(events[0]), R"({"ip":"10.200.8.54"})");

  // Once the resolution is over the same thread is judged again, also after
  // a failing one.
  set_answer("inside-failing.example", {EAI_FAIL, {}, false, [&] { inner_result = connect_to("10.200.8.55"); }});
  EXPECT_EQ(resolve("inside-failing.example"), EAI_FAIL);
  EXPECT_EQ(inner_result, 0);
  EXPECT_EQ(connect_to("10.200.8.53", 53), -1);
  EXPECT_EQ(errno, 222);
  EXPECT_EQ(events.size(), 2u);
}

TEST_F(NetworkTable, JudgementThatResolvesAndConnectsOnTheSameThreadDoesNotDeadlock) {
  // As alert delivery on Google does: resolve the supervisor and connect to it
  // from inside the judgement of another connection.
  set_answer("outer.example", {0, {"10.200.9.1"}});
  set_answer("supervisor.example", {0, {"10.200.9.2"}});
  std::atomic<int> nested_result{-2};
  inside_judgement = [&](const std::string &event) {
    if (args_of(event).find("outer.example") == std::string::npos) return;
    EXPECT_EQ(resolve("supervisor.example"), 0);
    verdict_to_answer = 0;
    nested_result = connect_to("10.200.9.2", 8080);
    verdict_to_answer = 222;
  };
  verdict_to_answer = 222;
  ASSERT_EQ(resolve("outer.example"), 0);
  int outer_result = 0;
  run_with_deadline([&] { outer_result = connect_to("10.200.9.1"); }, 20);
  inside_judgement = nullptr;

  EXPECT_EQ(outer_result, -1);
  EXPECT_EQ(nested_result, 0);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(args_of(events[0]), R"({"ip":"10.200.9.1","hostname":"outer.example"})");
  EXPECT_EQ(args_of(events[1]), R"({"ip":"10.200.9.2","hostname":"supervisor.example"})");
  EXPECT_EQ(real_connects, std::vector<std::string>{"10.200.9.2:8080"});
}

TEST_F(NetworkTable, ConcurrentResolutionsAndConnectionsKeepEveryVerdictAndName) {
  constexpr int thread_count = 8;
  constexpr int rounds = 300;
  for (int t = 0; t < thread_count; ++t) {
    std::vector<std::string> own;
    for (int a = 1; a <= 4; ++a) own.push_back("10.201." + std::to_string(t) + "." + std::to_string(a));
    set_answer("thread" + std::to_string(t) + ".example", {0, own});
    // Every thread also resolves its own name to one shared address.
    set_answer("shared" + std::to_string(t) + ".example", {0, {"10.202.0.1"}});
  }
  verdict_to_answer = 222;
  std::atomic<int> wrong_names{0}, wrong_verdicts{0};
  inside_judgement = [&](const std::string &event) {
    std::string args = args_of(event);
    cJSON *parsed = cJSON_Parse(args.c_str());
    cJSON *ip = cJSON_GetObjectItemCaseSensitive(parsed, "ip");
    cJSON *host = cJSON_GetObjectItemCaseSensitive(parsed, "hostname");
    if (!cJSON_IsString(ip) || !cJSON_IsString(host)) {
      ++wrong_names;
    } else {
      std::string address = ip->valuestring, name = host->valuestring;
      if (address == "10.202.0.1") {
        if (name.rfind("shared", 0) != 0) ++wrong_names;
      } else if (name != "thread" + address.substr(7, 1) + ".example") {
        ++wrong_names;
      }
    }
    cJSON_Delete(parsed);
  };
  run_with_deadline(
      [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < thread_count; ++t) {
          threads.emplace_back([&, t] {
            std::string own_name = "thread" + std::to_string(t) + ".example";
            std::string shared_name = "shared" + std::to_string(t) + ".example";
            for (int round = 0; round < rounds; ++round) {
              if (resolve(own_name.c_str()) != 0 || resolve(shared_name.c_str()) != 0) ++wrong_verdicts;
              std::string ip = "10.201." + std::to_string(t) + "." + std::to_string(round % 4 + 1);
              errno = 0;
              if (connect_to(ip.c_str()) != -1 || errno != 222) ++wrong_verdicts;
              if (connect_to("10.202.0.1") != -1 || errno != 222) ++wrong_verdicts;
            }
          });
        }
        for (auto &thread : threads) thread.join();
      },
      120);
  inside_judgement = nullptr;
  EXPECT_EQ(wrong_names, 0);
  EXPECT_EQ(wrong_verdicts, 0);
  EXPECT_EQ(events.size(), static_cast<size_t>(thread_count * rounds * 2));
  EXPECT_TRUE(real_connects.empty());
}

TEST(ResolverCaller, RecognisedByLibraryPathSuffixOrFunctionName) {
  struct row {
    const char *file;
    const char *symbol;
    bool resolver;
  };
  constexpr row rows[] = {
      {"/lib/x86_64-linux-gnu/libresolv.so.2", nullptr, true},
      {"/lib/x86_64-linux-gnu/libresolv.so.2", "res_nsend", true},
      {"/libresolv.so.2", nullptr, true},  // exactly the suffix
      {"libresolv.so.2", nullptr, false},  // no leading slash
      {"/usr/lib/libresolv.so.2.1", nullptr, false},  // goes on after the suffix
      {"/usr/lib/libresolv.so.20", nullptr, false},
      {"/usr/lib/LIBRESOLV.SO.2", nullptr, false},
      {"/usr/lib/libresolv.so", nullptr, false},
      {"/lib/x86_64-linux-gnu/libc.so.6", "getaddrinfo", true},
      {nullptr, "getaddrinfo", true},
      {"/lib/x86_64-linux-gnu/libc.so.6", "getaddrinfo_a", false},
      {"/lib/x86_64-linux-gnu/libc.so.6", "GetAddrInfo", false},
      {"/lib/x86_64-linux-gnu/libc.so.6", "__res_context_send", false},
      {"/lib/x86_64-linux-gnu/libc.so.6", "", false},
      {"/lib/x86_64-linux-gnu/libc.so.6", nullptr, false},
      {"", nullptr, false},
      {nullptr, nullptr, false},
  };
  for (const row &r : rows)
    EXPECT_EQ(is_resolver_caller(r.file, r.symbol), r.resolver)
        << (r.file ? r.file : "(no file)") << " / " << (r.symbol ? r.symbol : "(no symbol)");
}

}  // namespace
