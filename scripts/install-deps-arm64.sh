#!/usr/bin/env bash
# Installs what the arm64 cross build and its tests under emulation need, on
# top of scripts/install-deps.sh: Debian's cross toolchain, the arm64 -dev
# packages of what the library bundles (multiarch), and qemu-user-static.
# Opt-in: scripts/test-arm64.sh and CI run it; x86-64 users need none of it.
set -euo pipefail
packages=(g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user-static
          libcjson-dev:arm64 libssl-dev:arm64 libgtest-dev:arm64
          libstdc++6:arm64)  # the test programs' C++ run-time (the library needs none)
missing=()
dpkg --print-foreign-architectures | grep -qx arm64 || missing+=(architecture)
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing for arm64: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  dpkg --add-architecture arm64
  apt-get update -qq
  # Multiarch packages must match their amd64 twins' versions: both are upgraded together.
  apt-get install -y -qq "${packages[@]}" >/dev/null
fi
