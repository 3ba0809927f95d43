"""A Google Cloud Function (entry point: handle, signature type http) that
protects itself.

It ships libtesselguard.so with its code (lib/), loads it through ctypes
(loading starts the protection) and sets its policy with one configuration
call. Importing this module happens in the platform's first process (the
gunicorn master, which imports the app before it forks its worker), so the
call is made there.
"""
import ctypes
import json
import os

import compromised_dependency

POLICY = {
    "read_write_tmp": "block",
    "read_handler": "block",
    "create_child_process": "block",
    "outbound_connectivity": "alert",
}

_tesselguard = ctypes.CDLL(os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib", "libtesselguard.so"))
_tesselguard.tesselguard_configure.argtypes = [ctypes.c_char_p]
_tesselguard.tesselguard_configure.restype = ctypes.c_int
# "runtime" lets the library find this file (main.py) for the read_handler
# rule. Keep the cookie: any later configuration call must carry it.
COOKIE = _tesselguard.tesselguard_configure(json.dumps({
    "policy": POLICY,
    "runtime": "Python",
    "runtime_version": "3",
    "disable_analytics": True,
}).encode())


def _state_file():
    # os.environ is a copy taken before the library set the variable.
    getenv = ctypes.CDLL(None).getenv
    getenv.argtypes, getenv.restype = [ctypes.c_char_p], ctypes.c_char_p
    value = getenv(b"TESSELGUARD_STATE_PATH")
    return value.decode() if value else None


def handle(request):
    if not COOKIE:
        raise RuntimeError("TesselGuard refused the configuration")
    return {
        "attempts": compromised_dependency.misbehave(os.path.realpath(__file__)),
        "pid": os.getpid(),
        "uid": os.getuid(),
        "state_file": _state_file(),
    }
