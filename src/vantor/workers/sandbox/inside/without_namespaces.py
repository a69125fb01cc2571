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
    uid, ``kill(-1)`` reaches exactly the processes it may signal, those of its uid.  The
    kernel holds off forks while it signals them all; a second round makes sure."""
    pid = os.fork()
    if pid == 0:
        try:
            os.setresgid(65534, 65534, 65534)
            os.setresuid(uid, uid, uid)
            for _ in range(3):
                os.kill(-1, signal.SIGKILL)
        except OSError:
            pass  # ESRCH: none left
        os._exit(0)
    os.waitpid(pid, 0)


def start_guard(uid: int, scratch: str, keep: tuple[int, ...]) -> int:
    """Start the process that ends the sandbox however its supervisor ends, SIGKILL
    included: once the returned descriptor (the supervisor's alone; close it in every
    child) is closed, it kills every process of ``uid`` and removes ``scratch``.

    It keeps ``keep`` (the claim of the uid) open until then, so no next sandbox takes
    the uid before the last one's processes are gone; it runs in a session of its own, out
    of reach of a kill of the supervisor's process group, and holds nothing of the host's
    (its pipes end when the supervisor does)."""
    lifeline_r, lifeline_w = os.pipe()
    pid = os.fork()
    if pid != 0:
        os.close(lifeline_r)
        os.set_inheritable(lifeline_w, False)
        return lifeline_w
    try:
        os.setsid()
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        kept = sorted({lifeline_r, *keep})
        low = 3
        for fd in kept:
            os.closerange(low, fd)
            low = fd + 1
        os.closerange(low, os.sysconf("SC_OPEN_MAX"))
        while os.read(lifeline_r, 1):
            pass
        kill_every_process_of(uid)
        remove_scratch(scratch)
    finally:
        os._exit(0)


def without_ip(families: tuple[tuple[int, ...], tuple[int, ...]]
               ) -> tuple[tuple[int, ...], tuple[int, ...]]:
    """The seccomp filter's socket families less IPv4 and IPv6: without a network namespace
    those would reach the container's network."""
    made, paired = families
    return tuple(f for f in made if f not in (socket.AF_INET, socket.AF_INET6)), paired


def open_oom_score() -> int:
    """This process's ``oom_score_adj``, opened while its identity still owns the file (a
    change of uid makes it root's); -1 where it cannot be."""
    try:
        return os.open("/proc/self/oom_score_adj", os.O_RDWR | os.O_CLOEXEC)
    except OSError:
        return -1


def fork_first_for_the_oom_killer(score: int) -> tuple[int, bool]:
    """Fork a child that (with everything it starts) is the first the OOM killer picks,
    through ``score`` (:func:`open_oom_score`): this process takes the score for the fork
    and then its own back, as it must not be picked in the child's place.  Raising needs no
    privilege; lowering again needs /proc, which Landlock leaves the tool read-only or not
    at all.  Returns fork's result and whether the child is first."""
    try:
        own = os.pread(score, 16, 0)
        os.pwrite(score, str(OOM_SCORE_ADJ).encode(), 0)
    except OSError:
        return os.fork(), False
    pid = os.fork()
    if pid != 0:
        try:
            os.pwrite(score, own, 0)
        except OSError:
            pass  # the supervisor goes first with it: the sandbox ends with it all the same
    return pid, True
