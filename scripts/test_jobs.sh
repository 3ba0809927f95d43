#!/usr/bin/env bash
# How many tests ctest may run at once. Each test program gives itself a
# private /tmp and loopback (tests/support/private_tmp.cpp), as root or in a
# user namespace of its own; where neither is allowed, the tests share /tmp
# and the loopback ports, and run one at a time.
if unshare -mn true 2>/dev/null || unshare -Umn true 2>/dev/null; then
  nproc
else
  echo "no private /tmp for the tests here: they run one at a time" >&2
  echo 1
fi
