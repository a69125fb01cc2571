"""The sandbox policy for worker processes, and what the host prepares for it.

A worker runs code that a model wrote a moment ago, so by default it runs
sandboxed: :class:`Sandbox` says what such code may reach, and every client
(:class:`~vantor.workers.client.Worker`, the pools, the asyncio clients)
applies it unless given ``sandbox=None``.

Inside the sandbox the worker sees only the interpreter, the installed
packages, the system's libraries and programs, and the paths the policy
lists; it has a private ``/tmp`` (its ``TMPDIR`` and ``HOME``), no network,
no capabilities, a cleared environment, and limits on memory, processes, file
sizes, open files and CPU time.  Each protection comes from a kernel facility:

==================== =====================================================
protection           kernel facility
==================== =====================================================
user_namespace       own user namespace; the worker is uid 65534 (nobody),
                     mapped to nobody on the host (or to the host's own
                     user when the host is not root)
no_capabilities      every capability dropped, bounding set emptied,
                     no_new_privs set
pid_namespace        own PID namespace with a fresh ``/proc``: no other
                     process is visible, and everything a tool starts dies
                     with the worker
mount_namespace      a new root holding only the allowed paths, read-only
                     except ``/tmp``, ``/dev/shm`` and ``write``
ipc_namespace        own System V IPC and POSIX message queues
uts_namespace        own host name
network_namespace    no network interface at all (when ``network=False``)
landlock_filesystem  Landlock: reads only below the new root, writes only
                     to the writable paths
landlock_network     Landlock: no TCP bind or connect (when ``network=False``)
landlock_scopes      Landlock: no signals to, and no abstract Unix socket
                     connections with, processes outside the sandbox
seccomp              a seccomp filter: no ptrace, process_vm_*, io_uring,
                     bpf, namespace or mount calls, keyrings, kernel
                     modules, TIOCSTI, or sockets other than Unix, IP and
                     netlink
memory_limit         a memory cgroup, swap included (memory)
process_limit        a pids cgroup (processes; threads count)
rlimits              file_size, open_files, cpu_seconds, no core files
==================== =====================================================

Where the machine cannot provide a required protection, starting the worker
fails with :class:`~vantor.workers.client.WorkerStartError` naming it; list
it in ``allow_missing`` to run without it.  :attr:`Worker.protections
<vantor.workers.client.Worker.protections>` and :func:`probe` report what is
in force.  ``python -m vantor.workers.sandbox`` prints that report.
"""

from __future__ import annotations

import json
import os
import signal
import socket
import sys
import threading
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from ._core import DEFAULT_COMMAND, Launch, WorkerStartError

__all__ = ["PROTECTIONS", "Sandbox", "DEFAULT_SANDBOX", "probe"]

MiB = 1024 * 1024

#: Every protection a sandbox can apply, by the name used in reports and ``allow_missing``.
PROTECTIONS: tuple[str, ...] = (
    "user_namespace", "no_capabilities", "pid_namespace", "mount_namespace", "ipc_namespace",
    "uts_namespace", "network_namespace", "landlock_filesystem", "landlock_network",
    "landlock_scopes", "seccomp", "memory_limit", "process_limit", "rlimits")

#: The user and group the worker runs as inside its sandbox.
SANDBOX_UID = 65534
SANDBOX_GID = 65534

# The environment every sandboxed worker gets, before the policy's own ``env``.
_BASE_ENV = {"LANG": "C.UTF-8", "HOME": "/tmp", "TMPDIR": "/tmp"}


def _paths(name: str, paths: Iterable[str | os.PathLike]) -> tuple[str, ...]:
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError(f"{name} must be a sequence of paths, not a single path")
    result = []
    for path in paths:
        text = os.fspath(path)
        if not isinstance(text, str):
            raise TypeError(f"{name} holds a path that is not text: {path!r}")
        result.append(os.path.normpath(os.path.abspath(text)))
    return tuple(dict.fromkeys(result))


def _limit(name: str, value: int | None) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1")
    return value


class Sandbox:
    """An immutable sandbox policy for worker processes.

    Keyword arguments, with their defaults:

    ``read=()``
        Paths a tool may read (and run), in addition to what the interpreter,
        the installed packages and the system's programs need.  The host's
        working directory and home directory are not readable unless listed.
        Relative paths are taken from the host's working directory now.
    ``write=()``
        Paths a tool may read and write.  Every worker also gets a private,
        writable ``/tmp`` (its ``TMPDIR`` and ``HOME``) of ``tmp_size`` bytes,
        which disappears with the worker.  When the host runs as root the
        worker writes as uid 65534, so these paths must be writable by it.
    ``network=False``
        False: no TCP, no UDP, no connection to any socket outside the
        sandbox.  True: the host's network (other protections stay).
    ``memory=512 MiB``
        Memory of the worker and everything it starts, swap and ``/tmp``
        included; past it the kernel kills the worker (``WorkerDied`` says so).
    ``file_size=128 MiB``
        The largest file a tool may write.
    ``processes=256``
        Processes and threads of the worker and what it starts, together.
    ``open_files=1024``
        Open file descriptors per process.
    ``cpu_seconds=None``
        CPU time of each process over its whole life (a pool worker serves
        many calls, so the per-call ``timeout`` is the usual bound; set this
        as a backstop).  None: no limit.
    ``tmp_size=256 MiB``
        Size of the private ``/tmp``.
    ``env={}``
        The only environment variables the worker gets besides ``PATH``,
        ``LANG`` (``C.UTF-8``), ``HOME`` and ``TMPDIR`` (``/tmp``).  The host's
        environment is never passed on.
    ``allow_missing=()``
        Protections (names from :data:`PROTECTIONS`, or ``"all"``) the worker
        may run without where the machine cannot provide them.  Anything else
        missing makes the start fail with a ``WorkerStartError``.

    A limit of None means no limit.
    """

    __slots__ = ("read", "write", "network", "memory", "file_size", "processes", "open_files",
                 "cpu_seconds", "tmp_size", "_env", "allow_missing")

    read: tuple[str, ...]
    write: tuple[str, ...]
    network: bool
    memory: int | None
    file_size: int | None
    processes: int | None
    open_files: int | None
    cpu_seconds: int | None
    tmp_size: int
    allow_missing: frozenset[str]

    def __init__(self, *, read: Iterable[str | os.PathLike] = (),
                 write: Iterable[str | os.PathLike] = (), network: bool = False,
                 memory: int | None = 512 * MiB, file_size: int | None = 128 * MiB,
                 processes: int | None = 256, open_files: int | None = 1024,
                 cpu_seconds: int | None = None, tmp_size: int = 256 * MiB,
                 env: Mapping[str, str] | None = None,
                 allow_missing: Iterable[str] = ()):
        if not isinstance(network, bool):
            raise TypeError("network must be True or False")
        missing = frozenset([allow_missing] if isinstance(allow_missing, str) else allow_missing)
        if "all" in missing:
            missing = frozenset(PROTECTIONS)
        unknown = sorted(missing - set(PROTECTIONS))
        if unknown:
            raise ValueError(f"unknown protections in allow_missing: {', '.join(unknown)}")
        environment = dict(env or {})
        for key, value in environment.items():
            if not isinstance(key, str) or not isinstance(value, str) or "=" in key or not key:
                raise TypeError(f"env must map names to text, not {key!r}: {value!r}")
        values = {
            "read": _paths("read", read), "write": _paths("write", write), "network": network,
            "memory": _limit("memory", memory), "file_size": _limit("file_size", file_size),
            "processes": _limit("processes", processes),
            "open_files": _limit("open_files", open_files),
            "cpu_seconds": _limit("cpu_seconds", cpu_seconds),
            "tmp_size": _limit("tmp_size", tmp_size), "_env": tuple(sorted(environment.items())),
            "allow_missing": missing,
        }
        if values["tmp_size"] is None:
            raise TypeError("tmp_size must be an int")
        for name, value in values.items():
            object.__setattr__(self, name, value)

    @property
    def env(self) -> dict[str, str]:
        """The policy's own environment variables (a copy)."""
        return dict(self._env)

    def replace(self, **changes: Any) -> "Sandbox":
        """A copy with some arguments changed."""
        arguments = self._arguments()
        arguments.update(changes)
        return Sandbox(**arguments)

    def _arguments(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in (
            "read", "write", "network", "memory", "file_size", "processes", "open_files",
            "cpu_seconds", "tmp_size", "env", "allow_missing")}

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt through the constructor (to a pool's workers on other machines).
        return (_rebuild_sandbox, (self._arguments(),))

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("a Sandbox is immutable; use replace()")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("a Sandbox is immutable")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Sandbox):
            return NotImplemented
        return all(getattr(self, name) == getattr(other, name) for name in self.__slots__)

    def __hash__(self) -> int:
        return hash(tuple(getattr(self, name) for name in self.__slots__))

    def __repr__(self) -> str:
        defaults = Sandbox()
        changed = [f"{name.lstrip('_')}={getattr(self, name)!r}" for name in self.__slots__
                   if getattr(self, name) != getattr(defaults, name)]
        return f"Sandbox({', '.join(changed)})"

    def environment(self) -> dict[str, str]:
        """The whole environment a worker under this policy gets."""
        bin_dir = os.path.dirname(sys.executable)
        env = {"PATH": f"{bin_dir}:/usr/local/bin:/usr/bin:/bin", **_BASE_ENV}
        env.update(self._env)
        return env


def _rebuild_sandbox(arguments: dict[str, Any]) -> Sandbox:
    return Sandbox(**arguments)


#: The policy that clients apply when given no ``sandbox`` argument.
DEFAULT_SANDBOX = Sandbox()


# --------------------------------------------------------------------------
# Host side: cgroups


class _CgroupError(Exception):
    pass


_CGROUP_ROOT = "/sys/fs/cgroup"
_GROUP_DIR = "vantor-workers"
_counter_lock = threading.Lock()
_counter = 0
_swept = False
_leftover: list[str] = []


def _cgroup_layout() -> tuple[str, dict[str, str]]:
    """("v1" or "v2", controller -> mount directory) of this machine's cgroups."""
    if os.path.exists(os.path.join(_CGROUP_ROOT, "cgroup.controllers")):
        return "v2", {"memory": _CGROUP_ROOT, "pids": _CGROUP_ROOT}
    mounts: dict[str, str] = {}
    try:
        with open("/proc/self/mountinfo") as table:
            for line in table:
                fields = line.split(" - ", 1)
                if len(fields) != 2 or not fields[1].startswith("cgroup "):
                    continue
                options = fields[1].split()[2].split(",")
                for controller in ("memory", "pids"):
                    if controller in options:
                        mounts.setdefault(controller, fields[0].split()[4])
    except OSError:
        pass
    return "v1", mounts


def _write(path: str, text: str) -> None:
    with open(path, "w") as file:
        file.write(text)


class _Cgroups:
    """The memory and pids cgroups of one worker, made by the host and removed after it."""

    def __init__(self, memory: int | None, processes: int | None):
        global _counter
        self.dirs: dict[str, str] = {}
        self.procs: dict[str, str] = {}  # the cgroup.procs file to join, by protection
        self.missing: dict[str, str] = {}
        self.oom_file: str | None = None
        wanted = {"memory": memory, "pids": processes}
        if memory is None and processes is None:
            return
        version, mounts = _cgroup_layout()
        with _counter_lock:
            _counter += 1
            name = f"{os.getpid()}-{_counter}"
        _sweep_once(mounts.values())
        for controller, limit in wanted.items():
            protection = "memory_limit" if controller == "memory" else "process_limit"
            if limit is None:
                continue
            mount = mounts.get(controller)
            if mount is None:
                self.missing[protection] = f"no {controller} cgroup controller is mounted"
                continue
            try:
                directory = self._make(version, mount, name, controller)
                self.dirs.setdefault(directory, controller)
                self._limit(version, directory, controller, limit)
                self.procs[protection] = os.path.join(directory, "cgroup.procs")
            except (OSError, _CgroupError) as error:
                self.missing[protection] = f"cannot make a {controller} cgroup: {error}"

    @staticmethod
    def _make(version: str, mount: str, name: str, controller: str) -> str:
        parent = os.path.join(mount, _GROUP_DIR)
        if not os.path.isdir(parent):
            try:
                os.mkdir(parent)
            except FileExistsError:
                pass
        if version == "v2":
            for directory in (mount, parent):
                with open(os.path.join(directory, "cgroup.subtree_control")) as control:
                    enabled = control.read().split()
                if controller not in enabled:
                    _write(os.path.join(directory, "cgroup.subtree_control"), f"+{controller}")
        directory = os.path.join(parent, name)
        try:
            os.mkdir(directory)
        except FileExistsError:
            # Left by an earlier host with this process ID: its limits and
            # OOM count are not this worker's, and it may still hold
            # processes (then it cannot be removed, and this start fails).
            os.rmdir(directory)
            os.mkdir(directory)
        return directory

    def _limit(self, version: str, directory: str, controller: str, limit: int) -> None:
        if controller == "pids":
            _write(os.path.join(directory, "pids.max"), str(limit))
        elif version == "v2":
            _write(os.path.join(directory, "memory.max"), str(limit))
            if os.path.exists(os.path.join(directory, "memory.swap.max")):
                _write(os.path.join(directory, "memory.swap.max"), "0")
            self.oom_file = os.path.join(directory, "memory.events")
        else:
            _write(os.path.join(directory, "memory.limit_in_bytes"), str(limit))
            memsw = os.path.join(directory, "memory.memsw.limit_in_bytes")
            if os.path.exists(memsw):
                _write(memsw, str(limit))  # memory and swap together: no swap
            else:
                try:
                    _write(os.path.join(directory, "memory.swappiness"), "0")
                except OSError:
                    pass
            self.oom_file = os.path.join(directory, "memory.oom_control")

    def oom_kills(self) -> int:
        if self.oom_file is None:
            return 0
        try:
            with open(self.oom_file) as events:
                for line in events:
                    key, _, value = line.partition(" ")
                    if key == "oom_kill":
                        return int(value)
        except (OSError, ValueError):
            pass
        return 0

    def remove(self) -> None:
        for directory in list(self.dirs):
            _remove_cgroup(directory)
        self.dirs.clear()


def _remove_cgroup(directory: str) -> None:
    try:
        os.rmdir(directory)
    except FileNotFoundError:
        pass
    except OSError:
        # Still busy: the last processes are being torn down.  Tried again
        # at the next start.
        _leftover.append(directory)


def _sweep_once(mounts: Iterable[str]) -> None:
    """Remove cgroups left by hosts that are gone, and our own that were busy."""
    global _swept
    retry, _leftover[:] = list(_leftover), []
    for directory in retry:
        _remove_cgroup(directory)
    if _swept:
        return
    _swept = True
    for mount in set(mounts):
        parent = os.path.join(mount, _GROUP_DIR)
        try:
            names = os.listdir(parent)
        except OSError:
            continue
        for name in names:
            owner = name.partition("-")[0]
            if not owner.isdigit() or int(owner) == os.getpid() or os.path.exists(f"/proc/{owner}"):
                continue
            try:
                os.rmdir(os.path.join(parent, name))
            except OSError:
                pass


# --------------------------------------------------------------------------
# Host side: launching


def launch_for(command: Sequence[str] | None, env: Mapping[str, str] | None,
               cwd: str | os.PathLike | None, sandbox: Sandbox | None, *,
               check_only: bool = False) -> Launch:
    """How to start a worker: plainly, or inside ``sandbox``."""
    if sandbox is None:
        argv = list(command) if command is not None else list(DEFAULT_COMMAND)
        return Launch(argv=argv, env=env, cwd=os.fspath(cwd) if cwd is not None else None)
    if not isinstance(sandbox, Sandbox):
        raise TypeError(f"sandbox must be a Sandbox or None, not {type(sandbox).__name__}")
    if env is not None:
        raise ValueError("a sandboxed worker's environment is the sandbox's: use Sandbox(env=...)")
    if not sys.platform.startswith("linux"):
        raise WorkerStartError("sandboxed workers need Linux; pass sandbox=None to run "
                               "unsandboxed", ("user_namespace",))
    if check_only:
        return Launch(argv=[])
    cgroups = _Cgroups(sandbox.memory, sandbox.processes)
    refused = {name: reason for name, reason in cgroups.missing.items()
               if name not in sandbox.allow_missing}
    if refused:
        cgroups.remove()
        raise WorkerStartError(_missing_message(refused), tuple(refused))
    host_end, child_end = socket.socketpair()
    config = {
        "control_fd": child_end.fileno(),
        "command": list(command) if command is not None else None,
        "cwd": os.path.normpath(os.path.abspath(os.fspath(cwd))) if cwd is not None else None,
        "read": list(sandbox.read), "write": list(sandbox.write), "network": sandbox.network,
        "memory": sandbox.memory, "file_size": sandbox.file_size, "open_files": sandbox.open_files,
        "processes": sandbox.processes, "cpu_seconds": sandbox.cpu_seconds,
        "tmp_size": sandbox.tmp_size, "allow_missing": sorted(sandbox.allow_missing),
        "cgroup_procs": cgroups.procs, "host_missing": cgroups.missing,
        "host_uid": os.getuid(), "host_gid": os.getgid(),
    }
    argv = [sys.executable, "-s", "-P", "-m", "vantor.workers._sandboxed", json.dumps(config)]
    context: dict[str, Any] = {"oom_kills": 0}

    def cleanup() -> None:
        context["oom_kills"] = cgroups.oom_kills()
        cgroups.remove()

    def describe_death(returncode: int | None) -> str:
        if context["oom_kills"] and sandbox.memory is not None:
            return f"the sandbox's memory limit of {sandbox.memory // MiB} MiB was reached"
        if returncode == -signal.SIGXCPU and sandbox.cpu_seconds is not None:
            return f"the sandbox's CPU time limit of {sandbox.cpu_seconds} s was reached"
        return ""

    return Launch(argv=argv, env=sandbox.environment(), cwd="/",
                  pass_fds=(child_end.fileno(),), control=host_end,
                  after_spawn=child_end.close, cleanup=cleanup, describe_death=describe_death,
                  context=context)


def _missing_message(missing: Mapping[str, str]) -> str:
    parts = "; ".join(f"{name}: {reason}" for name, reason in missing.items())
    return (f"the sandbox cannot be set up on this machine, missing {parts}. "
            "List these in Sandbox(allow_missing=...) to run without them, "
            "or pass sandbox=None to run unsandboxed")


def probe(sandbox: Sandbox | None = None) -> dict[str, str]:
    """Start one worker under ``sandbox`` (default: ``Sandbox()``) and report its protections.

    The result maps every name of :data:`PROTECTIONS` to ``"in force"``,
    ``"not required"`` or ``"missing: <reason>"``.  Raises
    :class:`~vantor.workers.client.WorkerStartError` when a required
    protection is missing.
    """
    from ._blocking import Worker

    with Worker(sandbox=sandbox if sandbox is not None else DEFAULT_SANDBOX) as worker:
        worker.start()
        return dict(worker.protections or {})


if __name__ == "__main__":
    # Run as a script this file is a second copy of the module: use the package's.
    from vantor.workers.sandbox import Sandbox as _Sandbox, probe as _probe

    try:
        print(json.dumps(_probe(_Sandbox(allow_missing="all")), indent=2))
    except WorkerStartError as error:
        print(error, file=sys.stderr)
        sys.exit(1)
