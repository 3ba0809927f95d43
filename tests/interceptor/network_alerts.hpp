// Alert records as the network tests compare them: "<policy> <mode> <details>",
// the details printed unformatted, so member order is checked too.
#pragma once

#include <string>
#include <vector>

// One summary per line written to descriptor 999 (AWS).
std::vector<std::string> alert_summaries_from_log(const std::string &log);
// One summary per log request posted to the supervisor (Google).
std::vector<std::string> alert_summaries_from_requests(const std::vector<std::string> &requests);
