// What a hook adds to one call: a replacement that forwards straight to the
// trampoline, against calling the same code directly. Two targets with
// identical code keep the comparison fair; close(-1) shows the same cost next
// to a real system call. The ratios are printed at the end of the run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "hook/hook.hpp"

extern "C" int bench_direct_target(int);
extern "C" int bench_hooked_target(int);
asm(R"(
  .text
  .p2align 4
  .globl bench_direct_target
bench_direct_target:
  lea 0x1000(%rdi), %eax
  ret
  .p2align 4
  .globl bench_hooked_target
bench_hooked_target:
  lea 0x1000(%rdi), %eax
  ret
)");

namespace {

int (*real_target)(int);
int (*real_close)(int);

int forward_target(int x) { return real_target(x); }
int forward_close(int fd) { return real_close(fd); }

// Called through volatile pointers so that every call enters the code.
int (*volatile direct_target)(int) = bench_direct_target;
int (*volatile hooked_target)(int) = bench_hooked_target;
int (*volatile close_function)(int) = nullptr;

hook_set *hooks_on_target = nullptr;

void BM_direct_call(benchmark::State &state) {
  int x = 0;
  for (auto _ : state) benchmark::DoNotOptimize(x = direct_target(x & 0xff));
}
BENCHMARK(BM_direct_call);

void BM_hooked_call(benchmark::State &state) {
  int x = 0;
  for (auto _ : state) benchmark::DoNotOptimize(x = hooked_target(x & 0xff));
}
BENCHMARK(BM_hooked_call);

void BM_direct_close(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(close_function(-1));
}
BENCHMARK(BM_direct_close);

void BM_hooked_close(benchmark::State &state) {
  hook_set *set = hook_set_create();
  real_close = close_function;
  if (!set || hook_set_prepare(set, reinterpret_cast<void **>(&real_close), reinterpret_cast<void *>(forward_close)) ||
      hook_set_install(set)) {
    state.SkipWithError(set ? hook_set_error_message(set) : "no hook set");
    if (set) hook_set_destroy(set);
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(close_function(-1));
  hook_set_destroy(set);
}
BENCHMARK(BM_hooked_close);

// Keeps each benchmark's CPU time per call (steadier than wall time on a
// busy machine) so the ratios can be printed.
struct recording_reporter : benchmark::ConsoleReporter {
  recording_reporter() : ConsoleReporter(OO_Tabular) {}
  std::map<std::string, double> nanoseconds;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        nanoseconds[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

void print_cost(const recording_reporter &reporter, const char *direct, const char *hooked) {
  auto d = reporter.nanoseconds.find(direct), h = reporter.nanoseconds.find(hooked);
  if (d == reporter.nanoseconds.end() || h == reporter.nanoseconds.end()) return;
  printf("%-16s vs %-16s added %.2f ns per call, ratio %.2f\n", hooked, direct, h->second - d->second,
         h->second / d->second);
}

}  // namespace

int main(int argc, char **argv) {
  void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  close_function = reinterpret_cast<int (*)(int)>(libc ? dlsym(libc, "close") : nullptr);
  hooks_on_target = hook_set_create();
  real_target = bench_hooked_target;
  if (!close_function || !hooks_on_target ||
      hook_set_prepare(hooks_on_target, reinterpret_cast<void **>(&real_target),
                       reinterpret_cast<void *>(forward_target)) != HOOK_OK ||
      hook_set_install(hooks_on_target) != HOOK_OK) {
    fprintf(stderr, "cannot hook the bench target: %s\n", hook_set_error_message(hooks_on_target));
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  recording_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_cost(reporter, "BM_direct_call", "BM_hooked_call");
  print_cost(reporter, "BM_direct_close", "BM_hooked_close");
  benchmark::Shutdown();
  hook_set_destroy(hooks_on_target);
  if (libc) dlclose(libc);
  return 0;
}
