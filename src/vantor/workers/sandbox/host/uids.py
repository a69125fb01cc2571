"""The host uid of each sandbox of a root host: one of a range, held while the sandbox lives.

The kernel keeps some limits per user, whatever the namespace: descriptors
in flight over Unix sockets, pipe buffers, and the counts of a user
namespace's objects charged to its creator (inotify instances, queued
signals...).  Sandboxes sharing one host uid would share them, so a root host
gives each its own: the sandbox's user (65534 inside) is mapped to that uid.

The range is root's subordinate range in ``/etc/subuid`` when it has one,
else :data:`DEFAULT_RANGE`.  A uid is claimed by an exclusive ``flock(2)`` on
its own file in :data:`LOCK_DIR`, held by the sandbox's supervisor for the
sandbox's life; a supervisor that dies lets go of it with its descriptors.
"""

from __future__ import annotations

import fcntl
import os

#: Where the claims are held (root's own directory, mode 0700).
LOCK_DIR = "/run/vantor-workers/uids"
#: (first uid, count) used when /etc/subuid gives root no range.
DEFAULT_RANGE = (2_100_000_000, 65536)
_SUBUID = "/etc/subuid"


class UidError(Exception):
    """No uid of the range can be claimed; the message says why."""


def uid_range(subuid: str = _SUBUID) -> tuple[int, int]:
    """(first uid, count): root's first subordinate range, or :data:`DEFAULT_RANGE`."""
    try:
        with open(subuid) as table:
            for line in table:
                fields = line.strip().split(":")
                if len(fields) == 3 and fields[0] in ("root", "0"):
                    first, count = int(fields[1]), int(fields[2])
                    if first > 0 and count > 0:
                        return first, count
    except (OSError, ValueError):
        pass
    return DEFAULT_RANGE


def _lock_dir() -> int:
    os.makedirs(LOCK_DIR, mode=0o700, exist_ok=True)
    fd = os.open(LOCK_DIR, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    st = os.fstat(fd)
    if st.st_uid != 0 or st.st_mode & 0o022:
        os.close(fd)
        raise UidError(f"{LOCK_DIR} is not root's own directory")
    return fd


def claim() -> tuple[int, int]:
    """A free uid of the range and the descriptor holding it (close it to let it go)."""
    first, count = uid_range()
    directory = _lock_dir()
    try:
        # The lowest free one: the lock files stay as many as sandboxes ever ran at once.
        for uid in range(first, first + count):
            fd = os.open(str(uid), os.O_RDONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC,
                         0o600, dir_fd=directory)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return uid, fd
            except BlockingIOError:
                os.close(fd)
    finally:
        os.close(directory)
    raise UidError(f"every uid of {first}...{first + count - 1} is held (in {LOCK_DIR})")
