"""The memory, pids and CPU accounting cgroups of sandboxed workers: where they go, made by
the host, removed after.

The CPU accounting cgroup only counts: the sandbox's supervisor reads it and
ends the sandbox at its limit.  On cgroup v1 it is the ``cpuacct``
hierarchy's; on v2 every cgroup counts its CPU time (``cpu.stat``), so the
worker's one directory serves.

Where the parent comes from, in order:

* the policy's ``cgroup_parent``: a directory an administrator delegated
  (cgroup v1: one per controller; v2: one directory);
* root: ``vantor-workers`` at the top of each hierarchy, made on first use;
* another user, cgroup v1: ``<mount>/vantor-workers-<uid>``, which an
  administrator makes and gives to that user once;
* another user, cgroup v2: the host's own cgroup when it is delegated to the
  user (a systemd unit or scope with ``Delegate=yes``, a container with its
  own cgroup namespace).  By the kernel's rule of no internal processes, a
  cgroup that enables controllers for its children holds no process itself:
  the host first moves the cgroup's processes into a leaf, ``vantor-host``.

Below the parent each host makes one directory of its own, ``host-<random>``,
and holds it with a shared ``flock(2)`` while it lives; a host that finds
another's directory unlocked knows its owner is gone and removes it.  The
workers' directories, numbered, go below the host's: no name carries a
process ID.  A directory still busy while its last processes are torn down is
removed after a short bounded wait, at the next start, or at exit.
"""

from __future__ import annotations

import atexit
import errno
import fcntl
import os
import threading
import time
from collections.abc import Mapping

from vantor.workers.sandbox.protections import CGROUP_PARENT_HINT

_CGROUP_ROOT = "/sys/fs/cgroup"
_GROUP_DIR = "vantor-workers"
_HOST_LEAF = "vantor-host"
_HOST_PREFIX = "host-"
CONTROLLERS = {"memory": "memory_limit", "pids": "process_limit", "cpuacct": "cpu_limit"}
# The controllers a v2 cgroup enables for its children (v2 counts CPU time without one).
_V2_CONTROLLERS = ["memory", "pids"]
# How long removal waits for a cgroup's last processes to be torn down.
_REMOVAL_WAIT = 1.0
# New host directories tried while other hosts' sweeps remove them.
_MAKE_ATTEMPTS = 5


class CgroupError(Exception):
    """No cgroup can be had here; the message says why and how to get one."""


def layout() -> tuple[str, dict[str, str]]:
    """("v1" or "v2", controller -> mount directory) of this machine's cgroups."""
    if os.path.exists(os.path.join(_CGROUP_ROOT, "cgroup.controllers")):
        return "v2", dict.fromkeys(CONTROLLERS, _CGROUP_ROOT)
    mounts: dict[str, str] = {}
    try:
        with open("/proc/self/mountinfo") as table:
            for line in table:
                fields = line.split(" - ", 1)
                if len(fields) != 2 or not fields[1].startswith("cgroup "):
                    continue
                options = fields[1].split()[2].split(",")
                for controller in CONTROLLERS:
                    if controller in options:
                        mounts.setdefault(controller, fields[0].split()[4])
    except OSError:
        pass
    return "v1", mounts


def own_cgroup_v2() -> str | None:
    """The directory of this process's cgroup v2, or None when it has none."""
    try:
        with open("/proc/self/cgroup") as table:
            for line in table:
                if line.startswith("0::"):
                    path = line[3:].strip()
                    return os.path.normpath(_CGROUP_ROOT + path) if path != "/" else _CGROUP_ROOT
    except OSError:
        pass
    return None


def delegated(directory: str) -> bool:
    """Whether this process may make cgroups below ``directory`` and move processes into them."""
    return all(os.access(os.path.join(directory, name), os.W_OK)
               for name in ("", "cgroup.procs", "cgroup.subtree_control"))


def _write(path: str, text: str) -> None:
    with open(path, "w") as file:
        file.write(text)


def _read(path: str) -> str:
    with open(path) as file:
        return file.read()


def enable_controllers(directory: str, wanted: list[str]) -> None:
    """Let ``directory``'s children use the ``wanted`` v2 controllers it has."""
    present = _read(os.path.join(directory, "cgroup.controllers")).split()
    enabled = _read(os.path.join(directory, "cgroup.subtree_control")).split()
    absent = [controller for controller in wanted if controller not in present]
    if absent:
        raise CgroupError(f"{directory} offers no {' or '.join(absent)} controller to its "
                          "children (not delegated to it)")
    change = " ".join(f"+{controller}" for controller in wanted if controller not in enabled)
    if change:
        _write(os.path.join(directory, "cgroup.subtree_control"), change)


def move_into_leaf(directory: str) -> None:
    """Move every process of the v2 cgroup ``directory`` into its child ``vantor-host``."""
    leaf = os.path.join(directory, _HOST_LEAF)
    os.makedirs(leaf, exist_ok=True)
    for pid in _read(os.path.join(directory, "cgroup.procs")).split():
        try:
            _write(os.path.join(leaf, "cgroup.procs"), pid)
        except ProcessLookupError:
            pass


def v1_remedy(mounts: Mapping[str, str], uid: int) -> str:
    directories = " ".join(os.path.join(mounts[c], f"{_GROUP_DIR}-{uid}") for c in sorted(mounts))
    return (f"An administrator delegates cgroups to this user once with: mkdir -p {directories}"
            f" && chown {uid} {directories}")


V2_REMEDY = ("Start the host in a cgroup delegated to it (systemd-run --user --scope -p "
             "Delegate=yes COMMAND, or Delegate=yes in its unit), or have an administrator "
             f"delegate a directory and name it in {CGROUP_PARENT_HINT}")


def parents(setting: str | Mapping[str, str] | None) -> tuple[str, dict[str, str]]:
    """("v1"/"v2", controller -> parent directory of this host's cgroups).

    Raises :class:`CgroupError` naming the remedy when none can be had.
    """
    version, mounts = layout()
    uid = os.getuid()
    if isinstance(setting, Mapping):
        return version, dict(setting)
    if isinstance(setting, str):
        if version == "v1":
            raise CgroupError("cgroup v1 has one hierarchy per controller: name a directory "
                              "for each, as cgroup_parent={'memory': ..., 'pids': ..., "
                              "'cpuacct': ...}")
        return version, {controller: setting for controller in CONTROLLERS}
    if not mounts:
        raise CgroupError("no memory or pids cgroup controller is mounted")
    if uid == 0:
        return version, {c: os.path.join(mount, _GROUP_DIR) for c, mount in mounts.items()}
    if version == "v1":
        found = {c: os.path.join(mount, f"{_GROUP_DIR}-{uid}") for c, mount in mounts.items()}
        # A user delegated memory and pids before CPU was accounted keeps them.
        usable = {c: path for c, path in found.items() if os.access(path, os.W_OK)}
        if usable:
            return version, usable
        raise CgroupError(f"uid {uid} has no cgroup of its own")
    own = own_cgroup_v2()
    if own is not None and os.path.basename(own) == _HOST_LEAF:
        own = os.path.dirname(own)
    if own is None or not delegated(own):
        raise CgroupError(f"the host's cgroup {own} is not delegated to uid {uid}")
    return version, {controller: own for controller in CONTROLLERS}


class HostCgroups:
    """This host's own directory below each parent, held with a flock while the host lives."""

    def __init__(self, version: str, parent_of: dict[str, str]):
        self.version = version
        self.directories: dict[str, str] = {}
        self._locks: list[int] = []
        self._counter = 0
        self._lock = threading.Lock()
        self.leftover: list[str] = []
        self.parents = sorted(set(parent_of.values()))
        made: dict[str, str] = {}  # on v2 both controllers share one parent
        for controller, parent in parent_of.items():
            if parent not in made:
                made[parent] = self._make(parent)
            self.directories[controller] = made[parent]

    def _make(self, parent: str) -> str:
        if not os.path.isdir(parent):
            os.makedirs(parent, exist_ok=True)
        if self.version == "v2":
            _prepare_v2_parent(parent, _V2_CONTROLLERS)
        for _ in range(_MAKE_ATTEMPTS):
            directory = os.path.join(parent, _HOST_PREFIX + os.urandom(6).hex())
            os.mkdir(directory)
            fd = _locked(directory)
            if fd is not None:
                self._locks.append(fd)
                if self.version == "v2":
                    enable_controllers(directory, _V2_CONTROLLERS)
                return directory
        raise OSError(errno.ENOENT, f"each new directory was removed by another host's sweep "
                                    f"before it could be locked ({_MAKE_ATTEMPTS} attempts)")

    def forget(self) -> None:
        """In a forked child: leave the parent's directories to the parent.

        Closing the inherited descriptors keeps the parent's flock, which
        holds while any descriptor of its open file stays open.
        """
        for fd in self._locks:
            os.close(fd)
        self._locks.clear()
        self.directories.clear()
        self.parents.clear()
        self.leftover.clear()

    def next_name(self) -> str:
        with self._lock:
            self._counter += 1
            return str(self._counter)

    def tidy(self) -> None:
        """Before each start: remove our own busy leftovers, and what dead hosts left."""
        self.retry_leftovers()
        for parent in self.parents:
            sweep(parent)

    def retry_leftovers(self, wait: float = 0.0) -> None:
        retry, self.leftover[:] = list(self.leftover), []
        for directory in retry:
            remove(directory, wait, self.leftover)

    def close(self) -> None:
        """At exit: remove what is left, then this host's own directories."""
        self.retry_leftovers(_REMOVAL_WAIT)
        for directory in set(self.directories.values()):
            for name in _children(directory):
                remove(os.path.join(directory, name), _REMOVAL_WAIT, [])
            remove(directory, 0.0, [])
        for fd in self._locks:
            os.close(fd)
        self._locks.clear()


def _locked(directory: str) -> int | None:
    """A descriptor holding ``directory`` with a shared flock, or None when it is gone.

    Until the lock is taken, another host's sweep sees the directory
    unlocked and empty, and may remove it: then it is no longer the one opened.
    """
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    fcntl.flock(fd, fcntl.LOCK_SH)
    try:
        if os.path.samestat(os.fstat(fd), os.stat(directory)):
            return fd
    except FileNotFoundError:
        pass
    os.close(fd)
    return None


def _prepare_v2_parent(parent: str, controllers: list[str]) -> None:
    """Make ``parent`` able to hand the controllers to children: no process may stay in it."""
    above = os.path.dirname(parent)
    offered = _read(os.path.join(parent, "cgroup.controllers")).split()
    if any(controller not in offered for controller in controllers) and delegated(above):
        enable_controllers(above, controllers)  # root's own vantor-workers, made just now
    try:
        enable_controllers(parent, controllers)
    except OSError as error:
        if error.errno != errno.EBUSY:
            raise
        move_into_leaf(parent)
        enable_controllers(parent, controllers)


def _children(directory: str) -> list[str]:
    try:
        return [entry.name for entry in os.scandir(directory) if entry.is_dir()]
    except OSError:
        return []


def remove(directory: str, wait: float, leftover: list[str]) -> None:
    """Remove a cgroup, waiting up to ``wait`` s while it is busy; else add it to ``leftover``."""
    deadline = time.monotonic() + wait
    pause = 0.001
    while True:
        try:
            os.rmdir(directory)
            return
        except FileNotFoundError:
            return
        except OSError:
            # Busy while the kernel tears down its last processes.
            if time.monotonic() >= deadline:
                leftover.append(directory)
                return
        time.sleep(pause)
        pause = min(pause * 2, 0.02)


def sweep(parent: str) -> None:
    """Remove the directories of hosts that are gone (their flock is free), with their workers."""
    for name in _children(parent):
        path = os.path.join(parent, name)
        if name.startswith(_HOST_PREFIX):
            _sweep_host(path)
        else:
            # Named by an earlier version: <host pid>-<number>.
            owner = name.partition("-")[0]
            if owner.isdigit() and int(owner) != os.getpid() and not os.path.exists(
                    f"/proc/{owner}"):
                remove(path, 0.0, [])


def _sweep_host(path: str) -> None:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        return  # its host is alive
    try:
        for name in _children(path):
            remove(os.path.join(path, name), 0.0, [])
        remove(path, 0.0, [])
    finally:
        os.close(fd)


_hosts: dict[object, HostCgroups] = {}  # by the policy's cgroup_parent
_hosts_lock = threading.Lock()


def _forget_hosts_after_fork() -> None:
    """A forked child makes its own host directories: with the parent's it would
    number its workers alike and remove the parent's directories at its exit."""
    global _hosts_lock
    _hosts_lock = threading.Lock()  # another thread may have held it at the fork
    for host in _hosts.values():
        host.forget()
    _hosts.clear()


os.register_at_fork(after_in_child=_forget_hosts_after_fork)


def host_cgroups(setting: str | Mapping[str, str] | None) -> HostCgroups:
    """This host's cgroup directories for ``setting``, made on first use (raises CgroupError)."""
    key = tuple(sorted(setting.items())) if isinstance(setting, Mapping) else setting
    with _hosts_lock:
        if key in _hosts:
            return _hosts[key]
        version, parent_of = parents(setting)
        try:
            made = HostCgroups(version, parent_of)
        except OSError as error:
            raise CgroupError(f"cannot make this host's cgroups below "
                              f"{', '.join(sorted(set(parent_of.values())))}: "
                              f"{error.strerror or error}") from None
        if not _hosts:
            atexit.register(_close_hosts)
        _hosts[key] = made
        return made


def _close_hosts() -> None:
    for host in _hosts.values():
        host.close()


def set_limit(version: str, directory: str, controller: str, limit: int) -> str | None:
    """Limit the cgroup ``directory``; returns the file that counts its OOM kills, if any."""
    if controller == "cpuacct":
        return None  # counted only: the supervisor holds the limit
    if controller == "pids":
        _write(os.path.join(directory, "pids.max"), str(limit))
        return None
    if version == "v2":
        _write(os.path.join(directory, "memory.max"), str(limit))
        if os.path.exists(os.path.join(directory, "memory.swap.max")):
            _write(os.path.join(directory, "memory.swap.max"), "0")
        return os.path.join(directory, "memory.events")
    _write(os.path.join(directory, "memory.limit_in_bytes"), str(limit))
    memsw = os.path.join(directory, "memory.memsw.limit_in_bytes")
    if os.path.exists(memsw):
        _write(memsw, str(limit))  # memory and swap together: no swap
    else:
        try:
            _write(os.path.join(directory, "memory.swappiness"), "0")
        except OSError:
            pass
    return os.path.join(directory, "memory.oom_control")


def in_own_scope(limits: Mapping[str, int | None]) -> dict[str, str]:
    """In a scope delegated to this process: its worker's cgroup, made there.

    This process moves into a leaf of the scope first (it stays out of the
    limits, and the scope may hold no process once it enables controllers).
    Returns the ``cgroup.procs`` file to join, by protection.
    """
    scope = own_cgroup_v2()
    if scope is None or not delegated(scope):
        raise CgroupError(f"the scope {scope} it was started in is not delegated to it")
    move_into_leaf(scope)
    wanted = [controller for controller, limit in limits.items() if limit is not None]
    enable_controllers(scope, [c for c in wanted if c in _V2_CONTROLLERS])
    directory = os.path.join(scope, "sandbox")
    os.mkdir(directory)
    for controller in wanted:
        set_limit("v2", directory, controller, limits[controller])
    return {CONTROLLERS[c]: os.path.join(directory, "cgroup.procs") for c in wanted}


class WorkerCgroups:
    """The cgroups of one worker, made by the host and removed after it."""

    def __init__(self, memory: int | None, processes: int | None, cpu_seconds: int | None,
                 setting: str | Mapping[str, str] | None):
        self.dirs: list[str] = []
        self.procs: dict[str, str] = {}  # the cgroup.procs file to join, by protection
        self.missing: dict[str, str] = {}
        self.oom_file: str | None = None
        self.host: HostCgroups | None = None
        wanted = {"memory": memory, "pids": processes, "cpuacct": cpu_seconds}
        if all(limit is None for limit in wanted.values()):
            return
        try:
            self.host = host_cgroups(setting)
        except CgroupError as error:
            for controller, limit in wanted.items():
                if limit is not None:
                    self.missing[CONTROLLERS[controller]] = str(error)
            return
        self.host.tidy()
        name = self.host.next_name()
        for controller, limit in wanted.items():
            if limit is None:
                continue
            protection = CONTROLLERS[controller]
            if controller not in self.host.directories:
                self.missing[protection] = f"no {controller} cgroup is mounted or delegated"
                continue
            directory = os.path.join(self.host.directories[controller], name)
            try:
                if directory not in self.dirs:
                    os.mkdir(directory)
                    self.dirs.append(directory)
                oom_file = set_limit(self.host.version, directory, controller, limit)
                self.oom_file = oom_file or self.oom_file
                self.procs[protection] = os.path.join(directory, "cgroup.procs")
            except OSError as error:
                self.missing[protection] = (f"cannot make a {controller} cgroup in "
                                            f"{directory}: {error.strerror or error}")

    def oom_kills(self) -> int:
        return oom_kills(self.oom_file) if self.oom_file is not None else 0

    def remove(self) -> None:
        """Remove the worker's cgroups once its processes are gone (waits a little if busy)."""
        leftover = self.host.leftover if self.host is not None else []
        for directory in self.dirs:
            remove(directory, _REMOVAL_WAIT, leftover)
        self.dirs.clear()


def oom_kills(path: str) -> int:
    """The OOM kills a memory cgroup's ``memory.events`` (v2) or ``memory.oom_control`` (v1)
    counts; 0 when it cannot be read."""
    try:
        with open(path) as events:
            for line in events:
                key, _, value = line.partition(" ")
                if key == "oom_kill":
                    return int(value)
    except (OSError, ValueError):
        pass
    return 0


def cpu_usage_file(procs: str) -> str | None:
    """The file beside ``procs`` that counts its cgroup's CPU time, if any."""
    directory = os.path.dirname(procs)
    for name in ("cpuacct.usage", "cpu.stat"):
        path = os.path.join(directory, name)
        if os.path.exists(path):
            return path
    return None


def cpu_seconds_used(fd: int) -> float:
    """CPU time counted so far by the open ``cpuacct.usage`` (ns) or ``cpu.stat`` (µs) file."""
    text = os.pread(fd, 4096, 0).decode()
    if text.startswith("usage_usec"):
        return int(text.split()[1]) / 1e6
    return int(text) / 1e9
