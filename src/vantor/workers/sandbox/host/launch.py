"""How the host starts a worker: plainly, or through the sandbox's supervisor.

The supervisor is started as ``python -s -P -c BOOT FD``: ``BOOT`` reads the
whole configuration from the control socket ``FD`` and imports
``vantor.workers`` from the very ``sys.path`` entry the host imported it from
(``package_path``), whatever the install layout.  Nothing of the
configuration (host uid, cgroup paths, policy) is on the command line, which
any process of the machine can read in ``/proc/<pid>/cmdline``.

Where the host's user has no cgroup of its own on cgroup v2 but a systemd
user manager runs, the supervisor is started in a transient scope of that
manager with ``Delegate=yes`` and makes its worker's cgroups there itself.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import sys
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import vantor
from vantor.workers.errors import WorkerStartError
from vantor.workers.network.sandboxes import SandboxNetwork
from vantor.workers.sandbox.containers import cgroup_remedy, container_engine
from vantor.workers.sandbox.host import cgroups as _cgroups
from vantor.workers.sandbox.host.accounts import shared_user_namespace
from vantor.workers.sandbox.policy import PROXY_PORT, MiB, Sandbox

# Runs before anything of the package can be imported: the standard library only.
_BOOT = (
    "import json, os, sys\n"
    "fd, data = int(sys.argv[1]), b''\n"
    "while not data.endswith(b'\\n'):\n"
    "    chunk = os.read(fd, 65536)\n"
    "    if not chunk:\n"
    "        sys.exit('the sandbox supervisor got no configuration')\n"
    "    data += chunk\n"
    "config = json.loads(data)\n"
    "sys.path.insert(0, config['package_path'])\n"
    "from vantor.workers.sandbox.inside.supervisor import main\n"
    "main(config)\n"
)

#: The command that starts an unsandboxed worker when none is given.
DEFAULT_COMMAND: tuple[str, ...] = (sys.executable, "-m", "vantor.workers")


@dataclass
class Launch:
    """How to start one worker process, and what to undo once it has ended.

    A sandbox adds a control socket: the process reports on it whether its
    sandbox is in force, and its closing tells the process to stop everything.
    """

    argv: list[str]
    env: Mapping[str, str] | None = None
    cwd: str | None = None
    pass_fds: tuple[int, ...] = ()
    control: socket.socket | None = None
    after_spawn: Callable[[], None] = lambda: None
    cleanup: Callable[[], None] = lambda: None
    describe_death: Callable[[int | None], str] = lambda returncode: ""
    context: dict[str, Any] = field(default_factory=dict)
    # The sandbox's place in the host's proxy (``network.sandboxes.SandboxNetwork``),
    # which takes the listener the sandbox passes with its report.
    network: Any = None



_SCOPE = ("--user", "--scope", "--quiet", "--collect", "-p", "Delegate=yes", "--")


#: Variables that tell the interpreter where to find code. The policy's may
#: name a place a tool can write, so the host-side supervisor (root, on a root
#: host, before any confinement) does not start with them: the worker takes
#: them on once it is confined.
WORKER_ONLY_VARIABLES = ("PYTHONPATH", "PYTHONPYCACHEPREFIX")


def package_path() -> str:
    """The ``sys.path`` entry (directory or zip file) that ``vantor`` was imported from."""
    return os.path.dirname(os.path.dirname(os.path.abspath(vantor.__file__)))


def _user_manager() -> tuple[str, str] | None:
    """The runtime directory of this user's systemd manager and its systemd-run, where one runs."""
    runtime = f"/run/user/{os.getuid()}"
    program = shutil.which("systemd-run", path="/usr/bin:/bin")
    if program is not None and os.path.exists(os.path.join(runtime, "systemd", "private")):
        return runtime, program
    return None


def _read_only_in_container() -> bool:
    """Whether this host runs in a container whose cgroup file systems are read-only, as
    engines mount them: no administrator inside can delegate one."""
    if container_engine() is None:
        return False
    _, mounts = _cgroups.layout()
    try:
        return any(os.statvfs(mount).f_flag & os.ST_RDONLY for mount in set(mounts.values()))
    except OSError:
        return False


def _cgroups_for(sandbox: Sandbox) -> tuple[_cgroups.WorkerCgroups, tuple[str, str] | None,
                                              str]:
    """The worker's host-made cgroups, the user manager to start the supervisor under
    instead (or None), and the remedy for cgroups that are missing."""
    cgroups = _cgroups.WorkerCgroups(sandbox.memory, sandbox.processes, sandbox.cpu_seconds,
                                     sandbox.cgroup_parent)
    if cgroups.missing and sandbox.cgroup_parent is None and _read_only_in_container():
        return cgroups, None, cgroup_remedy()
    if not cgroups.missing or sandbox.cgroup_parent is not None or os.getuid() == 0:
        return cgroups, None, ""
    version, mounts = _cgroups.layout()
    manager = _user_manager() if version == "v2" else None
    if manager is not None:
        cgroups.missing.clear()
        return cgroups, manager, ""
    if version == "v2":
        return cgroups, None, _cgroups.V2_REMEDY
    return cgroups, None, _cgroups.v1_remedy(mounts, os.getuid())


def _container_stands_in(sandbox: Sandbox, cgroups: _cgroups.WorkerCgroups) -> bool:
    """Whether the container's own cgroups and the rlimits may stand in for the sandbox's
    missing memory and pids cgroups: in a container (which is bounded as a whole) where
    none could be made and none were given.  On a bare host a missing cgroup is refused,
    with the way to delegate one."""
    return bool(cgroups.missing) and sandbox.cgroup_parent is None and \
        container_engine() is not None


def _told_oom_kills(fd: int) -> int:
    """The count the supervisor wrote before it ended (0 if it wrote none)."""
    try:
        os.set_blocking(fd, False)
        return int(os.read(fd, 32) or b"0")
    except (OSError, ValueError):
        return 0
    finally:
        os.close(fd)


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
    # Cgroups that are missing are refused by the supervisor, together with
    # whatever else this machine lacks: one refusal names every blocker.
    cgroups, manager, remedy = _cgroups_for(sandbox)
    host_end, child_end = socket.socketpair()
    config = {
        "package_path": package_path(),
        "command": list(command) if command is not None else None,
        "cwd": os.path.normpath(os.path.abspath(os.fspath(cwd))) if cwd is not None else None,
        "read": list(sandbox.read), "write": list(sandbox.write),
        "network": sandbox.network is not False, "proxy_port": PROXY_PORT,
        "memory": sandbox.memory, "file_size": sandbox.file_size, "open_files": sandbox.open_files,
        "processes": sandbox.processes, "cpu_seconds": sandbox.cpu_seconds,
        "tmp_size": sandbox.tmp_size, "allow_missing": sorted(sandbox.allow_missing),
        "require": sorted(sandbox.require),
        "cgroup_procs": cgroups.procs, "host_missing": cgroups.missing, "cgroup_remedy": remedy,
        "container_stands_in": _container_stands_in(sandbox, cgroups),
        "cgroup_scope": manager is not None,
        "host_uid": os.getuid(), "host_gid": os.getgid(),
    }
    argv = [sys.executable, "-s", "-P", "-c", _BOOT, str(child_end.fileno())]
    launch_env = sandbox.environment()
    config["worker_env"] = {name: launch_env.pop(name) for name in WORKER_ONLY_VARIABLES
                            if name in launch_env}
    child_fds = [child_end.fileno()]
    holder = shared_user_namespace()
    if holder is not None:
        config["user_namespace_fd"] = holder
        child_fds.append(holder)
    oom_r = -1
    if manager is not None:
        runtime, systemd_run = manager
        argv = [systemd_run, *_SCOPE, *argv]
        launch_env = {**launch_env, "XDG_RUNTIME_DIR": runtime}  # taken out by the supervisor
        oom_r, oom_w = os.pipe()  # the supervisor's count of OOM kills, told as it ends
        config["oom_fd"] = oom_w
        child_fds.append(oom_w)
    # Read by the supervisor before anything else; the socket's buffer holds it.
    host_end.sendall(json.dumps(config).encode() + b"\n")
    # The cgroups' cgroup.procs files: the usage of each call is read beside them.
    context: dict[str, Any] = {"oom_kills": 0, "cgroup_procs": dict(cgroups.procs)}
    policy = sandbox.network_policy
    network = SandboxNetwork(policy, sandbox.network_limits) if policy is not None else None

    def after_spawn() -> None:
        child_end.close()
        for fd in child_fds[1:]:
            if fd != holder:  # the host's, for every sandbox
                os.close(fd)

    def cleanup() -> None:
        if network is not None:
            network.close()
        context["oom_kills"] = cgroups.oom_kills() if oom_r < 0 else _told_oom_kills(oom_r)
        cgroups.remove()

    def describe_death(returncode: int | None) -> str:
        if context["oom_kills"] and sandbox.memory is not None:
            return f"the sandbox's memory limit of {sandbox.memory // MiB} MiB was reached"
        if returncode == -signal.SIGXCPU and sandbox.cpu_seconds is not None:
            return f"the sandbox's CPU time limit of {sandbox.cpu_seconds} s was reached"
        return ""

    return Launch(argv=argv, env=launch_env, cwd="/",
                  pass_fds=tuple(child_fds), control=host_end,
                  after_spawn=after_spawn, cleanup=cleanup, describe_death=describe_death,
                  context=context, network=network)
