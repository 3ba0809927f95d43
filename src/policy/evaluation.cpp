// Policy evaluation: the one verdict callback. Each event text is parsed
// afresh, falls under at most one of the four rules, takes that rule's mode
// from the shared state record, and the platforms' own activity is exempted.
// Alert and block deliver an alert record before the verdict is returned.
#include "policy/policy.hpp"

#include <cjson/cJSON.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "core/core.hpp"

namespace {

struct json_guard {
  cJSON *item;
  ~json_guard() { cJSON_Delete(item); }
};

// The member's text when it is a string, else null (absent).
const char *string_member(const cJSON *object, const char *name) {
  const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

bool equals(const char *a, std::string_view b) { return a && b == a; }

// A character field of the shared record: the configuration call may be
// rewriting it, so never read past its end.
std::string_view record_text(const char *field, size_t size) { return {field, strnlen(field, size)}; }

// ---- exempt programs ------------------------------------------------------
// Process events carry the canonical path of the running program
// (/proc/self/exe), so on systems where /bin is a link to /usr/bin the
// program "/bin/bash" arrives as "/usr/bin/bash". Each exempt path is
// matched as written and as canonicalised.

enum exempt_program : int {
  GETCONF_USR_LOCAL_BIN,
  GETCONF_USR_BIN,
  GETCONF_USR_LOCAL_SBIN,
  GETCONF_USR_SBIN,
  LANG_NODE,
  EXPR,
  LANG_RUBY,
  ENV,
  BASH,
  UNAME,
  EXEMPT_PROGRAM_COUNT,
};

constexpr const char *EXEMPT_PROGRAM_PATHS[EXEMPT_PROGRAM_COUNT] = {
    "/usr/local/bin/getconf", "/usr/bin/getconf", "/usr/local/sbin/getconf", "/usr/sbin/getconf",
    "/var/lang/bin/node",     "/usr/bin/expr",    "/var/lang/bin/ruby",      "/bin/env",
    "/bin/bash",              "/bin/uname",
};

struct canonical_table {
  // Null where the path does not resolve (the program is not installed).
  char *paths[EXEMPT_PROGRAM_COUNT];
};

// Filled once, on first use. Threads that race to fill it each build a
// table and the first to publish wins; nobody waits and nothing is locked.
std::atomic<canonical_table *> canonical_programs{nullptr};

const canonical_table *canonical_exempt_programs() {
  canonical_table *table = canonical_programs.load(std::memory_order_acquire);
  if (table) return table;
  canonical_table *fresh = static_cast<canonical_table *>(calloc(1, sizeof(canonical_table)));
  if (!fresh) return nullptr;
  // realpath resolves with lstat/readlink; it never opens the file, so it
  // raises no event of its own.
  for (int i = 0; i < EXEMPT_PROGRAM_COUNT; ++i) fresh->paths[i] = realpath(EXEMPT_PROGRAM_PATHS[i], nullptr);
  if (canonical_programs.compare_exchange_strong(table, fresh, std::memory_order_acq_rel)) return fresh;
  for (char *path : fresh->paths) free(path);
  free(fresh);
  return table;
}

bool is_program(const char *path, exempt_program program) {
  if (!path) return false;
  if (equals(path, EXEMPT_PROGRAM_PATHS[program])) return true;
  const canonical_table *table = canonical_exempt_programs();
  return table && table->paths[program] && equals(path, table->paths[program]);
}

// ---- the three kinds of event ---------------------------------------------

int32_t judge_fs_open(const cJSON *args, cJSON *alert, cJSON *details) {
  const char *path = string_member(args, "path");
  // An event without a path names no file: no rule applies.
  if (!path) return MODE_ALLOW;
  if (starts_with("/tmp/", path)) {
    cJSON_AddStringToObject(alert, "policy", "read_write_tmp");
    int32_t mode = load_field(state_map->read_write_tmp);
    cJSON_AddStringToObject(details, "path", path);
    if (state_map->provider == PROVIDER_AWS && equals(path, "/tmp/.aws-xray/initialized")) mode = MODE_ALLOW;
    // The shared state file is never opened through the hooks.
    if (equals(env_lookup(STATE_PATH_VARIABLE), path)) mode = MODE_BLOCK;
    return mode;
  }
  // An empty handler path means none has been detected yet.
  std::string_view handler = record_text(state_map->handler_path, sizeof state_map->handler_path);
  if (!handler.empty() && handler == path) {
    cJSON_AddStringToObject(alert, "policy", "read_handler");
    cJSON_AddStringToObject(details, "path", path);
    return load_field(state_map->read_handler);
  }
  return MODE_ALLOW;
}

int32_t judge_connect(const cJSON *args, cJSON *alert, cJSON *details) {
  const char *host = string_member(args, "hostname");
  const char *ip = string_member(args, "ip");
  cJSON_AddStringToObject(alert, "policy", "outbound_connectivity");
  if (host) cJSON_AddStringToObject(details, "host", host);
  if (ip) cJSON_AddStringToObject(details, "ip", ip);
  int32_t mode = load_field(state_map->outbound_connectivity);
  const int32_t provider = state_map->provider;
  if (host) {
    if (equals(host, ANALYTICS_HOST)) mode = MODE_ALLOW;
    if (provider == PROVIDER_AWS && ends_with(".amazonaws.com", host)) mode = MODE_ALLOW;
    if (provider == PROVIDER_GOOGLE) {
      const char *supervisor = env_lookup("X_GOOGLE_SUPERVISOR_HOSTNAME");
      if (supervisor && equals(host, supervisor)) mode = MODE_ALLOW;
      if (ends_with(".internal", host) || ends_with(".internal.", host)) mode = MODE_ALLOW;
      if (ends_with(".googleapis.com", host)) mode = MODE_ALLOW;
    }
  }
  if (provider == PROVIDER_AWS && equals(ip, "127.0.0.1")) mode = MODE_ALLOW;
  return mode;
}

// argv[index] when it is a string, else null (matches no exempt value).
const char *argv_text(const cJSON *argv, int index) {
  const cJSON *item = cJSON_GetArrayItem(argv, index);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

bool argv_is(const cJSON *argv, int count, std::initializer_list<std::string_view> expected) {
  if (count != static_cast<int>(expected.size())) return false;
  int index = 0;
  for (std::string_view text : expected)
    if (!equals(argv_text(argv, index++), text)) return false;
  return true;
}

int32_t judge_process_execution(const cJSON *args, cJSON *alert, cJSON *details) {
  const char *path = string_member(args, "path");
  const cJSON *argv = cJSON_GetObjectItemCaseSensitive(args, "argv");
  if (!cJSON_IsArray(argv)) argv = nullptr;
  cJSON *arguments = cJSON_AddArrayToObject(details, "arguments");
  cJSON_AddStringToObject(alert, "policy", "create_child_process");
  if (path) cJSON_AddStringToObject(details, "path", path);
  const int count = argv ? cJSON_GetArraySize(argv) : 0;
  const cJSON *item = nullptr;
  if (arguments) {
    cJSON_ArrayForEach(item, argv) {
      if (cJSON_IsString(item)) cJSON_AddItemToArray(arguments, cJSON_CreateString(item->valuestring));
    }
  }

  int32_t mode = load_field(state_map->create_child_process);
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
      if (is_program(path, BASH) && argv_is(argv, count, {"bash", "/var/runtime/bootstrap"})) mode = MODE_ALLOW;
    }
  }
  if (runtime == "Python") {
    if (is_program(path, BASH) && argv_is(argv, count, {"/bin/sh", "-c", "uname -p 2> /dev/null"}))
      mode = MODE_ALLOW;
    if (is_program(path, UNAME) && argv_is(argv, count, {"uname", "-p"})) mode = MODE_ALLOW;
  }
  return mode;
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

int policy_callback(const char *event_text) {
  // No policy to judge against before the state record exists.
  if (!event_text || !state_map) return 0;
  json_guard event{cJSON_Parse(event_text)};
  if (!event.item) return 0;
  const char *name = string_member(event.item, "name");
  const char *timestamp = string_member(event.item, "timestamp");
  const cJSON *args = cJSON_GetObjectItemCaseSensitive(event.item, "args");
  if (!cJSON_IsObject(args)) args = nullptr;

  json_guard alert{cJSON_CreateObject()};
  cJSON *details = cJSON_AddObjectToObject(alert.item, "details");
  cJSON_AddTrueToObject(alert.item, "tessel_guard");
  if (timestamp) cJSON_AddStringToObject(alert.item, "timestamp", timestamp);

  int32_t mode = MODE_ALLOW;
  if (equals(name, "fs_open"))
    mode = judge_fs_open(args, alert.item, details);
  else if (equals(name, "connect"))
    mode = judge_connect(args, alert.item, details);
  else if (equals(name, "process_execution"))
    mode = judge_process_execution(args, alert.item, details);

  if (mode != MODE_ALLOW) {
    cJSON_AddStringToObject(alert.item, "mode", mode == MODE_ALERT ? "alert" : "block");
    // A record that cannot be printed is lost; the verdict stands.
    if (char *text = cJSON_PrintUnformatted(alert.item)) {
      report_alert(text);
      cJSON_free(text);
    }
  }
  return mode == MODE_BLOCK ? VERDICT_REFUSE : 0;
}
