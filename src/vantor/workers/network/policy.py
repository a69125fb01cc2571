"""Which destinations a sandbox may reach through the host's proxy.

A :class:`NetworkPolicy` is an allow-list of destinations, each one of:

==========================  ===================================================
``"api.example.org"``       that name, on ports 80 and 443
``"*.example.org"``         every name below ``example.org`` (not the name
                            itself), on ports 80 and 443
``"example.org:8443"``      that name on port 8443 only; ``:*`` means any port
``"*"``                     every name and every public address, ports 80 and
                            443 (``"*:*"``: any port)
``"127.0.0.1:8080"``        that address (an IPv6 one in brackets:
                            ``"[::1]:8080"``; a bare ``"::1"`` means ports 80
                            and 443)
``"10.0.0.0/8:5432"``       every address of that network on that port
==========================  ===================================================

``NetworkPolicy(True)`` is ``"*:*"``: every public destination the host
reaches.  Names compare without case and without a final dot.

The proxy checks a request in two steps.  The name must be on the list, or the
request is refused before anything is resolved, so a name off the list never
reaches the host's resolver (which would otherwise carry data out in the
names it looks up).  Then every address the name resolves to is checked: a
public address passes when the name's rule allows the port; an address in a
special range (loopback, private, link-local, unique-local, shared,
multicast, unspecified, reserved, documentation, cloud metadata services;
see :data:`SPECIAL_NETWORKS`) passes only when an address rule of the policy
covers it and the port.  The proxy connects only to addresses that passed,
and to the address it checked, never to a name resolved again.
"""

from __future__ import annotations

import ipaddress
import re
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Union

IPAddress = Union[ipaddress.IPv4Address, ipaddress.IPv6Address]
IPNetwork = Union[ipaddress.IPv4Network, ipaddress.IPv6Network]

#: Ports a destination without a port allows.
DEFAULT_PORTS = frozenset({80, 443})

ANY_PORT = None

# Address ranges a name on the list does not open: what each one is, by network.
# Kept here rather than taken from ``ipaddress``'s ``is_global``, which calls
# multicast and several of these ranges global.
SPECIAL_NETWORKS: tuple[tuple[IPNetwork, str], ...] = tuple(
    (ipaddress.ip_network(network), kind) for network, kind in (
        ("0.0.0.0/8", "unspecified"),
        ("10.0.0.0/8", "private"),
        ("100.100.100.200/32", "cloud metadata"),
        ("100.64.0.0/10", "shared (carrier-grade NAT)"),
        ("127.0.0.0/8", "loopback"),
        ("169.254.169.254/32", "cloud metadata"),
        ("169.254.0.0/16", "link-local"),
        ("168.63.129.16/32", "cloud metadata"),
        ("172.16.0.0/12", "private"),
        ("192.0.0.192/32", "cloud metadata"),
        ("192.0.0.0/24", "reserved"),
        ("192.0.2.0/24", "documentation"),
        ("192.88.99.0/24", "reserved"),
        ("192.168.0.0/16", "private"),
        ("198.18.0.0/15", "reserved"),
        ("198.51.100.0/24", "documentation"),
        ("203.0.113.0/24", "documentation"),
        ("224.0.0.0/4", "multicast"),
        ("240.0.0.0/4", "reserved"),
        ("::/128", "unspecified"),
        ("::1/128", "loopback"),
        ("::/96", "reserved"),
        ("64:ff9b:1::/48", "private"),
        ("100::/64", "reserved"),
        ("2001::/23", "reserved"),
        ("2001:db8::/32", "documentation"),
        ("3fff::/20", "documentation"),
        ("5f00::/16", "reserved"),
        ("fd00:ec2::254/128", "cloud metadata"),
        ("fc00::/7", "unique-local"),
        ("fe80::/10", "link-local"),
        ("fec0::/10", "link-local"),
        ("ff00::/8", "multicast"),
    ))

# IPv6 ranges that carry an IPv4 address, and where it sits: it is checked as well.
_EMBEDDING_NETWORKS = (
    (ipaddress.IPv6Network("64:ff9b::/96"), 0),
    (ipaddress.IPv6Network("2002::/16"), 80),
)

_LABEL = r"(?!-)[a-z0-9_-]{1,63}(?<!-)"
_NAME = re.compile(rf"{_LABEL}(\.{_LABEL})*")


class PolicyError(ValueError):
    """A destination of a network policy that cannot be understood."""


def special_kind(address: IPAddress) -> str | None:
    """What special range ``address`` is in ("loopback", "cloud metadata", ...), or None."""
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        address = address.ipv4_mapped
    for network, kind in SPECIAL_NETWORKS:
        if address in network:
            return kind
    if isinstance(address, ipaddress.IPv6Address):
        for network, shift in _EMBEDDING_NETWORKS:
            if address in network:
                inner = ipaddress.IPv4Address((int(address) >> shift) & 0xFFFFFFFF)
                inner_kind = special_kind(inner)
                return f"{inner_kind} (as {inner})" if inner_kind else None
    return None


def normalize_name(host: str) -> str | None:
    """``host`` lower-cased without its final dot, or None when it is no DNS name."""
    name = host.lower()
    if name.endswith("."):
        name = name[:-1]
    if len(name) > 253 or not _NAME.fullmatch(name):
        return None
    return name


def parse_address(host: str) -> IPAddress | None:
    """``host`` as an IP address (IPv4-mapped IPv6 as IPv4), or None when it is a name."""
    try:
        address = ipaddress.ip_address(host.strip("[]"))
    except ValueError:
        return None
    if isinstance(address, ipaddress.IPv6Address):
        if address.scope_id:
            return None
        if address.ipv4_mapped is not None:
            return address.ipv4_mapped
    return address


@dataclass(frozen=True)
class _NameRule:
    pattern: str          # a name, "*.suffix" or "*"
    ports: frozenset[int] | None

    def covers(self, name: str) -> bool:
        if self.pattern == "*":
            return True
        if self.pattern.startswith("*."):
            return name.endswith(self.pattern[1:])
        return name == self.pattern

    def allows(self, port: int) -> bool:
        return self.ports is None or port in self.ports


@dataclass(frozen=True)
class _AddressRule:
    network: IPNetwork
    ports: frozenset[int] | None

    def matches(self, address: IPAddress, port: int) -> bool:
        return (self.ports is None or port in self.ports) and address in self.network


def split_host_port(text: str) -> tuple[str, str] | None:
    """``host:port``, ``[v6]:port``, ``host`` or a bare IPv6 address as host and
    port text (empty when none); None when a bracket is left open."""
    if text.startswith("["):
        host, bracket, rest = text[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            return None
        return host, rest[1:]
    if text.count(":") == 1:
        host, _, port = text.partition(":")
        return host, port
    return text, ""


def port_number(text: str) -> int | None:
    """``text`` as a TCP port, 1 to 65535, or None (for a run of digits too long for int(), too)."""
    if not text.isdigit() or len(text) > 5 or not 0 < int(text) < 65536:
        return None
    return int(text)


def _split_port(text: str) -> tuple[str, frozenset[int] | None]:
    """The host part of a destination and the ports it allows."""
    parts = split_host_port(text)
    if parts is None:
        raise PolicyError(f"unbalanced brackets in network destination {text!r}")
    host, port = parts
    if not port:
        return host, DEFAULT_PORTS
    if port == "*":
        return host, ANY_PORT
    number = port_number(port)
    if number is None:
        raise PolicyError(f"bad port in network destination {text!r}")
    return host, frozenset({number})


def _parse(text: str) -> _NameRule | _AddressRule:
    if not isinstance(text, str):
        raise TypeError(f"a network destination must be text, not {text!r}")
    host, ports = _split_port(text.strip())
    if host == "*":
        return _NameRule("*", ports)
    try:
        network = ipaddress.ip_network(host, strict=True)
    except ValueError as error:
        if "/" in host:
            raise PolicyError(f"bad network in destination {text!r}: {error}") from None
    else:
        return _AddressRule(network, ports)
    wildcard = host.startswith("*.")
    name = _ascii_name(host[2:] if wildcard else host)
    if name is None:
        raise PolicyError(f"not a host name, address or network: {text!r}")
    return _NameRule(f"*.{name}" if wildcard else name, ports)


def _ascii_name(host: str) -> str | None:
    """A name of the policy as tools send it: normalized, international ones in IDNA."""
    if not host.isascii():
        try:
            host = host.encode("idna").decode("ascii")
        except UnicodeError:
            return None
    return normalize_name(host)


def _show_ports(ports: frozenset[int]) -> str:
    return "/".join(str(port) for port in sorted(ports))


class NetworkPolicy:
    """An immutable allow-list of network destinations (see the module's text)."""

    __slots__ = ("destinations", "_names", "_addresses")

    destinations: tuple[str, ...]
    _names: tuple[_NameRule, ...]
    _addresses: tuple[_AddressRule, ...]

    def __init__(self, destinations: Iterable[str] | bool):
        if destinations is True:
            destinations = ("*:*",)
        elif destinations is False or isinstance(destinations, (str, bytes)):
            raise TypeError("destinations must be True or an iterable of text, "
                            "such as ['api.example.org']")
        texts = tuple(destinations)
        rules = [_parse(text) for text in texts]
        object.__setattr__(self, "destinations", texts)
        object.__setattr__(self, "_names", tuple(r for r in rules if isinstance(r, _NameRule)))
        object.__setattr__(self, "_addresses",
                           tuple(r for r in rules if isinstance(r, _AddressRule)))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("a NetworkPolicy cannot be changed")

    def __repr__(self) -> str:
        return f"NetworkPolicy({list(self.destinations)!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, NetworkPolicy) and self.destinations == other.destinations

    def __hash__(self) -> int:
        return hash(self.destinations)

    def check_name(self, name: str, port: int) -> str | None:
        """Why the name (normalized) may not be looked up for ``port``; None when it may."""
        covering = [rule for rule in self._names if rule.covers(name)]
        if not covering:
            return f"{name} is not on the network list"
        if any(rule.allows(port) for rule in covering):
            return None
        allowed = frozenset().union(*(rule.ports or () for rule in covering))
        return f"{name} is on the network list for port {_show_ports(allowed)} only, not {port}"

    def check_address(self, address: IPAddress, port: int, *, named: bool) -> str | None:
        """Why ``address`` may not be reached on ``port``; None when it may.

        ``named``: a name rule already allowed this port, so a public address passes.
        An address outside every special range passes a bare literal only through
        an address rule or ``"*"``.
        """
        for rule in self._addresses:
            if rule.matches(address, port):
                return None
        kind = special_kind(address)
        if kind is not None:
            return (f"{address} is a {kind} address, which the network list "
                    f"does not name (add \"{_show_address(address, port)}\" to allow it)")
        if named or any(rule.pattern == "*" and rule.allows(port) for rule in self._names):
            return None
        return f"{address} port {port} is not on the network list"


def _show_address(address: IPAddress, port: int) -> str:
    return f"[{address}]:{port}" if address.version == 6 else f"{address}:{port}"
