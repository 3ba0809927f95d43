#include "core/core.hpp"
#include "core/diagnostics.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>

int32_t detect_provider() {
  if (env_lookup("AWS_EXECUTION_ENV")) return PROVIDER_AWS;
  if (env_lookup("X_GOOGLE_FUNCTION_NAME")) return PROVIDER_GOOGLE;
  return PROVIDER_UNSUPPORTED;
}

namespace {

// Writes the pieces one after the other into handler_path. A joined path
// that does not fit the field is refused and the previous path kept.
int write_handler_path(std::string_view a, std::string_view b, std::string_view c, std::string_view d) {
  size_t total = a.size() + b.size() + c.size() + d.size();
  if (total >= sizeof state_map->handler_path) {
    print_message(message_stream::output, "Handler path too long");
    return 0;
  }
  char *out = state_map->handler_path;
  memset(out, 0, sizeof state_map->handler_path);
  for (std::string_view piece : {a, b, c, d}) {
    memcpy(out, piece.data(), piece.size());
    out += piece.size();
  }
  return 1;
}

int detect_aws_handler_path() {
  const char *handler = env_lookup("_HANDLER");
  const char *task_root = env_lookup("LAMBDA_TASK_ROOT");
  if (!handler) {
    print_message(message_stream::output, "_HANDLER environment variable not found");
    return 0;
  }
  if (!task_root) {
    print_message(message_stream::output, "LAMBDA_TASK_ROOT environment variable not found");
    return 0;
  }
  std::string_view runtime(state_map->runtime, strnlen(state_map->runtime, sizeof state_map->runtime));
  std::string_view module;
  const char *extension;
  if (runtime == "Node.js" || runtime == "Python") {
    const char *last_dot = strrchr(handler, '.');
    if (!last_dot) {
      print_message(message_stream::output, "Improper handler format: should contain '.'");
      return 0;
    }
    module = std::string_view(handler, static_cast<size_t>(last_dot - handler));
    extension = runtime == "Node.js" ? ".js" : ".py";
  } else if (runtime == "Java") {
    module = handler;
    extension = ".class";
  } else {
    print_message(message_stream::output, "Unsupported environment: cannot detect handler path");
    return 0;
  }
  char *copy = strndup(module.data(), module.size());
  if (!copy) return 0;
  for (char *p = copy; *p; ++p)
    if (*p == '.') *p = '/';
  int ok = write_handler_path(task_root, "/", copy, extension);
  free(copy);
  return ok;
}

int detect_google_handler_path() {
  const char *code_location = env_lookup("X_GOOGLE_CODE_LOCATION");
  if (!code_location) {
    print_message(message_stream::output, "X_GOOGLE_CODE_LOCATION environment variable not found");
    return 0;
  }
  std::string_view runtime(state_map->runtime, strnlen(state_map->runtime, sizeof state_map->runtime));
  if (runtime == "Node.js") return write_handler_path(code_location, "/index.js", "", "");
  if (runtime == "Python") return write_handler_path(code_location, "/main.py", "", "");
  return 1;
}

}  // namespace

int detect_handler_path() {
  switch (state_map->provider) {
    case PROVIDER_AWS:
      return detect_aws_handler_path();
    case PROVIDER_GOOGLE:
      return detect_google_handler_path();
    default:
      return 1;
  }
}
