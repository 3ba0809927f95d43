/* Calls the preloaded library's exported entry one word past its start, where
 * no landing pad stands (AArch64): on the library's BTI-guarded pages that
 * faults at once. Prints "fault at entry+4" then, else "returned". */
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "probe_configure.h"

static uintptr_t entry;

static void on_fault(int signal, siginfo_t *info, void *context) {
  (void)signal, (void)context;
  char line[64];
  int length = snprintf(line, sizeof line, "fault at entry+%ld\n", (long)((uintptr_t)info->si_addr - entry));
  ssize_t unused = write(1, line, (size_t)length);
  (void)unused;
  _exit(3);
}

int main(void) {
  probe_configure_fn configure = probe_configure_entry();
  if (!configure) return puts("no library"), 2;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = on_fault;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGILL, &action, NULL);
  entry = (uintptr_t)configure;
  probe_configure_fn past_pad = (probe_configure_fn)(entry + 4);
  past_pad("{}");
  puts("returned");
  return 0;
}
