"""Linux system calls for confining worker processes that Python's standard
library does not offer: namespaces, mounts, capabilities, Landlock,
seccomp, and faulting in a process's own pages ahead of their use.

Each function makes one step; the order of the steps is the caller's.
A failed system call raises OSError (or the subclass its errno selects)
with e.strerror reading "<call>: <system text>" and e.filename (and, for
pivot_root, e.filename2) set to the path the call was given.
"""

import os
from typing import TypedDict

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class _Capabilities(TypedDict):
    effective: int
    permitted: int
    inheritable: int
    bounding: int
    ambient: int
    no_new_privs: bool

# Namespaces and the ties to the parent

CLONE_NEWUSER: int
CLONE_NEWPID: int
CLONE_NEWNS: int
CLONE_NEWNET: int
CLONE_NEWIPC: int
CLONE_NEWUTS: int
CLONE_NEWCGROUP: int

def unshare(flags: int) -> None:
    """Move the calling process into new namespaces (CLONE_NEW* flags).

    CLONE_NEWPID applies to the children created afterwards, not to the
    caller; CLONE_NEWUSER fails (EINVAL) in a process with several threads.
    """

def enter_namespace(fd: int, kind: int) -> None:
    """Move the calling process into the namespace open on `fd` (a
    /proc/<pid>/ns/* file), of the CLONE_NEW* `kind` (0: any). Entering a
    user namespace needs CAP_SYS_ADMIN in it (its owner has it) and a
    single-threaded caller."""

def set_host_name(name: bytes) -> None:
    """Set the host name (bytes) of the calling process's UTS namespace.

    Works for the owner of a new UTS namespace, where writing
    /proc/sys/kernel/hostname is refused to all but the initial root.
    """

def set_parent_death_signal(signal: int) -> None:
    """Have `signal` sent to this process when its parent ends (0 turns it off).

    The parent is the thread that created this process: a process started
    from a thread other than the main one gets the signal when that thread
    ends. The parent may already have ended before the call: compare
    os.getppid() with the parent's pid afterwards. A change of effective or
    file-system user or group ID clears the setting, so make it after them.
    """

def set_child_subreaper() -> None:
    """Make this process the reaper of its orphaned descendants: a process
    whose parent ends is handed to it rather than to init, so that it can
    find and end everything its children started."""

def set_dumpable(dumpable: bool) -> None:
    """Allow or forbid core dumps of this process; a process that is not
    dumpable cannot be attached to by other processes of its user and its
    /proc/<pid> files belong to root. Executing a program makes it dumpable
    again, so make it after the last exec."""

# Mounts

MS_RDONLY: int
MS_NOSUID: int
MS_NODEV: int
MS_NOEXEC: int
MS_BIND: int
MS_REC: int
MS_PRIVATE: int
MS_REMOUNT: int
MS_SLAVE: int
MNT_DETACH: int
OPEN_TREE_CLONE: int
OPEN_TREE_CLOEXEC: int
AT_RECURSIVE: int
MOUNT_ATTR_RDONLY: int
MOUNT_ATTR_NOSUID: int
MOUNT_ATTR_NODEV: int
MOUNT_ATTR_NOEXEC: int

def mount(source: _Path | None, target: _Path, fstype: str | None, flags: int = 0,
          data: str | None = None) -> None:
    """Mount `source` (a device, a directory for MS_BIND, or None) of type
    `fstype` on `target` with MS_* `flags` and the file system's option
    string `data`; with only MS_PRIVATE, MS_SLAVE (and MS_REC) it changes the
    propagation of the mount at `target`."""

def umount(target: _Path, flags: int = 0) -> None:
    """Unmount the file system mounted at `target`; MNT_DETACH detaches it at
    once and lets it go when it is no longer in use."""

def pivot_root(new_root: _Path, put_old: _Path) -> None:
    """Make the mount at `new_root` the root of this mount namespace and move
    the old root to `put_old`. With both "." (after os.chdir(new_root)) the
    old root is stacked on the new one; unmount it with umount(".",
    MNT_DETACH)."""

def open_tree(path: _Path | int, flags: int) -> int:
    """Open the mount at `path` (a path, or a descriptor standing for what it
    is open on), or with OPEN_TREE_CLONE a detached copy of it
    (AT_RECURSIVE: with the mounts beneath it), and return the descriptor.
    The descriptor is always close-on-exec. Give it to mount_setattr and
    move_mount, then close it."""

def move_mount(tree_fd: int, target: _Path) -> None:
    """Attach the tree open on `tree_fd` (from open_tree) at the path `target`."""

def mount_setattr(target: _Path | int, attr_set: int, attr_clr: int = 0,
                  recursive: bool = False, propagation: int = 0) -> None:
    """Set the MOUNT_ATTR_* bits `attr_set` and clear `attr_clr` on the mount
    at `target`: a path, or a descriptor from open_tree. `recursive` applies
    them to the mounts beneath it as well. A `propagation` of MS_PRIVATE
    or MS_SLAVE changes theirs (0: unchanged)."""

# Capabilities

def drop_capabilities() -> None:
    """Give up every capability for good: empty the bounding set (this needs
    CAP_SETPCAP unless it is empty already; without it the rest is still
    done before RuntimeError is raised) and the ambient set, lock the
    securebits that keep root and set-user-ID changes from regaining any
    (when CAP_SETPCAP allows), empty the effective, permitted and
    inheritable sets, and set no_new_privs. Checks the outcome afterwards and
    raises RuntimeError if any capability is left.

    Capabilities belong to each thread: other threads of the process keep
    theirs, so call it while single-threaded.
    """

def capabilities() -> _Capabilities:
    """The capability sets of the calling thread as bit masks (bit n is
    capability n) and whether no_new_privs is set: a dict with the keys
    effective, permitted, inheritable, bounding, ambient and no_new_privs."""

# Landlock

LANDLOCK_ACCESS_FS_EXECUTE: int
LANDLOCK_ACCESS_FS_WRITE_FILE: int
LANDLOCK_ACCESS_FS_READ_FILE: int
LANDLOCK_ACCESS_FS_READ_DIR: int
LANDLOCK_ACCESS_FS_REMOVE_DIR: int
LANDLOCK_ACCESS_FS_REMOVE_FILE: int
LANDLOCK_ACCESS_FS_MAKE_CHAR: int
LANDLOCK_ACCESS_FS_MAKE_DIR: int
LANDLOCK_ACCESS_FS_MAKE_REG: int
LANDLOCK_ACCESS_FS_MAKE_SOCK: int
LANDLOCK_ACCESS_FS_MAKE_FIFO: int
LANDLOCK_ACCESS_FS_MAKE_BLOCK: int
LANDLOCK_ACCESS_FS_MAKE_SYM: int
LANDLOCK_ACCESS_FS_REFER: int
LANDLOCK_ACCESS_FS_TRUNCATE: int
LANDLOCK_ACCESS_FS_IOCTL_DEV: int
LANDLOCK_ACCESS_NET_BIND_TCP: int
LANDLOCK_ACCESS_NET_CONNECT_TCP: int
LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET: int
LANDLOCK_SCOPE_SIGNAL: int

def landlock_abi() -> int:
    """The Landlock ABI version of the running kernel, or 0 when Landlock is
    not built in or not enabled."""

def landlock_restrict(rules: list[tuple[_Path, int]], handled_fs: int, handled_net: int = 0,
                      scoped: int = 0, connect_ports: list[int] = ()) -> None:
    """Enforce a Landlock ruleset on the calling thread and the processes it
    starts from now on. The ruleset handles exactly the LANDLOCK_ACCESS_FS_*
    rights `handled_fs` and LANDLOCK_ACCESS_NET_* rights `handled_net`, and the
    LANDLOCK_SCOPE_* restrictions `scoped`; a right the running ABI does not
    know raises ValueError. Each (path, access) rule allows `access` beneath
    `path` (for a path that is not a directory, only its file rights; a rule
    left with no right is skipped). TCP connections are allowed to the ports
    in `connect_ports` only; other handled TCP rights are denied on every port.

    no_new_privs must be set already (RuntimeError otherwise). Call it before
    starting threads: other threads of the process are not restricted.
    """

# seccomp

def install_seccomp_filter(socket_families: tuple[int, ...],
                           pair_families: tuple[int, ...] | None = None) -> None:
    """Install the worker's seccomp filter on the calling thread; it is
    inherited by every process started from it and cannot be removed.

    Only the calls an interpreter, its standard library, threads,
    subprocesses and common native packages make are let through; any
    other fails with ENOSYS (among them io_uring, clone3, openat2, the
    asynchronous I/O contexts and every call newer than the filter), so
    that callers fall back to ordinary calls. Refused with EPERM: tracing
    and reading other processes (ptrace, process_vm_readv/writev,
    process_madvise, pidfd_getfd, kcmp, migrate_pages, move_pages), bpf,
    perf_event_open, userfaultfd, fanotify, loading kernels and modules,
    reboot, swap, acct, syslog, quotas, keyrings, file handles, every mount
    call, unshare, setns, chroot, iopl/ioperm, vhangup, setting clocks and
    host names, clone with a CLONE_NEW* flag, the TIOCSTI and TIOCLINUX
    ioctls, personality other than querying it or PER_LINUX, and a mode
    with the set-user-ID or set-group-ID bit in chmod, fchmod, fchmodat,
    mknod and in open, openat and creat when they create a file. fallocate
    with any mode but 0 fails with EOPNOTSUPP. socket fails with
    EAFNOSUPPORT for a family not in `socket_families`, socketpair for one
    not in `pair_families` (default: the same; at most 64 each). A process
    of another architecture or ABI (x32) is killed.

    no_new_privs must be set already (RuntimeError otherwise). Other threads
    of the process are not filtered: call it while single-threaded.
    """

def keep_settings_to_oneself() -> None:
    """Install a second seccomp filter on the calling thread, inherited like
    the first: prlimit64, setpriority, ioprio_set, sched_setscheduler,
    sched_setparam, sched_setattr and sched_setaffinity act on the calling
    thread alone (process 0, and for setpriority and ioprio_set the kind
    'process'); naming any other process, a process group or a user fails
    with EPERM. So no process below it can change the limits, priority or
    scheduling of another, its parent among them.

    no_new_privs must be set already (RuntimeError otherwise).
    """

# IPC objects

def remove_ipc_objects(queue_names: list[str] | tuple[str, ...], /) -> int:
    """Remove every System V shared memory segment, semaphore set and message
    queue of this IPC namespace that the caller may remove (its own,
    whatever their modes), and the POSIX message queues named in
    `queue_names` (as listed in a mount of the mqueue file system). A
    segment still attached goes once its last user detaches. Returns how
    many objects were removed.
    """

# Memory

def populate_after_fork(ranges: list[tuple[int, int]]) -> None:
    """Have every child this process forks from now on fault in the pages of
    `ranges` ((address, length) pairs) as a write would, first thing after
    fork, without changing their contents: pages shared copy-on-write with
    this process are copied at once. An empty sequence turns it off. The
    children's own children populate nothing. Ranges no longer mapped
    writable are skipped; before Linux 5.14 nothing is populated.
    """

def start_memory_keeper() -> int:
    """Start a child that shares this process's memory, holds no descriptor
    and sleeps with every signal blocked until this process ends, when it
    is killed; return its pid. This process's end then leaves the memory to
    it and is over at once: the child takes the memory apart as it dies,
    and whoever inherits it reaps it when it will.
    """
