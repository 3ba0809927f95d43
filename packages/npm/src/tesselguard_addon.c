/* The native half of the npm package, one function:
 *   call(libraryPath, configText) -> { cookie, printed, preloaded }
 * It makes the library's configuration call: through the library already in
 * the process (preloaded, or loaded before by anyone) when there is one, else through
 * libraryPath, which it loads (loading starts the protection). What the call
 * prints on standard output (the library's refusals are lines there) is
 * captured, written on to standard output unchanged, and returned, so that
 * index.js can tell the refusals apart. Built against Node-API only, so one
 * build serves every Node.js release and needs nothing but Node.js's headers. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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

/* A library loaded into the process privately (RTLD_LOCAL, by other code)
 * is not in the global scope; found by its file name, it is opened again
 * (the same copy) rather than loaded a second time. */
static int find_loaded(struct dl_phdr_info *info, size_t size, void *found) {
  (void)size;
  const char *slash = info->dlpi_name ? strrchr(info->dlpi_name, '/') : NULL;
  if (!slash || strcmp(slash, "/libtesselguard.so") != 0) return 0;
  *(void **)found = dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD);
  return *(void **)found != NULL;
}

static void write_all(int fd, const char *text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= (size_t)n;
  }
}

/* Standard output during the call goes to a pipe that never blocks the
 * library (a line that does not fit is lost, never waited for). */
struct capture {
  int saved_stdout;
  int read_end;
  char text[65536];
  size_t length;
};

static int capture_begin(struct capture *c) {
  int pipe_ends[2];
  c->length = 0;
  fflush(stdout);
  if (pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) return 0;
  c->saved_stdout = fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (c->saved_stdout < 0 || dup2(pipe_ends[1], 1) < 0) {
    if (c->saved_stdout >= 0) close(c->saved_stdout);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    return 0;
  }
  close(pipe_ends[1]);
  c->read_end = pipe_ends[0];
  return 1;
}

/* Puts standard output back, then passes the captured text on to it. */
static void capture_end(struct capture *c) {
  fflush(stdout);
  dup2(c->saved_stdout, 1);
  close(c->saved_stdout);
  for (;;) {
    ssize_t n = read(c->read_end, c->text + c->length, sizeof c->text - 1 - c->length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    c->length += (size_t)n;
  }
  close(c->read_end);
  c->text[c->length] = '\0';
  write_all(1, c->text, c->length);
}

static napi_value call(napi_env env, napi_callback_info info) {
  size_t argc = 2;
  napi_value argv[2];
  if (napi_get_cb_info(env, info, &argc, argv, NULL, NULL) != napi_ok || argc < 2) {
    napi_throw_type_error(env, NULL, "call(libraryPath, configText) takes two strings");
    return NULL;
  }
  char *path = string_argument(env, argv[0], "libraryPath must be a string");
  if (!path) return NULL;
  char *config = string_argument(env, argv[1], "configText must be a string");
  if (!config) {
    free(path);
    return NULL;
  }

  /* A library in the process already (LD_PRELOAD) is the one to configure:
   * a second copy would start a second protection. Never closed: the
   * library's patches stay in this process for good. */
  configure_fn configure = (configure_fn)dlsym(RTLD_DEFAULT, "tesselguard_configure");
  const int preloaded = configure != NULL;
  if (!configure) {
    void *library = NULL;
    dl_iterate_phdr(find_loaded, &library);
    if (!library) library = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    configure = library ? (configure_fn)dlsym(library, "tesselguard_configure") : NULL;
  }
  free(path);
  if (!configure) {
    const char *why = dlerror();
    free(config);
    napi_throw_error(env, NULL, why ? why : "tesselguard_configure not found");
    return NULL;
  }

  static struct capture printed; /* JS runs this on one thread only */
  const int capturing = capture_begin(&printed);
  const int cookie = configure(config);
  if (capturing) capture_end(&printed);
  free(config);

  napi_value result, value;
  napi_create_object(env, &result);
  napi_create_int32(env, cookie, &value);
  napi_set_named_property(env, result, "cookie", value);
  napi_create_string_utf8(env, capturing ? printed.text : "", capturing ? printed.length : 0, &value);
  napi_set_named_property(env, result, "printed", value);
  napi_get_boolean(env, preloaded, &value);
  napi_set_named_property(env, result, "preloaded", value);
  return result;
}

NAPI_MODULE_INIT() {
  napi_value function;
  napi_create_function(env, "call", NAPI_AUTO_LENGTH, call, NULL, &function);
  napi_set_named_property(env, exports, "call", function);
  return exports;
}
