#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and run the demo.
set -euo pipefail
packages=(build-essential cmake pkg-config libcjson-dev uthash-dev libzydis-dev libssl-dev openssl
          libgtest-dev googletest libbenchmark-dev tzdata python3 nodejs util-linux mount zip unzip
          clang libclang-rt-14-dev  # clang and its runtimes: the libFuzzer targets in fuzz/
          python3-flask gunicorn  # the demo's Google Python function: a Flask app under gunicorn
          ruby  # the start phase tests: the handler loaded by a real Ruby
          autoconf automake libtool m4  # the native part of the demo's aws-lambda-ric, built offline by npm
          python3-setuptools python3-wheel python3-pip python3-venv  # the Python wheel, built and installed offline
          node-typescript)  # tsc checks the npm package's type declarations
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The demo's Node.js addon needs Node-API headers; Debian's nodejs keeps them
# in libnode-dev, other builds of nodejs ship them in the package itself.
[ -e /usr/include/node/node_api.h ] || missing+=(libnode-dev)
# The demo installs the platforms' Node.js runtime clients with npm, which
# Debian ships apart from nodejs; other builds of nodejs bring their own.
command -v npm >/dev/null || missing+=(npm)
# The npm package's addon is built with node-gyp: the one that npm carries,
# else Debian's.
if ! command -v node-gyp >/dev/null && \
   ! [ -e "$(npm root -g 2>/dev/null)/npm/node_modules/node-gyp/bin/node-gyp.js" ]; then
  missing+=(node-gyp)
fi
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
