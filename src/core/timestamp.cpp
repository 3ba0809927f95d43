// Timestamps of events and records: "YYYY-MM-DDTHH:MM:SS.uuuuuuZ" in UTC.
#include "core/timestamp.hpp"

#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

struct civil_date {
  int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Proleptic Gregorian date of a day count since 1970-01-01 (days-from-civil
// inverted, in 400-year eras of 146097 days so negative counts work too).
civil_date civil_from_days(int64_t days) {
  days += 719468;  // shift the epoch to 0000-03-01
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;  // 0 = March
  civil_date date;
  date.day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  date.month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  date.year = year_of_era + era * 400 + (date.month <= 2 ? 1 : 0);
  return date;
}

// Writes `value` as exactly `width` (even) decimal digits, zero-padded, two
// at a time.
char *put_digits(char *out, unsigned long value, int width) {
  static constexpr char PAIRS[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  for (int i = width - 2; i >= 0; i -= 2) {
    memcpy(out + i, PAIRS + 2 * (value % 100), 2);
    value /= 100;
  }
  return out + width;
}

// "YYYY-MM-DDTHH:MM:SS" of the last second this thread made a timestamp
// for: events come many to a second, the calendar arithmetic once. A signal
// handler on the same thread may make a timestamp in the middle of an
// update: an odd generation marks one under way, and a copy taken across a
// change of generation is not used.
struct date_time_cache {
  unsigned generation;  // 0: empty
  int64_t second;
  char text[19];
};
thread_local date_time_cache last_date_time = {0, 0, {}};

bool cached_date_time(int64_t seconds, char *out) {
  date_time_cache &cache = last_date_time;
  const unsigned generation = cache.generation;
  std::atomic_signal_fence(std::memory_order_acquire);
  if (generation == 0 || (generation & 1) || cache.second != seconds) return false;
  memcpy(out, cache.text, sizeof cache.text);
  std::atomic_signal_fence(std::memory_order_acquire);
  return cache.generation == generation;
}

void remember_date_time(int64_t seconds, const char *text) {
  date_time_cache &cache = last_date_time;
  const unsigned generation = cache.generation;
  if (generation & 1) return;  // this thread was interrupted in an update
  cache.generation = generation + 1;
  std::atomic_signal_fence(std::memory_order_release);
  cache.second = seconds;
  memcpy(cache.text, text, sizeof cache.text);
  std::atomic_signal_fence(std::memory_order_release);
  cache.generation = generation + 2;
}

// ".uuuuuuZ" after the 19 characters of date and time.
void put_fraction(char *out, long microseconds) {
  out[19] = '.';
  put_digits(out + 20, static_cast<unsigned long>(microseconds), 6);
  out[26] = 'Z';
  out[27] = '\0';
}

}  // namespace

// The calendar fields are computed here rather than by gmtime_r: glibc's
// gmtime_r takes the time-zone lock and may load the zone file through
// fopen, which is itself judged, and judging makes a timestamp: a hang.
void format_utc_timestamp(int64_t seconds, long microseconds, char out[32]) {
  const bool usual_fraction = microseconds >= 0 && microseconds <= 999999;
  if (usual_fraction && cached_date_time(seconds, out)) {
    put_fraction(out, microseconds);
    return;
  }
  int64_t days = seconds / 86400;
  int64_t second_of_day = seconds % 86400;
  if (second_of_day < 0) {
    second_of_day += 86400;
    days -= 1;
  }
  const civil_date date = civil_from_days(days);
  const int hour = static_cast<int>(second_of_day / 3600);
  const int minute = static_cast<int>(second_of_day / 60 % 60);
  const int second = static_cast<int>(second_of_day % 60);
  // Every event takes a timestamp, and snprintf would cost more than the
  // rest of the event: the usual four-digit year is written by hand.
  if (date.year >= 1000 && date.year <= 9999 && usual_fraction) {
    char *cursor = put_digits(out, static_cast<unsigned long>(date.year), 4);
    *cursor++ = '-';
    cursor = put_digits(cursor, date.month, 2);
    *cursor++ = '-';
    cursor = put_digits(cursor, date.day, 2);
    *cursor++ = 'T';
    cursor = put_digits(cursor, static_cast<unsigned long>(hour), 2);
    *cursor++ = ':';
    cursor = put_digits(cursor, static_cast<unsigned long>(minute), 2);
    *cursor++ = ':';
    put_digits(cursor, static_cast<unsigned long>(second), 2);
    remember_date_time(seconds, out);
    put_fraction(out, microseconds);
    return;
  }
  // The year as "%Y" prints it: plain decimal, four digits for 1000..9999.
  // The whole text is cut at 30 characters.
  if (snprintf(out, 31, "%lld-%02u-%02uT%02d:%02d:%02d.%06ldZ", static_cast<long long>(date.year), date.month,
               date.day, hour, minute, second, microseconds) < 0)
    out[0] = '\0';
}

void current_timestamp(char out[32]) {
  timeval now{};
  gettimeofday(&now, nullptr);
  format_utc_timestamp(now.tv_sec, now.tv_usec, out);
}
