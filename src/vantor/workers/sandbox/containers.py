"""A host inside a container: which engine runs it, the engine's flags that lift what blocks the
sandbox, and the seccomp profile that lets the sandbox set itself up.

The engines' default seccomp profiles refuse some of the calls that build the
sandbox (Docker's: ``unshare``, ``mount``, ``pivot_root``... without
CAP_SYS_ADMIN; Podman's: ``sethostname``).  :func:`seccomp_profile` takes an
engine's own default profile and adds exactly those calls: the sandbox's own
filter, installed before any tool runs, refuses them all again.
"""

from __future__ import annotations

import functools
import json
import os
import platform
from collections.abc import Mapping
from typing import Any

from vantor.workers.sandbox.protections import CGROUP_PARENT_HINT

#: The system calls each function of the native module makes, by function.
#: tests/test_containers.py checks this table against the C++ sources.
NATIVE_CALLS: dict[str, tuple[str, ...]] = {
    "unshare": ("unshare",),
    "set_host_name": ("sethostname",),
    "set_parent_death_signal": ("prctl",),
    "set_dumpable": ("prctl",),
    "mount": ("mount",),
    "umount": ("umount2",),
    "pivot_root": ("pivot_root",),
    "open_tree": ("open_tree",),
    "move_mount": ("move_mount",),
    "mount_setattr": ("mount_setattr",),
    "drop_capabilities": ("prctl", "capget", "capset"),
    "drop_bounding_set": ("prctl",),
    "capabilities": ("prctl", "capget"),
    "landlock_abi": ("landlock_create_ruleset",),
    "landlock_restrict": ("landlock_create_ruleset", "landlock_add_rule",
                          "landlock_restrict_self", "prctl", "openat"),
    "install_seccomp_filter": ("seccomp", "prctl"),
    "set_child_subreaper": ("prctl",),
    "populate_after_fork": ("madvise",),
    "start_memory_keeper": ("mmap", "munmap", "rt_sigprocmask", "getpid", "clone", "close_range",
                            "prctl", "getppid", "exit", "ppoll"),
    "enter_namespace": ("setns",),
    "remove_ipc_objects": ("shmctl", "semctl", "msgctl", "mq_unlink"),
    "keep_settings_to_oneself": ("seccomp",),
}

#: What the sandbox's Python side calls besides (``os``): identity, processes, descriptors.
PYTHON_CALLS: tuple[str, ...] = (
    "setresuid", "setresgid", "setgroups", "clone", "wait4", "pipe2", "socketpair", "sendmsg",
    "recvmsg", "setrlimit", "prlimit64", "openat", "write", "read", "close", "chdir", "mkdir",
    "symlink", "execve", "kill", "poll", "flock", "fstat", "newfstatat",
)

#: Where Debian's packages put each engine's default profile: Podman's comes with
#: containers-common; Docker's is built into dockerd, its file ships in
#: golang-github-docker-docker-dev.
DEFAULT_PROFILES: dict[str, tuple[str, str]] = {
    "podman": ("/usr/share/containers/seccomp.json", "containers-common"),
    "docker": ("/usr/share/gocode/src/github.com/docker/docker/profiles/seccomp/default.json",
               "golang-github-docker-docker-dev"),
}
#: Environment variables naming another copy of an engine's default profile.
PROFILE_VARIABLES = {"docker": "VANTOR_DOCKER_SECCOMP_PROFILE",
                     "podman": "VANTOR_PODMAN_SECCOMP_PROFILE"}

# libseccomp's architecture names, as the engines' profiles use them.
_ARCHES = {"x86_64": "amd64", "aarch64": "arm64", "ppc64le": "ppc64le", "s390x": "s390x"}


def sandbox_calls() -> tuple[str, ...]:
    """Every system call the sandbox's set-up makes, from the tables above."""
    calls = {call for made in NATIVE_CALLS.values() for call in made}
    return tuple(sorted(calls | set(PYTHON_CALLS)))


def unconditionally_allowed(profile: Mapping[str, Any], arch: str | None = None) -> set[str]:
    """The calls ``profile`` allows whatever their arguments and the container's capabilities."""
    arch = arch or _ARCHES.get(platform.machine(), platform.machine())
    allowed: set[str] = set()
    for rule in profile.get("syscalls", ()):
        includes, excludes = rule.get("includes") or {}, rule.get("excludes") or {}
        if rule.get("action") != "SCMP_ACT_ALLOW" or rule.get("args") or includes.get("caps"):
            continue
        if "arches" in includes and arch not in includes["arches"]:
            continue
        # A rule that excludes capabilities applies to a container without them.
        if arch in excludes.get("arches", ()):
            continue
        allowed.update(rule.get("names", ()))
    return allowed


def allowed_by_arguments(profile: Mapping[str, Any]) -> set[str]:
    """The calls ``profile`` allows for some arguments, to any container: the set-up's uses
    are among them (``clone`` without namespace flags, as ``fork`` makes it)."""
    return {name for rule in profile.get("syscalls", ())
            if rule.get("action") == "SCMP_ACT_ALLOW" and rule.get("args")
            and not (rule.get("includes") or {}).get("caps")
            for name in rule.get("names", ())}


def missing_calls(profile: Mapping[str, Any]) -> list[str]:
    """The sandbox's calls that ``profile`` refuses (to a container without CAP_SYS_ADMIN)."""
    allowed = unconditionally_allowed(profile) | allowed_by_arguments(profile)
    return sorted(set(sandbox_calls()) - allowed)


def seccomp_profile(base: Mapping[str, Any]) -> dict[str, Any]:
    """``base`` (an engine's default profile) with one more rule allowing the sandbox's calls,
    which no rule of ``base`` refuses any longer."""
    profile = json.loads(json.dumps(base))
    missing = missing_calls(profile)
    # A rule refusing one of them (Podman's, for a container without CAP_SYS_ADMIN)
    # would win over the allowing one: they leave it.
    rules = []
    for rule in profile.get("syscalls", ()):
        if rule.get("action") != "SCMP_ACT_ALLOW":
            rule["names"] = [name for name in rule.get("names", ()) if name not in missing]
            if not rule["names"]:
                continue
        rules.append(rule)
    profile["syscalls"] = rules
    if missing:
        profile.setdefault("syscalls", []).append({
            "names": missing, "action": "SCMP_ACT_ALLOW", "args": [],
            "comment": "vantor.workers: the sandbox's set-up; its own filter refuses them "
                       "to tools", "includes": {}, "excludes": {}})
    return profile


def default_profile(engine: str, path: str | None = None) -> dict[str, Any]:
    """The engine's default profile, from ``path``, the engine's variable or Debian's package."""
    where, package = DEFAULT_PROFILES[engine]
    path = path or os.environ.get(PROFILE_VARIABLES[engine]) or where
    try:
        with open(path) as file:
            return json.load(file)
    except OSError as error:
        raise FileNotFoundError(
            f"{engine}'s default seccomp profile is not at {path} ({error.strerror}): install "
            f"Debian's {package} or give the file with --base") from None


# -- where the host runs ------------------------------------------------------------

@functools.lru_cache(maxsize=1)
def container_engine() -> str | None:
    """The engine running this process's container ("docker", "podman", "kubernetes",
    "container" for another), or None on a bare host.  Kept once found: the sandbox's
    init asks again after it has left the container's root."""
    if os.environ.get("KUBERNETES_SERVICE_HOST"):
        return "kubernetes"
    if os.path.exists("/run/.containerenv"):
        return "podman"
    if os.path.exists("/.dockerenv"):
        return "docker"
    try:
        with open("/proc/1/cgroup") as cgroups:
            text = cgroups.read()
    except OSError:
        text = ""
    for marker, engine in (("kubepods", "kubernetes"), ("libpod", "podman"),
                           ("docker", "docker")):
        if marker in text:
            return engine
    if os.environ.get("container"):
        return "container"
    return None


def under_seccomp_filter() -> bool:
    """Whether this process runs under a seccomp filter (a container's profile, say)."""
    try:
        with open("/proc/self/status") as status:
            return any(line.split() == ["Seccomp:", "2"] for line in status)
    except OSError:
        return False


def seccomp_remedy(engine: str | None = None) -> str:
    """How to let the sandbox make its namespaces under a container's seccomp profile."""
    engine = engine or container_engine()
    if engine in ("docker", "podman"):
        return (f"The container's seccomp profile refuses the calls that build the sandbox: "
                f"run it with --security-opt seccomp=PROFILE, PROFILE written by "
                f"'vantor-workers seccomp-profile --engine {engine}' (its default profile "
                f"and the sandbox's calls)")
    if engine == "kubernetes":
        return ("The pod's seccomp profile refuses the calls that build the sandbox: give "
                "the container securityContext.seccompProfile {type: Localhost, "
                "localhostProfile: PROFILE}, PROFILE written on each node by "
                "'vantor-workers seccomp-profile --engine docker' (or podman)")
    return ("This process runs under a seccomp filter that refuses them (a container's "
            "default profile): run the container with a profile that allows "
            "unshare(CLONE_NEWUSER), or with its own user namespace")


def masked_proc_remedy(engine: str | None = None) -> str:
    """How to give the sandbox a ``/proc`` of its own under a container's masked one."""
    engine = engine or container_engine()
    flags = {"docker": "--security-opt systempaths=unconfined",
             "podman": "--security-opt unmask=/proc/*",
             "kubernetes": "securityContext.procMount: Unmasked (with hostUsers: false)"}
    return (f"the container masks paths of its /proc, over which no fresh one may be mounted: "
            f"for one, run it with {flags.get(engine, 'its /proc unmasked')}")


def cgroup_remedy(engine: str | None = None) -> str:
    """How a host in a container gets cgroups of its own: they are made outside and bound in."""
    engine = engine or container_engine()
    bind = ("-v /sys/fs/cgroup/memory/DIR:/cgroup/memory -v /sys/fs/cgroup/pids/DIR:"
            "/cgroup/pids -v /sys/fs/cgroup/cpuacct/DIR:/cgroup/cpuacct (cgroup v1; on v2 "
            "one directory)" if engine != "kubernetes" else "a hostPath volume")
    return (f"Inside a container /sys/fs/cgroup is read-only: on the container's host, make "
            f"a cgroup directory in each hierarchy and give it to the container's user "
            f"(chown), bind it in with {bind}, and name it in {CGROUP_PARENT_HINT}")


def container_memory_limit() -> int | None:
    """The memory limit of this container's own memory cgroup in bytes, or None when none is
    set or it cannot be read (engines mount the container's cgroup at ``/sys/fs/cgroup``)."""
    for path in ("/sys/fs/cgroup/memory/memory.limit_in_bytes", "/sys/fs/cgroup/memory.max"):
        try:
            with open(path) as limit:
                text = limit.read().strip()
        except OSError:
            continue
        # cgroup v1 writes "no limit" as the largest page-aligned count.
        if text == "max" or not text.isdigit() or int(text) >= 1 << 62:
            return None
        return int(text)
    return None


def memory_stand_in(limit: int | None) -> str:
    """How a sandbox in a container without a memory cgroup of its own is bounded."""
    mib = 1 << 20
    bound = (f"its limit {limit // mib} MiB" if limit is not None else
             "which sets no limit of its own here")
    return (f"the container's memory cgroup ({bound}; the sandbox first in line for the OOM "
            f"killer: oom_score_adj 1000) and RLIMIT_AS per process")


#: What bounds the sandbox's processes in a container without a pids cgroup of its own.
PROCESS_STAND_IN = "RLIMIT_NPROC per sandbox uid and the container's pids cgroup"
