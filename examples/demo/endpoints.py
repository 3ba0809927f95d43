"""The loopback services a demo run needs.

SupervisorLog stands in for the Google Cloud Functions supervisor: it takes
the POST /_ah/log requests that the library sends and keeps their entries.
Collector stands in for the attacker's server that a compromised dependency
sends its loot to.
"""
import http.server
import json
import socket
import threading
import time


class _LogHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        self.server.owner.receive(self.path, self.headers.get("Host", ""), body)
        # The library closes its side without reading a reply.
        try:
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
        except OSError:
            pass
        self.close_connection = True

    def log_message(self, format, *args):
        pass


class _QuietServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass


class SupervisorLog:
    """POST /_ah/log on 127.0.0.1; `entries` holds what arrived, in order."""

    def __init__(self):
        self.entries = []
        self.problems = []
        self._lock = threading.Lock()
        self._last_arrival = 0.0
        self._server = _QuietServer(("127.0.0.1", 0), _LogHandler)
        self._server.owner = self
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()

    def receive(self, path, host, body):
        with self._lock:
            self._last_arrival = time.monotonic()
            if path != "/_ah/log":
                self.problems.append(f"request for {path}")
                return
            try:
                entries = json.loads(body)["Entries"]
            except (ValueError, KeyError, TypeError):
                self.problems.append(f"unreadable log body: {body[:200]!r}")
                return
            for entry in entries:
                self.entries.append({**entry, "_host": host})

    def take(self, quiet_for=0.3, at_most=5.0):
        """Waits until nothing has arrived for `quiet_for` seconds, then returns
        and forgets the entries and problems so far."""
        # A request sent just before the function ended may still wait in the
        # listen queue, so the quiet period starts no earlier than now.
        start = time.monotonic()
        deadline = start + at_most
        while time.monotonic() < deadline:
            with self._lock:
                if time.monotonic() - max(self._last_arrival, start) >= quiet_for:
                    break
            time.sleep(0.05)
        with self._lock:
            entries, problems = self.entries, self.problems
            self.entries, self.problems = [], []
        return entries, problems

    def close(self):
        self._server.shutdown()
        self._server.server_close()


class Collector:
    """A TCP server on 127.0.0.2 (any loopback address but 127.0.0.1, which
    the library exempts on AWS Lambda); `received` holds each connection's
    data."""

    ADDRESS = "127.0.0.2"

    def __init__(self):
        self.received = []
        self._reading = 0
        self._lock = threading.Lock()
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._socket.bind((self.ADDRESS, 0))
        self._socket.listen(16)
        self.port = self._socket.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while True:
            try:
                connection, _ = self._socket.accept()
            except OSError:
                return
            with self._lock:
                self._reading += 1
            threading.Thread(target=self._read, args=(connection,), daemon=True).start()

    def _read(self, connection):
        data = b""
        with connection:
            connection.settimeout(10)
            try:
                while chunk := connection.recv(4096):
                    data += chunk
            except OSError:
                pass
        with self._lock:
            self.received.append(data)
            self._reading -= 1

    def take(self, settle=0.2, at_most=5.0):
        """Waits `settle` seconds for connections still queued, then until
        every accepted one has been read; returns and forgets the data."""
        time.sleep(settle)
        deadline = time.monotonic() + at_most
        while time.monotonic() < deadline:
            with self._lock:
                if not self._reading:
                    break
            time.sleep(0.05)
        with self._lock:
            received, self.received = self.received, []
        return received

    def close(self):
        try:
            self._socket.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept
        except OSError:
            pass
        self._socket.close()
