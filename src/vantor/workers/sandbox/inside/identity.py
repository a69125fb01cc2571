"""The supervisor's way into the sandbox's user and PID namespaces, and the sandbox's identity.

A process that has entered a new PID namespace cannot fork again once the
first child it forked there (the namespace's init) has exited: the kernel
answers ENOMEM.  And a process that has entered a user namespace it cannot
map is left without any identity there.  So whatever may fail is tried first
in a fresh child, and the supervisor itself only enters namespaces that a
child has shown it can enter; each failure names the call that failed.

A root host gives each sandbox a host uid of its own, which then owns the
sandbox's user namespace.  Inside a container that uid may be unmapped (a
rootless engine's user namespace: ``setresuid`` answers EINVAL), or root may
lack CAP_SYS_ADMIN over a namespace another uid owns (Docker: writing its
``uid_map`` answers EPERM).  The sandbox then falls back to a namespace
owned by the host's uid, and ``own_host_uid`` is reported as not available
with the reason.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from typing import Any

from vantor.workers import _containment as native
from vantor.workers.sandbox.containers import seccomp_remedy, under_seccomp_filter
from vantor.workers.sandbox.inside import without_namespaces
from vantor.workers.sandbox.protections import Protections, SetupError

SANDBOX_UID = SANDBOX_GID = 65534


def describe(error: BaseException) -> str:
    """An error's text, naming the call that failed (the native calls' errors already do)."""
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def in_fresh_child(action: Callable[[], None]) -> str | None:
    """Run ``action`` in a child forked for it; None if it succeeded, else why not."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            action()
            os._exit(0)
        except BaseException as error:  # the parent hears of it, whatever it is
            os.write(write_end, describe(error).encode()[:2000])
            os._exit(1)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as reader:
        said = reader.read().decode(errors="replace")
    _, status = os.waitpid(pid, 0)
    if os.waitstatus_to_exitcode(status) == 0:
        return None
    return said or f"the probe ended with status {status}"


def _write_file(path: str, text: str) -> None:
    try:
        with open(path, "w") as file:
            file.write(text)
    except OSError as error:
        raise OSError(error.errno, f"writing {path}: {error.strerror}") from None


def _map_identity(config: dict[str, Any], target: int, ready: int, told: int) -> None:
    """Run in a child of ``target``: once it has unshared, map the sandbox's user."""
    if os.read(ready, 1) != b"x":
        os._exit(1)
    try:
        slot = config.get("slot_uid") or SANDBOX_UID
        _write_file(f"/proc/{target}/uid_map", f"{SANDBOX_UID} {slot} 1")
        _write_file(f"/proc/{target}/gid_map", f"{SANDBOX_GID} {SANDBOX_GID} 1")
        os._exit(0)
    except OSError as error:
        os.write(told, describe(error).encode()[:2000])
        os._exit(1)


def _unshare_owned_by(slot: int | None, flags: int) -> None:
    """Unshare with the effective uid ``slot``, which then owns the new user namespace: the
    kernel charges what is made inside to that uid, not to root.  The real and saved uids
    stay root's, so the sandbox's processes (all ``slot``) cannot signal this one."""
    if slot is None:
        native.unshare(flags)
        return
    try:
        os.setresuid(-1, slot, -1)
    except OSError as error:
        raise OSError(error.errno, f"setresuid(-1, {slot}, -1): {error.strerror}") from None
    try:
        native.unshare(flags)
    except OSError:
        os.setresuid(-1, 0, -1)
        raise


def _enter_host_namespace(config: dict[str, Any]) -> None:
    """For a host that is not root, enter the user namespace that holds all of its
    sandboxes' (:mod:`vantor.workers.sandbox.host.accounts`), so that the sandbox's is
    made inside it and charged to its limits, half of the host's user's."""
    fd = config.pop("user_namespace_fd", None)
    if fd is None:
        return
    try:
        native.enter_namespace(fd, native.CLONE_NEWUSER)
    finally:
        os.close(fd)


def unshare_mapped(config: dict[str, Any], flags: int) -> None:
    """Enter new namespaces ``flags`` (a user namespace among them) and map the sandbox's user.

    An ``unshare`` that fails changes nothing (OSError); a mapping that fails
    after it leaves this process unusable (SetupError)."""
    if config["host_uid"] != 0:
        _enter_host_namespace(config)
        native.unshare(flags)
        try:
            _write_file("/proc/self/setgroups", "deny")
            _write_file("/proc/self/uid_map", f"{SANDBOX_UID} {config['host_uid']} 1")
            _write_file("/proc/self/gid_map", f"{SANDBOX_GID} {config['host_gid']} 1")
        except OSError as error:
            raise SetupError(f"the user namespace's identity could not be mapped: "
                             f"{describe(error)}", ("user_namespace",)) from None
        return
    ready, go = os.pipe()
    told_r, told_w = os.pipe()
    target = os.getpid()
    helper = os.fork()
    if helper == 0:
        os.close(go)
        os.close(told_r)
        _map_identity(config, target, ready, told_w)
    os.close(ready)
    os.close(told_w)
    try:
        _unshare_owned_by(config.get("slot_uid"), flags)
        os.write(go, b"x")
    finally:
        os.close(go)
        _, status = os.waitpid(helper, 0)
        with os.fdopen(told_r, "rb") as reader:
            said = reader.read().decode(errors="replace")
    if os.waitstatus_to_exitcode(status) != 0:
        raise SetupError(f"the user namespace's identity could not be mapped: "
                         f"{said or 'the mapping helper failed'}", ("user_namespace",))


def keep_own_uid_if_usable(config: dict[str, Any], held: int | None) -> int | None:
    """For a root host that claimed a host uid of the sandbox's own (``held``): whether that uid
    can own the sandbox's user namespace here, tried in a fresh child.  If not, the uid is
    let go and the sandbox's namespace will be owned by the host's uid; returns what still
    holds a claim."""
    if held is None:
        return None
    failure = in_fresh_child(lambda: unshare_mapped(config, native.CLONE_NEWUSER))
    if failure is None:
        config["owner_proven"] = True  # the supervisor may unshare without a probe of its own
        return held
    if failure.startswith("unshare:"):
        return held  # no user namespace at all: the uid is the sandbox's identity itself
    slot = config.pop("slot_uid")
    os.close(held)
    config["slot_missing"] = (f"the sandbox's host uid {slot} cannot own its user namespace "
                              f"here ({failure}); the namespace is owned by the host's uid")
    return None


def enter_user_and_pid_namespaces(config: dict[str, Any], protections: Protections) -> bool:
    """Unshare what can be had; returns whether a user namespace was entered."""
    both = native.CLONE_NEWUSER | native.CLONE_NEWPID
    # A host of another user maps itself, which the kernel always allows once the
    # unshare succeeded; root's helper was tried by keep_own_uid_if_usable, or is here.
    proven = config["host_uid"] != 0 or config.get("owner_proven")
    failure = None if proven else in_fresh_child(lambda: unshare_mapped(config, both))
    if failure is None:
        try:
            unshare_mapped(config, both)
            protections.have("user_namespace")
            protections.have("pid_namespace")
            return True
        except OSError as error:  # refused by unshare itself: nothing has changed
            failure = describe(error)
    user = in_fresh_child(lambda: unshare_mapped(config, native.CLONE_NEWUSER))
    pid = in_fresh_child(lambda: native.unshare(native.CLONE_NEWPID))
    if user is None:
        # Each works alone but not both together: keep the user namespace.
        protections.lack("pid_namespace", pid or failure)
        unshare_mapped(config, native.CLONE_NEWUSER)
        protections.have("user_namespace")
        return True
    if without_namespaces.applies(config, user):
        config["without_namespaces"] = True
        without_namespaces.replace(protections, "user_namespace", user)
        without_namespaces.replace(protections, "pid_namespace", pid or failure)
        return False
    # Only root can confine a worker without one: for anyone else it is the
    # way to every other protection.
    protections.lack("user_namespace", user, user_namespace_remedy(config["host_uid"]),
                     allowable=config["host_uid"] == 0)
    if pid is None:
        native.unshare(native.CLONE_NEWPID)
        protections.have("pid_namespace")
    else:
        protections.lack("pid_namespace", pid)
    return False


def _read_number(path: str) -> int | None:
    try:
        with open(path) as file:
            return int(file.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def user_namespace_remedy(host_uid: int) -> str:
    """What stands between this process and a user namespace, and how an administrator lifts it."""
    unprivileged = host_uid != 0  # what the first and third sysctl restrict
    if unprivileged and _read_number("/proc/sys/kernel/unprivileged_userns_clone") == 0:
        return "Allow them: sysctl -w kernel.unprivileged_userns_clone=1"
    if _read_number("/proc/sys/user/max_user_namespaces") == 0:
        return "Allow them: sysctl -w user.max_user_namespaces=15000"
    if unprivileged and _read_number(
            "/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == 1:
        return (f"AppArmor restricts them: give {sys.executable} an AppArmor profile "
                "with the 'userns,' rule, or sysctl -w "
                "kernel.apparmor_restrict_unprivileged_userns=0")
    if under_seccomp_filter():
        return seccomp_remedy()
    return "The kernel refuses them to this user: check user.max_user_namespaces and the LSMs"
