// libssl.so.1.0.0 for systems that ship OpenSSL 3 only.
//
// TesselGuard opens an OpenSSL 1.0 libssl at run time and resolves twenty
// entry points from it. OpenSSL 3 still exports most of them; the three that
// became macros are defined here. The rest resolve through this library's
// dependencies (libssl.so.3, libcrypto.so.3).
#include <openssl/ssl.h>

// OpenSSL 3 turns these names into macros; the functions are ours.
#undef SSL_library_init
#undef SSL_load_error_strings
#undef SSLv23_method

#define COMPAT_EXPORT extern "C" __attribute__((visibility("default")))

COMPAT_EXPORT int SSL_library_init(void) {
  return OPENSSL_init_ssl(0, nullptr);
}

COMPAT_EXPORT void SSL_load_error_strings(void) {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

COMPAT_EXPORT const SSL_METHOD *SSLv23_method(void) {
  return TLS_method();
}
