"""The file system a sandboxed worker sees: which host paths, and how they are assembled.

:class:`View` is worked out in the host's view of the file system, before any
namespace is entered: every path the worker may reach, its symbolic links
reproduced so that the same names resolve inside, and whether it is writable.
A path is walked one component at a time, never following a symbolic link
that someone other than root or the host's user could have planted (for the
policy's own paths, nor one a tool could have planted: on a host that is not
root, the sandbox's user is the host's), and it is bound later from a
descriptor of the very object that was checked.
:meth:`View.assemble` then builds the new root inside the sandbox's mount
namespace: a small read-only tmpfs holding mount points, the host paths
bound onto them (read-only unless writable), a private ``/tmp``, a minimal
``/dev`` and a fresh ``/proc`` with the host kernel's files masked.
"""

from __future__ import annotations

import errno
import os
import shutil
import site
import stat
import sys
from typing import Any

from vantor.workers import _containment as native

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
_SANDBOX_GID = 65534


class ViewError(Exception):
    """A path of the policy cannot be given to the worker."""


class _Bind:
    """One host path to bind into the new root, and the object it was found to be."""

    __slots__ = ("source", "writable", "directory", "device", "tree", "identity")

    def __init__(self, source: str, writable: bool, st: os.stat_result, device: bool = False):
        self.source = source
        self.writable = writable
        self.directory = stat.S_ISDIR(st.st_mode)
        self.device = device
        self.identity = (st.st_dev, st.st_ino)
        self.tree = -1  # the detached copy, once opened


_PATH_FLAGS = os.O_PATH | os.O_NOFOLLOW | os.O_CLOEXEC


class _Walk:
    """One path walked from ``/`` a component at a time.

    ``fd`` is an ``O_PATH`` descriptor of what the path names, ``real`` its
    path without links, ``links`` the links followed, in order.  A link is
    followed only when it and the directory holding it can be changed by
    ``trusted`` users alone; with ``searcher`` set, every directory on the
    way must let that user through.
    """

    def __init__(self, path: str, trusted: frozenset[int], searcher: int | None):
        self.links: list[tuple[str, str]] = []
        self.fd = -1
        self.real = "/"
        self._asked = path
        for _ in range(_MAX_LINKS):
            rest = self._walk(path, trusted, searcher)
            if rest is None:
                return
            link, target = self.links[-1]
            path = os.path.normpath(os.path.join(os.path.dirname(link), target, rest))
        raise ViewError(f"too many levels of symbolic links: {self._asked}")

    def _walk(self, path: str, trusted: frozenset[int], searcher: int | None) -> str | None:
        """Walk ``path``; at a link to follow, returns what comes after it."""
        parts = [part for part in path.split("/") if part]
        self.real = "/"
        self.fd = os.open("/", _PATH_FLAGS | os.O_DIRECTORY)
        for index, part in enumerate(parts):
            holder = os.fstat(self.fd)
            if searcher is not None and not _usable_by(holder, searcher, search_only=True):
                self.close()
                raise ViewError(f"the sandbox's user (uid {searcher}) cannot pass through "
                                f"{self.real} on the way to {self._asked}")
            try:
                child = os.open(part, _PATH_FLAGS, dir_fd=self.fd)
            except OSError:
                self.close()
                raise
            st = os.fstat(child)
            candidate = os.path.join(self.real, part)
            if not stat.S_ISLNK(st.st_mode):
                os.close(self.fd)
                self.fd, self.real = child, candidate
                continue
            try:
                if not _planted_by_trusted(st, holder, trusted):
                    raise ViewError(self._untrusted(candidate, trusted))
                self.links.append((candidate, os.readlink(part, dir_fd=self.fd)))
            finally:
                os.close(child)
                self.close()
            return "/".join(parts[index + 1:])
        return None

    def _untrusted(self, link: str, trusted: frozenset[int]) -> str:
        who = ("root (a tool's links are its user's, on a host that is not root the host's)"
               if trusted == {0} else "root and the host's user")
        return (f"{self._asked} leads through the symbolic link {link}, which others than "
                f"{who} can have made or can change. Give the path it should name instead "
                f"(here {os.path.realpath(self._asked)}), if that is the one meant")

    def stat(self) -> os.stat_result:
        return os.fstat(self.fd)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def _planted_by_trusted(link: os.stat_result, holder: os.stat_result,
                        trusted: frozenset[int]) -> bool:
    """Whether only trusted users can have made ``link`` in the directory ``holder``."""
    if link.st_uid not in trusted or holder.st_uid not in trusted:
        return False
    # In a sticky directory others may add names but not replace this one.
    return not holder.st_mode & 0o022 or bool(holder.st_mode & stat.S_ISVTX)


def _inside(path: str, directory: str) -> bool:
    return path == directory or path.startswith(directory.rstrip("/") + "/")


def _usable_by(st: os.stat_result, uid: int, write: bool = False,
              search_only: bool = False) -> bool:
    """Whether user ``uid`` (in group 65534, the sandbox's) may use a file of status ``st``."""
    want = 1 if search_only else (2 if write else 4) | (1 if stat.S_ISDIR(st.st_mode) else 0)
    if st.st_uid == uid:
        return (st.st_mode >> 6) & want == want
    if st.st_gid == _SANDBOX_GID:
        return (st.st_mode >> 3) & want == want
    return st.st_mode & want == want


def _interpreter_paths(package: str) -> list[str]:
    return [sys.prefix, sys.base_prefix, sys.exec_prefix, sys.base_exec_prefix,
            sys.executable, *site.getsitepackages(), package_files(package)]


def package_files(entry: str) -> str:
    """What the sandbox is shown of the ``sys.path`` entry ``entry`` that this package was
    imported from: the entry itself where it is a site or dist-packages directory (or a
    zip file), otherwise only the ``vantor`` package directory in it.  An entry of
    another kind is a project's own directory (a vendored copy, ``PYTHONPATH=.``, a
    source checkout), and what lies beside the package there (a ``.env``, the
    project's code) is no tool's to read.  Bound at the same place, the entry still
    imports the package inside."""
    if os.path.basename(os.path.normpath(entry)) in ("site-packages", "dist-packages") \
            or not os.path.isdir(entry):
        return entry
    return os.path.join(entry, "vantor")


class View:
    """Everything a worker may see of the host's file system."""

    def __init__(self, sandbox_uid: int, host_uid: int):
        self.proc_refused = ""  # why the new root has no /proc of its own, if it has none
        self.binds: dict[str, _Bind] = {}
        self.links: dict[str, str] = {}
        self.program: str | None = None  # the command's executable, for a custom command
        self._sandbox_uid = sandbox_uid
        self._host_uid = host_uid
        self._opened: list[tuple[str, _Bind]] | None = None  # by open_trees
        # Only these may have made a link the walk follows: for the
        # interpreter's paths (a virtual environment's python is the user's
        # own link), root and the host's user; for the policy's paths, those
        # a tool cannot be, and a tool of a host that is not root acts as
        # the host's user in the places earlier policies let it write.
        self._trusted = frozenset({0, host_uid})
        self._policy_trusted = frozenset({0})

    @classmethod
    def build(cls, config: dict[str, Any], sandbox_uid: int) -> "View":
        view = cls(sandbox_uid, config["host_uid"])
        for path in _SYSTEM_PATHS + _ETC_PATHS:
            view.add(path, required=False)
        # The interpreter, its standard library and site directories, and this
        # package; nothing else of sys.path (a project's own directory, put
        # there by an editable install, is the policy's to grant).
        for path in _interpreter_paths(config["package_path"]):
            view.add(path, required=False, check=True)
        command = config["command"]
        if command:
            program = shutil.which(command[0], path=os.environ.get("PATH"))
            if program is None:
                raise ViewError(f"the worker command is not found: {command[0]}")
            view.add(program)
            view.program = program
        for path in config["read"]:
            view.add(path, check=True, reach=True)
        if config["cwd"] is not None:
            view.add(config["cwd"], check=True, reach=True)
        for path in config["write"]:
            view.add(path, writable=True, check=True, reach=True)
        for device in _DEVICES:
            view.binds[device] = _Bind(device, True, os.stat(device), device=True)
        return view

    def add(self, path: str, *, writable: bool = False, required: bool = True,
            check: bool = False, reach: bool = False) -> None:
        """Bind ``path``; ``check``: the sandbox's user must be able to use it.  With
        ``reach`` (a path of the policy) it must also pass through every directory above
        it, and only links root alone can have made are followed."""
        searcher = self._sandbox_uid if reach and self._host_uid == 0 else None
        trusted = self._policy_trusted if reach else self._trusted
        try:
            walk = _Walk(os.path.abspath(path), trusted, searcher)
        except OSError as error:
            if required:
                raise ViewError(f"cannot give the sandbox {path}: {error.strerror}") from None
            return
        try:
            st = walk.stat()
        finally:
            walk.close()
        if check and not self._usable(walk.real, st, writable):
            kind = "writable" if writable else "readable"
            raise ViewError(f"{path} is not {kind} by the sandbox's user (uid "
                            f"{self._sandbox_uid}); change its owner or mode, or its place")
        for link, target in walk.links:
            self.links.setdefault(link, target)
        known = self.binds.get(walk.real)
        if known is None or (writable and not known.writable):
            self.binds[walk.real] = _Bind(walk.real, writable, st)

    def _usable(self, real: str, st: os.stat_result, writable: bool) -> bool:
        if self._host_uid != 0:
            return os.access(real, os.W_OK if writable else os.R_OK)
        return _usable_by(st, self._sandbox_uid, writable)

    def beyond_policy(self, config: dict[str, Any]) -> list[str]:
        """The host paths bound that the policy did not list (the interpreter, its site
        directories, this package, the system's files), outermost only, devices left out."""
        listed = [*config["read"], *config["write"], config["cwd"] or "/nonexistent"]
        paths = sorted(path for path, bind in self.binds.items() if not bind.device
                       and not any(_inside(path, os.path.realpath(given)) for given in listed))
        return [path for path in paths
                if not any(other != path and _inside(path, other) for other in paths)]

    def bound_over(self, place: str) -> bool:
        """Whether a host path is bound at ``place`` or above it."""
        return any(_inside(place, path) for path in self.binds)

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
        takes the sandbox's identity: in a root host's supervisor, or in init.
        Made once; the copies are private, whatever the host's mounts propagate.
        """
        if self._opened is not None:
            return self._opened
        binds = self._needed_binds()
        for target, bind in binds:
            bind.tree = self._open_tree(bind)
            attributes = native.MOUNT_ATTR_NOSUID
            if not bind.device:
                attributes |= native.MOUNT_ATTR_NODEV
            if not bind.writable:
                attributes |= native.MOUNT_ATTR_RDONLY
            if bind.device:
                attributes |= native.MOUNT_ATTR_NOEXEC
            native.mount_setattr(bind.tree, attributes, 0, True, native.MS_PRIVATE)
        self._opened = binds
        return binds

    def close_trees(self) -> None:
        """Let go of the copies that were not attached."""
        for bind in self.binds.values():
            if bind.tree >= 0:
                os.close(bind.tree)
                bind.tree = -1
        self._opened = None

    def _open_tree(self, bind: _Bind) -> int:
        """A detached copy of what ``bind`` was found to be, opened without following
        any link that could have been planted since (its path had none)."""
        try:
            walk = _Walk(bind.source, self._policy_trusted, None)
        except OSError as error:
            raise ViewError(f"cannot give the sandbox {bind.source}: {error.strerror}") from None
        try:
            st = walk.stat()
            if (st.st_dev, st.st_ino) != bind.identity:
                raise ViewError(f"{bind.source} was replaced while the sandbox was set up")
            return native.open_tree(walk.fd, native.OPEN_TREE_CLONE | native.AT_RECURSIVE)
        finally:
            walk.close()

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
                if fstype == "proc":
                    self._mount_proc(place, flags)
                else:
                    native.mount(fstype, place, fstype, flags, data)
            mounted.append(target)
        _mask_proc(stage)
        _mount_message_queues(stage)
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

    def _mount_proc(self, place: str, flags: int) -> None:
        """A fresh ``/proc`` for the PID namespace.  The kernel refuses one (EPERM) where the
        ``/proc`` this process sees has paths mounted over it, as a container engine masks
        its own: the tool then gets an empty ``/proc`` rather than the container's, which
        shows processes outside the sandbox (``proc_refused`` says why)."""
        try:
            native.mount("proc", place, "proc", flags, None)
        except OSError as error:
            if error.errno != errno.EPERM:
                raise
            self.proc_refused = error.strerror or str(error)

    @staticmethod
    def _make_mount_point(place: str, directory: bool) -> None:
        if directory:
            os.makedirs(place, exist_ok=True)
            return
        os.makedirs(os.path.dirname(place), exist_ok=True)
        if not os.path.exists(place):
            os.close(os.open(place, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o644))


def _mount_message_queues(stage: str) -> None:
    """Show the IPC namespace's POSIX message queues at ``/dev/mqueue``, where a template
    that isolates calls finds those a call left.  A kernel without them has none to find."""
    os.makedirs(f"{stage}/dev/mqueue", exist_ok=True)
    try:
        native.mount("mqueue", f"{stage}/dev/mqueue", "mqueue",
                     native.MS_NOSUID | native.MS_NODEV | native.MS_NOEXEC)
    except OSError:
        os.rmdir(f"{stage}/dev/mqueue")


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
