/* A Node.js native addon with one function:
 *   configure(libraryPath, configText) -> cookie (0 when refused)
 * It loads libtesselguard.so (loading starts the protection) and passes the
 * configuration text to tesselguard_configure. Built against Node-API only,
 * so it needs no package beyond Node.js's own headers:
 *   cc -shared -fPIC -I/usr/include/node tesselguard_addon.c -o tesselguard.node -ldl */
#include <dlfcn.h>
#include <stdlib.h>

#include <node_api.h>

typedef int (*configure_fn)(const char *config);

/* Copies a JS string argument into a new buffer, or returns NULL after
 * raising a TypeError. */
static char *string_argument(napi_env env, napi_value value, const char *what) {
  size_t length = 0;
  if (napi_get_value_string_utf8(env, value, NULL, 0, &length) != napi_ok) {
    napi_throw_type_error(env, NULL, what);
    return NULL;
  }
  char *text = malloc(length + 1);
  if (!text) {
    napi_throw_error(env, NULL, "out of memory");
    return NULL;
  }
  napi_get_value_string_utf8(env, value, text, length + 1, &length);
  return text;
}

static napi_value configure(napi_env env, napi_callback_info info) {
  size_t argc = 2;
  napi_value argv[2];
  if (napi_get_cb_info(env, info, &argc, argv, NULL, NULL) != napi_ok || argc < 2) {
    napi_throw_type_error(env, NULL, "configure(libraryPath, configText) takes two strings");
    return NULL;
  }
  char *path = string_argument(env, argv[0], "libraryPath must be a string");
  if (!path) return NULL;
  char *config = string_argument(env, argv[1], "configText must be a string");
  if (!config) {
    free(path);
    return NULL;
  }

  /* Never closed: the library's patches stay in this process for good. */
  void *library = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
  configure_fn call = library ? (configure_fn)dlsym(library, "tesselguard_configure") : NULL;
  free(path);
  if (!call) {
    const char *why = dlerror();
    free(config);
    napi_throw_error(env, NULL, why ? why : "tesselguard_configure not found");
    return NULL;
  }
  int cookie = call(config);
  free(config);

  napi_value result;
  napi_create_int32(env, cookie, &result);
  return result;
}

NAPI_MODULE_INIT() {
  napi_value function;
  napi_create_function(env, "configure", NAPI_AUTO_LENGTH, configure, NULL, &function);
  napi_set_named_property(env, exports, "configure", function);
  return exports;
}
