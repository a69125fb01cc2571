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
reaches, except the host itself.

Names compare in one canonical form, the policy's and the request's alike
(:func:`canonical_name`): UTS #46 processing (non-transitional, IDNA 2008) to
the A-label, without a final dot, so ``"straße.de"``, ``"STRASSE.de"``'s
neighbour ``"xn--strae-oqa.de"`` and the U-label all name one domain, and
``"strasse.de"`` another.  A name that cannot be mapped is refused.

The proxy checks a request in two steps.  The name must be on the list, or the
request is refused before anything is resolved, so a name off the list never
reaches the host's resolver (which would otherwise carry data out in the
names it looks up).  Then every address the name resolves to is checked: a
public address passes when the name's rule allows the port; an address in a
special range (loopback, private, link-local, unique-local, shared,
multicast, unspecified, reserved, documentation, cloud metadata services;
see :data:`SPECIAL_NETWORKS`), and every address of the host's own
interfaces, passes only when an address rule of the policy covers it and the
port.  The proxy connects only to addresses that passed,
and to the address it checked, never to a name resolved again.
"""

from __future__ import annotations

import ipaddress
import re
from collections.abc import Collection, Iterable
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


def canonical_name(host: str) -> str | None:
    """``host`` in the one form names are compared in, or None when it is no DNS name.

    UTS #46 mapping (non-transitional: ``ß`` stays ``ß``), then each label as
    its A-label: a U-label is encoded, an ``xn--`` label is decoded, checked
    as IDNA 2008 says and encoded again.  An ASCII label takes letters,
    digits, ``-`` and ``_`` (as names in use do: ``_dmarc``, ``r3---sn``).
    """
    import idna  # here: what imports the sandbox's policy (its inside too) never maps names

    try:
        mapped = idna.uts46_remap(host, std3_rules=False, transitional=False)
    except (idna.IDNAError, UnicodeError, ValueError):
        return None
    if mapped.endswith("."):
        mapped = mapped[:-1]
    labels = []
    for label in mapped.split("."):
        if label.isascii() and not label.startswith("xn--"):
            labels.append(label)
            continue
        try:
            unicode = idna.ulabel(label) if label.isascii() else label
            labels.append(idna.alabel(unicode).decode("ascii"))
        except (idna.IDNAError, UnicodeError, ValueError):
            return None
    name = ".".join(labels)
    if len(name) > 253 or not _NAME.fullmatch(name):
        return None
    return name


def shown(text: str) -> str:
    """``text`` as it may be logged or returned: a backslash, and every character
    that is not printable (controls, line and paragraph separators, format
    characters, bytes that were not UTF-8), escaped, so a name cannot start a
    line of its own or hide what follows it."""
    if text.isprintable() and "\\" not in text:
        return text
    out = []
    for char in text:
        code = ord(char)
        if char == "\\":
            out.append("\\\\")
        elif char.isprintable():
            out.append(char)
        elif 0xDC80 <= code <= 0xDCFF:  # a byte kept by surrogateescape
            out.append(f"\\x{code - 0xDC00:02x}")
        elif code < 0x100:
            out.append(f"\\x{code:02x}")
        elif code < 0x10000:
            out.append(f"\\u{code:04x}")
        else:
            out.append(f"\\U{code:08x}")
    return "".join(out)


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
    name = canonical_name(host[2:] if wildcard else host)
    if name is None:
        raise PolicyError(f"not a host name, address or network: {text!r}")
    return _NameRule(f"*.{name}" if wildcard else name, ports)


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

    def check_address(self, address: IPAddress, port: int, *, named: bool,
                      host: Collection[IPAddress] = ()) -> str | None:
        """Why ``address`` may not be reached on ``port``; None when it may.

        ``named``: a name rule already allowed this port, so a public address passes.
        An address outside every special range passes a bare literal only through
        an address rule or ``"*"``.  ``host``: the addresses of the host's own
        interfaces, which, like the special ranges, only an address rule opens.
        """
        for rule in self._addresses:
            if rule.matches(address, port):
                return None
        kind = special_kind(address)
        what = f"a {kind} address" if kind is not None else None
        if what is None and _is_own(address, host):
            what = "an address of this host"
        if what is not None:
            return (f"{address} is {what}, which the network list "
                    f"does not name (add \"{_show_address(address, port)}\" to allow it)")
        if named or any(rule.pattern == "*" and rule.allows(port) for rule in self._names):
            return None
        return f"{address} port {port} is not on the network list"


def _is_own(address: IPAddress, host: Collection[IPAddress]) -> bool:
    """Whether ``address`` is one of ``host``, or carries one (6to4, NAT64)."""
    if address in host:
        return True
    if isinstance(address, ipaddress.IPv6Address):
        for network, shift in _EMBEDDING_NETWORKS:
            if address in network:
                return ipaddress.IPv4Address((int(address) >> shift) & 0xFFFFFFFF) in host
    return False


def _show_address(address: IPAddress, port: int) -> str:
    return f"[{address}]:{port}" if address.version == 6 else f"{address}:{port}"
