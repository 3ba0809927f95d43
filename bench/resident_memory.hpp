// Resident memory of this process in KiB (VmRSS), or -1 when unknown.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

inline long resident_kib() {
  FILE *status = fopen("/proc/self/status", "r");
  if (!status) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, status))
    if (strncmp(line, "VmRSS:", 6) == 0) kib = atol(line + 6);
  fclose(status);
  return kib;
}
