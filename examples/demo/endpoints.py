"""The loopback services a demo run needs, and the platform's side of them.

RuntimeApi stands in for AWS Lambda's Runtime API (AWS_LAMBDA_RUNTIME_API):
it hands the runtime client one invocation and takes its result. Collector
stands in for the attacker's server that a compromised dependency sends its
loot to. invoke_http is the platform's request to a Google function.
"""
import http.client
import http.server
import json
import socket
import threading
import time
import uuid

API = "/2018-06-01/runtime"


class _RuntimeApiHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def _reply(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        owner = self.server.owner
        if self.path != f"{API}/invocation/next":
            self._reply(404, b'{"errorMessage":"unknown path"}')
            return
        invocation = owner.next_invocation()
        if invocation is None:  # one invocation only: keep the runtime waiting, as a frozen one does
            owner.closing.wait(120)
            self.close_connection = True
            return
        request_id, event = invocation
        deadline = int(time.time() * 1000) + 60_000
        self._reply(200, json.dumps(event).encode(), [
            ("Lambda-Runtime-Aws-Request-Id", request_id),
            ("Lambda-Runtime-Deadline-Ms", str(deadline)),
            ("Lambda-Runtime-Invoked-Function-Arn", owner.function_arn),
            ("Lambda-Runtime-Trace-Id", "Root=1-00000000-000000000000000000000000;Sampled=0"),
        ])

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0") or 0))
        parts = self.path[len(API):].strip("/").split("/")
        if self.path.startswith(API) and len(parts) == 3 and parts[0] == "invocation" \
                and parts[2] in ("response", "error"):
            self.server.owner.complete(parts[1], parts[2], body)
        elif self.path == f"{API}/init/error":
            self.server.owner.complete(None, "init error", body)
        else:
            self._reply(404, b'{"errorMessage":"unknown path"}')
            return
        self._reply(202, b'{"status":"OK"}')

    def log_message(self, format, *args):
        pass


class _QuietServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass


class RuntimeApi:
    """The Runtime API on 127.0.0.1 for one function: one invocation of
    `event`; `wait` returns (outcome, parsed body) once the runtime answered
    ("response", "error" or "init error"), or None."""

    def __init__(self, function_name, event):
        self.function_arn = f"arn:aws:lambda:us-east-1:123456789012:function:{function_name}"
        self.closing = threading.Event()
        self._answered = threading.Event()
        self._pending = [(str(uuid.uuid4()), event)]
        self._issued = set()
        self._answer = None
        self._lock = threading.Lock()
        self._server = _QuietServer(("127.0.0.1", 0), _RuntimeApiHandler)
        self._server.owner = self
        self.address = "127.0.0.1:%d" % self._server.server_address[1]
        threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    def next_invocation(self):
        with self._lock:
            if not self._pending:
                return None
            invocation = self._pending.pop(0)
            self._issued.add(invocation[0])
            return invocation

    def complete(self, request_id, outcome, body):
        with self._lock:
            if request_id is not None and request_id not in self._issued:
                return
            try:
                parsed = json.loads(body)
            except ValueError:
                parsed = body.decode(errors="replace")
            self._answer = (outcome, parsed)
        self._answered.set()

    def wait(self, function, timeout):
        """Waits for the answer while the function runs."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and function.running():
            if self._answered.wait(0.1):
                break
        return self._answer

    def close(self):
        self.closing.set()
        self._server.shutdown()
        self._server.server_close()


def invoke_http(function, port, body, timeout):
    """The platform's request to an HTTP function on 127.0.0.1:`port`, once
    it listens: (status, parsed body), or None when it never answered."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and function.running():
        try:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=max(1, deadline - time.monotonic()))
            connection.request("POST", "/", body=json.dumps(body), headers={"Content-Type": "application/json"})
            reply = connection.getresponse()
            data = reply.read()
            connection.close()
        except ConnectionRefusedError:
            time.sleep(0.1)
            continue
        except (OSError, http.client.HTTPException):
            return None
        try:
            return reply.status, json.loads(data)
        except ValueError:
            return reply.status, data.decode(errors="replace")
    return None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


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
