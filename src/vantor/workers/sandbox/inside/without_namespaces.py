"""Confinement where no namespace can be had: a root host under a container's default seccomp
profile (Docker's refuses ``unshare`` to a container without CAP_SYS_ADMIN).

Each namespace's threats are then stopped by layers a container leaves:

* the sandbox runs as a host uid of its own (claimed as for a user namespace)
  with every capability dropped (bounding set included) and no_new_privs: the
  kernel refuses it the host's processes (``/proc/<pid>/environ``, signals,
  ``ptrace``) and every file not open to all;
* Landlock keeps it to the interpreter's and the policy's paths, and to a
  private scratch directory instead of ``/tmp``; it grants no ``/proc`` at
  all (no view of the container's processes or kernel), as a container's
  masked ``/proc`` leaves the namespaced sandbox none either;
* the seccomp filter makes no IPv4 or IPv6 socket (the sandbox has no network:
  a policy with one needs a network namespace for its proxy), and no Unix one
  but by ``socketpair``;
* processes are bounded by RLIMIT_NPROC, which counts the processes of the
  sandbox's own uid, so of the sandbox alone; memory by RLIMIT_AS, the
  sandbox's processes first in line for the OOM killer; when the sandbox
  ends, every process of its uid is killed (what a PID namespace's end does).

A host that is not root has one uid, shared with its tools: it gets no such
mode, and the refusal says so.
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import tempfile
from typing import Any

from vantor.workers.sandbox.protections import Protections

#: Each namespace, what stands in for it here, and the layers that must be in force for that.
REPLACEMENTS: dict[str, tuple[str, tuple[str, ...]]] = {
    "user_namespace": ("the sandbox's own host uid with no capabilities",
                       ("own_host_uid", "no_capabilities")),
    "pid_namespace": (("the sandbox's own host uid (no other uid's processes can be read, "
                       "signalled or traced; all of its own are killed with the sandbox), no "
                       "/proc (Landlock)"), ("own_host_uid", "landlock_filesystem", "seccomp")),
    "mount_namespace": ("Landlock's file rules and a private scratch directory",
                        ("landlock_filesystem",)),
    "ipc_namespace": ("the sandbox's own host uid (IPC objects are checked by owner)",
                      ("own_host_uid",)),
    "uts_namespace": ("no capabilities (the host name cannot be changed)", ("no_capabilities",)),
    "network_namespace": ("seccomp: no IPv4, IPv6 or Unix socket", ("seccomp",)),
}

#: Written to /proc/self/oom_score_adj: the sandbox goes first when memory runs out.
OOM_SCORE_ADJ = 1000


def applies(config: dict[str, Any], failure: str) -> bool:
    """Whether the sandbox may go on without namespaces: a root host holding a uid of the
    sandbox's own, no network to proxy, and namespaces refused (not merely failing)."""
    return (config["host_uid"] == 0 and bool(config.get("slot_uid"))
            and not config["network"] and "Operation not permitted" in failure)


def replace(protections: Protections, name: str, reason: str) -> None:
    """Record namespace ``name`` as replaced; :func:`check_replacements` verifies it at the end."""
    substitute, _ = REPLACEMENTS[name]
    protections.state[name] = f"replaced by {substitute} (missing: {reason})"


def check_replacements(protections: Protections) -> None:
    """Every replaced namespace's layers must be in force; a namespace whose are not is missing."""
    for name, (_, layers) in REPLACEMENTS.items():
        if not protections.state.get(name, "").startswith("replaced by "):
            continue
        lacking = [layer for layer in layers if not protections.holds(layer)]
        if lacking:
            reason = protections.state[name].rpartition("(missing: ")[2].rstrip(")")
            protections.lack(name, f"{reason}; nothing stands in for it without "
                             f"{', '.join(lacking)}")


def scratch_directory(uid: int, gid: int) -> str:
    """A directory of the sandbox's own in place of its private ``/tmp``, made by the
    supervisor (root) and given to the sandbox's uid."""
    path = tempfile.mkdtemp(prefix="vantor-sandbox-")
    os.chown(path, uid, gid)
    os.chmod(path, 0o700)
    return path


def remove_scratch(path: str) -> None:
    shutil.rmtree(path, ignore_errors=True)  # never follows a link the tool left


def kill_every_process_of(uid: int) -> None:
    """Kill every process running as ``uid`` (the sandbox's own): from a child that takes that
    uid, ``kill(-1)`` reaches exactly the processes it may signal, those of its uid."""
    pid = os.fork()
    if pid == 0:
        try:
            os.setresgid(65534, 65534, 65534)
            os.setresuid(uid, uid, uid)
            os.kill(-1, signal.SIGKILL)
        except OSError:
            pass
        os._exit(0)
    os.waitpid(pid, 0)


def without_ip(families: tuple[tuple[int, ...], tuple[int, ...]]
               ) -> tuple[tuple[int, ...], tuple[int, ...]]:
    """The seccomp filter's socket families less IPv4 and IPv6: without a network namespace
    those would reach the container's network."""
    made, paired = families
    return tuple(f for f in made if f not in (socket.AF_INET, socket.AF_INET6)), paired


def first_for_the_oom_killer() -> None:
    """Make this process (and what it starts) the first the OOM killer picks."""
    try:
        with open("/proc/self/oom_score_adj", "w") as score:
            score.write(str(OOM_SCORE_ADJ))
    except OSError:
        pass
