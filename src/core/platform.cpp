// The platform a process runs on and the file that holds the function's
// handler. The first process reads the platform from its environment and
// the state record keeps it; every process below takes it from there, so a
// program started with another platform's variables, or code that changes
// the supervisor's variables at run time, changes nothing.
#include "core/core.hpp"
#include "core/diagnostics.hpp"
#include "core/guards.hpp"
#include "core/kernel_call.hpp"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace {

// The working directory at start-up on Google's current generation: the
// folder the platform serves the function's code from. Empty when unknown.
TESSELGUARD_RARELY_USED char code_folder[PATH_MAX];

void remember_code_folder() {
  // getcwd gives the kernel's own, already canonical path.
  if (!getcwd(code_folder, sizeof code_folder)) code_folder[0] = '\0';
}

// Told apart by Google's variables alone, so that the first process given
// another platform's variables as well keeps its generation.
bool names_google_current_generation() {
  return !env_lookup("X_GOOGLE_FUNCTION_NAME") && env_lookup("K_SERVICE") && env_lookup("FUNCTION_TARGET");
}

// A variable's value into a record field; a value that does not fit is
// left out whole (no host or service name is that long).
void capture_text(char *field, size_t size, const char *name) {
  memset(field, 0, size);
  const char *value = env_lookup(name);
  if (value && strlen(value) < size) memcpy(field, value, strlen(value));
}

// A captured field, or null when empty (or, in a damaged record, unended).
const char *captured_text(const char *field, size_t size) {
  return field[0] && memchr(field, '\0', size) ? field : nullptr;
}

}  // namespace

int32_t detect_provider() {
  // OS-only runtimes (provided.*) set no AWS_EXECUTION_ENV, only the
  // Runtime API their own bootstrap polls.
  if (env_lookup("AWS_EXECUTION_ENV") || env_lookup("AWS_LAMBDA_RUNTIME_API")) return PROVIDER_AWS;
  if (env_lookup("X_GOOGLE_FUNCTION_NAME") || names_google_current_generation()) return PROVIDER_GOOGLE;
  return PROVIDER_UNSUPPORTED;
}

void capture_platform_facts(state_record *record) {
  record->provider = detect_provider();
  const bool current = names_google_current_generation();
  record->google_generation = current ? GOOGLE_CURRENT_GENERATION : GOOGLE_FIRST_GENERATION;
  capture_text(record->supervisor_host, sizeof record->supervisor_host, "X_GOOGLE_SUPERVISOR_HOSTNAME");
  capture_text(record->supervisor_port, sizeof record->supervisor_port, "X_GOOGLE_SUPERVISOR_INTERNAL_PORT");
  if (current) remember_code_folder();
}

bool adopt_recorded_platform() {
  const int32_t provider = state_map->provider;
  if (provider != PROVIDER_AWS && provider != PROVIDER_GOOGLE) return false;
  // Only a process that may write the record detects the handler; the
  // creator remembered its folder when it captured the facts.
  if (state_writable && !code_folder[0] && google_current_generation()) remember_code_folder();
  return true;
}

bool google_current_generation() {
  return state_map && state_map->provider == PROVIDER_GOOGLE &&
         load_field(state_map->google_generation) == GOOGLE_CURRENT_GENERATION;
}

supervisor_address captured_supervisor() {
  if (!state_map || state_map->provider != PROVIDER_GOOGLE || google_current_generation()) return {};
  return {captured_text(state_map->supervisor_host, sizeof state_map->supervisor_host),
          captured_text(state_map->supervisor_port, sizeof state_map->supervisor_port)};
}

namespace {

// A path being put together; `fits` turns false once a piece does not fit.
struct path_text {
  // Room for the longest handler path and then some: a longer one is
  // refused as too long whatever it would resolve to.
  char text[PATH_MAX + 256];
  size_t length = 0;
  bool fits = true;

  void append(std::string_view piece) {
    if (!fits || piece.size() >= sizeof text - length) {
      fits = false;
      return;
    }
    memcpy(text + length, piece.data(), piece.size());
    length += piece.size();
    text[length] = '\0';
  }
  std::string_view view() const { return {text, length}; }
};

path_text joined(std::initializer_list<std::string_view> pieces) {
  path_text path;
  path.text[0] = '\0';
  for (std::string_view piece : pieces) path.append(piece);
  return path;
}

bool is_existing_file(const char *path) {
  struct stat info;
  return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

// "//", "." and ".." taken out as text, for a path whose folder does not
// exist (nothing to resolve against).
path_text lexically_normal(std::string_view path) {
  path_text out;
  out.text[0] = '\0';
  const bool absolute = path.starts_with('/');
  if (absolute) out.append("/");
  const size_t root = out.length;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    std::string_view name = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (name.empty() || name == ".") continue;
    const std::string_view last = out.view().substr(out.view().rfind('/') + 1);
    if (name == ".." && out.length > root && last != "..") {
      while (out.length > root && out.text[out.length - 1] != '/') --out.length;
      if (out.length > root) --out.length;  // the separator before the name
      out.text[out.length] = '\0';
      continue;
    }
    if (name == ".." && absolute) continue;  // "/.." is "/"
    if (out.length > root) out.append("/");
    out.append(name);
  }
  return out;
}

// The canonical form of a file's path, so that a trailing "/", ".." or a
// symbolic link in the folder still names the file the kernel opens: the
// real path of the file when it exists, else the real path of its folder
// and the file's name, else the path cleaned as text.
path_text canonical_file(const path_text &path) {
  path_text out;
  if (realpath(path.text, out.text)) {
    out.length = strlen(out.text);
    return out;
  }
  std::string_view whole = path.view();
  const size_t slash = whole.rfind('/');
  if (slash != std::string_view::npos && slash + 1 < whole.size()) {
    path_text folder = joined({whole.substr(0, slash == 0 ? 1 : slash)});
    if (folder.fits && realpath(folder.text, out.text)) {
      out.length = strlen(out.text);
      if (out.view() != "/") out.append("/");
      out.append(whole.substr(slash + 1));
      return out;
    }
  }
  return lexically_normal(whole);
}

// Stores the canonical form of `path`. A path that does not fit the field
// is refused and the previous one kept.
int store_handler_path(const path_text &path) {
  path_text canonical = path.fits ? canonical_file(path) : path;
  if (!canonical.fits || canonical.length >= sizeof state_map->handler_path) {
    print_message(message_stream::output, "Handler path too long");
    return 0;
  }
  memset(state_map->handler_path, 0, sizeof state_map->handler_path);
  memcpy(state_map->handler_path, canonical.text, canonical.length);
  return 1;
}

std::string_view record_runtime() {
  return {state_map->runtime, strnlen(state_map->runtime, sizeof state_map->runtime)};
}

// The handler module with its dots turned into folders, as the runtimes
// look for it: "pkg.mod" is pkg/mod.
path_text module_path(std::string_view module) {
  path_text path = joined({module});
  for (size_t i = 0; i < path.length; ++i)
    if (path.text[i] == '.') path.text[i] = '/';
  return path;
}

int detect_aws_handler_path() {
  const std::string_view runtime = record_runtime();
  // A .NET handler names an assembly and an OS-only runtime brings its own
  // program: there is no source file to protect, and nothing to say about it.
  if (runtime == ".NET") return 1;
  if (runtime == "Layer" && !env_lookup("AWS_EXECUTION_ENV")) return 1;

  const char *handler = env_lookup("_HANDLER");
  const char *task_root = env_lookup("LAMBDA_TASK_ROOT");
  if (!handler) {
    print_message(message_stream::output, "_HANDLER environment variable not found");
    return 0;
  }
  if (!task_root) {
    print_message(message_stream::output, "LAMBDA_TASK_ROOT environment variable not found");
    return 0;
  }
  const std::string_view name(handler);
  if (runtime == "Java") return store_handler_path(joined({task_root, "/", module_path(name).view(), ".class"}));
  if (runtime != "Node.js" && runtime != "Python" && runtime != "Ruby") {
    print_message(message_stream::output, "Unsupported environment: cannot detect handler path");
    return 0;
  }
  // Ruby's handler is file.method (the method part may hold dots of its
  // own); Node.js and Python name the module up to the last dot.
  const size_t dot = runtime == "Ruby" ? name.find('.') : name.rfind('.');
  if (dot == std::string_view::npos) {
    print_message(message_stream::output, "Improper handler format: should contain '.'");
    return 0;
  }
  if (runtime == "Ruby") return store_handler_path(joined({task_root, "/", name.substr(0, dot), ".rb"}));
  const path_text module = module_path(name.substr(0, dot));
  if (runtime == "Python") return store_handler_path(joined({task_root, "/", module.view(), ".py"}));
  // Node.js resolves the module as .js, .mjs, then .cjs: the first that
  // exists is the handler; with none, the name it tries first.
  for (const char *extension : {".js", ".mjs", ".cjs"}) {
    path_text candidate = joined({task_root, "/", module.view(), extension});
    if (candidate.fits && is_existing_file(candidate.text)) return store_handler_path(candidate);
  }
  return store_handler_path(joined({task_root, "/", module.view(), ".js"}));
}

// The "main" member of the code folder's package.json, read with system
// calls of our own so that the read is not judged as the function's. Empty
// when there is none.
void package_main(const char *folder, path_text *main) {
  main->length = 0;
  main->text[0] = '\0';
  path_text manifest = joined({folder, "/package.json"});
  if (!manifest.fits) return;
  const int fd = static_cast<int>(
      kernel_call(SYS_openat, AT_FDCWD, reinterpret_cast<long>(manifest.text), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd < 0) return;
  constexpr size_t LIMIT = 1 << 20;  // a larger manifest is not read
  struct stat info;
  char *text = nullptr;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<size_t>(info.st_size) <= LIMIT)
    text = static_cast<char *>(malloc(static_cast<size_t>(info.st_size) + 1));
  size_t size = 0;
  while (text && size < static_cast<size_t>(info.st_size)) {
    const ssize_t n = read(fd, text + size, static_cast<size_t>(info.st_size) - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<size_t>(n);
  }
  kernel_call(SYS_close, fd);
  if (!text) return;
  malloc_guard owned{text};
  json_guard document{cJSON_ParseWithLength(text, size)};
  const cJSON *member = cJSON_GetObjectItemCaseSensitive(document.item, "main");
  if (cJSON_IsString(member) && member->valuestring && member->valuestring[0]) main->append(member->valuestring);
}

// Node.js loads the folder's "main" as a file, with ".js", or as a folder
// with index.js; without one that exists, index.js.
int detect_node_folder_handler(const char *folder) {
  path_text main;
  package_main(folder, &main);
  if (main.fits && main.length > 0) {
    for (const char *suffix : {"", ".js", "/index.js"}) {
      path_text candidate = joined({folder, "/", main.view(), suffix});
      if (candidate.fits && is_existing_file(candidate.text)) return store_handler_path(candidate);
    }
  }
  return store_handler_path(joined({folder, "/index.js"}));
}

int detect_google_handler_path() {
  const std::string_view runtime = record_runtime();
  const char *folder = code_folder;
  const bool current_generation = google_current_generation();
  if (!current_generation) {
    folder = env_lookup("X_GOOGLE_CODE_LOCATION");
    if (!folder) {
      print_message(message_stream::output, "X_GOOGLE_CODE_LOCATION environment variable not found");
      return 0;
    }
  } else if (!code_folder[0]) {
    print_message(message_stream::output, "Working directory at start-up unknown");
    return 0;
  }
  if (runtime == "Python") return store_handler_path(joined({folder, "/main.py"}));
  if (runtime != "Node.js") return 1;
  if (current_generation) return detect_node_folder_handler(folder);
  return store_handler_path(joined({folder, "/index.js"}));
}

}  // namespace

int detect_handler_path() {
  switch (state_map->provider) {
    case PROVIDER_AWS:
      return detect_aws_handler_path();
    case PROVIDER_GOOGLE:
      return detect_google_handler_path();
    default:
      return 1;
  }
}
