// Self-configuration of a function's first process, from its TESSEL_GUARD_*
// variables, through the same call the function itself would make.
#include "core/core.hpp"
#include "startup/startup.hpp"
#include "tesselguard.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

struct runtime_name {
  const char *runtime;
  std::string_view version;
};

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "<digits>.<digits>"
bool is_minor_version(std::string_view text) {
  const size_t dot = text.find('.');
  return dot != std::string_view::npos && all_digits(text.substr(0, dot)) && all_digits(text.substr(dot + 1));
}

// The runtime family an AWS_EXECUTION_ENV names, recognised by its prefix
// so that every release of a family is known; anything else is "Layer",
// with the variable's value as its version.
runtime_name runtime_of(std::string_view execution_env) {
  constexpr std::string_view PREFIX = "AWS_Lambda_";
  if (execution_env.starts_with(PREFIX)) {
    const std::string_view id = execution_env.substr(PREFIX.size());
    auto after = [&](std::string_view family) { return id.substr(family.size()); };
    if (id.starts_with("nodejs") && after("nodejs").ends_with(".x")) {
      const std::string_view version = after("nodejs");
      if (all_digits(version.substr(0, version.size() - 2))) return {"Node.js", version};
    }
    if (id.starts_with("python3.") && all_digits(after("python3."))) return {"Python", after("python")};
    if (id.starts_with("ruby") && is_minor_version(after("ruby"))) return {"Ruby", after("ruby")};
    if (id.starts_with("java") && (all_digits(after("java")) || after("java") == "8.al2"))
      return {"Java", after("java")};
    if (id.starts_with("dotnet") && all_digits(after("dotnet"))) return {".NET", after("dotnet")};
  }
  return {"Layer", execution_env};
}

}  // namespace

void configure_from_env() {
  const char *disable = env_lookup("TESSEL_GUARD_DISABLE_ANALYTICS");
  const char *read_write_tmp = env_lookup("TESSEL_GUARD_POLICY_READ_WRITE_TMP");
  const char *child_process = env_lookup("TESSEL_GUARD_POLICY_CREATE_CHILD_PROCESS");
  const char *outbound = env_lookup("TESSEL_GUARD_POLICY_OUTBOUND_CONNECTIVITY");
  const char *read_handler = env_lookup("TESSEL_GUARD_POLICY_READ_HANDLER");
  const char *execution_env = env_lookup("AWS_EXECUTION_ENV");

  cJSON *document = cJSON_CreateObject();
  if (!document) return;
  if (disable && strcmp(disable, "true") == 0) cJSON_AddTrueToObject(document, "disable_analytics");
  cJSON *policy = cJSON_AddObjectToObject(document, "policy");
  if (policy) {
    if (read_write_tmp) cJSON_AddStringToObject(policy, "read_write_tmp", read_write_tmp);
    if (child_process) cJSON_AddStringToObject(policy, "create_child_process", child_process);
    if (outbound) cJSON_AddStringToObject(policy, "outbound_connectivity", outbound);
    if (read_handler) cJSON_AddStringToObject(policy, "read_handler", read_handler);
  }
  if (execution_env) {
    const runtime_name name = runtime_of(execution_env);
    cJSON_AddStringToObject(document, "runtime", name.runtime);
    // The version is a piece of the variable's value: it needs its own end.
    char version[64];
    snprintf(version, sizeof version, "%.*s", static_cast<int>(name.version.size()), name.version.data());
    cJSON_AddStringToObject(document, "runtime_version", version);
  } else if (env_lookup("AWS_LAMBDA_RUNTIME_API")) {
    // An OS-only runtime: the function brings its own program.
    cJSON_AddStringToObject(document, "runtime", "Layer");
    cJSON_AddStringToObject(document, "runtime_version", "provided");
  }
  char *text = cJSON_PrintUnformatted(document);
  cJSON_Delete(document);
  if (!text) return;
  configure_policy(text, false);
  free(text);
  seal_configuration();
}
