#include "core/core.hpp"

#include <cstdlib>
#include <cstring>

extern char **environ;

// getenv first; then our own scan of environ, for processes whose C library
// view of the environment and the array disagree.
const char *env_lookup(const char *name) {
  if (!name) return nullptr;
  if (const char *value = getenv(name)) return value;
  if (!environ) return nullptr;
  size_t length = strlen(name);
  for (char **entry = environ; *entry; ++entry) {
    // A shorter entry differs from the name at its end: strncmp stops there.
    if (strncmp(*entry, name, length) != 0) continue;
    if ((*entry)[length] != '=') continue;
    return *entry + length + 1;
  }
  return nullptr;
}

int is_layer_preload() {
  const char *preload = env_lookup("LD_PRELOAD");
  return preload && strcmp(preload, LAYER_PATH) == 0;
}
