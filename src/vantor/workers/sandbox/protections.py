"""The protections a sandbox applies: their names, which ones a policy needs, and their report.

Each threat of the README's table is stopped by at least one layer on its
own; some layers only add depth to another.  By default every layer that
stops a threat on its own is required, and the layers that add depth are
applied where the kernel has them: where it does not, and the layers
covering theirs are in force, they are reported as not available (covered by
those), never as in force and never as a failure.  A policy may require them
too (``Sandbox(require=...)``).
"""

from __future__ import annotations

import errno
from dataclasses import dataclass
from typing import Any

#: Every protection a sandbox can apply, by the name used in reports and policies.
PROTECTIONS: tuple[str, ...] = (
    "user_namespace", "no_capabilities", "pid_namespace", "mount_namespace", "ipc_namespace",
    "uts_namespace", "network_namespace", "landlock_filesystem", "landlock_network",
    "landlock_scopes", "seccomp", "memory_limit", "process_limit", "cpu_limit", "rlimits", "own_host_uid")

#: Layers added where the kernel has them, with the layers that stop the same
#: threats on their own.  Landlock's file rules back the new root (mount
#: namespace) and the sandbox's uid; its TCP rules (no bind, connect only to the
#: proxy's port) back the network namespace whose loopback holds at most the
#: proxy's listener; its scopes (signals, abstract Unix sockets) back the PID
#: and network namespaces.
ADDED_WHERE_AVAILABLE: dict[str, tuple[str, ...]] = {
    "landlock_filesystem": ("mount_namespace", "user_namespace"),
    "landlock_network": ("network_namespace",),
    "landlock_scopes": ("pid_namespace", "network_namespace"),
    # The kernel's per-user limits (descriptors in flight, pipe buffers) that
    # siblings sharing one host uid share; each process's rlimits bound its part.
    "own_host_uid": ("rlimits",),
}

#: The cgroups that, in a container, the container's own and the rlimits may stand in for.
CONTAINER_STANDS_IN: tuple[str, ...] = ("memory_limit", "process_limit")

#: The kernel that brings each layer that not every supported kernel has.
BROUGHT_BY: dict[str, str] = {
    "landlock_filesystem": "Linux 5.13 with Landlock enabled at boot (lsm=...,landlock)",
    "landlock_network": "Linux 6.7 (Landlock ABI 4)",
    "landlock_scopes": "Linux 6.12 (Landlock ABI 6)",
    "own_host_uid": ("a host running as root (a host of another user has one uid; it would "
                     "need newuidmap and a subordinate uid range, not used yet)"),
}

IN_FORCE = "in force"
NOT_REQUIRED = "not required"


class SetupError(Exception):
    """The sandbox cannot be set up; ``missing`` names the protections at fault."""

    def __init__(self, message: str, missing: tuple[str, ...] = ()):
        super().__init__(message)
        self.missing = missing


def refusal(names: str | list[str], reason: str, remedy: str = "",
            allowable: bool = True) -> str:
    """The message of a start refused for want of ``names``: what, why, and the way out."""
    names = [names] if isinstance(names, str) else names
    are = "is" if len(names) == 1 else "are"
    message = (f"the sandbox cannot be set up on this machine: {', '.join(names)} {are} "
               f"missing ({reason}).")
    if remedy:
        message += f" {remedy}."
    if allowable:
        listed = ", ".join(repr(name) for name in names)
        message += f" To run without, list {listed} in {ALLOW_MISSING_HINT}"
    else:
        message += " It cannot be done without"
    return message + f"; or {UNSANDBOXED_HINT}"


@dataclass(frozen=True)
class Blocker:
    """A protection the policy needs that this machine lacks: why, and the way out."""

    name: str
    reason: str
    remedy: str = ""
    allowable: bool = True


#: How a refusal tells the Python API's caller to go without; a front end
#: with flags of its own (the MCP server) swaps in its own words.
ALLOW_MISSING_HINT = "Sandbox(allow_missing=...)"
UNSANDBOXED_HINT = "pass sandbox=None to run unsandboxed"
CGROUP_PARENT_HINT = "Sandbox(cgroup_parent=...)"


def refusal_of_all(blockers: list[Blocker]) -> str:
    """One message naming every blocker at once, each with its reason, then each remedy once."""
    by_reason: dict[str, list[str]] = {}
    for blocker in blockers:
        by_reason.setdefault(blocker.reason, []).append(blocker.name)
    parts = []
    for reason, names in by_reason.items():
        are = "is" if len(names) == 1 else "are"
        parts.append(f"{', '.join(names)} {are} missing ({reason})")
    message = "the sandbox cannot be set up on this machine: " + "; ".join(parts) + "."
    remedies = [blocker.remedy for blocker in blockers if blocker.remedy]
    for remedy in dict.fromkeys(remedies):
        message += f" {remedy}."
    allowable = [blocker.name for blocker in blockers if blocker.allowable]
    fixed = [blocker.name for blocker in blockers if not blocker.allowable]
    if fixed:
        message += f" {', '.join(dict.fromkeys(fixed))} cannot be done without."
    if allowable:
        others = " the others" if fixed else ""
        listed = ", ".join(repr(name) for name in dict.fromkeys(allowable))
        message += f" To run without{others}, list {listed} in {ALLOW_MISSING_HINT}"
    return message + (f"; or {UNSANDBOXED_HINT}" if allowable else
                      f" Or {UNSANDBOXED_HINT}")


class Protections:
    """What is in force so far, and whether a missing protection may be done without."""

    def __init__(self, allowed: list[str], required: list[str] = ()):
        self.state: dict[str, str] = {}
        self.allowed = set(allowed)
        self.required = set(required)
        self.step = ("starting", "")
        self.deferring = False
        self.blockers: list[Blocker] = []

    def at(self, step: str, protection: str = "") -> None:
        """Name the step under way, and the protection it belongs to, for a failure's report."""
        self.step = (step, protection)

    def failure(self, error: BaseException) -> dict[str, Any]:
        """The report of a start that failed with ``error`` during the current step."""
        missing = getattr(error, "missing", ())
        message = str(error)
        if self.blockers:
            # What failed after a blocker was found most likely followed from it.
            return {"ready": False, "error": refusal_of_all(self.blockers),
                    "missing": list(dict.fromkeys(b.name for b in self.blockers)),
                    "protections": self.state}
        if not isinstance(error, SetupError):
            step, protection = self.step
            missing = (protection,) if protection else ()
            belongs = f" ({protection})" if protection else ""
            message = f"the sandbox could not be set up: {step}{belongs} failed: {error}"
            if isinstance(error, OSError) and error.errno in (errno.EPERM, errno.ENOSYS):
                from vantor.workers.sandbox.containers import seccomp_remedy, under_seccomp_filter

                if under_seccomp_filter():
                    message += f". {seccomp_remedy()}"
        return {"ready": False, "error": message, "missing": list(missing),
                "protections": self.state}

    def have(self, name: str, note: str = "") -> None:
        """``name`` is in force; ``note`` says what differs from the usual (a host name
        the container kept, a ``/proc`` left out)."""
        self.state[name] = f"{IN_FORCE} ({note})" if note else IN_FORCE

    def skip(self, name: str) -> None:
        self.state[name] = NOT_REQUIRED

    def lack(self, name: str, reason: str, remedy: str = "", allowable: bool = True) -> None:
        """Record ``name`` as missing; fails unless the policy allows it.

        While deferring, the start goes on to find the other blockers, and
        :meth:`check` fails naming them all."""
        self.state[name] = f"missing: {reason}"
        if name not in self.allowed or not allowable:
            if not self.deferring:
                raise SetupError(refusal(name, reason, remedy, allowable), (name,))
            self.blockers.append(Blocker(name, reason, remedy, allowable))

    def check(self) -> None:
        """Fail, naming every blocker found so far, if there is one."""
        if self.blockers:
            raise SetupError(refusal_of_all(self.blockers),
                             tuple(dict.fromkeys(b.name for b in self.blockers)))

    def unavailable(self, name: str, reason: str, where: str = "on this kernel") -> None:
        """A layer this kernel (or host) lacks: covered by others unless the policy requires it."""
        layers = ADDED_WHERE_AVAILABLE[name]
        # A layer the policy does not ask for leaves nothing to cover.
        covered = all(self.holds(layer) or self.state.get(layer) == NOT_REQUIRED
                      for layer in layers)
        if name in self.required or not covered:
            self.lack(name, reason, f"It comes with {BROUGHT_BY[name]}")
            return
        covering = ", ".join(layer for layer in layers if self.holds(layer))
        self.state[name] = f"not available {where} (covered by {covering})"

    def replace(self, name: str, substitute: str) -> None:
        """A missing protection the policy allowed, partly made up for by ``substitute``."""
        reason = self.state.get(name, "missing: ?").partition(": ")[2]
        self.state[name] = f"{substitute} instead ({reason})"

    def holds(self, name: str) -> bool:
        return self.state.get(name, "").startswith(IN_FORCE)
