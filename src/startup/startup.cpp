// Load-time start-up and unload-time shutdown of the library.
//
// Runs in every process that maps the library, in a fixed order; every step
// after the first ends the process when protection cannot be established.
// Nothing else belongs here: libssl, which only analytics uses, is opened
// by the first send (policy/libssl.cpp), and a libssl that cannot be used
// costs that send, never the process.
#include <dlfcn.h>

#include <cstdlib>

#include "core/core.hpp"
#include "core/diagnostics.hpp"
#include "interceptor/interceptor.hpp"
#include "policy/policy.hpp"
#include "startup/startup.hpp"

namespace {

[[noreturn]] void fail(const char *message, int status) {
  print_message(message_stream::output, "%s", message);
  exit(status);
}

}  // namespace

__attribute__((constructor)) static void tesselguard_init() {
  // 1. A process that inherits the state path descends from one that set it up.
  const bool first_process = env_lookup(STATE_PATH_VARIABLE) == nullptr;

  // 2. The libssl file started programs are to open (none: an empty value).
  carry_libssl_choice();

  // 3. Platform: named by the first process's environment. Every process
  // below takes it from the shared record, whatever its own environment says.
  if (first_process && detect_provider() == PROVIDER_UNSUPPORTED) fail("Unsupported execution environment", 1);

  // 4. Shared state file, and the platform it records.
  if (!state_init()) fail("cannot init state object", 1);
  if (!adopt_recorded_platform()) fail("Unsupported execution environment", 1);

  // 5. Child-process injection: LD_PRELOAD, and on AWS descriptor 999.
  if (!init_child_injection()) fail("cannot initialize child process injection", 1);

  // 6. The interceptor: judges this process's start, then installs the hooks.
  registered_need_check = policy_needs_judgement;
  if (int status = interceptor_init(policy_callback, INTERCEPTOR_CONFIG_TEXT)) {
    print_message(message_stream::output, "[interceptor_init] error: %d", status);
    exit(status);
  }

  // 7. A program started before the policy reached block lays the kernel's
  // floor itself; one started later inherits it.
  if (!first_process) keep_kernel_floor(false);

  // 8. Only the first process preloaded from the layer path configures itself.
  if (!first_process || !is_layer_preload()) return;

  // 9. Self-configuration from TESSEL_GUARD_* variables.
  configure_from_env();
}

__attribute__((destructor)) static void tesselguard_fini() {
  if (libssl_handle) dlclose(libssl_handle);
}
