#!/usr/bin/env bash
# Cross-builds the library, its layer (tesselguard-layer-arm64.zip) and the
# tests for arm64, and runs the tests under qemu-aarch64-static with PAC and
# BTI (scripts/with-arm64-binfmt.sh: the kernel starts the arm64 programs the
# tests start, in a namespace of their own).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/install-deps-arm64.sh
build=${BUILD_DIR:-build-arm64}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSELGUARD_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
# Every test runs: those that preload the library into the machine's own
# programs (python3, node, sh: x86-64 ones) skip themselves
# (TG_SKIP_UNLESS_LIBRARY_LOADS_INTO), as do those that need execveat, which
# qemu-user 7.2 lacks.
jobs=$(bash scripts/test_jobs.sh)
scripts/with-arm64-binfmt.sh ctest --test-dir "$build" -j"$jobs" --output-on-failure --timeout 300
