// libssl.so.1.0.0 for systems that ship OpenSSL 3 only.
//
// TesselGuard opens an OpenSSL 1.0 libssl when it is about to send its
// occasional usage report, resolves twenty entry points and initialises the
// library. Linking OpenSSL 3 here would make that opening fail outright,
// with no word of why, where OpenSSL 3 is missing. Instead every entry point
// is a small forwarder: SSL_library_init, or the first call of a TLS or
// SHA-256 function, opens OpenSSL 3 (with the same RTLD_NOW | RTLD_DEEPBIND
// that TesselGuard uses, so a program that carries its own OpenSSL symbols
// cannot capture it), resolves all of them and runs the initialisation that
// was asked for. Three entry points are macros in OpenSSL 3 and are mapped
// onto their replacements.
//
// OpenSSL 3 that cannot be opened, or that lacks an entry point, makes this
// libssl unusable: SSL_library_init says why on standard error and answers
// 0, and TesselGuard then leaves it unused. A forwarder called all the same
// has nothing to forward to and aborts the process with that reason.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "core/diagnostics.hpp"

#include <dlfcn.h>
#include <openssl/bio.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// OpenSSL 3 turns these names into macros; the functions are ours.
#undef SSL_library_init
#undef SSL_load_error_strings
#undef SSLv23_method

#define COMPAT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char *OPENSSL_SSL_LIBRARY = "libssl.so.3";
constexpr const char *OPENSSL_CRYPTO_LIBRARY = "libcrypto.so.3";
constexpr uint64_t ERROR_STRINGS = OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS;

struct openssl_api {
  long (*BIO_ctrl)(BIO *, int, long, void *);
  int (*BIO_free)(BIO *);
  void (*BIO_free_all)(BIO *);
  BIO *(*BIO_new_fp)(FILE *, int);
  BIO *(*BIO_new_ssl_connect)(SSL_CTX *);
  int (*BIO_vprintf)(BIO *, const char *, va_list);
  int (*BIO_puts)(BIO *, const char *);
  int (*BIO_read)(BIO *, void *, int);
  int (*BIO_test_flags)(const BIO *, int);
  int (*SHA256_Final)(unsigned char *, SHA256_CTX *);
  int (*SHA256_Init)(SHA256_CTX *);
  int (*SHA256_Update)(SHA256_CTX *, const void *, size_t);
  long (*SSL_CTX_ctrl)(SSL_CTX *, int, long, void *);
  void (*SSL_CTX_free)(SSL_CTX *);
  SSL_CTX *(*SSL_CTX_new)(const SSL_METHOD *);
  long (*SSL_ctrl)(SSL *, int, long, void *);
  int (*SSL_set_cipher_list)(SSL *, const char *);
  const SSL_METHOD *(*TLS_method)();
  int (*OPENSSL_init_ssl)(uint64_t, const OPENSSL_INIT_SETTINGS *);
};

openssl_api api;
pthread_once_t api_once = PTHREAD_ONCE_INIT;
std::atomic<bool> api_ready{false};
// Initialisation asked for before OpenSSL 3 was opened.
std::atomic<bool> wants_error_strings{false};

// Why OpenSSL 3 cannot be used; empty while it can (or is not opened yet).
char unusable_reason[512];

bool unusable(const char *what, const char *detail) {
  snprintf(unusable_reason, sizeof unusable_reason, "libssl.so.1.0.0: %s%s", what, detail ? detail : "");
  return false;
}

template <typename F>
bool resolve(void *handle, const char *name, F *slot) {
  void *address = dlsym(handle, name);
  if (!address) return unusable("OpenSSL 3 lacks ", name);
  *slot = reinterpret_cast<F>(address);
  return true;
}

bool resolve_all(void *handle) {
  return resolve(handle, "BIO_ctrl", &api.BIO_ctrl) && resolve(handle, "BIO_free", &api.BIO_free) &&
         resolve(handle, "BIO_free_all", &api.BIO_free_all) && resolve(handle, "BIO_new_fp", &api.BIO_new_fp) &&
         resolve(handle, "BIO_new_ssl_connect", &api.BIO_new_ssl_connect) &&
         resolve(handle, "BIO_vprintf", &api.BIO_vprintf) && resolve(handle, "BIO_puts", &api.BIO_puts) &&
         resolve(handle, "BIO_read", &api.BIO_read) && resolve(handle, "BIO_test_flags", &api.BIO_test_flags) &&
         resolve(handle, "SHA256_Final", &api.SHA256_Final) && resolve(handle, "SHA256_Init", &api.SHA256_Init) &&
         resolve(handle, "SHA256_Update", &api.SHA256_Update) &&
         resolve(handle, "SSL_CTX_ctrl", &api.SSL_CTX_ctrl) && resolve(handle, "SSL_CTX_free", &api.SSL_CTX_free) &&
         resolve(handle, "SSL_CTX_new", &api.SSL_CTX_new) && resolve(handle, "SSL_ctrl", &api.SSL_ctrl) &&
         resolve(handle, "SSL_set_cipher_list", &api.SSL_set_cipher_list) &&
         resolve(handle, "TLS_method", &api.TLS_method) && resolve(handle, "OPENSSL_init_ssl", &api.OPENSSL_init_ssl);
}

void open_openssl() {
  // libcrypto first, found where libssl will be (this library's RUNPATH
  // names its own folder, libssl's names none): libssl's need for it is then
  // met by the copy already loaded, not by another OpenSSL on the system.
  // Should it not open on its own, libssl's own search decides.
  dlopen(OPENSSL_CRYPTO_LIBRARY, RTLD_NOW | RTLD_DEEPBIND);
  void *handle = dlopen(OPENSSL_SSL_LIBRARY, RTLD_NOW | RTLD_DEEPBIND);
  if (!handle) {
    unusable("cannot open OpenSSL 3: ", dlerror());
    return;
  }
  // The handle is kept for the life of the process (OpenSSL registers its
  // own clean-up at exit), also when it is unusable: nothing of it runs.
  if (!resolve_all(handle)) return;
  api_ready.store(true);
  // A request that raced with the opening is run by its caller as well;
  // OpenSSL's initialisation may run any number of times.
  if (wants_error_strings.load()) api.OPENSSL_init_ssl(ERROR_STRINGS, nullptr);
}

// True when OpenSSL 3 is open and every entry point resolved.
bool openssl_ready() {
  pthread_once(&api_once, open_openssl);
  return api_ready.load();
}

const openssl_api &openssl() {
  if (!openssl_ready()) abort_with_message("%s", unusable_reason);
  return api;
}

}  // namespace

// Asked for before SSL_library_init, run when OpenSSL 3 is open.
COMPAT_EXPORT void SSL_load_error_strings(void) {
  wants_error_strings.store(true);
  if (api_ready.load()) api.OPENSSL_init_ssl(ERROR_STRINGS, nullptr);
}

// OpenSSL 1.0's always answers 1; this one answers 0 when OpenSSL 3 cannot
// be used, after saying why.
COMPAT_EXPORT int SSL_library_init(void) {
  if (!openssl_ready()) {
    print_message(message_stream::error, "%s", unusable_reason);
    return 0;
  }
  return api.OPENSSL_init_ssl(0, nullptr);
}

COMPAT_EXPORT const SSL_METHOD *SSLv23_method(void) { return openssl().TLS_method(); }

COMPAT_EXPORT long BIO_ctrl(BIO *bio, int command, long number, void *argument) {
  return openssl().BIO_ctrl(bio, command, number, argument);
}
COMPAT_EXPORT int BIO_free(BIO *bio) { return openssl().BIO_free(bio); }
COMPAT_EXPORT void BIO_free_all(BIO *bio) { openssl().BIO_free_all(bio); }
COMPAT_EXPORT BIO *BIO_new_fp(FILE *stream, int close_flag) { return openssl().BIO_new_fp(stream, close_flag); }
COMPAT_EXPORT BIO *BIO_new_ssl_connect(SSL_CTX *context) { return openssl().BIO_new_ssl_connect(context); }
COMPAT_EXPORT int BIO_printf(BIO *bio, const char *format, ...) {
  const openssl_api &ssl = openssl();
  va_list arguments;
  va_start(arguments, format);
  int result = ssl.BIO_vprintf(bio, format, arguments);
  va_end(arguments);
  return result;
}
COMPAT_EXPORT int BIO_puts(BIO *bio, const char *text) { return openssl().BIO_puts(bio, text); }
COMPAT_EXPORT int BIO_read(BIO *bio, void *buffer, int length) { return openssl().BIO_read(bio, buffer, length); }
COMPAT_EXPORT int BIO_test_flags(const BIO *bio, int flags) { return openssl().BIO_test_flags(bio, flags); }

COMPAT_EXPORT int SHA256_Init(SHA256_CTX *context) { return openssl().SHA256_Init(context); }
COMPAT_EXPORT int SHA256_Update(SHA256_CTX *context, const void *data, size_t length) {
  return openssl().SHA256_Update(context, data, length);
}
COMPAT_EXPORT int SHA256_Final(unsigned char *digest, SHA256_CTX *context) {
  return openssl().SHA256_Final(digest, context);
}

COMPAT_EXPORT long SSL_CTX_ctrl(SSL_CTX *context, int command, long number, void *argument) {
  return openssl().SSL_CTX_ctrl(context, command, number, argument);
}
COMPAT_EXPORT void SSL_CTX_free(SSL_CTX *context) { openssl().SSL_CTX_free(context); }
COMPAT_EXPORT SSL_CTX *SSL_CTX_new(const SSL_METHOD *method) { return openssl().SSL_CTX_new(method); }
COMPAT_EXPORT long SSL_ctrl(SSL *ssl, int command, long number, void *argument) {
  return openssl().SSL_ctrl(ssl, command, number, argument);
}
COMPAT_EXPORT int SSL_set_cipher_list(SSL *ssl, const char *ciphers) {
  return openssl().SSL_set_cipher_list(ssl, ciphers);
}
