"""The sandbox policy for worker processes.

A worker runs code that a model wrote a moment ago, so by default it runs
sandboxed: :class:`Sandbox` says what such code may reach, and every client
(:class:`~vantor.workers.client.Worker`, the pools, the asyncio clients)
applies it unless given ``sandbox=None``.

Inside the sandbox the worker sees only the interpreter, the installed
packages, the system's libraries and programs, and the paths the policy
lists; it has a private ``/tmp`` (its ``TMPDIR`` and ``HOME``), a network
namespace of its own (no network, or only the destinations the policy names,
through the host's proxy), no capabilities, a cleared environment, and
limits on memory, processes, file sizes, open files and CPU time.  Each
protection comes from a kernel facility:

==================== =====================================================
protection           kernel facility
==================== =====================================================
user_namespace       own user namespace; the worker is uid 65534 (nobody),
                     mapped to a host uid of the sandbox's own when the
                     host is root (see own_host_uid), else to the host's
                     own user
no_capabilities      every capability dropped, bounding set emptied,
                     no_new_privs set
pid_namespace        own PID namespace with a fresh ``/proc``: no other
                     process is visible, and everything a tool starts dies
                     with the worker
mount_namespace      a new root holding only the allowed paths, read-only
                     except ``/tmp``, ``/dev/shm`` and ``write``
ipc_namespace        own System V IPC and POSIX message queues
uts_namespace        own host name
network_namespace    own network namespace, whose only interface is
                     loopback: with ``network=False`` nothing listens on
                     it; otherwise the host's proxy does (see
                     ``docs/network.md``), and is the only way out
landlock_filesystem  Landlock: reads only below the new root, writes only
                     to the writable paths
landlock_network     Landlock: no TCP bind, and TCP connect only to the
                     proxy's port (none when ``network=False``)
landlock_scopes      Landlock: no signals to, and no abstract Unix socket
                     connections with, processes outside the sandbox
seccomp              a seccomp allow-list of the calls the interpreter,
                     its standard library, threads, subprocesses and
                     native packages use; every other call (io_uring, any
                     call a later kernel adds) answers ENOSYS, and those
                     with a record of escapes (ptrace, process_vm_*,
                     namespace and mount calls, keyrings, bpf, TIOCSTI)
                     EPERM; sockets only Unix, IP and netlink
memory_limit         a memory cgroup, swap included (memory)
process_limit        a pids cgroup (processes; threads count)
cpu_limit            a CPU accounting cgroup read by the supervisor, which
                     ends the sandbox at ``cpu_seconds`` (all processes
                     together)
rlimits              file_size, open_files, cpu_seconds per process (a
                     backstop), no core files
own_host_uid         a host uid per sandbox (root hosts; from root's range
                     in /etc/subuid, else 2100000000 on), so siblings do
                     not share the kernel's per-user limits: descriptors in
                     flight, pipe buffers, what the namespace's creator is
                     charged
==================== =====================================================

The three Landlock layers and ``own_host_uid`` add depth to layers that stop the same threats on
their own (:data:`ADDED_WHERE_AVAILABLE`): by default they are applied where
the kernel has them, and where it does not they are reported as ``"not
available on this kernel (covered by ...)"``; ``require`` makes them required.
Where the machine cannot provide a required protection, starting the worker
fails with :class:`~vantor.workers.client.WorkerStartError` naming it and the
remedy; list it in ``allow_missing`` to run without it (a missing cgroup is
then partly made up for by an rlimit, and reported as such).
:attr:`Worker.protections <vantor.workers.client.Worker.protections>` and
:func:`probe` report each protection as ``"in force"``, ``"not required"``,
not available (covered by ...), replaced by an rlimit, or ``"missing: ..."``.
``python -m vantor.workers.sandbox`` prints that report, and
:attr:`Worker.bound <vantor.workers.client.Worker.bound>` lists the host
paths the sandbox shows besides the policy's.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vantor.workers.network.relay import ProxyLimits
    from vantor.workers.probe import probe
    from vantor.workers.sandbox.policy import DEFAULT_SANDBOX, Sandbox
    from vantor.workers.sandbox.protections import ADDED_WHERE_AVAILABLE, BROUGHT_BY, PROTECTIONS

__all__ = ["PROTECTIONS", "ADDED_WHERE_AVAILABLE", "BROUGHT_BY", "Sandbox", "DEFAULT_SANDBOX",
           "ProxyLimits", "probe"]

# Where each public name lives.  They load on first use: the supervisor,
# which runs inside the sandbox, imports this package's modules but needs
# neither the policy nor the proxy's limits (nor asyncio, which they bring)
# on every sandbox's start; and the probe starts a worker, so it sits above
# the clients, which import this package.
_HOMES = {"PROTECTIONS": "vantor.workers.sandbox.protections",
          "ADDED_WHERE_AVAILABLE": "vantor.workers.sandbox.protections",
          "BROUGHT_BY": "vantor.workers.sandbox.protections",
          "Sandbox": "vantor.workers.sandbox.policy",
          "DEFAULT_SANDBOX": "vantor.workers.sandbox.policy",
          "ProxyLimits": "vantor.workers.network.relay",
          "probe": "vantor.workers.probe"}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
