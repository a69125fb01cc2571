"""A host that is not root: one user namespace that holds all of its sandboxes' own.

The kernel charges what a process makes of its per-user counts (inotify
instances and watches, namespaces) to its user in its user namespace and
again to the creator of each namespace above it, up to the host's user in
the initial namespace.  Each sandbox bounds its own share (see
:mod:`vantor.workers.sandbox.inside.kernel`), but for a host that is not
root every sandbox's user namespace is created by the host's user: enough
sandboxes together would take the whole of that user's counts, and the
host's own ``inotify_init1`` would fail.  So such a host makes one user
namespace of its own, whose limits are half of the user's, and each
sandbox's supervisor enters it before it makes the sandbox's namespaces:
all of a host's sandboxes together then hold at most half of each count.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading

from vantor.workers.sandbox.inside.kernel import USER_NAMESPACE_LIMITS

# Runs in a process of its own (the host may have threads; a user namespace is
# entered by a single-threaded process only): enters a new user namespace,
# maps the host's user and group to themselves, sets the namespace's limits and
# holds it until its input ends, while the host opens it.
_HOLDER = (
    "import ctypes, json, sys\n"
    "uid, gid, limits = int(sys.argv[1]), int(sys.argv[2]), json.loads(sys.argv[3])\n"
    "if ctypes.CDLL(None, use_errno=True).unshare(0x10000000) != 0:\n"
    "    sys.exit(1)\n"
    "for name, text in (('setgroups', 'deny'), ('uid_map', f'{uid} {uid} 1'),\n"
    "                   ('gid_map', f'{gid} {gid} 1')):\n"
    "    with open(f'/proc/self/{name}', 'w') as file:\n"
    "        file.write(text)\n"
    "for name, value in limits.items():\n"
    "    with open(f'/proc/sys/user/{name}', 'w') as file:\n"
    "        file.write(str(value))\n"
    "print('ready', flush=True)\n"
    "sys.stdin.read()\n"
)

_held: dict[int, int] = {}  # this process's pid -> the descriptor of its namespace
_making = threading.Lock()  # workers may start from several threads at once


def _after_fork() -> None:
    global _making
    _making = threading.Lock()  # a thread of the parent may have held it


os.register_at_fork(after_in_child=_after_fork)


def host_share() -> dict[str, int]:
    """Half of each of the host user's limits that a sandbox bounds (those this kernel has)."""
    share = {}
    for name in USER_NAMESPACE_LIMITS:
        try:
            with open(f"/proc/sys/user/{name}") as limit:
                share[name] = max(1, int(limit.read()) // 2)
        except (OSError, ValueError):
            pass
    return share


def shared_user_namespace() -> int | None:
    """A descriptor of this host's user namespace for its sandboxes, made on first use;
    None for root (each sandbox is charged to a uid of its own) or where it cannot be made
    (the sandbox's own start then says why user namespaces are refused)."""
    if os.getuid() == 0:
        return None
    with _making:
        fd = _held.get(os.getpid())  # a forked host makes its own
        if fd is None:
            fd = _make()
            if fd is None:
                return None
            _held[os.getpid()] = fd
        return fd


def _make() -> int | None:
    command = [sys.executable, "-S", "-c", _HOLDER, str(os.getuid()), str(os.getgid()),
               json.dumps(host_share())]
    try:
        holder = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, cwd="/")
    except OSError:
        return None
    with holder:
        try:
            if holder.stdout.readline() != b"ready\n":
                return None
            return os.open(f"/proc/{holder.pid}/ns/user", os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            return None
        finally:
            holder.stdin.close()
