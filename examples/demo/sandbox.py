"""Where the demo functions run.

The layer archive is unpacked into a temporary folder in the build directory.
When mount namespaces are available (root and unshare), each function runs in
its own namespace in which that folder is bind-mounted on /opt, so the
library sits at the layer path /opt/lib/libtesselguard.so, /tmp is a fresh
tmpfs that disappears with the function, and /etc/hosts also names the
collector. The real /opt, /tmp and /etc/hosts are never touched.
"""
import dataclasses
import fnmatch
import os
import shutil
import subprocess
import tempfile
import threading
import zipfile

LAYER_LIBRARY = "/opt/lib/libtesselguard.so"
COLLECTOR_NAME = "collector.attacker.test"

# Runs inside the new mount namespace; the loader variables are applied only
# to the function itself, so the mount helpers never load the library.
_ENTER_NAMESPACE = r"""
set -e
mount --bind "$TG_DEMO_LAYER" /opt
mount -t tmpfs -o mode=1777,size=64m tesselguard-demo /tmp
mount --bind "$TG_DEMO_HOSTS" /etc/hosts
if [ -n "${TG_DEMO_LIBRARY_PATH-}" ]; then export LD_LIBRARY_PATH="$TG_DEMO_LIBRARY_PATH"; fi
if [ -n "${TG_DEMO_PRELOAD-}" ]; then export LD_PRELOAD="$TG_DEMO_PRELOAD"; fi
unset TG_DEMO_LAYER TG_DEMO_HOSTS TG_DEMO_LIBRARY_PATH TG_DEMO_PRELOAD
exec "$@"
"""


@dataclasses.dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str
    result: str
    timed_out: bool = False


def _node_headers():
    node = shutil.which("node") or "/usr/bin/node"
    candidates = ["/usr/include/node", os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(node))),
                                                    "include", "node")]
    for folder in candidates:
        if os.path.exists(os.path.join(folder, "node_api.h")):
            return folder
    return None


class Sandbox:
    def __init__(self, build_dir, examples_dir, use_namespaces=True):
        self.root = tempfile.mkdtemp(prefix="demo-", dir=build_dir)
        self.layer = os.path.join(self.root, "layer")
        with zipfile.ZipFile(os.path.join(build_dir, "tesselguard-layer.zip")) as archive:
            archive.extractall(self.layer)
        self.layer_lib = os.path.join(self.layer, "lib")
        self.hosts = os.path.join(self.root, "hosts")
        with open("/etc/hosts") as original, open(self.hosts, "w") as hosts:
            hosts.write(original.read().rstrip("\n") + f"\n127.0.0.2\t{COLLECTOR_NAME}\n")
        self.addon = self._build_addon(os.path.join(examples_dir, "node-addon", "tesselguard_addon.c"))
        self.why_not_isolated = self._probe_namespaces() if use_namespaces else "switched off"
        self.isolated = self.why_not_isolated is None

    def _build_addon(self, source):
        headers = _node_headers()
        compiler = shutil.which("cc") or shutil.which("gcc")
        if not headers or not compiler:
            raise SystemExit("cannot build the Node.js addon: node_api.h or a C compiler is missing "
                             "(scripts/install-deps.sh installs them)")
        output = os.path.join(self.root, "tesselguard.node")
        # The compiler's scratch files go to the sandbox folder, not /tmp.
        subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-I", headers, source, "-o", output, "-ldl"],
                       check=True, env={**os.environ, "TMPDIR": self.root})
        return output

    def _probe_namespaces(self):
        if os.geteuid() != 0:
            return "not running as root"
        if not shutil.which("unshare"):
            return "unshare is not installed"
        if not os.path.isdir("/opt") or not os.path.isfile("/etc/hosts"):
            return "/opt or /etc/hosts is missing"
        probe = self._namespace_argv(["/bin/true"])
        done = subprocess.run(probe, env={**self._namespace_env(None, None), "PATH": "/usr/sbin:/usr/bin:/sbin:/bin"},
                              capture_output=True, text=True)
        if done.returncode != 0:
            return (done.stderr.strip().splitlines() or ["unshare failed"])[-1]
        return None

    def _namespace_argv(self, argv):
        return ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", _ENTER_NAMESPACE, "sh", *argv]

    def _namespace_env(self, preload, library_path):
        return {"TG_DEMO_LAYER": self.layer, "TG_DEMO_HOSTS": self.hosts,
                "TG_DEMO_PRELOAD": preload or "", "TG_DEMO_LIBRARY_PATH": library_path or ""}

    @property
    def collector_host(self):
        return COLLECTOR_NAME if self.isolated else "127.0.0.2"

    def library_for_layer(self):
        """Where a layer-preloaded function finds the library."""
        return LAYER_LIBRARY if self.isolated else os.path.join(self.layer_lib, "libtesselguard.so")

    def library_lib_dir(self):
        return "/opt/lib" if self.isolated else self.layer_lib

    def shipped_library(self):
        """The library as a function would ship it with its own code: any path
        but the layer path (loading from there would configure it from the
        environment, and the function's own call would lack the cookie)."""
        return os.path.join(self.layer_lib, "libtesselguard.so")

    def run(self, argv, env, preload=None, library_path=None, timeout=60):
        """Starts one function process with exactly `env` plus the loader
        variables, and collects its log (standard output), standard error and
        the result it hands back on DEMO_RESULT_FD."""
        read_end, write_end = os.pipe()
        env = {**env, "DEMO_RESULT_FD": str(write_end)}
        if self.isolated:
            command = self._namespace_argv(argv)
            env.update(self._namespace_env(preload, library_path))
            env["PATH"] = env.get("PATH", "/usr/bin:/bin") + ":/usr/sbin:/sbin"
        else:
            command = argv
            if library_path:
                env["LD_LIBRARY_PATH"] = library_path
            if preload:
                env["LD_PRELOAD"] = preload
        chunks = []
        reader = threading.Thread(target=lambda: chunks.append(_read_all(read_end)), daemon=True)
        reader.start()
        try:
            process = subprocess.Popen(command, env=env, pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        finally:
            os.close(write_end)
        timed_out = False
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            os.killpg(process.pid, 9)
            stdout, stderr = process.communicate()
        reader.join(timeout=5)
        return Run(process.returncode, stdout.decode(errors="replace"), stderr.decode(errors="replace"),
                   chunks[0].decode(errors="replace") if chunks else "", timed_out)

    def remove_state_file(self, path):
        """Without a private /tmp the state file outlives the function: remove
        the one the function reported."""
        if not self.isolated and path and fnmatch.fnmatch(path, "/tmp/tesselguard_state_*"):
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


def _read_all(fd):
    data = b""
    with os.fdopen(fd, "rb") as channel:
        while chunk := channel.read(65536):
            data += chunk
    return data
