"""A Google Cloud Function (entry point: handle) that protects itself.

It ships libtesselguard.so with its code, loads it through ctypes (loading
starts the protection) and sets its policy with one configuration call. The
library's folder must be on LD_LIBRARY_PATH (it holds libssl.so.1.0.0).
"""
import ctypes
import json
import os

import compromised_dependency

LIBRARY = os.environ.get("TESSELGUARD_LIBRARY",
                         os.path.join(os.path.dirname(__file__), "lib", "libtesselguard.so"))
POLICY = {
    "read_write_tmp": "alert",
    "read_handler": "block",
    "create_child_process": "block",
    "outbound_connectivity": "alert",
}

_tesselguard = ctypes.CDLL(LIBRARY)
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


def handle(request):
    if not COOKIE:
        raise RuntimeError("TesselGuard refused the configuration")
    return {"attempts": compromised_dependency.misbehave(os.path.realpath(__file__))}
