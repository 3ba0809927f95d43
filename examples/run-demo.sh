#!/usr/bin/env bash
# Installs what is missing, builds the library and its Lambda layer, installs
# the platforms' Node.js runtime clients from npm, and runs the demo functions
# under the library. Exits non-zero when any scenario misbehaves.
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

# npm ci of one committed package.json + package-lock.json into a folder of the
# build directory; skipped while the installed lock file is unchanged.
install_npm_packages() {
  local source=$1 target=$2
  if [ -d "$target/node_modules" ] && cmp -s "$source/package.json" "$target/package.json" &&
     cmp -s "$source/package-lock.json" "$target/installed-lock.json"; then
    return
  fi
  echo "Installing the npm packages of $source into $target/ ..."
  rm -rf "$target"
  mkdir -p "$target"
  cp "$source/package.json" "$source/package-lock.json" "$target/"
  # Node-API headers come from the system (npm_config_nodedir), so node-gyp
  # downloads nothing; the registry is the only network use.
  if ! (cd "$target" && MAKEFLAGS=-j"$(nproc)" npm_config_nodedir=/usr npm_config_update_notifier=false \
          npm ci --no-audit --no-fund --foreground-scripts) >"$target/install.log" 2>&1; then
    tail -n 40 "$target/install.log" >&2
    echo "npm ci failed (log: $target/install.log)" >&2
    exit 1
  fi
  cp "$source/package-lock.json" "$target/installed-lock.json"
}
install_npm_packages examples/runtimes/lambda-nodejs "$build/demo-npm/lambda-nodejs"
install_npm_packages examples/functions/gcf-node "$build/demo-npm/gcf-node"

python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" examples/demo/driver.py --build "$build" "$@"
