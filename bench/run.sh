#!/usr/bin/env bash
# The cost table: builds a release library and the bench programs, then
# prints what every watched call and every process start costs with the
# library against the same work without it (see bench/RESULTS.md).
#
#   bash bench/run.sh [--rounds N] [--no-callgrind] [--no-memory] [--only TEXT]
#
# --only TEXT runs only the rows whose label holds TEXT ("start" for the
# process starts alone, "/bin/true" for that one).
#
# BUILD_DIR selects the build folder (default: build-release).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-release}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTESSELGUARD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target tesselguard ssl_compat bench_cost_worker bench_cost_table >/dev/null
exec "$build/bench/bench_cost_table" "$@"
