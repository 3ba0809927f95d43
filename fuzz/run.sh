#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each
# for a bounded time on its seed corpus.
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# CI runs it with 45 seconds per target. A longer local run, e.g. an hour
# each on both cores:
#
#   FUZZ_JOBS=2 fuzz/run.sh 3600
#
# New inputs go to $BUILD_DIR/fuzz/corpus/<target> (kept between runs, not
# in the repository), crashing inputs to $BUILD_DIR/fuzz/artifacts/. Replay
# one with: $BUILD_DIR/fuzz/<target> <file>. The script fails when any
# target finds a crash, a leak or a time-out.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-45}
shift || true
build=$(realpath -m "${BUILD_DIR:-build-fuzz}")
source_dir=$PWD
jobs=${FUZZ_JOBS:-1}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSELGUARD_FUZZ=ON \
  -DTESSELGUARD_BUILD_TESTS=OFF -DTESSELGUARD_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j"$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_configure fuzz_policy_callback fuzz_event_text fuzz_interceptor_config fuzz_lexical_path
           fuzz_relocator fuzz_relocator_aarch64)
fi

# Longest input per target: whole documents for the texts, one entry plus
# the code after it for the relocator.
max_len() {
  case "$1" in
    fuzz_relocator) echo 256 ;;
    fuzz_relocator_aarch64) echo 64 ;;
    *) echo 8192 ;;
  esac
}

parallel=()
if [ "$jobs" -gt 1 ]; then parallel=(-jobs="$jobs" -workers="$jobs"); fi
mkdir -p "$build/fuzz/artifacts"
failed=0
for target in "${targets[@]}"; do
  work="$build/fuzz/corpus/$target"
  mkdir -p "$work"
  log="$build/fuzz/$target.log"
  echo "== $target: ${seconds}s"
  # Standard output is closed: the configuration call prints its messages there.
  rm -f "$build"/fuzz/fuzz-*.log
  if ! (cd "$build/fuzz" && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -max_len="$(max_len "$target")" \
      -close_fd_mask=1 -print_final_stats=1 "${parallel[@]}" \
      -artifact_prefix="$build/fuzz/artifacts/$target-" "$work" "$source_dir/fuzz/corpus/$target" >"$log" 2>&1); then
    echo "$target FAILED; see $log"
    tail -n 60 "$log"
    failed=1
  fi
  # With several jobs each worker writes its own fuzz-N.log beside the target.
  if [ "$jobs" -gt 1 ]; then stats=("$build"/fuzz/fuzz-*.log); else stats=("$log"); fi
  runs=$(cat "${stats[@]}" 2>/dev/null | awk '/stat::number_of_executed_units/ {s+=$2} END {print s+0}')
  echo "$target: $runs executions, corpus $(ls "$work" | wc -l) inputs"
done
exit $failed
