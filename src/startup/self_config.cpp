// Self-configuration of a function's first process, from its TESSEL_GUARD_*
// variables, through the same call the function itself would make.
#include "core/core.hpp"
#include "startup/startup.hpp"
#include "tesselguard.h"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <cstring>

namespace {

struct runtime_row {
  const char *execution_env;
  const char *runtime;
  const char *version;
};

constexpr runtime_row RUNTIMES[] = {
    {"AWS_Lambda_nodejs10.x", "Node.js", "10.x"},
    {"AWS_Lambda_python3.7", "Python", "3.7"},
    {"AWS_Lambda_ruby2.5", "Ruby", "2.5"},
};

}  // namespace

void configure_from_env() {
  const char *disable = env_lookup("TESSEL_GUARD_DISABLE_ANALYTICS");
  const char *read_write_tmp = env_lookup("TESSEL_GUARD_POLICY_READ_WRITE_TMP");
  const char *child_process = env_lookup("TESSEL_GUARD_POLICY_CREATE_CHILD_PROCESS");
  const char *outbound = env_lookup("TESSEL_GUARD_POLICY_OUTBOUND_CONNECTIVITY");
  const char *execution_env = env_lookup("AWS_EXECUTION_ENV");

  cJSON *document = cJSON_CreateObject();
  if (!document) return;
  if (disable && strcmp(disable, "true") == 0) cJSON_AddTrueToObject(document, "disable_analytics");
  cJSON *policy = cJSON_AddObjectToObject(document, "policy");
  if (policy) {
    if (read_write_tmp) cJSON_AddStringToObject(policy, "read_write_tmp", read_write_tmp);
    if (child_process) cJSON_AddStringToObject(policy, "create_child_process", child_process);
    if (outbound) cJSON_AddStringToObject(policy, "outbound_connectivity", outbound);
  }
  if (execution_env) {
    const char *runtime = "Layer";
    const char *version = execution_env;
    for (const auto &row : RUNTIMES) {
      if (strcmp(execution_env, row.execution_env) == 0) {
        runtime = row.runtime;
        version = row.version;
        break;
      }
    }
    cJSON_AddStringToObject(document, "runtime", runtime);
    cJSON_AddStringToObject(document, "runtime_version", version);
  }
  char *text = cJSON_PrintUnformatted(document);
  cJSON_Delete(document);
  if (!text) return;
  tesselguard_configure(text);
  free(text);
}
