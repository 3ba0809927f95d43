// Alert records read back from a log text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct alert_record {
  std::string policy, mode;
  std::string path, ip, host;  // members of "details", "" when absent
  std::vector<std::string> arguments;
  size_t argument_count = 0;  // entries of "arguments", strings or not
};

// Every line of `text` that is an alert record, in order; other lines are
// passed over.
std::vector<alert_record> alert_records(const std::string &text);

// Every line of `log` as an alert record; false (with the offending line in
// *bad) when a line is anything else.
bool parse_alert_lines(const std::string &log, std::vector<alert_record> *records, std::string *bad);

// Alert records as "<policy> <mode> <details>", the details printed
// unformatted, so the order of their members is compared too: one per line
// written to descriptor 999 (AWS), or per log request posted to the
// supervisor (Google).
std::vector<std::string> alert_summaries_from_log(const std::string &log);
std::vector<std::string> alert_summaries_from_requests(const std::vector<std::string> &requests);
