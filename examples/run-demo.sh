#!/usr/bin/env bash
# Installs what is missing, builds the library, its Lambda layer, its npm
# package and its Python wheel, installs the platforms' Node.js runtime
# clients from npm and the two packages from their files (offline), and runs
# the demo functions
# under the library. Exits non-zero when any scenario misbehaves.
#   BUILD_DIR=<dir>  build directory (default: build)
#   extra arguments go to the driver: --only aws-python gcf-node, --no-namespaces
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
mkdir -p "$build"
echo "Building the library, the layer archive, the npm package and the wheel in $build/ ..."
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j"$(nproc)" --target tesselguard_layer tesselguard_npm_package \
             tesselguard_python_wheel; } >"$build/demo-build.log" 2>&1; then
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

# The Google functions' own packages, as their users install them: the npm
# package from its tarball into a project of its own (the Node.js function
# gets its node_modules/tesselguard), the wheel with pip into a venv that
# also sees the system's Flask and gunicorn. Offline, from the files alone.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
target=$build/demo-npm/tesselguard
rm -rf "$target" "$build/demo-venv"
mkdir -p "$target"
echo '{"name":"tesselguard-demo-install","private":true}' >"$target/package.json"
if ! { (cd "$target" && npm_config_update_notifier=false npm install --offline --no-audit --no-fund \
          "../../tesselguard-$version.tgz") &&
       "$python" -m venv --system-site-packages "$build/demo-venv" &&
       PIP_DISABLE_PIP_VERSION_CHECK=1 "$build/demo-venv/bin/pip" install --no-index --no-cache-dir \
          "$build"/tesselguard-"$version"-py3-none-manylinux_2_34_*.whl; } >"$build/demo-packages.log" 2>&1; then
  cat "$build/demo-packages.log" >&2
  echo "installing the packages failed (log: $build/demo-packages.log)" >&2
  exit 1
fi
exec "$python" examples/demo/driver.py --build "$build" "$@"
