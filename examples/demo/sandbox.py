"""Where the demo functions run.

Everything a function reads is laid out in a stage folder inside the build
directory: the unpacked layer, and per scenario the platform's folders
(var/task, var/runtime, var/workspace) with copies of the function's code, its
dependencies and the runtime's parts. When mount namespaces are available
(root and unshare), each function runs in its own namespace in which the
layer is bind-mounted on /opt (so the library sits at the layer path
/opt/lib/libtesselguard.so), /var is a private tmpfs that holds the machine's
own entries again plus the stage's folders (/var/task, /var/runtime,
/var/workspace), /etc/hosts also names the collector, and /tmp is a fresh
tmpfs that disappears with the function. Every bind is made before /tmp is
covered, so a checkout under /tmp works too. The real /opt, /var, /tmp and
/etc/hosts are never touched.

Without namespaces the same folders are used where they lie in the stage.
"""
import dataclasses
import fnmatch
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import zipfile

LAYER_LIBRARY = "/opt/lib/libtesselguard.so"
# Functions run as this user when the demo runs as root: the platforms run
# them unprivileged, and the runtime's own in-place start passes only for an
# interpreter beyond the process user's reach.
FUNCTION_USER = 65534
COLLECTOR_NAME = "collector.attacker.test"
PLATFORM_FOLDERS = ("task", "runtime", "workspace")

# The last step of both routes: the function runs as the platforms run it,
# as an unprivileged user (setpriv, when started as root), with the loader
# variables given to the function's own program only, through env: neither
# setpriv nor env loads the library, and the function's first process is the
# program itself.
_AS_FUNCTION_USER = r"""
if [ -n "${TG_DEMO_PRELOAD-}" ]; then set -- "LD_PRELOAD=$TG_DEMO_PRELOAD" "$@"; fi
if [ -n "${TG_DEMO_LIBRARY_PATH-}" ]; then set -- "LD_LIBRARY_PATH=$TG_DEMO_LIBRARY_PATH" "$@"; fi
user=${TG_DEMO_USER-}
unset TG_DEMO_LAYER TG_DEMO_HOSTS TG_DEMO_STAGE TG_DEMO_BINDS TG_DEMO_CWD TG_DEMO_LIBRARY_PATH TG_DEMO_PRELOAD \
      TG_DEMO_USER
if [ -n "$user" ]; then
  exec setpriv --reuid="$user" --regid="$user" --clear-groups --inh-caps=-all env "$@"
fi
exec env "$@"
"""

# Runs inside the new mount namespace; the loader variables are applied only
# to the function itself, so the mount helpers never load the library.
# Every stage path is taken relative to the stage folder, the working
# directory here, so it still resolves after a mount has covered the folder's
# absolute path (a checkout under /opt, /var or /tmp).
_ENTER_NAMESPACE = r"""
set -e
cd "$TG_DEMO_STAGE"
mount -c --bind "$TG_DEMO_LAYER" /opt
mount -c --bind "$TG_DEMO_HOSTS" /etc/hosts
mount -c --rbind /var host-var
mount -t tmpfs -o mode=755 tesselguard-demo-var /var
for entry in host-var/* host-var/.[!.]*; do
  name=${entry##*/}
  if [ -L "$entry" ]; then ln -s "$(readlink "$entry")" "/var/$name"
  elif [ -d "$entry" ]; then mkdir "/var/$name" && mount -c --rbind "$entry" "/var/$name"
  elif [ -e "$entry" ]; then : >"/var/$name" && mount -c --bind "$entry" "/var/$name"
  fi
done
for folder in var/*; do
  mkdir "/var/${folder##*/}" && mount -c --rbind "$folder" "/var/${folder##*/}"
done
printf '%s\n' "$TG_DEMO_BINDS" | while IFS='|' read -r source target; do
  if [ -n "$source" ]; then mount -c --bind "$source" "$target"; fi
done
mount -t tmpfs -o mode=1777,size=64m tesselguard-demo /tmp
cd "$TG_DEMO_CWD"
""" + _AS_FUNCTION_USER



@dataclasses.dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str
    timed_out: bool = False
    exited_early: bool = False  # ended by itself before the demo stopped it


class Stage:
    """One scenario's platform folders. `path` gives where the function sees
    a platform path (/var/task and the like); `copy` and `link` fill them."""

    def __init__(self, root, isolated):
        self.root = root
        self.isolated = isolated
        self.binds = []  # (host folder, path in the namespace)
        os.makedirs(os.path.join(root, "host-var"))
        for folder in PLATFORM_FOLDERS:
            os.makedirs(os.path.join(root, "var", folder))

    def host(self, path):
        """The stage file that stands for a platform path."""
        return os.path.join(self.root, path.lstrip("/"))

    def path(self, path):
        """Where the function sees a platform path."""
        return path if self.isolated else self.host(path)

    def copy(self, source, path):
        """Copies a file or folder to a platform path (a folder's contents
        when `path` ends in '/')."""
        target = self.host(path)
        if os.path.isdir(source):
            shutil.copytree(source, target, symlinks=True, dirs_exist_ok=True)
        else:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(source, target)

    def link(self, source, path):
        """Makes a large folder of the build directory appear at a platform
        path: a bind mount in the namespace, a symbolic link without one."""
        target = self.host(path)
        if self.isolated:
            os.makedirs(target)
            self.binds.append((source, path))
        else:
            os.symlink(source, target)


class Sandbox:
    def __init__(self, build_dir, examples_dir, use_namespaces=True):
        self.build_dir = build_dir
        self.root = tempfile.mkdtemp(prefix="demo-", dir=build_dir)
        os.chmod(self.root, 0o755)  # the function's user reads its folders from here without namespaces
        self.layer = os.path.join(self.root, "layer")
        with zipfile.ZipFile(os.path.join(build_dir, "tesselguard-layer.zip")) as archive:
            archive.extractall(self.layer)
        self.layer_lib = os.path.join(self.layer, "lib")
        self.hosts = os.path.join(self.root, "hosts")
        with open("/etc/hosts") as original, open(self.hosts, "w") as hosts:
            hosts.write(original.read().rstrip("\n") + f"\n127.0.0.2\t{COLLECTOR_NAME}\n")
        self.why_not_isolated = self._probe_namespaces() if use_namespaces else "switched off"
        self.isolated = self.why_not_isolated is None

    def _probe_namespaces(self):
        if os.geteuid() != 0:
            return "not running as root"
        if not shutil.which("unshare"):
            return "unshare is not installed"
        if not os.path.isdir("/opt") or not os.path.isdir("/var") or not os.path.isfile("/etc/hosts"):
            return "/opt, /var or /etc/hosts is missing"
        stage = Stage(os.path.join(self.root, "probe"), True)
        probe = subprocess.run(self._namespace_argv(["/bin/true"]),
                               env={**self._namespace_env(stage, "/", None, None),
                                    "PATH": "/usr/sbin:/usr/bin:/sbin:/bin"},
                               capture_output=True, text=True)
        if probe.returncode != 0:
            return (probe.stderr.strip().splitlines() or ["unshare failed"])[-1]
        return None

    def _namespace_argv(self, argv):
        return ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", _ENTER_NAMESPACE, "sh", *argv]

    def _namespace_env(self, stage, cwd, preload, library_path):
        def relative(path):
            return os.path.relpath(path, stage.root)
        return {"TG_DEMO_LAYER": relative(self.layer), "TG_DEMO_HOSTS": relative(self.hosts),
                "TG_DEMO_STAGE": stage.root,
                "TG_DEMO_BINDS": "\n".join(f"{relative(source)}|{target}" for source, target in stage.binds),
                "TG_DEMO_CWD": cwd, **self._function_env(preload, library_path)}

    def _function_env(self, preload, library_path):
        return {"TG_DEMO_PRELOAD": preload or "", "TG_DEMO_LIBRARY_PATH": library_path or "",
                "TG_DEMO_USER": str(FUNCTION_USER) if os.geteuid() == 0 else ""}

    @property
    def function_user(self):
        """The user the functions run as."""
        return FUNCTION_USER if os.geteuid() == 0 else os.geteuid()

    def stage(self, key):
        return Stage(os.path.join(self.root, key), self.isolated)

    @property
    def collector_host(self):
        return COLLECTOR_NAME if self.isolated else "127.0.0.2"

    def layer_library(self):
        """Where a layer-preloaded function finds the library."""
        return LAYER_LIBRARY if self.isolated else os.path.join(self.layer_lib, "libtesselguard.so")

    def layer_lib_dir(self):
        return "/opt/lib" if self.isolated else self.layer_lib

    def start(self, stage, argv, env, cwd, preload=None, library_path=None):
        """Starts one function process with exactly `env` plus the loader
        variables, in the platform path `cwd`; its standard output is the
        function's log."""
        if self.isolated:
            command = self._namespace_argv(argv)
            env = {**env, **self._namespace_env(stage, cwd, preload, library_path)}
            env["PATH"] = env.get("PATH", "/usr/bin:/bin") + ":/usr/sbin:/sbin"
            cwd = None
        else:
            command = ["/bin/sh", "-c", _AS_FUNCTION_USER, "sh", *argv]
            env = {**env, **self._function_env(preload, library_path)}
            cwd = stage.path(cwd)
        return Function(subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True))

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


class Function:
    """A running function process; its output is read while it runs, so a
    chatty function never stalls on a full pipe."""

    def __init__(self, process):
        self.process = process
        self.pid = process.pid
        self._output = {}
        self._readers = [threading.Thread(target=self._read, args=(name, stream), daemon=True)
                         for name, stream in (("stdout", process.stdout), ("stderr", process.stderr))]
        for reader in self._readers:
            reader.start()

    def _read(self, name, stream):
        self._output[name] = stream.read()

    def running(self):
        return self.process.poll() is None

    def finish(self, timed_out=False, grace=5):
        """Stops the process and everything it started (if it still runs) and
        returns what it wrote; `exited_early` tells whether it ended by itself."""
        exited_early = not self.running()
        if not exited_early:
            try:
                os.killpg(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            self.process.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            os.killpg(self.pid, signal.SIGKILL)
            self.process.wait()
        try:  # whatever it started and left behind
            os.killpg(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        for reader in self._readers:
            reader.join(timeout=grace)
        text = {name: self._output.get(name, b"").decode(errors="replace") for name in ("stdout", "stderr")}
        return Run(self.process.returncode, text["stdout"], text["stderr"], timed_out, exited_early)
