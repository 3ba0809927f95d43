// The callback runs on every thread that makes an intercepted call. Many
// threads judging at once must each deliver whole records, each on a line
// of its own.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/core.hpp"
#include "policy/policy.hpp"
#include "policy_harness.hpp"

namespace {

constexpr int THREADS = 8;
constexpr int EVENTS_PER_THREAD = 500;

std::string tmp_path(int thread, int index) {
  return "/tmp/worker-" + std::to_string(thread) + "-" + std::to_string(index);
}

std::string peer(int thread, int index) {
  return "10." + std::to_string(thread) + "." + std::to_string(index / 256) + "." + std::to_string(index % 256);
}

std::string member_text(const cJSON *object, const char *name) {
  const char *text = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(object, name));
  return text ? text : "(absent)";
}

void judge_many(int thread) {
  for (int i = 0; i < EVENTS_PER_THREAD; ++i) {
    const std::string open_event =
        R"({"name":"fs_open","timestamp":"t","args":{"path":")" + tmp_path(thread, i) + "\"}}";
    const std::string connect_event =
        R"({"name":"connect","timestamp":"t","args":{"ip":")" + peer(thread, i) + R"(","hostname":"example.com"}})";
    // Exempt: must never be delivered.
    const std::string exempt_event =
        R"({"name":"process_execution","timestamp":"t","args":{"argv":["uname","-p"],"path":"/bin/uname"}})";
    EXPECT_EQ(policy_callback(open_event.c_str()), 0);
    EXPECT_EQ(policy_callback(connect_event.c_str()), 222);
    EXPECT_EQ(policy_callback(exempt_event.c_str()), 0);
  }
}

TEST(PolicyConcurrency, EveryRecordArrivesWhole) {
  alert_log_pipe log;
  scoped_state state(PROVIDER_AWS);
  state.record.read_write_tmp = MODE_ALERT;
  state.record.outbound_connectivity = MODE_BLOCK;
  state.record.create_child_process = MODE_BLOCK;
  set_text(state.record.runtime, "Python");

  std::atomic<bool> done{false};
  std::string stream;
  std::thread reader([&] {
    while (!done.load()) {
      pollfd readable{log.read_fd, POLLIN, 0};
      poll(&readable, 1, 20);
      stream += log.drain();
    }
    stream += log.drain();
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < THREADS; ++t) workers.emplace_back(judge_many, t);
  for (auto &worker : workers) worker.join();
  done = true;
  reader.join();

  // Every line is one whole record.
  std::set<std::string> paths, ips;
  size_t count = 0;
  size_t line_feeds = 0;
  size_t line_start = 0;
  for (size_t at = stream.find('\n'); at != std::string::npos; at = stream.find('\n', line_start)) {
    ++line_feeds;
    const std::string line = stream.substr(line_start, at - line_start);
    line_start = at + 1;
    cJSON *record = cJSON_ParseWithLength(line.c_str(), line.size());
    ASSERT_NE(record, nullptr) << "broken line: " << line.substr(0, 200);
    ++count;
    const cJSON *details = cJSON_GetObjectItemCaseSensitive(record, "details");
    const std::string policy = member_text(record, "policy");
    const std::string mode = member_text(record, "mode");
    if (policy == "read_write_tmp") {
      EXPECT_EQ(mode, "alert");
      paths.insert(member_text(details, "path"));
    } else {
      EXPECT_EQ(policy, "outbound_connectivity");
      EXPECT_EQ(mode, "block");
      ips.insert(member_text(details, "ip"));
    }
    cJSON_Delete(record);
  }
  EXPECT_EQ(line_start, stream.size()) << "text after the last line feed";
  const size_t expected = 2u * THREADS * EVENTS_PER_THREAD;
  EXPECT_EQ(count, expected);
  EXPECT_EQ(line_feeds, expected);
  EXPECT_EQ(paths.size(), expected / 2);
  EXPECT_EQ(ips.size(), expected / 2);
  EXPECT_TRUE(paths.count(tmp_path(THREADS - 1, EVENTS_PER_THREAD - 1)));
  EXPECT_TRUE(ips.count(peer(0, 0)));
}

}  // namespace
