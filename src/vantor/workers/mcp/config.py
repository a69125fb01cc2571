"""The MCP server's settings: defaults, an optional TOML file, the command line.

Every setting is one :class:`Setting` row of :data:`SETTINGS`; the TOML keys,
the command-line flags, ``--print-config`` and the keyword arguments handed
to the pool and the sandbox are all derived from that table, so a new pool
or sandbox option is one more row.  Values are taken from the defaults, then
the file, then the command line (a flag replaces the file's value, lists
included).
"""

from __future__ import annotations

import argparse
import ipaddress
import os
import re
import tomllib
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from vantor.workers.client import DEFAULT_SANDBOX, Sandbox

MiB = 1024 * 1024


class ConfigError(ValueError):
    """A setting that cannot be used, named with where it came from."""


# -- value parsers: (value from TOML or the command line, base directory) -> value


def _text(value: Any, base: str) -> str:
    if not isinstance(value, str) or not value:
        raise ValueError("expected a non-empty text")
    return value


def _flag(value: Any, base: str) -> bool:
    if not isinstance(value, bool):
        raise ValueError("expected true or false")
    return value


def _port(value: Any, base: str) -> int:
    number = _integer(value)
    if not 0 <= number <= 65535:
        raise ValueError("expected a port number from 0 (any free port) to 65535")
    return number


def _integer(value: Any) -> int:
    if isinstance(value, str) and re.fullmatch(r"\d+", value.strip()):
        return int(value)
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError("expected a whole number")
    return value


def _count(value: Any, base: str) -> int:
    number = _integer(value)
    if number < 1:
        raise ValueError("expected a number of at least 1")
    return number


def _seconds(value: Any, base: str) -> float | None:
    if _is_none(value):
        return None
    try:
        number = float(value) if not isinstance(value, bool) else -1.0
    except (TypeError, ValueError):
        raise ValueError("expected a number of seconds, or \"none\"") from None
    if not number > 0:
        raise ValueError("expected a number of seconds above 0, or \"none\"")
    return number


_UNITS = {"": 1, "k": 1024, "m": MiB, "g": 1024 * MiB}


def _size(value: Any, base: str) -> int | None:
    """Bytes, as a number or a text such as ``"512M"``; ``"none"``: no limit."""
    if _is_none(value):
        return None
    if isinstance(value, str):
        match = re.fullmatch(r"\s*(\d+)\s*([kmg]?)i?b?\s*", value.lower())
        if match is None:
            raise ValueError("expected a size such as 65536, \"64K\", \"512M\" or \"2G\"")
        value = int(match[1]) * _UNITS[match[2]]
    return _count_or_none(value, base)


def _count_or_none(value: Any, base: str) -> int | None:
    return None if _is_none(value) else _count(value, base)


def _is_none(value: Any) -> bool:
    return isinstance(value, str) and value.strip().lower() in ("none", "unlimited")


def _paths(value: Any, base: str) -> tuple[str, ...]:
    if isinstance(value, str) or not isinstance(value, Sequence):
        raise ValueError("expected a list of paths")
    paths = []
    for item in value:
        if not isinstance(item, str) or not item:
            raise ValueError(f"expected paths, not {item!r}")
        paths.append(os.path.normpath(os.path.join(base, os.path.expanduser(item))))
    return tuple(dict.fromkeys(paths))


def _file(value: Any, base: str) -> str:
    path = os.path.normpath(os.path.join(base, os.path.expanduser(_text(value, base))))
    if not os.path.isfile(path):
        raise ValueError(f"{path} is not a file")
    return path


def _directories(value: Any, base: str) -> tuple[str, ...]:
    paths = _paths(value, base)
    for path in paths:
        if not os.path.isdir(path):
            raise ValueError(f"{path} is not a directory")
    return paths


def _environment(value: Any, base: str) -> dict[str, str]:
    """A TOML table, or ``NAME=VALUE`` items from the command line."""
    if isinstance(value, Mapping):
        items = list(value.items())
    elif isinstance(value, Sequence) and not isinstance(value, str):
        items = [str(item).partition("=")[::2] for item in value]
    else:
        raise ValueError("expected a table of NAME = \"value\"")
    for name, text in items:
        if not name or not isinstance(text, str):
            raise ValueError(f"expected NAME=VALUE, not {name!r}")
    return dict(items)


def _names(value: Any, base: str) -> tuple[str, ...]:
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, Sequence) or not all(isinstance(item, str) for item in value):
        raise ValueError("expected a list of names")
    return tuple(value)


def _cgroup_parent(value: Any, base: str) -> str | dict[str, str] | None:
    """One directory (cgroup v2), or one per controller: a TOML table, or ``CONTROLLER=DIR``
    items from the command line (cgroup v1)."""
    if value is None:
        return None
    if isinstance(value, Mapping):
        items = list(value.items())
    elif isinstance(value, str):
        return _paths([value], base)[0]
    elif isinstance(value, Sequence) and all(isinstance(item, str) for item in value):
        if len(value) == 1 and "=" not in value[0]:
            return _paths(value, base)[0]
        items = [item.partition("=")[::2] for item in value]
    else:
        raise ValueError("expected a directory, or a table of controller = directory")
    if not all(name and isinstance(path, str) and path for name, path in items):
        raise ValueError("expected CONTROLLER=DIR for each controller (cgroup v1)")
    return {name: _paths([path], base)[0] for name, path in items}


def _isolation(value: Any, base: str) -> str:
    if value not in ("worker", "call"):
        raise ValueError("expected \"worker\" or \"call\"")
    return value


def _transport(value: Any, base: str) -> str:
    if value not in ("stdio", "http"):
        raise ValueError("expected \"stdio\" or \"http\"")
    return value


@dataclass(frozen=True)
class Setting:
    """One setting: its TOML table and key, how its value is read, its default."""

    section: str  # "server", "pool" (AsyncWorkerPool keywords) or "sandbox" (Sandbox keywords)
    key: str
    parse: Callable[[Any, str], Any]
    default: Any
    help: str
    flag: str = ""  # the command-line flag, when not --<key>
    metavar: str | None = None
    repeated: bool = False  # a list: the flag is given once per item

    @property
    def option(self) -> str:
        return self.flag or "--" + self.key.replace("_", "-")

    @property
    def dest(self) -> str:
        return f"{self.section}.{self.key}"


def _default_size() -> int:
    return max(1, min(4, os.cpu_count() or 1))


def _policy_default(name: str) -> Any:
    return getattr(DEFAULT_SANDBOX, name)


SETTINGS: tuple[Setting, ...] = (
    Setting("server", "transport", _transport, "stdio",
            "stdio (what a desktop assistant launches) or http (streamable HTTP)"),
    Setting("server", "host", _text, "127.0.0.1", "address to listen on, for http"),
    Setting("server", "port", _port, 8000, "port to listen on, for http (0: any free port)"),
    # Over http, whoever reaches the port runs code: each session holds memory
    # and a task of the server's, so their number and idle life are bounded.
    Setting("server", "max_sessions", _count, 16, "MCP sessions open at once, for http; a "
            "new session past them is refused (503)", metavar="N"),
    Setting("server", "session_timeout", _seconds, 300.0, "seconds an http session may go "
            "without a request (or an open stream) before it is closed (\"none\": never)",
            metavar="SECONDS"),
    Setting("server", "token_file", _file, None, "a file whose first line is the bearer token "
            "every http request must carry (Authorization: Bearer TOKEN); needed to listen on "
            "an address other than loopback", metavar="FILE"),
    Setting("server", "token", _text, None, "the bearer token itself (visible to every local "
            "user in the process list when given as a flag: prefer --token-file)",
            metavar="TOKEN"),
    Setting("server", "scripts", _directories, (), "a directory whose scripts run_script and "
            "run_function may run (readable in the sandbox); give it once per directory",
            flag="--scripts", metavar="DIR", repeated=True),
    Setting("pool", "size", _count, _default_size(), "worker processes, serving calls in "
            "parallel", flag="--workers", metavar="N"),
    Setting("pool", "timeout", _seconds, 60.0, "seconds a call may run before its worker is "
            "killed (\"none\": no limit)", metavar="SECONDS"),
    Setting("pool", "output_limit", _size, 1 * MiB, "bytes of output a call may produce before "
            "its worker is killed", metavar="SIZE"),
    # Every call runs code a model wrote, on whichever worker is free: no call
    # can count on another's state, so none is kept for one to tamper with.
    Setting("pool", "isolation", _isolation, "call", "\"call\": each call in a fresh process "
            "forked from its worker; \"worker\": calls share their worker's process",
            metavar="MODE"),
    Setting("pool", "preload", _names, (), "a module each worker imports once, for every call "
            "(isolation \"call\"); once per module", metavar="MODULE", repeated=True),
    Setting("sandbox", "enabled", _flag, True, "run the workers sandboxed (--no-sandbox gives "
            "the code all of this user's powers)", flag="--sandbox"),
    Setting("sandbox", "read", _paths, (), "a host path the code may read; once per path",
            metavar="PATH", repeated=True),
    Setting("sandbox", "write", _paths, (), "a host path the code may write; once per path",
            metavar="PATH", repeated=True),
    Setting("sandbox", "network", _flag, _policy_default("network"), "let the code reach "
            "every public destination, through the host's proxy"),
    Setting("sandbox", "memory", _size, _policy_default("memory"), "memory of a worker and "
            "what it starts", metavar="SIZE"),
    Setting("sandbox", "processes", _count_or_none, _policy_default("processes"),
            "processes and threads of a worker", metavar="N"),
    Setting("sandbox", "cpu_seconds", _count_or_none, _policy_default("cpu_seconds"),
            "CPU seconds over a worker's life", metavar="N"),
    Setting("sandbox", "file_size", _size, _policy_default("file_size"),
            "the largest file the code may write", metavar="SIZE"),
    Setting("sandbox", "open_files", _count_or_none, _policy_default("open_files"),
            "open files per process", metavar="N"),
    Setting("sandbox", "tmp_size", _size, _policy_default("tmp_size"),
            "size of each worker's private /tmp", metavar="SIZE"),
    Setting("sandbox", "env", _environment, {}, "an environment variable the code gets; once "
            "per variable", metavar="NAME=VALUE", repeated=True),
    Setting("sandbox", "allow_missing", _names, (), "a protection the workers may run without "
            "where this machine lacks it (\"all\": any); once per name", metavar="NAME",
            repeated=True),
    Setting("sandbox", "cgroup_parent", _cgroup_parent, None, "a cgroup directory delegated "
            "to this user, for the workers' cgroups (inside a container: one bound in from "
            "the container's host); cgroup v1: CONTROLLER=DIR once per controller (memory, "
            "pids, cpuacct)", metavar="DIR", repeated=True),
)


def in_own_words(message: str) -> str:
    """A sandbox's refusal, naming this server's flags instead of the Python API's."""
    from vantor.workers.sandbox.protections import (
        ALLOW_MISSING_HINT,
        CGROUP_PARENT_HINT,
        UNSANDBOXED_HINT,
    )

    return (message.replace(f"in {ALLOW_MISSING_HINT}", "with --allow-missing NAME (once per "
                            "name; allow_missing in [sandbox])")
            .replace(CGROUP_PARENT_HINT, "--cgroup-parent (cgroup_parent in [sandbox])")
            .replace(UNSANDBOXED_HINT, "pass --no-sandbox to run unsandboxed"))


class Config:
    """The effective settings, by section and key."""

    def __init__(self, values: Mapping[str, Any]):
        self._values = dict(values)

    def section(self, section: str) -> dict[str, Any]:
        return {s.key: self._values[s.dest] for s in SETTINGS if s.section == section}

    @property
    def transport(self) -> str:
        return self._values["server.transport"]

    @property
    def host(self) -> str:
        return self._values["server.host"]

    @property
    def port(self) -> int:
        return self._values["server.port"]

    @property
    def scripts(self) -> tuple[str, ...]:
        return self._values["server.scripts"]

    @property
    def max_sessions(self) -> int:
        return self._values["server.max_sessions"]

    @property
    def session_timeout(self) -> float | None:
        return self._values["server.session_timeout"]

    @property
    def token(self) -> str | None:
        """The bearer token http requests must carry: given, or read from its file."""
        token = self._values["server.token"]
        path = self._values["server.token_file"]
        if path is None:
            return token
        if token is not None:
            raise ConfigError("give the token once: --token-file or --token, not both")
        try:
            with open(path, encoding="utf-8") as file:
                token = file.readline().strip()
        except (OSError, UnicodeDecodeError) as error:
            raise ConfigError(f"cannot read the token file {path}: {error}") from None
        if not token:
            raise ConfigError(f"the token file {path} holds no token on its first line")
        return token

    def sandbox(self) -> Sandbox | None:
        """The workers' sandbox policy: the scripts' directories are readable."""
        policy = self.section("sandbox")
        if not policy.pop("enabled"):
            return None
        policy["read"] = tuple(policy["read"]) + tuple(self.scripts)
        return Sandbox(**policy)

    def pool_arguments(self) -> dict[str, Any]:
        """Keyword arguments of the :class:`AsyncWorkerPool` that serves the calls."""
        return {**self.section("pool"), "sandbox": self.sandbox()}

    def describe(self) -> dict[str, Any]:
        """The effective configuration, as ``--print-config`` shows it."""
        sandbox = self.sandbox()
        policy: dict[str, Any] = {"enabled": sandbox is not None}
        if sandbox is not None:
            policy.update((s.key, getattr(sandbox, s.key)) for s in SETTINGS
                          if s.section == "sandbox" and s.key != "enabled")
            policy["allow_missing"] = sorted(policy["allow_missing"])
        server = self.section("server")
        if server["token"] is not None:
            server["token"] = "(given)"  # shown as set, never printed
        return {"server": server, "pool": self.section("pool"), "sandbox": policy}


def parser() -> argparse.ArgumentParser:
    """The command line of ``vantor-workers mcp``."""
    parser = argparse.ArgumentParser(
        prog="vantor-workers mcp",
        description="An MCP server whose tools run Python code in sandboxed workers.")
    parser.add_argument("--config", metavar="FILE", help="a TOML file of settings, in tables "
                        "[server], [pool] and [sandbox] keyed as the long options")
    parser.add_argument("--print-config", action="store_true",
                        help="print the effective configuration as JSON and exit")
    for setting in SETTINGS:
        if setting.parse is _flag:
            parser.add_argument(setting.option, dest=setting.dest, default=None,
                                action=argparse.BooleanOptionalAction, help=setting.help)
        else:
            parser.add_argument(setting.option, dest=setting.dest, default=None,
                                metavar=setting.metavar or setting.key.upper(),
                                action="append" if setting.repeated else "store",
                                help=setting.help)
    return parser


def load(argv: Sequence[str] | None = None) -> tuple[Config, argparse.Namespace]:
    """Parse the command line (and the TOML file it names); exits on a bad setting."""
    arguments = parser().parse_args(argv)
    try:
        return resolve(arguments), arguments
    except ConfigError as error:
        parser().error(str(error))
        raise  # not reached: error() exits


def resolve(arguments: argparse.Namespace) -> Config:
    values = {setting.dest: setting.default for setting in SETTINGS}
    if arguments.config:
        values.update(_from_file(arguments.config))
    for setting in SETTINGS:
        given = getattr(arguments, setting.dest)
        if given is not None:
            values[setting.dest] = _parsed(setting, given, os.getcwd(), setting.option)
    config = Config(values)
    try:
        config.sandbox()
    except (TypeError, ValueError) as error:
        raise ConfigError(f"sandbox: {error}") from None
    token = config.token  # read now: a bad token file stops the server before it starts
    if token is not None and (len(token) < 16 or not token.isprintable() or " " in token):
        raise ConfigError("the bearer token must be at least 16 printable characters, "
                          "without spaces")
    if config.transport == "http" and token is None and not is_loopback(config.host):
        raise ConfigError(f"server.host {config.host} is not a loopback address: whoever "
                          "reaches it would run code, so the server needs a bearer token "
                          "(--token-file FILE, or --token TOKEN)")
    return config


def is_loopback(host: str) -> bool:
    """Whether the address (or ``localhost``) the server listens on is a loopback one."""
    try:
        address = ipaddress.ip_address(host.strip("[]"))
    except ValueError:
        return host.lower().rstrip(".") == "localhost"
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        address = address.ipv4_mapped
    return address.is_loopback


def _from_file(path: str) -> dict[str, Any]:
    try:
        with open(path, "rb") as file:
            document = tomllib.load(file)
    except (OSError, tomllib.TOMLDecodeError) as error:
        raise ConfigError(f"cannot read {path}: {error}") from None
    base = os.path.dirname(os.path.abspath(path))
    known = {(s.section, s.key): s for s in SETTINGS}
    values = {}
    for section, table in document.items():
        if not isinstance(table, dict):
            raise ConfigError(f"{path}: {section} must be a table ([server], [pool], [sandbox])")
        for key, value in table.items():
            setting = known.get((section, key))
            if setting is None:
                raise ConfigError(f"{path}: unknown setting {section}.{key}")
            values[setting.dest] = _parsed(setting, value, base, f"{path}: {section}.{key}")
    return values


def _parsed(setting: Setting, value: Any, base: str, where: str) -> Any:
    try:
        return setting.parse(value, base)
    except ValueError as error:
        raise ConfigError(f"{where}: {error}") from None
