// The start phase: the runtime's own start and load of the handler. While
// it lasts, the function's first process may read the handler with no
// judgement (the runtime loading it); once it has ended, every read of the
// handler is judged, in every process, and nothing reopens it.
//
// It ends at the first of:
//  - the first process, having touched the handler (its source or compiled
//    form), opens any other code file: the runtime is running the handler's
//    imports, and a dependency only runs after its own file was opened;
//  - a connection to the Lambda Runtime API, or a server's accepted
//    connection (the function is being served);
//  - more opens of the handler than the runtime needs.
//
// Measured (strace, cold start, the runtime's opens of the handler):
//   Node.js 20 require of .js/.cjs: 1, main thread, then the imports;
//   import() of .mjs: 1 on a pool thread, the module graph is read next;
//   import() of a CommonJS .js: 2 back to back; aws-lambda-ric 3.3.0 opens
//   the handler once (.js and .mjs), then its imports, then the Runtime API.
//   Python 3.11: the .pyc first (absent, stale or valid), the source once
//   unless the .pyc is valid, then with a writable folder a temporary
//   "__pycache__/<module>.cpython-311.pyc.<n>" is created before the module
//   runs: that is the compiled form too, and does not end the phase.
//   Ruby 3.1 require/require_relative/load: 2, then the requires.
// Shared objects loaded by the loader (dlopen of a .so or .node) are opened
// by the loader itself, unseen: a native extension imported first by the
// handler does not end the phase, its first code file in a script does.
#include "policy/policy.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "core/core.hpp"

namespace {

std::string_view record_text(const char *field, size_t size) { return {field, strnlen(field, size)}; }

enum class open_kind { handler, compiled_handler, code, other };

bool has_code_extension(std::string_view path) {
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  const std::string_view extension = name.substr(dot);
  for (std::string_view code : {".js", ".mjs", ".cjs", ".node", ".py", ".pyc", ".rb", ".so", ".class", ".jar"})
    if (extension == code) return true;
  return false;
}

// "<folder>/__pycache__/<module>.<tag>.pyc", and the temporary file Python
// writes it through ("...pyc.<n>").
bool is_compiled_form(std::string_view path, std::string_view handler) {
  const size_t slash = handler.rfind('/');
  const size_t dot = handler.rfind('.');
  if (slash == std::string_view::npos || dot == std::string_view::npos || dot < slash) return false;
  const std::string_view folder = handler.substr(0, slash + 1);
  const std::string_view module = handler.substr(slash + 1, dot - slash - 1);
  constexpr std::string_view CACHE = "__pycache__/";
  if (!path.starts_with(folder)) return false;
  path.remove_prefix(folder.size());
  if (!path.starts_with(CACHE)) return false;
  path.remove_prefix(CACHE.size());
  if (!path.starts_with(module) || path.size() == module.size() || path[module.size()] != '.') return false;
  path.remove_prefix(module.size());
  return path.find('/') == std::string_view::npos && path.find(".pyc") != std::string_view::npos;
}

open_kind classify(std::string_view path, std::string_view handler) {
  if (path == handler) return open_kind::handler;
  if (is_compiled_form(path, handler)) return open_kind::compiled_handler;
  return has_code_extension(path) ? open_kind::code : open_kind::other;
}

// How often each runtime opens the handler's source while loading it.
int32_t runtime_handler_opens() {
  const std::string_view runtime = record_text(state_map->runtime, sizeof state_map->runtime);
  if (runtime == "Node.js" || runtime == "Ruby") return 2;
  return 1;
}

// The function's first process (re-executed in place or not); its forks
// and started programs never are.
bool is_first_process() {
  return state_writable && state_identity.creator_pid != 0 && state_identity.creator_pid == getpid();
}

// The host of AWS_LAMBDA_RUNTIME_API ("host:port", "[v6]:port") against the
// connection's address and host name. By the host alone: a connection event
// carries no port, and the API's host is the sandbox's own loopback address,
// which the runtime clients reach first after loading the handler (measured
// with aws-lambda-ric; a connection there from the function's own code ends
// the phase early, which only judges more).
bool is_runtime_api(const event_view &event) {
  const char *api = env_lookup("AWS_LAMBDA_RUNTIME_API");
  if (!api) return false;
  const std::string_view text(api);
  const size_t colon = text.rfind(':');
  std::string_view host = colon == std::string_view::npos ? text : text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) return false;
  return (event.ip && host == event.ip) || (event.hostname && host == event.hostname);
}

// Before the handler is known, the first process's code-file opens are
// remembered by digest: a configuration call made by the function's own code
// names the runtime (and so the handler) only after the runtime has loaded
// it, and must not hand a dependency the runtime's unspent reads.
constexpr uint32_t REMEMBERED_OPENS = 4096;
TESSELGUARD_RARELY_USED uint64_t remembered_opens[REMEMBERED_OPENS];
std::atomic<uint32_t> remembered_count{0};

uint64_t digest(std::string_view text, uint64_t seed) {
  uint64_t hash = 14695981039346656037ull ^ seed;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

// "<folder>/<module>" of a compiled form ("<folder>/__pycache__/<module>.<tag>.pyc")
// or of a source ("<folder>/<module>.<ext>"), digested apart from whole paths.
constexpr uint64_t MODULE_SEED = 0x9e3779b97f4a7c15ull;
uint64_t module_digest(std::string_view path, bool compiled) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return 0;
  std::string_view folder = path.substr(0, slash + 1);
  std::string_view name = path.substr(slash + 1);
  constexpr std::string_view CACHE = "__pycache__/";
  if (compiled) {
    if (!folder.ends_with(CACHE)) return 0;
    folder.remove_suffix(CACHE.size());
  }
  const size_t dot = name.find('.');
  if (dot == 0 || dot == std::string_view::npos) return 0;
  return digest(name.substr(0, dot), digest(folder, MODULE_SEED));
}

void remember(uint64_t value) {
  if (value == 0) return;
  const uint32_t slot = remembered_count.fetch_add(1, std::memory_order_relaxed);
  if (slot < REMEMBERED_OPENS) __atomic_store_n(&remembered_opens[slot], value, __ATOMIC_RELAXED);
}

bool remembered(uint64_t value) {
  const uint32_t count = std::min(remembered_count.load(std::memory_order_relaxed), REMEMBERED_OPENS);
  for (uint32_t i = 0; i < count; ++i)
    if (__atomic_load_n(&remembered_opens[i], __ATOMIC_RELAXED) == value) return true;
  return false;
}

void remember_code_open(std::string_view path) {
  remember(digest(path, 0));
  if (path.ends_with(".pyc")) remember(module_digest(path, true));
}

}  // namespace

bool start_phase_open() { return state_map && load_field(state_map->start_phase) == START_PHASE_OPEN; }

void end_start_phase() {
  if (!start_phase_open()) return;
  state_write_scope scope;
  if (scope.open) store_field(state_map->start_phase, START_PHASE_ENDED);
}

bool start_phase_passes_open(const char *path) {
  if (!path || !start_phase_open()) return false;
  const std::string_view handler = record_text(state_map->handler_path, sizeof state_map->handler_path);
  if (handler.empty()) {
    // The extension first: it spares every other open the getpid call.
    if (has_code_extension(path) && is_first_process()) remember_code_open(path);
    return false;
  }
  const open_kind kind = classify(path, handler);
  if (kind == open_kind::other || !is_first_process()) return false;
  state_write_scope scope;
  // A first process that cannot write the record cannot keep count: its
  // reads are judged.
  if (!scope.open) return false;
  switch (kind) {
    case open_kind::compiled_handler:
      store_field(state_map->handler_touched, 1);
      return false;
    case open_kind::code:
      if (load_field(state_map->handler_touched)) store_field(state_map->start_phase, START_PHASE_ENDED);
      return false;
    case open_kind::handler: {
      store_field(state_map->handler_touched, 1);
      const int32_t opens = load_field(state_map->handler_opens) + 1;
      store_field(state_map->handler_opens, opens);
      if (opens <= runtime_handler_opens()) return true;
      store_field(state_map->start_phase, START_PHASE_ENDED);
      return false;
    }
    default:
      return false;
  }
}

void start_phase_sees_connection(const event_view &event) {
  if (start_phase_open() && is_runtime_api(event)) end_start_phase();
}

void start_phase_handler_found() {
  const std::string_view handler = record_text(state_map->handler_path, sizeof state_map->handler_path);
  if (handler.empty() || !start_phase_open() || !is_first_process()) return;
  if (!remembered(digest(handler, 0)) && !remembered(module_digest(handler, false))) return;
  state_write_scope scope;
  if (!scope.open) return;
  // The runtime has loaded it already: its reads are spent, the next read
  // of the handler or of another code file ends the phase.
  store_field(state_map->handler_touched, 1);
  store_field(state_map->handler_opens, runtime_handler_opens());
}
