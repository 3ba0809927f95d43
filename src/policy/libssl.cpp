// libssl, opened the first time an analytics record is about to be sent.
//
// Most processes never send one: analytics draws about one configuration
// call in a hundred, and none when it is off. Opening libssl and resolving
// its entry points at every start cost every process start some 40,000
// instructions and 35-60 us, and ended every process when no usable libssl
// was there. Now the first send opens it, once per process; when it cannot be
// used, that send says why on standard error and is skipped, and so is
// every later one, silently.
//
// No lock: the thread that finds it untried loads it, and a thread that
// meets the loading under way skips its own send rather than wait (nothing
// can then hang on it, not even a child forked meanwhile, which only
// never sends).
#include "policy/policy.hpp"
#include "core/core.hpp"
#include "core/diagnostics.hpp"
#include "policy/libssl_search.hpp"

#include <dlfcn.h>

#include <atomic>
#include <climits>
#include <cstdlib>

void *libssl_handle = nullptr;
libssl_api ssl_api;

namespace {

constexpr const char *CANDIDATES[] = {"libssl.so.10", "libssl.so.1.0.0", "libssl.so.1.0.2"};

struct entry_point {
  const char *name;
  void **slot;
};

// Table order is the lookup order: the first missing name is the one reported.
const entry_point ENTRY_POINTS[] = {
    {"BIO_ctrl", reinterpret_cast<void **>(&ssl_api.BIO_ctrl)},
    {"BIO_free", reinterpret_cast<void **>(&ssl_api.BIO_free)},
    {"BIO_free_all", reinterpret_cast<void **>(&ssl_api.BIO_free_all)},
    {"BIO_new_fp", reinterpret_cast<void **>(&ssl_api.BIO_new_fp)},
    {"BIO_new_ssl_connect", reinterpret_cast<void **>(&ssl_api.BIO_new_ssl_connect)},
    {"BIO_printf", reinterpret_cast<void **>(&ssl_api.BIO_printf)},
    {"BIO_puts", reinterpret_cast<void **>(&ssl_api.BIO_puts)},
    {"BIO_read", reinterpret_cast<void **>(&ssl_api.BIO_read)},
    {"BIO_test_flags", reinterpret_cast<void **>(&ssl_api.BIO_test_flags)},
    {"SHA256_Final", reinterpret_cast<void **>(&ssl_api.SHA256_Final)},
    {"SHA256_Init", reinterpret_cast<void **>(&ssl_api.SHA256_Init)},
    {"SHA256_Update", reinterpret_cast<void **>(&ssl_api.SHA256_Update)},
    {"SSL_CTX_ctrl", reinterpret_cast<void **>(&ssl_api.SSL_CTX_ctrl)},
    {"SSL_CTX_free", reinterpret_cast<void **>(&ssl_api.SSL_CTX_free)},
    {"SSL_CTX_new", reinterpret_cast<void **>(&ssl_api.SSL_CTX_new)},
    {"SSL_ctrl", reinterpret_cast<void **>(&ssl_api.SSL_ctrl)},
    {"SSL_library_init", reinterpret_cast<void **>(&ssl_api.SSL_library_init)},
    {"SSL_load_error_strings", reinterpret_cast<void **>(&ssl_api.SSL_load_error_strings)},
    {"SSL_set_cipher_list", reinterpret_cast<void **>(&ssl_api.SSL_set_cipher_list)},
    {"SSLv23_method", reinterpret_cast<void **>(&ssl_api.SSLv23_method)},
};
static_assert(sizeof ENTRY_POINTS / sizeof ENTRY_POINTS[0] == 20);

constexpr int OPEN_FLAGS = RTLD_NOW | RTLD_DEEPBIND;

// `by_path_only`: a started program's search, which opens nothing by bare
// name (see open_libssl).
bool search_libssl(bool by_path_only) {
  // Each candidate where the loader would find it; a name found in no
  // folder is not handed to the loader's full search.
  const loader_folders folders = own_loader_folders(by_path_only);
  for (const char *name : CANDIDATES) {
    char path[PATH_MAX];
    switch (find_libssl_candidate(name, folders, path)) {
      case candidate_place::at_path:
        libssl_handle = dlopen(path, OPEN_FLAGS);
        // A file the loader would pass over (another machine's, say): its
        // own search decides.
        if (!libssl_handle && !by_path_only) libssl_handle = dlopen(name, OPEN_FLAGS);
        break;
      case candidate_place::ask_loader:
        libssl_handle = dlopen(name, OPEN_FLAGS);
        break;
      case candidate_place::nowhere:
        continue;
    }
    if (libssl_handle) return true;
  }
  if (by_path_only) return false;
  // None found that way: the loader's own search has the last word.
  for (const char *name : CANDIDATES) {
    libssl_handle = dlopen(name, OPEN_FLAGS);
    if (libssl_handle) return true;
  }
  return false;
}

// The file named in TESSELGUARD_LIBSSL_PATH when it opens, else the search.
// A started program's environment is what its starter passed, which may be
// the function's code: the variable itself is the one its first process
// started with (the library's start of programs writes it, see
// carry_libssl_choice), and its LD_LIBRARY_PATH is not searched, nor is any
// candidate opened by bare name, which the loader would look for there
// first. The function's first process searches as its environment says.
bool open_libssl() {
  const char *named = env_lookup(LIBSSL_PATH_VARIABLE);
  if (named && named[0] == '/' && (libssl_handle = dlopen(named, OPEN_FLAGS))) return true;
  return search_libssl(!state_writable);
}

// Opens libssl, resolves every entry point and initialises it; false after
// printing why it cannot be used.
bool load_libssl() {
  if (!open_libssl()) {
    print_message(message_stream::error, "No usable version of the libssl was found");
    return false;
  }
  bool usable = true;
  for (const auto &entry : ENTRY_POINTS) {
    *entry.slot = dlsym(libssl_handle, entry.name);
    if (!*entry.slot) {
      print_message(message_stream::error, "Cannot get required symbol %s from libssl", entry.name);
      usable = false;
      break;
    }
  }
  if (usable) {
    ssl_api.SSL_load_error_strings();
    // OpenSSL 1.0 always answers 1; the compatibility library answers 0
    // when the OpenSSL 3 it forwards to cannot be used (and says why).
    usable = ssl_api.SSL_library_init() != 0;
    if (!usable) print_message(message_stream::error, "No usable version of the libssl was found");
  }
  if (!usable) {
    dlclose(libssl_handle);
    libssl_handle = nullptr;
  }
  return usable;
}

enum libssl_state : int { UNTRIED, LOADING, READY, UNUSABLE };
std::atomic<int> libssl_status{UNTRIED};

}  // namespace

void carry_libssl_choice() {
  if (!env_lookup(LIBSSL_PATH_VARIABLE)) setenv(LIBSSL_PATH_VARIABLE, "", 1);
}

void mark_libssl_ready() { libssl_status.store(READY, std::memory_order_release); }

bool libssl_ready() {
  int now = libssl_status.load(std::memory_order_acquire);
  if (now == UNTRIED && libssl_status.compare_exchange_strong(now, LOADING, std::memory_order_acquire)) {
    now = load_libssl() ? READY : UNUSABLE;
    libssl_status.store(now, std::memory_order_release);
  }
  return now == READY;
}
