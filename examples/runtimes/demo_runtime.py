"""What the Python runtime stand-ins share: handing the result back, and the
fallback configuration when the library cannot sit at the layer path."""
import ctypes
import json
import os

# The same runtime names as the library's own self-configuration.
RUNTIMES = {
    "AWS_Lambda_nodejs10.x": ("Node.js", "10.x"),
    "AWS_Lambda_python3.7": ("Python", "3.7"),
    "AWS_Lambda_ruby2.5": ("Ruby", "2.5"),
}


def state_path():
    """The state file path as the library set it (os.environ is a copy taken
    at start-up, before a library loaded later could set it)."""
    getenv = ctypes.CDLL(None).getenv
    getenv.argtypes = [ctypes.c_char_p]
    getenv.restype = ctypes.c_char_p
    value = getenv(b"TESSELGUARD_STATE_PATH")
    return value.decode() if value else None


def hand_back(result):
    result = dict(result or {})
    result["state_file"] = state_path()
    with os.fdopen(int(os.environ["DEMO_RESULT_FD"]), "w") as channel:
        channel.write(json.dumps(result))


def configure_like_the_layer():
    """Without mount namespaces the runner cannot put the library at the layer
    path, so it does not configure itself; the runner then sets
    TESSELGUARD_DEMO_CONFIGURE and this makes the configuration call with the
    document the library would have built from the same variables."""
    if os.environ.get("TESSELGUARD_DEMO_CONFIGURE") != "1":
        return
    document = {}
    if os.environ.get("TESSEL_GUARD_DISABLE_ANALYTICS") == "true":
        document["disable_analytics"] = True
    policy = document.setdefault("policy", {})
    for rule in ("READ_WRITE_TMP", "CREATE_CHILD_PROCESS", "OUTBOUND_CONNECTIVITY"):
        value = os.environ.get("TESSEL_GUARD_POLICY_" + rule)
        if value is not None:
            policy[rule.lower()] = value
    execution_env = os.environ.get("AWS_EXECUTION_ENV")
    if execution_env is not None:
        document["runtime"], document["runtime_version"] = RUNTIMES.get(execution_env, ("Layer", execution_env))
    configure = ctypes.CDLL(None).tesselguard_configure
    configure.argtypes = [ctypes.c_char_p]
    if not configure(json.dumps(document).encode()):
        raise SystemExit("TesselGuard refused the configuration")
