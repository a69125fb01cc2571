"""What a sandbox asks of the kernel besides its file system: bounds on the
kernel's per-user accounts, which sockets its seccomp filter lets it make,
and the proxy's listener on its loopback.

The supervisor creates the sandbox's user namespace with the host's
identity, so whatever the kernel counts per user (inotify instances,
fanotify groups, queued signals, message-queue bytes, namespaces) is charged
to the host's user as well as to the sandbox: without bounds of its own, one
sandbox could use up the host user's share and leave its other processes
without any.  Many sandboxes together are bounded by the user namespace a host
that is not root makes for all of them (:mod:`vantor.workers.sandbox.host.accounts`).
"""

from __future__ import annotations

import fcntl
import os
import resource
import socket
import struct

# Per-user-namespace limits, set inside the sandbox's own user namespace
# (its values do not touch the host's).  The namespaces are all made before
# these are set: none may be made inside.
USER_NAMESPACE_LIMITS = {
    "max_inotify_instances": 16,
    "max_inotify_watches": 8192,
    "max_fanotify_groups": 0,
    "max_fanotify_marks": 0,
    "max_cgroup_namespaces": 0,
    "max_ipc_namespaces": 0,
    "max_mnt_namespaces": 0,
    "max_net_namespaces": 0,
    "max_pid_namespaces": 0,
    "max_time_namespaces": 0,
    "max_user_namespaces": 0,
    "max_uts_namespaces": 0,
}

# Signals queued and bytes of POSIX message queues, per user; the latter
# leaves room for one queue of the kernel's default size (10 x 8 KiB).
RLIMITS = {resource.RLIMIT_SIGPENDING: 256, resource.RLIMIT_MSGQUEUE: 128 * 1024}

# Linux's address families: Unix, IPv4, IPv6, netlink.
_UNIX, _INET, _INET6, _NETLINK = 1, 2, 10, 16

# <linux/sockios.h> and <net/if.h>: an interface's flags, and "up".
_SIOCGIFFLAGS, _SIOCSIFFLAGS, _IFF_UP = 0x8913, 0x8914, 0x1
_IFREQ = "16sH22x"  # struct ifreq: the name, then ifr_flags in the union


def limit_kernel_accounts(in_user_namespace: bool) -> None:
    """Bound what this process and everything it starts may take of the per-user accounts.

    Call it in the sandbox's user namespace while the process still holds
    that namespace's capabilities (CAP_SYS_RESOURCE opens its limits to
    writing).  Outside a user namespace only the rlimits are set: the
    limits under ``/proc/sys/user`` would then be the host's own.
    """
    for kind, value in RLIMITS.items():
        soft, hard = resource.getrlimit(kind)
        bound = value if hard == resource.RLIM_INFINITY else min(value, hard)
        resource.setrlimit(kind, (bound, bound))
    if not in_user_namespace:
        return
    for name, value in USER_NAMESPACE_LIMITS.items():
        path = os.path.join("/proc/sys/user", name)
        if os.path.exists(path):  # older kernels lack some
            with open(path, "w") as limit:
                limit.write(str(value))


def socket_families() -> tuple[tuple[int, ...], tuple[int, ...]]:
    """The families ``socket`` and ``socketpair`` may make: (socket's, socketpair's).

    A Unix socket made by ``socket`` could connect to, or send to, a socket
    file of the host in any visible path: no Landlock right before ABI 9
    covers it, and a read-only mount does not stop it.  So only
    ``socketpair`` makes Unix sockets: its pair is connected already and
    reaches nothing else.  IP sockets reach only the sandbox's own network
    namespace, whose one interface is loopback: with a network, the proxy
    listens there.
    """
    return (_INET, _INET6, _NETLINK), (_UNIX,)


def loopback_listener(port: int) -> int:
    """Bring up this network namespace's loopback and listen on ``127.0.0.1:port``.

    Call it in a new network namespace, with its capabilities; returns the
    listening socket's descriptor.
    """
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as control:
        request = struct.pack(_IFREQ, b"lo", 0)
        _, flags = struct.unpack(_IFREQ, fcntl.ioctl(control, _SIOCGIFFLAGS, request))
        fcntl.ioctl(control, _SIOCSIFFLAGS, struct.pack(_IFREQ, b"lo", flags | _IFF_UP))
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        listener.bind(("127.0.0.1", port))
        listener.listen(128)
    except OSError:
        listener.close()
        raise
    return listener.detach()
