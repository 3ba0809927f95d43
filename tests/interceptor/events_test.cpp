// Event records, their timestamps and the verdict protocol.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "core/timestamp.hpp"
#include "interceptor/interceptor.hpp"

namespace {

std::string formatted(int64_t seconds, long microseconds) {
  char text[32];
  memset(text, '#', sizeof text);
  format_utc_timestamp(seconds, microseconds, text);
  return text;
}

// What the C library makes of the same instant: gmtime_r, strftime with
// "%Y-%m-%dT%H:%M:%S", then the microseconds.
std::string reference(int64_t seconds, long microseconds) {
  time_t instant = static_cast<time_t>(seconds);
  tm fields{};
  if (!gmtime_r(&instant, &fields)) return "gmtime_r failed";
  char calendar[32];
  strftime(calendar, sizeof calendar, "%Y-%m-%dT%H:%M:%S", &fields);
  char text[32];
  if (snprintf(text, 31, "%s.%06ldZ", calendar, microseconds) < 0) return "snprintf failed";
  return text;
}

TEST(EventTimestamp, MatchesTheCLibraryAcrossTheCalendar) {
  const int64_t fixed[] = {
      0, 1, -1, 59, 60, 86399, 86400, -86400, -86401,
      951782400,                        // 2000-02-29, a leap day in a century year
      951868800,                        // 2000-03-01
      4107456000,                       // 2100-02-28: 2100 is not a leap year
      4107542400,                       // 2100-03-01
      2147483647, 2147483648,           // 2038-01-19, the 32-bit end
      4294967295, 4294967296,           // 2106
      -2208988800,                      // 1900-01-01
      -62135596800,                     // 0001-01-01
      253402300799,                     // 9999-12-31T23:59:59
      253402300800,                     // 10000-01-01
      1709164800,                       // 2024-02-29
      1582934400,                       // 2020-02-29
  };
  for (int64_t seconds : fixed) EXPECT_EQ(formatted(seconds, 123), reference(seconds, 123)) << seconds;

  // Every day from 1600 to 2500 at a random moment, and random instants
  // far beyond in both directions.
  std::mt19937_64 random(20240229);
  for (int64_t day = -135140; day <= 193700; ++day) {
    const int64_t seconds = day * 86400 + static_cast<int64_t>(random() % 86400);
    ASSERT_EQ(formatted(seconds, 0), reference(seconds, 0)) << seconds;
  }
  std::uniform_int_distribution<int64_t> far(-60000000000000LL, 60000000000000LL);
  for (int i = 0; i < 200000; ++i) {
    const int64_t seconds = far(random);
    const long micro = static_cast<long>(random() % 1000000);
    ASSERT_EQ(formatted(seconds, micro), reference(seconds, micro)) << seconds;
  }
}

TEST(EventTimestamp, MicrosecondsAlwaysSixDigits) {
  EXPECT_EQ(formatted(1551962096, 0), "2019-03-07T12:34:56.000000Z");
  EXPECT_EQ(formatted(1551962096, 5), "2019-03-07T12:34:56.000005Z");
  EXPECT_EQ(formatted(1551962096, 123), "2019-03-07T12:34:56.000123Z");
  EXPECT_EQ(formatted(1551962096, 999999), "2019-03-07T12:34:56.999999Z");
  EXPECT_EQ(formatted(0, 0), "1970-01-01T00:00:00.000000Z");
}

TEST(EventTimestamp, CutAtThirtyCharacters) {
  // Year 31690708: the text would be 31 characters long.
  const std::string text = formatted(1000000000000000LL, 7);
  EXPECT_EQ(text.size(), 30u);
  EXPECT_EQ(text, reference(1000000000000000LL, 7));
  EXPECT_EQ(text.substr(0, 9), "31690708-");
}

class ScopedTimeZone {
  std::string saved_;
  bool had_;

 public:
  explicit ScopedTimeZone(const char *zone) {
    const char *old = getenv("TZ");
    had_ = old != nullptr;
    if (old) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
};

std::string utc_now_seconds() {
  // The clock the library reads: time() may lag it by a tick.
  timeval now{};
  gettimeofday(&now, nullptr);
  tm fields{};
  gmtime_r(&now.tv_sec, &fields);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &fields);
  return text;
}

TEST(EventTimestamp, IsUtcWhateverTheZone) {
  for (const char *zone : {"Asia/Kolkata", "America/St_Johns", "XYZ+07:30", "UTC"}) {
    SCOPED_TRACE(zone);
    ScopedTimeZone scoped(zone);
    const std::string before = utc_now_seconds();
    char stamp[32];
    current_timestamp(stamp);
    const std::string after = utc_now_seconds();
    const std::string text = stamp;
    ASSERT_EQ(text.size(), 27u) << text;
    EXPECT_EQ(text[19], '.');
    EXPECT_EQ(text[26], 'Z');
    const std::string seconds = text.substr(0, 19);
    EXPECT_TRUE(seconds == before || seconds == after) << text << " vs " << before;
  }
}

// ---- the verdict protocol -------------------------------------------------

std::string last_text;
int next_verdict;

int recording_callback(const char *text) {
  last_text = text ? text : "(null)";
  return next_verdict;
}

class VerdictSlot : public ::testing::Test {
  verdict_callback saved_ = registered_callback;

 protected:
  void SetUp() override { registered_callback = recording_callback; }
  void TearDown() override { registered_callback = saved_; }
};

TEST_F(VerdictSlot, AnswerPassesThroughUnchanged) {
  for (int verdict : {0, 13, 222, -5}) {
    next_verdict = verdict;
    EXPECT_EQ(judge_connection("10.0.0.1", nullptr), verdict);
  }
}

// The whole text in one piece; a long one moves to the heap.
TEST_F(VerdictSlot, CallbackReceivesTheEventText) {
  const std::string host(3000, 'h');
  for (const char *hostname : {"example.com", host.c_str()}) {
    judge_connection("10.0.0.1", hostname);
    ASSERT_EQ(last_text.size(), 27 + sizeof R"({"name":"connect","timestamp":"","args":{"ip":"10.0.0.1","hostname":""}})" - 1 + strlen(hostname));
    EXPECT_EQ(last_text.substr(0, 31), R"({"name":"connect","timestamp":")");
    EXPECT_EQ(last_text.substr(58), std::string(R"(","args":{"ip":"10.0.0.1","hostname":")") + hostname + "\"}}");
  }
}

TEST(VerdictWithoutCallback, GoesAhead) {
  verdict_callback saved = registered_callback;
  registered_callback = nullptr;
  EXPECT_EQ(judge_connection("10.0.0.1", "example.com"), 0);
  registered_callback = saved;
}

}  // namespace
