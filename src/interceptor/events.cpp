// Events and verdicts: every judged call becomes a small JSON record
// {"name", "timestamp", "args"}, printed to text and handed to the one
// registered callback, whose integer answer is the verdict (0 goes ahead,
// anything else is the errno of the refusal).
#include "interceptor/interceptor.hpp"

#include <cjson/cJSON.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>

verdict_callback registered_callback = nullptr;

namespace {

struct json_guard {
  cJSON *item;
  ~json_guard() { cJSON_Delete(item); }
};

struct malloc_guard {
  char *text;
  ~malloc_guard() { free(text); }
};

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

}  // namespace

// The calendar fields are computed here rather than by gmtime_r: glibc's
// gmtime_r takes the time-zone lock and may load the zone file through
// fopen, which is itself judged, and judging makes a timestamp: a hang.
void format_utc_timestamp(int64_t seconds, long microseconds, char out[32]) {
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
  // The year as "%Y" prints it: plain decimal, four digits for 1000..9999.
  // The whole text is cut at 30 characters.
  if (snprintf(out, 31, "%lld-%02u-%02uT%02d:%02d:%02d.%06ldZ", static_cast<long long>(date.year), date.month,
               date.day, hour, minute, second, microseconds) < 0)
    out[0] = '\0';
}

char *event_timestamp() {
  char *result = static_cast<char *>(malloc(32));
  if (!result) return nullptr;
  timeval now{};
  gettimeofday(&now, nullptr);
  format_utc_timestamp(now.tv_sec, now.tv_usec, result);
  return result;
}

cJSON *create_event(const char *name, cJSON *args) {
  malloc_guard timestamp{event_timestamp()};
  json_guard event{cJSON_CreateObject()};
  if (!event.item) return nullptr;
  if (!cJSON_AddStringToObject(event.item, "name", name)) return nullptr;
  // Without a timestamp the event is still judged; only the text lacks it.
  if (timestamp.text && !cJSON_AddStringToObject(event.item, "timestamp", timestamp.text)) return nullptr;
  // A reference: deleting the event leaves the producer's object intact.
  if (args && !cJSON_AddItemReferenceToObject(event.item, "args", args)) return nullptr;
  cJSON *result = event.item;
  event.item = nullptr;
  return result;
}

char *event_json(const char *name, cJSON *args) {
  json_guard event{create_event(name, args)};
  if (!event.item) return nullptr;
  return cJSON_PrintUnformatted(event.item);
}

int judge_event(const char *name, cJSON *args) {
  // Without a callback there is nothing to judge against: go ahead.
  if (!registered_callback) return 0;
  char *text = event_json(name, args);
  // A text that could not be made still reaches the callback, as null,
  // which lets the call go ahead.
  const int verdict = registered_callback(text);
  cJSON_free(text);
  return verdict;
}
