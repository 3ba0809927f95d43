#!/usr/bin/env bash
# Installs what is missing, builds the library and its Lambda layer, and runs
# the demo functions under it. Exits non-zero when any scenario misbehaves.
#   BUILD_DIR=<dir>  build directory (default: build)
#   extra arguments go to the driver: --only aws-python gcf-node, --no-namespaces
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
mkdir -p "$build"
echo "Building the library and the layer archive in $build/ ..."
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j"$(nproc)" --target tesselguard_layer; } >"$build/demo-build.log" 2>&1; then
  cat "$build/demo-build.log" >&2
  echo "build failed (log: $build/demo-build.log)" >&2
  exit 1
fi
python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" examples/demo/driver.py --build "$build" "$@"
