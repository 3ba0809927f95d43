// Policy evaluation: the one verdict callback. Each event text is read
// afresh, falls under at most one of the four rules, takes that rule's mode
// from the shared state record, and the platforms' own activity is exempted.
// Alert and block deliver an alert record before the verdict is returned;
// an event that ends at allow costs no record at all.
#include "policy/policy.hpp"
#include "policy/exempt_programs.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "core/core.hpp"
#include "core/json_text.hpp"

namespace {

bool equals(const char *a, std::string_view b) { return a && b == a; }

// A character field of the shared record: the configuration call may be
// rewriting it, so never read past its end.
std::string_view record_text(const char *field, size_t size) { return {field, strnlen(field, size)}; }

// ---- the three kinds of event ---------------------------------------------
// Each decides the mode and the rule; the alert record is built afterwards,
// and only when there is one to deliver.

struct judgement {
  int32_t mode = MODE_ALLOW;
  const char *policy = nullptr;  // the rule the event fell under, if any
};

judgement judge_fs_open(const event_view &event) {
  const char *path = event.path;
  // An event without a path names no file: no rule applies.
  if (!path) return {};
  const bool runtime_read = start_phase_passes_open(path);
  // The shared state file, and the memory of a process (read or written),
  // are never reached through the hooks, whatever the rules say.
  if (is_state_file(path) || is_process_memory_path(path)) return {MODE_BLOCK, "read_write_tmp"};
  if (starts_with("/tmp/", path)) {
    judgement result{load_field(state_map->read_write_tmp), "read_write_tmp"};
    if (state_map->provider == PROVIDER_AWS && equals(path, "/tmp/.aws-xray/initialized")) result.mode = MODE_ALLOW;
    return result;
  }
  // An empty handler path means none has been detected yet. The runtime's
  // own reads during the start phase are not judged (start_phase.cpp).
  std::string_view handler = record_text(state_map->handler_path, sizeof state_map->handler_path);
  if (!handler.empty() && handler == path && !runtime_read)
    return {load_field(state_map->read_handler), "read_handler"};
  return {};
}

judgement judge_connect(const event_view &event) {
  const char *host = event.hostname;
  int32_t mode = load_field(state_map->outbound_connectivity);
  const int32_t provider = state_map->provider;
  // The current generation's metadata server is also reached by address.
  const bool current_google = provider == PROVIDER_GOOGLE && google_current_generation();
  if (platform_host_exempt(host)) mode = MODE_ALLOW;
  if (provider == PROVIDER_AWS && (equals(event.ip, "127.0.0.1") || equals(event.ip, "::1"))) mode = MODE_ALLOW;
  if (current_google && equals(event.ip, "169.254.169.254")) mode = MODE_ALLOW;
  return {mode, "outbound_connectivity"};
}

}  // namespace

bool platform_host_exempt(const char *host) {
  if (!host) return false;
  const int32_t provider = state_map->provider;
  if (equals(host, ANALYTICS_HOST)) return true;
  if (provider == PROVIDER_AWS && ends_with(".amazonaws.com", host)) return true;
  if (provider == PROVIDER_GOOGLE) {
    // The supervisor as start-up captured it (the current generation has none).
    const char *supervisor = captured_supervisor().host;
    if (supervisor && equals(host, supervisor)) return true;
    if (ends_with(".internal", host) || ends_with(".internal.", host)) return true;
    if (ends_with(".googleapis.com", host)) return true;
  }
  return false;
}

namespace {

// A non-string item (null) matches no expected text.
bool argv_is(const event_view &event, std::initializer_list<std::string_view> expected) {
  if (event.argv_count != static_cast<int>(expected.size())) return false;
  int index = 0;
  for (std::string_view text : expected)
    if (!equals(event.argv[index++], text)) return false;
  return true;
}

// The command line is compared before the program: resolving an exempt
// program's path costs system calls, a few string comparisons do not.
judgement judge_process_execution(const event_view &event) {
  const char *path = event.path;
  int32_t mode = load_field(state_map->create_child_process);
  // Every exemption below only lowers the mode.
  if (mode == MODE_ALLOW) return {mode, "create_child_process"};
  const int32_t provider = state_map->provider;
  const std::string_view runtime = record_text(state_map->runtime, sizeof state_map->runtime);
  const std::string_view version = record_text(state_map->runtime_version, sizeof state_map->runtime_version);
  if (provider == PROVIDER_GOOGLE &&
      (is_program(path, GETCONF_USR_LOCAL_BIN) || is_program(path, GETCONF_USR_BIN) ||
       is_program(path, GETCONF_USR_LOCAL_SBIN) || is_program(path, GETCONF_USR_SBIN)))
    mode = MODE_ALLOW;
  if (provider == PROVIDER_AWS && is_layer_preload()) {
    if (runtime == "Node.js" && version == "10.x" && (is_program(path, LANG_NODE) || is_program(path, EXPR)))
      mode = MODE_ALLOW;
    if (runtime == "Ruby" && version == "2.5") {
      if (is_program(path, LANG_RUBY) || is_program(path, ENV)) mode = MODE_ALLOW;
      if (argv_is(event, {"bash", "/var/runtime/bootstrap"}) && is_program(path, BASH)) mode = MODE_ALLOW;
    }
  }
  if (runtime == "Python") {
    // /bin/sh is bash on the platform and dash elsewhere; either arrives canonical.
    if (argv_is(event, {"/bin/sh", "-c", "uname -p 2> /dev/null"}) &&
        (is_program(path, BASH) || is_program(path, SH)) && !shell_can_be_redirected())
      mode = MODE_ALLOW;
    if (argv_is(event, {"uname", "-p"}) && is_program(path, UNAME)) mode = MODE_ALLOW;
  }
  if (in_place_start_passes(event)) mode = MODE_ALLOW;
  return {mode, "create_child_process"};
}

// The alert record: {"details", "tessel_guard", "timestamp", "policy", "mode"},
// a member left out when the event lacks its value.
void write_alert_record(json_text &out, const event_view &event, const judgement &verdict) {
  out.begin_object();
  out.plain_key("details");
  out.begin_object();
  if (equals(event.name, "fs_open")) {
    if (event.path) out.member("path", event.path);
  } else if (equals(event.name, "connect")) {
    if (event.hostname) out.member("host", event.hostname);
    if (event.ip) out.member("ip", event.ip);
  } else if (equals(event.name, "lookup")) {
    if (event.hostname) out.member("lookup", event.hostname);
  } else if (equals(event.name, "process_execution")) {
    out.plain_key("arguments");
    out.begin_array();
    for (int i = 0; i < event.argv_count; ++i)
      if (event.argv[i]) out.string(event.argv[i]);
    out.end_array();
    if (event.path) out.member("path", event.path);
  }
  out.end_object();
  out.plain_key("tessel_guard");
  out.literal("true");
  if (event.timestamp) out.member("timestamp", event.timestamp);
  if (verdict.policy) out.plain_member("policy", verdict.policy);
  out.plain_member("mode", verdict.mode == MODE_ALERT ? "alert" : "block");
  out.end_object();
}

}  // namespace

bool starts_with(const char *prefix, const char *text) {
  if (!prefix || !text) return false;
  return std::string_view(text).starts_with(prefix);
}

bool ends_with(const char *suffix, const char *text) {
  if (!suffix || !text) return false;
  return std::string_view(text).ends_with(suffix);
}

bool policy_needs_judgement(const char *event_name) {
  if (!state_map || !event_name) return true;
  // A program's start under an allow rule: no exemption or forced block
  // applies to it, so nothing can come of judging it.
  if (equals(event_name, "process_execution")) return load_field(state_map->create_child_process) != MODE_ALLOW;
  // An accepted connection only ends the start phase.
  if (equals(event_name, ACCEPT_EVENT)) return state_writable && start_phase_open();
  return true;
}

int policy_callback(const char *event_text) {
  // No policy to judge against before the state record exists.
  if (!event_text || !state_map) return 0;
  event_reading reading;
  if (!read_event(event_text, &reading)) return 0;
  const event_view &event = reading.view;

  judgement verdict;
  if (equals(event.name, "fs_open")) {
    verdict = judge_fs_open(event);
  } else if (equals(event.name, "connect")) {
    start_phase_sees_connection(event);
    verdict = judge_connect(event);
  } else if (equals(event.name, "process_execution")) {
    verdict = judge_process_execution(event);
  } else if (equals(event.name, "lookup")) {
    verdict = {lookup_mode(event.hostname), "outbound_connectivity"};
  } else if (equals(event.name, ACCEPT_EVENT)) {
    end_start_phase();
  }

  if (verdict.mode != MODE_ALLOW) {
    char buffer[1024];
    json_text record(buffer, sizeof buffer);
    write_alert_record(record, event, verdict);
    // A record that cannot be made is lost; the verdict stands.
    if (const char *text = record.c_str()) report_alert(text);
  }
  return verdict.mode == MODE_BLOCK ? VERDICT_REFUSE : 0;
}
