"""The sandbox policy: what a worker's code may reach, as the host states it.

:class:`Sandbox` is a value: it checks its settings when made and does
nothing else.  The host's mechanism that applies it is in
:mod:`vantor.workers.sandbox.host`; what runs confined, in
:mod:`vantor.workers.sandbox.inside`.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Iterable, Mapping
from typing import Any

from vantor.workers.network.policy import NetworkPolicy
from vantor.workers.network.relay import ProxyLimits
from vantor.workers.sandbox.protections import (
    ADDED_WHERE_AVAILABLE,
    CONTAINER_STANDS_IN,
    PROTECTIONS,
)

MiB = 1024 * 1024

#: The port of the proxy's listener on the loopback of every sandbox with a network.
PROXY_PORT = 3128

#: The user and group the worker runs as inside its sandbox.
SANDBOX_UID = 65534
SANDBOX_GID = 65534

# The environment every sandboxed worker gets, before the policy's own ``env``.
_BASE_ENV = {"LANG": "C.UTF-8", "HOME": "/tmp", "TMPDIR": "/tmp"}


def _paths(name: str, paths: Iterable[str | os.PathLike]) -> tuple[str, ...]:
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError(f"{name} must be a sequence of paths, not a single path")
    result = []
    for path in paths:
        text = os.fspath(path)
        if not isinstance(text, str):
            raise TypeError(f"{name} holds a path that is not text: {path!r}")
        result.append(os.path.normpath(os.path.abspath(text)))
    return tuple(dict.fromkeys(result))


def _limit(name: str, value: int | None) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1")
    return value


def _names(name: str, given: Iterable[str], known: tuple[str, ...],
           named_only: tuple[str, ...] = ()) -> frozenset[str]:
    """The protections ``given``; ``"all"`` is every one of ``known``, and ``named_only``
    are accepted only by name."""
    names = frozenset([given] if isinstance(given, str) else given)
    if "all" in names:
        return frozenset(known)
    unknown = sorted(names - set(known) - set(named_only))
    if unknown:
        raise ValueError(f"unknown protections in {name}: {', '.join(unknown)}")
    return names


def _cgroup_parent(parent: Any) -> str | tuple[tuple[str, str], ...] | None:
    if parent is None:
        return None
    if isinstance(parent, Mapping):
        unknown = sorted(set(parent) - {"memory", "pids", "cpuacct"})
        if unknown:
            raise ValueError(f"cgroup_parent names unknown controllers: {', '.join(unknown)}")
        return tuple(sorted((key, _paths("cgroup_parent", [value])[0])
                            for key, value in parent.items()))
    return _paths("cgroup_parent", [parent])[0]


class Sandbox:
    """An immutable sandbox policy for worker processes.

    Keyword arguments, with their defaults:

    ``read=()``
        Paths a tool may read (and run), in addition to what the interpreter,
        the installed packages and the system's programs need.  The host's
        working directory and home directory are not readable unless listed.
        Relative paths are taken from the host's working directory now.
    ``write=()``
        Paths a tool may read and write.  Every worker also gets a private,
        writable ``/tmp`` (its ``TMPDIR`` and ``HOME``) of ``tmp_size`` bytes,
        which disappears with the worker.  When the host runs as root the
        worker writes as a uid of the sandbox's own in group 65534, so these
        paths must be writable by that group (or by others); what it creates
        there is owned by that uid.
    ``network=False``
        False: no TCP, no UDP, no connection to any socket outside the
        sandbox.  Otherwise a list of destinations (``"api.example.org"``,
        ``"*.example.org"``, ``"example.org:8443"``, ``"10.0.0.5:5432"``)
        that the tool reaches through the host's proxy, which ``HTTP_PROXY``,
        ``HTTPS_PROXY`` and ``ALL_PROXY`` name; True: every public
        destination, still through the proxy.  The host's loopback and
        private networks are reached only when named by address.  The
        sandbox never shares the host's network namespace.
    ``network_limits=ProxyLimits()``
        What the sandbox may use of the proxy: connections at once, bytes
        each way, the connect and idle timeouts.
    ``memory=512 MiB``
        Memory of the worker and everything it starts, swap and ``/tmp``
        included; past it the kernel kills the worker (``WorkerDied`` says so).
    ``file_size=128 MiB``
        The largest file a tool may write.
    ``processes=256``
        Processes and threads of the worker and what it starts, together.
    ``open_files=1024``
        Open file descriptors per process.
    ``cpu_seconds=None``
        CPU time of the worker and everything it starts, together, over the
        worker's whole life (a pool worker serves many calls, so the per-call
        ``timeout`` is the usual bound; set this as a backstop).  Past it the
        sandbox ends (``WorkerDied`` says so).  None: no limit.
    ``tmp_size=256 MiB``
        Size of the private ``/tmp``.
    ``env={}``
        The only environment variables the worker gets besides ``PATH``,
        ``LANG`` (``C.UTF-8``), ``HOME`` and ``TMPDIR`` (``/tmp``), and with a
        network the proxy's variables (which ``env`` may override).  The
        host's environment is never passed on.  The sandbox's supervisor, which
        runs unconfined on the host, starts with them too, except
        ``PYTHONPATH`` and ``PYTHONPYCACHEPREFIX``, which only the confined
        worker takes on; never point the loader's variables (``LD_PRELOAD``,
        ``LD_LIBRARY_PATH``) or ``PYTHONHOME`` at a place a tool can write.
    ``allow_missing=()``
        Protections (names from :data:`PROTECTIONS`, or ``"all"``) the worker
        may run without where the machine cannot provide them.  Anything else
        missing makes the start fail with a ``WorkerStartError``.
    ``require=()``
        Layers (names from :data:`ADDED_WHERE_AVAILABLE`, or ``"all"``) to
        require although another layer covers their threat: by default they
        are applied where the kernel has them and reported as not available
        (covered by ...) where it does not.  ``require="all"`` is the strict
        policy: every layer this package knows, or the start fails, naming
        the layer and the kernel that brings it.  ``"memory_limit"`` and
        ``"process_limit"`` (by name only) refuse a start in a container
        without the sandbox's own cgroups, where the container's would
        otherwise stand in.
    ``cgroup_parent=None``
        A cgroup directory, delegated to the host's user, below which the
        workers' memory, pids and CPU accounting cgroups are made: one
        directory on cgroup v2, ``{"memory": dir, "pids": dir, "cpuacct": dir}``
        on v1.  None: found as the README's
        security section says.

    A limit of None means no limit.
    """

    __slots__ = ("read", "write", "network", "memory", "file_size", "processes", "open_files",
                 "cpu_seconds", "tmp_size", "_env", "allow_missing", "require", "_cgroup_parent",
                 "network_limits")

    read: tuple[str, ...]
    write: tuple[str, ...]
    network: bool | tuple[str, ...]
    network_limits: ProxyLimits
    memory: int | None
    file_size: int | None
    processes: int | None
    open_files: int | None
    cpu_seconds: int | None
    tmp_size: int
    allow_missing: frozenset[str]
    require: frozenset[str]

    def __init__(self, *, read: Iterable[str | os.PathLike] = (),
                 write: Iterable[str | os.PathLike] = (),
                 network: bool | Iterable[str] = False,
                 network_limits: ProxyLimits = ProxyLimits(),
                 memory: int | None = 512 * MiB, file_size: int | None = 128 * MiB,
                 processes: int | None = 256, open_files: int | None = 1024,
                 cpu_seconds: int | None = None, tmp_size: int = 256 * MiB,
                 env: Mapping[str, str] | None = None,
                 allow_missing: Iterable[str] = (), require: Iterable[str] = (),
                 cgroup_parent: str | os.PathLike | Mapping[str, str | os.PathLike] | None = None):
        network = _network(network)
        if not isinstance(network_limits, ProxyLimits):
            raise TypeError("network_limits must be a ProxyLimits")
        missing = _names("allow_missing", allow_missing, PROTECTIONS)
        required = _names("require", require, tuple(ADDED_WHERE_AVAILABLE),
                          CONTAINER_STANDS_IN)
        if missing & required:
            raise ValueError(f"both allowed missing and required: "
                             f"{', '.join(sorted(missing & required))}")
        environment = dict(env or {})
        for key, value in environment.items():
            if not isinstance(key, str) or not isinstance(value, str) or "=" in key or not key:
                raise TypeError(f"env must map names to text, not {key!r}: {value!r}")
        values = {
            "read": _paths("read", read), "write": _paths("write", write), "network": network,
            "memory": _limit("memory", memory), "file_size": _limit("file_size", file_size),
            "processes": _limit("processes", processes),
            "open_files": _limit("open_files", open_files),
            "cpu_seconds": _limit("cpu_seconds", cpu_seconds),
            "tmp_size": _limit("tmp_size", tmp_size), "_env": tuple(sorted(environment.items())),
            "allow_missing": missing, "require": required,
            "_cgroup_parent": _cgroup_parent(cgroup_parent), "network_limits": network_limits,
        }
        if values["tmp_size"] is None:
            raise TypeError("tmp_size must be an int")
        for name, value in values.items():
            object.__setattr__(self, name, value)

    @property
    def env(self) -> dict[str, str]:
        """The policy's own environment variables (a copy)."""
        return dict(self._env)

    @property
    def cgroup_parent(self) -> str | dict[str, str] | None:
        """The delegated cgroup directory (v2), or one per controller (v1), or None."""
        parent = self._cgroup_parent
        return dict(parent) if isinstance(parent, tuple) else parent

    @property
    def network_policy(self) -> NetworkPolicy | None:
        """The proxy's allow-list for this sandbox, or None without a network."""
        return NetworkPolicy(self.network) if self.network is not False else None

    def replace(self, **changes: Any) -> "Sandbox":
        """A copy with some arguments changed."""
        arguments = self._arguments()
        arguments.update(changes)
        return Sandbox(**arguments)

    def _arguments(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in (
            "read", "write", "network", "memory", "file_size", "processes", "open_files",
            "cpu_seconds", "tmp_size", "env", "allow_missing", "require", "cgroup_parent",
            "network_limits")}

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt through the constructor (to a pool's workers on other machines).
        return (_rebuild_sandbox, (self._arguments(),))

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("a Sandbox is immutable; use replace()")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("a Sandbox is immutable")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Sandbox):
            return NotImplemented
        return all(getattr(self, name) == getattr(other, name) for name in self.__slots__)

    def __hash__(self) -> int:
        return hash(tuple(getattr(self, name) for name in self.__slots__))

    def __repr__(self) -> str:
        defaults = Sandbox()
        changed = [f"{name.lstrip('_')}={getattr(self, name.lstrip('_'))!r}"
                   for name in self.__slots__ if getattr(self, name) != getattr(defaults, name)]
        return f"Sandbox({', '.join(changed)})"

    def environment(self) -> dict[str, str]:
        """The whole environment a worker under this policy gets."""
        bin_dir = os.path.dirname(sys.executable)
        env = {"PATH": f"{bin_dir}:/usr/local/bin:/usr/bin:/bin", **_BASE_ENV}
        if self.network is not False:
            env.update(proxy_environment(PROXY_PORT))
        env.update(self._env)
        return env


def proxy_environment(port: int) -> dict[str, str]:
    """The variables that send HTTP clients, ``pip`` and ``curl`` to the proxy.

    Each in lower case too: some clients read only one of them, and
    ``urllib`` ignores the upper-case ``HTTP_PROXY`` under CGI.  ``ALL_PROXY``
    names the proxy as an HTTP proxy too, not as the SOCKS5 one it also is on
    that port: ``httpx`` refuses to start with a ``socks5h://`` proxy in its
    environment unless the optional ``socksio`` is installed.  A SOCKS client
    is given ``socks5h://127.0.0.1:3128`` by the tool.
    """
    http = f"http://127.0.0.1:{port}"
    names = {"HTTP_PROXY": http, "HTTPS_PROXY": http, "ALL_PROXY": http}
    return {**names, **{name.lower(): value for name, value in names.items()}}


def _network(network: Any) -> bool | tuple[str, ...]:
    """False, True, or the destinations, checked now so that a mistake fails here."""
    if isinstance(network, bool):
        return network
    if isinstance(network, (str, bytes)) or not isinstance(network, Iterable):
        raise TypeError("network must be True, False or a list of destinations, "
                        "such as ['api.example.org']")
    return NetworkPolicy(network).destinations


def _rebuild_sandbox(arguments: dict[str, Any]) -> Sandbox:
    return Sandbox(**arguments)


#: The policy that clients apply when given no ``sandbox`` argument.
DEFAULT_SANDBOX = Sandbox()

