#include "policy/policy.hpp"
#include "core/core.hpp"
#include "core/diagnostics.hpp"
#include "policy/libssl_search.hpp"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <cstring>

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

bool search_libssl() {
  // Each candidate where the loader would find it; a name found in no
  // folder is not handed to the loader's full search.
  const loader_folders folders = own_loader_folders();
  for (const char *name : CANDIDATES) {
    char path[PATH_MAX];
    switch (find_libssl_candidate(name, folders, path)) {
      case candidate_place::at_path:
        libssl_handle = dlopen(path, OPEN_FLAGS);
        // A file the loader would pass over (another machine's, say): its
        // own search decides.
        if (!libssl_handle) libssl_handle = dlopen(name, OPEN_FLAGS);
        break;
      case candidate_place::ask_loader:
        libssl_handle = dlopen(name, OPEN_FLAGS);
        break;
      case candidate_place::nowhere:
        continue;
    }
    if (libssl_handle) return true;
  }
  // None found that way: the loader's own search has the last word.
  for (const char *name : CANDIDATES) {
    libssl_handle = dlopen(name, OPEN_FLAGS);
    if (libssl_handle) return true;
  }
  return false;
}

// A program started by the function opens the file its first process
// found, without searching again; the value reaches it only through the
// library's own start of programs, which writes the value its starter used.
// A first process searches whatever its environment says.
bool open_inherited_libssl() {
  if (!env_lookup(STATE_PATH_VARIABLE)) return false;
  const char *path = env_lookup(LIBSSL_PATH_VARIABLE);
  if (!path || path[0] != '/') return false;
  libssl_handle = dlopen(path, OPEN_FLAGS);
  return libssl_handle != nullptr;
}

// Names the opened file for the programs this process starts.
void remember_libssl_file() {
  link_map *object = nullptr;
  if (dlinfo(libssl_handle, RTLD_DI_LINKMAP, &object) != 0 || !object || !object->l_name ||
      object->l_name[0] != '/')
    return;
  const char *known = env_lookup(LIBSSL_PATH_VARIABLE);
  if (known && strcmp(known, object->l_name) == 0) return;
  // Without it a started program only searches again.
  setenv(LIBSSL_PATH_VARIABLE, object->l_name, 1);
}

bool open_libssl() {
  if (!open_inherited_libssl() && !search_libssl()) return false;
  remember_libssl_file();
  return true;
}

}  // namespace

void load_libssl() {
  if (!open_libssl()) abort_with_message("No usable version of the libssl was found");
  for (const auto &entry : ENTRY_POINTS) {
    *entry.slot = dlsym(libssl_handle, entry.name);
    if (!*entry.slot) abort_with_message("Cannot get required symbol %s from libssl", entry.name);
  }
  ssl_api.SSL_load_error_strings();
  ssl_api.SSL_library_init();
}
