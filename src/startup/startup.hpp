// Start-up: the composition root. It joins the floors below it (core, the
// hooking engine, the interceptor, the policy) and is the only code that
// knows all of them.
//
//   startup.cpp      tesselguard_init, tesselguard_fini (library only: the
//                    load-time constructor stays out of the test objects)
//   configure.cpp    tesselguard_configure, parse_mode
//   self_config.cpp  configure_from_env
#pragma once

#include <cstdint>

int32_t parse_mode(const char *word);
// What the record keeps of an issued cookie: the cookie itself never stands
// in memory that the function's code can read (every process maps the
// record), only this one-way digest of it. Always odd.
int32_t cookie_digest(int32_t cookie);
// The record's cookie of a function that configured itself: its cookie went
// to no one, so no later call can present it. Even, so no digest equals it:
// every later call is refused as one with a wrong cookie.
constexpr int32_t SEALED_COOKIE = 2;
void seal_configuration();
// Builds the configuration document from TESSEL_GUARD_* variables and
// passes it to tesselguard_configure.
void configure_from_env();
