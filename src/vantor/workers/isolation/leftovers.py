"""What a call can leave outside its processes, and its removal before the next call.

A sandbox has places every process in it may write (its private ``/tmp``
and ``/dev/shm``) and an IPC namespace of its own (System V objects, POSIX
message queues).  Whatever a call leaves there would reach the next call:
a module planted where the next one imports from, a segment that holds
memory it needs.  The template empties them once a call and everything it
started have ended, after that call's end line and before the next
request's process runs, so the clean-up is on no answer's path.  Nothing
else runs in the sandbox meanwhile (the process forked for the next request
waits for it), so no name can change while it is walked.
"""

from __future__ import annotations

import errno
import os
import stat
from collections.abc import Iterator
from dataclasses import dataclass, field

from vantor.workers import _containment

_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


@dataclass(frozen=True)
class Confinement:
    """What of the sandbox a template that isolates its calls keeps apart.

    ``scratch``: private places (tmpfs of the sandbox's own) emptied
    between calls, each given back its first mode; ``queues``: where the
    IPC namespace's POSIX message queues are listed, if anywhere;
    ``ipc``: whether the IPC namespace is the sandbox's own;
    ``scoped``: Landlock scopes a call's process can enter (0: none);
    ``settings_filter``: whether a seccomp filter may keep each process's
    limits and scheduling to itself.
    """

    scratch: dict[str, int] = field(default_factory=dict)
    queues: str | None = None
    ipc: bool = False
    scoped: int = 0
    settings_filter: bool = False


def clear(confinement: Confinement) -> None:
    """Remove what calls can leave behind; each place stays, emptied and in its first mode."""
    for place, mode in confinement.scratch.items():
        empty(place, mode)
    if confinement.ipc:
        names: list[str] = []
        if confinement.queues is not None:
            try:
                names = os.listdir(confinement.queues)
            except OSError:
                pass
        _containment.remove_ipc_objects(names)


def empty(place: str, mode: int) -> None:
    """Remove everything below ``place`` that is on its file system, whatever its modes,
    and give ``place`` ``mode``.

    What is mounted below it (a host path the policy lets the sandbox read or
    write, bound inside ``/tmp``) is the host's: it is neither entered nor
    removed, nor are the directories that lead to it.  Walks with
    descriptors, one directory at a time (no recursion, and no path grows
    past the kernel's limit however deep the tree), opening each directory
    to its owner before going in: the sandbox's user owns every file of its
    places.  User extended attributes of ``place`` go too.
    """
    top = os.open(place, _DIRECTORY)
    device = os.fstat(top).st_dev
    os.fchmod(top, mode)
    for name in os.listxattr(top):
        os.removexattr(top, name)
    stack = [(top, _remove_entries(top, device), "")]
    while stack:
        fd, full, name = stack[-1]
        child = next(full, None)
        if child is not None:
            inner = _open_up(fd, child, device)
            if inner >= 0:
                stack.append((inner, _remove_entries(inner, device), child))
            continue
        stack.pop()
        os.close(fd)
        if stack:
            try:
                os.rmdir(name, dir_fd=stack[-1][0])
            except OSError as error:  # it leads to a mount, which stays
                if error.errno not in (errno.ENOTEMPTY, errno.EEXIST, errno.EBUSY):
                    raise


def _open_up(parent: int, name: str, device: int) -> int:
    """Open the directory ``name`` in ``parent`` to its owner and open it; -1 if it is no
    directory of ``device`` (it is then left).  The mode is changed through a descriptor of
    the very directory (no link is followed), as the caller may lack even the right to
    read it."""
    found = os.open(name, os.O_PATH | os.O_NOFOLLOW | os.O_DIRECTORY | os.O_CLOEXEC,
                    dir_fd=parent)
    try:
        if os.fstat(found).st_dev != device:
            return -1
        os.chmod(f"/proc/self/fd/{found}", 0o700)
        return os.open(".", _DIRECTORY, dir_fd=found)
    finally:
        os.close(found)


def _remove_entries(fd: int, device: int) -> Iterator[str]:
    """Remove what the directory open on ``fd`` holds on ``device``; yields the names of
    the directories in it that are not empty (the walk goes into each, then comes back)."""
    with os.scandir(fd) as listing:
        entries = [(entry.name, entry.stat(follow_symlinks=False)) for entry in listing]
    for name, status in entries:
        if status.st_dev != device:
            continue  # a mount: the host's
        if not stat.S_ISDIR(status.st_mode):
            os.unlink(name, dir_fd=fd)
            continue
        try:
            os.rmdir(name, dir_fd=fd)
        except OSError as error:
            if error.errno not in (errno.ENOTEMPTY, errno.EEXIST):
                raise
            yield name
