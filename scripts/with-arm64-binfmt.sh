#!/usr/bin/env bash
# Runs a command where the kernel starts arm64 programs under
# qemu-aarch64-static: in a user and mount namespace of its own, with a
# binfmt_misc of that namespace. The machine's own binfmt_misc is never
# touched (kernel 6.7 and later give each user namespace its own).
#   scripts/with-arm64-binfmt.sh COMMAND [ARG...]
set -euo pipefail
qemu=${QEMU_AARCH64:-/usr/bin/qemu-aarch64-static}
[ -x "$qemu" ] || { echo "no $qemu: run scripts/install-deps-arm64.sh" >&2; exit 1; }
if [ "${TG_ARM64_BINFMT_INSIDE:-}" != 1 ]; then
  exec unshare --user --map-root-user --mount env TG_ARM64_BINFMT_INSIDE=1 "$0" "$@"
fi
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
# ELF 64-bit little-endian, executable or shared object, machine AArch64.
# F: the interpreter is opened now, so it serves every mount namespace below.
printf '%s' ':qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
  > /proc/sys/fs/binfmt_misc/register
# Every feature of the emulated processor, PAC and BTI among them, for
# every program started (qemu reads this from its environment).
export QEMU_CPU=max
exec "$@"
