"""A Google Cloud Function (entry point: handle, signature type http) that
protects itself with the tesselguard package (the wheel, installed with pip).

Importing the package's configure loads the library it carries (loading
starts the protection) and sets the policy with one configuration call.
Importing this module happens in the platform's first process (the gunicorn
master, which imports the app before it forks its worker), so the call is
made there.
"""
import ctypes
import os

import tesselguard

import compromised_dependency

POLICY = {
    "read_write_tmp": "block",
    "read_handler": "block",
    "create_child_process": "block",
    "outbound_connectivity": "alert",
}

# The runtime ("Python", the package's default) lets the library find this
# file (main.py) for the read_handler rule. A refusal raises. Keep the
# cookie: any later configuration call must carry it.
COOKIE = tesselguard.configure(policy=POLICY, disable_analytics=True)


def _state_file():
    # os.environ is a copy taken before the library set the variable.
    getenv = ctypes.CDLL(None).getenv
    getenv.argtypes, getenv.restype = [ctypes.c_char_p], ctypes.c_char_p
    value = getenv(b"TESSELGUARD_STATE_PATH")
    return value.decode() if value else None


def handle(request):
    return {
        "attempts": compromised_dependency.misbehave(os.path.realpath(__file__)),
        "pid": os.getpid(),
        "uid": os.getuid(),
        "state_file": _state_file(),
    }
