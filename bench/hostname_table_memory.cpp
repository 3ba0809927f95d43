// Memory of the host-name table over a million distinct resolutions: the
// table keeps the most recent 4,096 addresses, so the resident size after a
// million should be what it was once the table first filled up. Numeric
// names, so the real getaddrinfo sends no query. Reported as counters.
#include <benchmark/benchmark.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "interceptor/interceptor.hpp"

namespace {

long resident_kb() {
  long pages = 0, resident = 0;
  if (FILE *file = fopen("/proc/self/statm", "r")) {
    if (fscanf(file, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(file);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void resolve_numeric(unsigned index) {
  char name[32];
  snprintf(name, sizeof name, "10.%u.%u.%u", (index >> 16) & 0xff, (index >> 8) & 0xff, index & 0xff);
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  if (hooked_getaddrinfo(name, nullptr, &hints, &list) == 0) freeaddrinfo(list);
}

void BM_million_distinct_lookups(benchmark::State &state) {
  static pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
  if (!dns_db_lock) dns_db_lock = &lock;
  constexpr unsigned WARM = 20000, TOTAL = 1000000;
  for (auto _ : state) {
    for (unsigned i = 0; i < WARM; ++i) resolve_numeric(i);
    const long warm = resident_kb();
    for (unsigned i = WARM; i < TOTAL; ++i) resolve_numeric(i);
    const long after = resident_kb();
    state.counters["rss_after_20k_kb"] = static_cast<double>(warm);
    state.counters["rss_after_1M_kb"] = static_cast<double>(after);
    state.counters["growth_kb"] = static_cast<double>(after - warm);
  }
}
BENCHMARK(BM_million_distinct_lookups)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
