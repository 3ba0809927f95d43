// Threads and nesting: the resolver's own connections, judgements that
// resolve and connect on the judging thread, and many threads at once.
#include "network_fakes.hpp"

#include <cjson/cJSON.h>
#include <netdb.h>

#include <atomic>
#include <thread>

namespace {

using namespace network_fakes;

using NetworkThreads = NetworkFakes;

TEST_F(NetworkThreads, ConnectionsMadeInsideTheResolverOnItsOwnThreadPassUnjudged) {
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

TEST_F(NetworkThreads, JudgementThatResolvesAndConnectsOnTheSameThreadDoesNotDeadlock) {
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

TEST_F(NetworkThreads, ConcurrentResolutionsAndConnectionsKeepEveryVerdictAndName) {
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

}  // namespace
