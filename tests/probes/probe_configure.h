/* The configuration call of the probes. The entry point is looked up at run
 * time, since a probe also runs without the library; once a call has been
 * accepted, its cookie goes first into every later JSON object. */
#pragma once

#include <dlfcn.h>
#include <stdio.h>

typedef int (*probe_configure_fn)(const char *);

/* tesselguard_configure of the preloaded library, or NULL. */
static inline probe_configure_fn probe_configure_entry(void) {
  return (probe_configure_fn)dlsym(RTLD_DEFAULT, "tesselguard_configure");
}

static int probe_cookie;

/* What tesselguard_configure answered (0 as well when there is no library). */
static inline int probe_configure(const char *json) {
  probe_configure_fn call = probe_configure_entry();
  if (!call) return 0;
  char document[4096];
  if (probe_cookie && json[0] == '{')
    snprintf(document, sizeof document, "{\"cookie\":%d,%s", probe_cookie, json + 1);
  else
    snprintf(document, sizeof document, "%s", json);
  int result = call(document);
  if (!probe_cookie) probe_cookie = result;
  return result;
}
