// Scope guards for what the library allocates while it works inside someone
// else's call: every path out of a function releases it.
#pragma once

#include <cjson/cJSON.h>

#include <cstdlib>

struct json_guard {
  cJSON *item;
  ~json_guard() { cJSON_Delete(item); }
};

struct malloc_guard {
  char *text;
  ~malloc_guard() { free(text); }
};
