// Name lookups under the outbound rule. A lookup is judged by the name the
// name server is asked for, with the platforms' own names exempt as for
// connections. Under alert, a process raises one record per distinct name:
// the first lookup of each is remembered in a bounded table (a name that
// finds no room is alerted again, never dropped).
#include "policy/policy.hpp"

#include <atomic>
#include <cstdint>

#include "core/core.hpp"

namespace {

constexpr unsigned ALERTED_NAMES = 4096;  // a power of two
constexpr unsigned PROBES = 32;
// 64-bit hashes of the names alerted; 0 is a free slot.
TESSELGUARD_RARELY_USED std::atomic<uint64_t> alerted[ALERTED_NAMES];

uint64_t name_hash(const char *name) {
  uint64_t hash = 14695981039346656037ull;
  for (const char *c = name; *c; ++c) hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
  return hash ? hash : 1;
}

// True the first time `name` is seen (or when the table has no room).
bool first_alert(const char *name) {
  const uint64_t hash = name_hash(name);
  for (unsigned i = 0; i < PROBES; ++i) {
    std::atomic<uint64_t> &slot = alerted[(hash + i) & (ALERTED_NAMES - 1)];
    uint64_t held = slot.load(std::memory_order_relaxed);
    if (held == hash) return false;
    if (held == 0) {
      if (slot.compare_exchange_strong(held, hash, std::memory_order_relaxed)) return true;
      if (held == hash) return false;
    }
  }
  return true;
}

}  // namespace

int32_t lookup_mode(const char *name) {
  int32_t mode = load_field(state_map->outbound_connectivity);
  if (mode == MODE_ALLOW || !name || platform_host_exempt(name)) return MODE_ALLOW;
  if (mode == MODE_ALERT && !first_alert(name)) return MODE_ALLOW;
  return mode;
}
