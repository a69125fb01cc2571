"""The file system a sandboxed worker sees: which host paths, and how they are assembled.

:class:`View` is worked out in the host's view of the file system, before any
namespace is entered: every path the worker may reach, its symbolic links
reproduced so that the same names resolve inside, and whether it is writable.
:meth:`View.assemble` then builds the new root inside the sandbox's mount
namespace: a small read-only tmpfs holding mount points, the host paths
bound onto them (read-only unless writable), a private ``/tmp``, a minimal
``/dev`` and a fresh ``/proc``.
"""

from __future__ import annotations

import os
import shutil
import stat
import sys
from typing import Any

from . import _containment as native

# System paths every worker needs: the dynamic loader, libraries and programs.
_SYSTEM_PATHS = ("/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32")
# Files under /etc that libraries read; the rest of /etc stays out of sight.
_ETC_PATHS = (
    "/etc/ld.so.cache", "/etc/ld.so.conf", "/etc/ld.so.conf.d", "/etc/localtime",
    "/etc/timezone", "/etc/nsswitch.conf", "/etc/host.conf", "/etc/gai.conf",
    "/etc/protocols", "/etc/services", "/etc/mime.types", "/etc/os-release",
    "/etc/locale.alias", "/etc/alternatives", "/etc/ssl", "/etc/ca-certificates",
    "/etc/pki", "/etc/crypto-policies", "/etc/python3", "/etc/matplotlibrc",
)
# Files the sandbox writes for itself: who "nobody" is, and its host name.
HOSTNAME = "sandbox"
_GENERATED = {
    "/etc/passwd": "root:x:0:0:root:/root:/usr/sbin/nologin\n"
                   "nobody:x:65534:65534:nobody:/tmp:/usr/sbin/nologin\n",
    "/etc/group": "root:x:0:\nnogroup:x:65534:\n",
    "/etc/hostname": f"{HOSTNAME}\n",
    "/etc/hosts": f"127.0.0.1\tlocalhost\n::1\tlocalhost\n127.0.1.1\t{HOSTNAME}\n",
}
_DEVICES = ("/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom")
_DEVICE_LINKS = {"/dev/fd": "/proc/self/fd", "/dev/stdin": "/proc/self/fd/0",
                 "/dev/stdout": "/proc/self/fd/1", "/dev/stderr": "/proc/self/fd/2"}
_MAX_LINKS = 40
# What the new /proc hides, as container runtimes do: the kernel's memory,
# keys, build and boot configuration, timers and interrupts of the whole
# machine, and the hardware's tables and triggers.  Files are covered by
# /dev/null, directories by an empty read-only tmpfs.
_MASKED_PROC_FILES = (
    "kcore", "kallsyms", "keys", "key-users", "config.gz", "cmdline", "timer_list",
    "timer_stats", "latency_stats", "sched_debug", "sysrq-trigger", "interrupts", "kmsg",
    "kpagecount", "kpageflags", "kpagecgroup", "iomem", "ioports", "modules", "vmallocinfo",
)
_MASKED_PROC_DIRS = ("acpi", "asound", "bus", "driver", "fs", "irq", "scsi", "tty")

WRITABLE_PLACES = ("/tmp", "/dev/shm")


class ViewError(Exception):
    """A path of the policy cannot be given to the worker."""


class _Bind:
    """One host path to bind into the new root."""

    __slots__ = ("source", "writable", "directory", "device", "tree")

    def __init__(self, source: str, writable: bool, directory: bool, device: bool = False):
        self.source = source
        self.writable = writable
        self.directory = directory
        self.device = device
        self.tree = -1  # the detached copy, once opened


def _resolve(path: str, depth: int = 0) -> tuple[str, list[tuple[str, str]]]:
    """The real path of ``path`` and the symbolic links met on the way, in order."""
    if depth > _MAX_LINKS:
        raise ViewError(f"too many levels of symbolic links: {path}")
    parts = [part for part in path.split("/") if part]
    current = "/"
    for index, part in enumerate(parts):
        candidate = os.path.join(current, part)
        if os.path.islink(candidate):
            target = os.readlink(candidate)
            resolved = os.path.normpath(os.path.join(current, target))
            real, links = _resolve(os.path.join(resolved, *parts[index + 1:]), depth + 1)
            return real, [(candidate, target)] + links
        current = candidate
    return current, []


def _inside(path: str, directory: str) -> bool:
    return path == directory or path.startswith(directory.rstrip("/") + "/")


def _usable_by_sandbox_user(st: os.stat_result, write: bool, uid: int) -> bool:
    want = 2 if write else 4
    if stat.S_ISDIR(st.st_mode):
        want |= 1
    if st.st_uid == uid:
        return (st.st_mode >> 6) & want == want
    if st.st_gid == uid:
        return (st.st_mode >> 3) & want == want
    return st.st_mode & want == want


class View:
    """Everything a worker may see of the host's file system."""

    def __init__(self, sandbox_uid: int, host_uid: int):
        self.binds: dict[str, _Bind] = {}
        self.links: dict[str, str] = {}
        self.program: str | None = None  # the command's executable, for a custom command
        self._sandbox_uid = sandbox_uid
        self._host_uid = host_uid

    @classmethod
    def build(cls, config: dict[str, Any], sandbox_uid: int) -> "View":
        view = cls(sandbox_uid, config["host_uid"])
        for path in _SYSTEM_PATHS + _ETC_PATHS:
            view.add(path, required=False)
        for path in (sys.prefix, sys.base_prefix, sys.exec_prefix, sys.base_exec_prefix,
                     sys.executable, *sys.path):
            if path:
                view.add(path, required=False)
        command = config["command"]
        if command:
            program = shutil.which(command[0], path=os.environ.get("PATH"))
            if program is None:
                raise ViewError(f"the worker command is not found: {command[0]}")
            view.add(program)
            view.program = program
        for path in config["read"]:
            view.add(path, check=True)
        if config["cwd"] is not None:
            view.add(config["cwd"], check=True)
        for path in config["write"]:
            view.add(path, writable=True, check=True)
        for device in _DEVICES:
            view.binds[device] = _Bind(device, writable=True, directory=False, device=True)
        return view

    def add(self, path: str, *, writable: bool = False, required: bool = True,
            check: bool = False) -> None:
        real, links = _resolve(os.path.abspath(path))
        try:
            st = os.stat(real)
        except OSError as error:
            if required:
                raise ViewError(f"cannot give the sandbox {path}: {error.strerror}") from None
            return
        if check and not self._usable(real, st, writable):
            kind = "writable" if writable else "readable"
            raise ViewError(f"{path} is not {kind} by the sandbox's user (uid "
                            f"{self._sandbox_uid}); change its owner or mode, or its place")
        for link, target in links:
            self.links.setdefault(link, target)
        known = self.binds.get(real)
        if known is None or (writable and not known.writable):
            self.binds[real] = _Bind(real, writable, stat.S_ISDIR(st.st_mode))

    def _usable(self, real: str, st: os.stat_result, writable: bool) -> bool:
        if self._host_uid != 0:
            return os.access(real, os.W_OK if writable else os.R_OK)
        return _usable_by_sandbox_user(st, writable, self._sandbox_uid)

    def readable_paths(self) -> list[str]:
        """The bound paths, for a Landlock policy when there is no new root."""
        return sorted(self.binds)

    def writable_paths(self) -> list[str]:
        return sorted(path for path, bind in self.binds.items() if bind.writable)

    # -- inside the sandbox's mount namespace --------------------------------

    def _needed_binds(self) -> list[tuple[str, _Bind]]:
        """Binds in mount order, leaving out those that an outer bind already shows as they are."""
        ordered = sorted(self.binds.items(), key=lambda item: (item[0].count("/"), item[0]))
        kept: list[tuple[str, _Bind]] = []
        for target, bind in ordered:
            outer = self._outer_bind(target, kept)
            if outer is not None and outer.writable == bind.writable:
                continue
            kept.append((target, bind))
        return kept

    @staticmethod
    def _outer_bind(target: str, binds: list[tuple[str, _Bind]]) -> _Bind | None:
        found = None
        for path, bind in binds:
            if path != target and _inside(target, path):
                found = bind
        return found

    def open_trees(self) -> list[tuple[str, _Bind]]:
        """Detached copies of every bound path, made read-only where they must be.

        Runs while the process still has the host's file access, before it
        takes the sandbox's identity.
        """
        binds = self._needed_binds()
        for target, bind in binds:
            bind.tree = native.open_tree(
                bind.source, native.OPEN_TREE_CLONE | native.OPEN_TREE_CLOEXEC |
                native.AT_RECURSIVE)
            attributes = native.MOUNT_ATTR_NOSUID
            if not bind.device:
                attributes |= native.MOUNT_ATTR_NODEV
            if not bind.writable:
                attributes |= native.MOUNT_ATTR_RDONLY
            if bind.device:
                attributes |= native.MOUNT_ATTR_NOEXEC
            native.mount_setattr(bind.tree, attributes, 0, True)
        return binds

    def assemble(self, stage: str, binds: list[tuple[str, _Bind]], tmp_size: int,
                 uid: int, gid: int) -> None:
        """Build the new root at ``stage`` and make it the root of this mount namespace."""
        owner = f"uid={uid},gid={gid}"
        native.mount("tmpfs", stage, "tmpfs", native.MS_NOSUID | native.MS_NODEV,
                     f"mode=0755,size=4m,{owner}")
        specials = {
            "/tmp": ("tmpfs", native.MS_NOSUID | native.MS_NODEV,
                     f"mode=1777,size={tmp_size},{owner}"),
            "/dev": ("tmpfs", native.MS_NOSUID | native.MS_NOEXEC, f"mode=0755,size=64k,{owner}"),
            "/dev/shm": ("tmpfs", native.MS_NOSUID | native.MS_NODEV | native.MS_NOEXEC,
                         f"mode=1777,size={min(tmp_size, 64 * 1024 * 1024)},{owner}"),
            "/proc": ("proc", native.MS_NOSUID | native.MS_NODEV | native.MS_NOEXEC, None),
        }
        mounts: list[tuple[str, Any]] = [(path, spec) for path, spec in specials.items()]
        mounts += binds
        mounts.sort(key=lambda item: (item[0].count("/"), item[0]))
        mounted: list[str] = []
        for target, what in mounts:
            place = stage + target
            covered = any(_inside(target, path) for path in mounted
                          if path not in specials)
            if isinstance(what, _Bind):
                if not covered:
                    self._make_mount_point(place, what.directory)
                native.move_mount(what.tree, place)
                os.close(what.tree)
                what.tree = -1
            else:
                fstype, flags, data = what
                os.makedirs(place, exist_ok=True)
                native.mount(fstype, place, fstype, flags, data)
            mounted.append(target)
        _mask_proc(stage)
        bound = [path for path, _ in binds]
        for link, target in sorted({**self.links, **_DEVICE_LINKS}.items()):
            if not any(_inside(link, path) for path in bound):
                os.makedirs(os.path.dirname(stage + link), exist_ok=True)
                if not os.path.lexists(stage + link):
                    os.symlink(target, stage + link)
        for path, text in _GENERATED.items():
            if not any(_inside(path, bound_path) for bound_path in bound):
                os.makedirs(os.path.dirname(stage + path), exist_ok=True)
                with open(stage + path, "w") as file:
                    file.write(text)
        os.chdir(stage)
        native.pivot_root(".", ".")
        native.umount(".", native.MNT_DETACH)
        os.chdir("/")
        # The root and /dev are tmpfs owned by the sandbox's user: read-only,
        # they stay as built even where Landlock is missing.
        native.mount_setattr("/", native.MOUNT_ATTR_RDONLY, 0, False)
        native.mount_setattr("/dev", native.MOUNT_ATTR_RDONLY, 0, False)

    @staticmethod
    def _make_mount_point(place: str, directory: bool) -> None:
        if directory:
            os.makedirs(place, exist_ok=True)
            return
        os.makedirs(os.path.dirname(place), exist_ok=True)
        if not os.path.exists(place):
            os.close(os.open(place, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o644))


def _mask_proc(stage: str) -> None:
    """Cover the parts of the new ``/proc`` at ``stage`` that show the host's kernel."""
    for name in _MASKED_PROC_FILES:
        target = f"{stage}/proc/{name}"
        if os.path.isfile(target):
            native.mount(f"{stage}/dev/null", target, None, native.MS_BIND)
    for name in _MASKED_PROC_DIRS:
        target = f"{stage}/proc/{name}"
        if os.path.isdir(target):
            native.mount("tmpfs", target, "tmpfs", native.MS_RDONLY | native.MS_NOSUID |
                         native.MS_NODEV | native.MS_NOEXEC, "size=0,mode=0555")
