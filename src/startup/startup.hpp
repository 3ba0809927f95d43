// Start-up: the composition root. It joins the floors below it (core, the
// hooking engine, the interceptor, the policy) and is the only code that
// knows all of them.
//
//   startup.cpp      tesselguard_init, tesselguard_fini (library only: the
//                    load-time constructor stays out of the test objects)
//   configure.cpp    tesselguard_configure, parse_mode
//   self_config.cpp  configure_from_env
//   kernel_floor.cpp keep_kernel_floor
#pragma once

#include <cstdint>

int32_t parse_mode(const char *word);
// The configuration call. `by_function_code`: made by the function's code
// (the exported call) rather than by the library configuring itself from
// the environment at load.
int configure_policy(const char *config, bool by_function_code);
// After self-configuration: the record refuses every later configuration
// call, as one with a wrong cookie.
void seal_configuration();
// Builds the configuration document from TESSEL_GUARD_* variables and
// passes it to tesselguard_configure.
void configure_from_env();

// Once any rule is at block: a seccomp filter that makes io_uring_setup fail
// with EPERM, laid once per process (never when one is inherited, at a
// start). `at_configuration`: called by the configuration call, which says
// so on standard error when the kernel refuses.
void keep_kernel_floor(bool at_configuration);
