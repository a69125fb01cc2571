"""The addresses of the host's own interfaces, kept current.

A service bound to every address of the host (``0.0.0.0``, ``::``) answers on
each of them, the public ones included: a sandbox that may reach every
public address must not reach those.  :class:`HostAddresses` reads them from
the kernel (an ``RTM_GETADDR`` dump over rtnetlink) and listens on the same
kind of socket for the kernel's notice of every address added or removed;
:meth:`HostAddresses.current` drains those notices without waiting and reads
the addresses again only when one came, so a decision costs one system call
while nothing changes and always sees an address added before it.
"""

from __future__ import annotations

import errno
import ipaddress
import os
import socket
import struct
import threading

from vantor.workers.network.policy import IPAddress

_NETLINK_ROUTE = 0
_RTM_GETADDR = 22
_RTM_NEWADDR = 20
_NLM_F_REQUEST = 0x1
_NLM_F_DUMP = 0x300
_NLMSG_ERROR = 2
_NLMSG_DONE = 3
_IFA_ADDRESS = 1
_IFA_LOCAL = 2
_RTMGRP_IPV4_IFADDR = 0x10
_RTMGRP_IPV6_IFADDR = 0x100

_HEADER = struct.Struct("=IHHII")      # struct nlmsghdr
_IFADDRMSG = struct.Struct("=BBBBI")   # struct ifaddrmsg
_ATTRIBUTE = struct.Struct("=HH")      # struct rtattr


def _align(length: int) -> int:
    return (length + 3) & ~3


def read_host_addresses() -> frozenset[IPAddress]:
    """Every IPv4 and IPv6 address of every interface of this network namespace."""
    found: set[IPAddress] = set()
    with socket.socket(socket.AF_NETLINK, socket.SOCK_RAW | socket.SOCK_CLOEXEC,
                       _NETLINK_ROUTE) as sock:
        sock.bind((0, 0))
        request = _IFADDRMSG.pack(socket.AF_UNSPEC, 0, 0, 0, 0)
        sock.send(_HEADER.pack(_HEADER.size + len(request), _RTM_GETADDR,
                               _NLM_F_REQUEST | _NLM_F_DUMP, 1, 0) + request)
        while True:
            data = sock.recv(1 << 16)
            at = 0
            while at + _HEADER.size <= len(data):
                length, kind, _, _, _ = _HEADER.unpack_from(data, at)
                if length < _HEADER.size:
                    raise OSError(errno.EIO, "malformed rtnetlink message")
                if kind == _NLMSG_DONE:
                    return frozenset(found)
                if kind == _NLMSG_ERROR:
                    code = -struct.unpack_from("=i", data, at + _HEADER.size)[0]
                    raise OSError(code, os.strerror(code))
                if kind == _RTM_NEWADDR:
                    found.update(_addresses(data[at + _HEADER.size:at + length]))
                at += _align(length)


def _addresses(message: bytes) -> list[IPAddress]:
    family = message[0]
    size = {socket.AF_INET: 4, socket.AF_INET6: 16}.get(family)
    if size is None:
        return []
    found: list[IPAddress] = []
    at = _IFADDRMSG.size
    while at + _ATTRIBUTE.size <= len(message):
        length, kind = _ATTRIBUTE.unpack_from(message, at)
        if length < _ATTRIBUTE.size:
            break
        if kind in (_IFA_ADDRESS, _IFA_LOCAL) and length - _ATTRIBUTE.size == size:
            found.append(ipaddress.ip_address(message[at + _ATTRIBUTE.size:at + length]))
        at += _align(length)
    return found


class HostAddresses:
    """The host's addresses, read again whenever the kernel says they changed."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._watch = socket.socket(socket.AF_NETLINK,
                                    socket.SOCK_RAW | socket.SOCK_NONBLOCK | socket.SOCK_CLOEXEC,
                                    _NETLINK_ROUTE)
        self._watch.bind((0, _RTMGRP_IPV4_IFADDR | _RTMGRP_IPV6_IFADDR))
        self._known: frozenset[IPAddress] | None = None  # read after the watch began

    def current(self) -> frozenset[IPAddress]:
        """The addresses now: those read last, unless a change was announced since."""
        with self._lock:
            changed = self._known is None
            while True:
                try:
                    if not self._watch.recv(1 << 16):
                        break
                    changed = True
                except BlockingIOError:
                    break
                except OSError as error:
                    if error.errno != errno.ENOBUFS:  # notices were lost: read again
                        raise
                    changed = True
            if changed:
                self._known = read_host_addresses()
            return self._known

    def close(self) -> None:
        self._watch.close()
