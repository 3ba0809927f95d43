/* TesselGuard: run-time protection for serverless functions.
 *
 * The one public entry point. `config` is a JSON text such as
 *   {"policy":{"read_write_tmp":"block","outbound_connectivity":"alert"},
 *    "runtime":"Python","runtime_version":"3.7"}
 * The first accepted call returns a cookie; every later call must carry it
 * as "cookie". Returns the cookie when the call was accepted, 0 otherwise. */
#ifndef TESSELGUARD_H
#define TESSELGUARD_H

#ifdef __cplusplus
extern "C" {
#endif

__attribute__((visibility("default"))) int tesselguard_configure(const char *config);

#ifdef __cplusplus
}
#endif

#endif
