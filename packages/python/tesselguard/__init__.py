"""TesselGuard for Python: configure the protection of this function from its
code.

The package carries the library for its platform (``lib/``) and loads it at
the first call, unless a library is in the process already (``LD_PRELOAD``),
which is then the one configured::

    import tesselguard
    COOKIE = tesselguard.configure(policy={"read_write_tmp": "block"})
"""
from __future__ import annotations

import ctypes
import json
import os
import platform
import sys
from typing import Any, Dict, Literal, Mapping, Optional, Tuple

__all__ = [
    "configure", "reconfigure", "LIBRARY_PATH", "Mode",
    "NotFirstProcessError", "WrongCookieError", "ConfigurationLockedError",
]

Mode = Literal["allow", "alert", "block"]
RULES = ("read_write_tmp", "read_handler", "create_child_process", "outbound_connectivity")
MODES = ("allow", "alert", "block")

LIBRARY_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib", "libtesselguard.so")


class NotFirstProcessError(PermissionError):
    """Only the function's first process can configure TesselGuard."""


class WrongCookieError(ValueError):
    """The cookie is not the one the first configuration returned."""


class ConfigurationLockedError(PermissionError):
    """Too many calls with a wrong cookie: every further one is refused."""


# The library's refusals, as it prints them, and what each means here.
_REFUSALS = (
    ("TesselGuard can only be configured in the function's first process", NotFirstProcessError,
     "only the function's first process can configure TesselGuard, and this process was started by another"),
    ("Please provide a valid cookie from first TesselGuard configure call", WrongCookieError,
     "the cookie is not the one the first configuration returned (configure() may be called once; a library "
     "configured from the TESSEL_GUARD_* variables takes no configuration from code)"),
    ("Are you trying to brute-force cookie value ?!", ConfigurationLockedError,
     "too many calls with a wrong cookie: every further configuration is refused"),
)

_configure_entry: Optional[Any] = None


def _loaded_library() -> Optional[str]:
    """A library that other code loaded privately (RTLD_LOCAL, as ctypes does
    by default), out of the global scope: opened again by its path, it is
    the same copy rather than a second one."""
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            for line in maps:
                path = line.rstrip("\n").split(maxsplit=5)[-1]
                if path.endswith("/libtesselguard.so"):
                    return path
    except OSError:
        pass
    return None


def _entry() -> Any:
    """The library's configuration call: the one in the process already
    (preloaded, or loaded before) when there is one, else the bundled one,
    which loading starts."""
    global _configure_entry
    if _configure_entry is None:
        entry = getattr(ctypes.CDLL(None), "tesselguard_configure", None)
        if entry is None:
            entry = ctypes.CDLL(_loaded_library() or LIBRARY_PATH, mode=ctypes.RTLD_GLOBAL).tesselguard_configure
        entry.argtypes = [ctypes.c_char_p]
        entry.restype = ctypes.c_int
        _configure_entry = entry
    return _configure_entry


def _call_capturing_output(text: bytes) -> Tuple[int, str]:
    """Makes the call with standard output going to a pipe that never blocks
    the library, then passes what it printed on unchanged."""
    entry = _entry()
    sys.stdout.flush()
    libc = ctypes.CDLL(None)
    libc.fflush(None)
    try:
        read_end, write_end = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return entry(text), ""
    try:
        saved = os.dup(1)
    except OSError:
        os.close(read_end)
        os.close(write_end)
        return entry(text), ""
    try:
        os.dup2(write_end, 1)
        os.close(write_end)
        try:
            cookie = entry(text)
        finally:
            libc.fflush(None)
            os.dup2(saved, 1)
        chunks = []
        while True:
            try:
                chunk = os.read(read_end, 65536)
            except BlockingIOError:
                break
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(saved)
        os.close(read_end)
    printed = b"".join(chunks)
    if printed:
        os.write(1, printed)
    return cookie, printed.decode("utf-8", "replace")


def _document(policy: Optional[Mapping[str, Mode]], extra: Dict[str, Any]) -> bytes:
    document = dict(extra)
    if policy is not None:
        for rule, mode in policy.items():
            if rule not in RULES:
                raise ValueError(f"tesselguard: unknown rule {rule!r} (rules: {', '.join(RULES)})")
            if mode not in MODES:
                raise ValueError(f"tesselguard: mode of {rule} must be one of {', '.join(MODES)}, not {mode!r}")
        document["policy"] = dict(policy)
    return json.dumps(document).encode()


def _call(text: bytes) -> int:
    cookie, printed = _call_capturing_output(text)
    if cookie != 0:
        return cookie
    lines = printed.splitlines()
    for line, error, why in _REFUSALS:
        if line in lines:
            raise error(f'tesselguard: configuration refused: {why} ("{line}")')
    raise PermissionError("tesselguard: configuration refused: the library is not active in this process")


def _options(runtime: Optional[str], runtime_version: Optional[str],
             disable_analytics: Optional[bool]) -> Dict[str, Any]:
    options: Dict[str, Any] = {}
    if runtime is not None:
        options["runtime"] = runtime
    if runtime_version is not None:
        options["runtime_version"] = runtime_version
    if disable_analytics is not None:
        options["disable_analytics"] = bool(disable_analytics)
    return options


def configure(policy: Optional[Mapping[str, Mode]] = None, runtime: Optional[str] = "Python",
              disable_analytics: Optional[bool] = None, runtime_version: Optional[str] = None) -> int:
    """The first configuration: returns the cookie that every later one needs.

    ``runtime`` "Python" (the default) also lets the library find the handler
    file for read_handler; None leaves it out. Raises NotFirstProcessError or
    ConfigurationLockedError (PermissionError), WrongCookieError (ValueError)
    when the library refuses, ValueError for an unknown rule or mode.
    """
    if runtime == "Python" and runtime_version is None:
        runtime_version = platform.python_version()
    return _call(_document(policy, _options(runtime, runtime_version, disable_analytics)))


def reconfigure(cookie: int, policy: Optional[Mapping[str, Mode]] = None, runtime: Optional[str] = None,
                disable_analytics: Optional[bool] = None, runtime_version: Optional[str] = None) -> int:
    """A later configuration, with the cookie configure() returned."""
    if not isinstance(cookie, int) or isinstance(cookie, bool):
        raise TypeError("tesselguard: cookie must be the int configure() returned")
    extra = {"cookie": cookie, **_options(runtime, runtime_version, disable_analytics)}
    return _call(_document(policy, extra))
