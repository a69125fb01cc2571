"""The client side of the proxy's three protocols: reading a request, answering it.

A sandboxed tool asks the proxy for a destination in one of three ways: an
HTTP ``CONNECT host:port`` (a tunnel, for HTTPS), a plain HTTP request in
absolute form (``GET http://host/path``), forwarded as an origin-form request,
or SOCKS5 with the CONNECT command.  :func:`read_request` reads whichever the
first byte announces and returns a :class:`Request`; :func:`refusal` and
:func:`established` give the bytes that answer it.
"""

from __future__ import annotations

import asyncio
import socket
from dataclasses import dataclass
from urllib.parse import urlsplit

from vantor.workers.network.policy import port_number, split_host_port

#: Largest request head (request line and headers) accepted, in bytes.
HEAD_LIMIT = 64 * 1024

SOCKS_VERSION = 5
SOCKS4_VERSION = 4
SOCKS4_REJECTED = 0x5B
SOCKS_NO_AUTHENTICATION = 0
SOCKS_NO_ACCEPTABLE_METHOD = 0xFF
SOCKS_CONNECT = 1


class SocksReply:
    """SOCKS5 reply codes."""

    SUCCEEDED = 0
    GENERAL_FAILURE = 1
    NOT_ALLOWED = 2
    NETWORK_UNREACHABLE = 3
    HOST_UNREACHABLE = 4
    CONNECTION_REFUSED = 5
    TTL_EXPIRED = 6
    COMMAND_NOT_SUPPORTED = 7
    ADDRESS_TYPE_NOT_SUPPORTED = 8


# What an HTTP status of the proxy means in SOCKS5 terms.
_SOCKS_CODES = {403: SocksReply.NOT_ALLOWED, 502: SocksReply.HOST_UNREACHABLE,
                504: SocksReply.TTL_EXPIRED, 400: SocksReply.GENERAL_FAILURE}

_REASON_PHRASES = {400: "Bad Request", 403: "Forbidden", 431: "Request Header Fields Too Large",
                   502: "Bad Gateway", 504: "Gateway Timeout"}

# Headers not sent on: those about the connection to the proxy, not the request
# itself, and Host, which is taken from the URL.
_DROPPED = frozenset({b"connection", b"keep-alive", b"proxy-connection",
                      b"proxy-authorization", b"proxy-authenticate", b"te", b"trailer", b"host"})


#: The protocol of a BadRequest already answered: nothing more is sent.
ANSWERED = "answered"


class BadRequest(Exception):
    """A request the proxy cannot understand; ``status`` is the HTTP answer."""

    def __init__(self, reason: str, status: int = 400, protocol: str = "http",
                 socks_code: int = SocksReply.GENERAL_FAILURE):
        super().__init__(reason)
        self.status = status
        self.protocol = protocol
        self.socks_code = socks_code


@dataclass
class Request:
    """A destination asked for, and how to talk back to the asker."""

    protocol: str          # "connect", "http" or "socks5"
    host: str              # a name or an address literal, as sent (brackets removed);
                           # shown only through policy.shown()
    port: int
    forward: bytes = b""   # the rewritten head of a plain HTTP request


async def read_request(first: bytes, reader: asyncio.StreamReader,
                       writer: asyncio.WriteTransport) -> Request:
    """The request that starts with the byte ``first``; raises BadRequest."""
    if first[0] == SOCKS_VERSION:
        return await _read_socks5(reader, writer)
    if first[0] == SOCKS4_VERSION:
        writer.write(bytes((0, SOCKS4_REJECTED, 0, 0, 0, 0, 0, 0)))
        raise BadRequest("SOCKS4 is not supported (SOCKS5 is)", protocol=ANSWERED)
    if not first.isalpha():  # a method name starts an HTTP request
        raise BadRequest("not a proxy request (HTTP, CONNECT or SOCKS5)")
    try:
        head = first + await reader.readuntil(b"\r\n\r\n")
    except asyncio.LimitOverrunError:
        raise BadRequest("request head too large", 431) from None
    except asyncio.IncompleteReadError:
        raise BadRequest("incomplete request head") from None
    return _parse_http(head)


def _parse_http(head: bytes) -> Request:
    lines = head[:-4].split(b"\r\n")
    parts = lines[0].split(b" ")
    if len(parts) != 3 or not parts[2].startswith(b"HTTP/1."):
        raise BadRequest("not an HTTP/1 request")
    method, target, version = parts
    try:
        text = target.decode("ascii")
    except UnicodeDecodeError:
        raise BadRequest("request target is not ASCII") from None
    if method == b"CONNECT":
        host, port = _split_authority(text, None)
        return Request("connect", host, port)
    try:
        url = urlsplit(text)
    except ValueError as error:  # an unbalanced bracket, for one
        raise BadRequest(f"bad URL {text!r}: {error}") from None
    if url.scheme.lower() != "http" or not url.netloc:
        raise BadRequest("a proxy request names an http:// URL or uses CONNECT")
    authority = url.netloc.rpartition("@")[2]
    host, port = _split_authority(authority, 80)
    path = (url.path or "/") + (f"?{url.query}" if url.query else "")
    forward = b" ".join((method, path.encode("ascii"), version)) + b"\r\n"
    forward += _forwarded_headers(lines[1:], authority.encode("ascii"))
    return Request("http", host, port, forward)


def _forwarded_headers(lines: list[bytes], authority: bytes) -> bytes:
    """The headers sent on: hop-by-hop ones dropped, ``Host`` from the URL, one request."""
    fields = []
    for line in lines:
        name, colon, _ = line.partition(b":")
        if not colon or not name or name != name.strip():
            raise BadRequest("malformed header line")
        fields.append((name.lower(), line))
    listed: set[bytes] = set()
    for name, line in fields:
        if name == b"connection":
            listed.update(token.strip().lower() for token in line.partition(b":")[2].split(b","))
    upgrade = b"upgrade" in listed
    listed.discard(b"upgrade")
    kept = [line for name, line in fields if name not in _DROPPED and name not in listed]
    kept.insert(0, b"Host: " + authority)
    kept.append(b"Connection: upgrade" if upgrade else b"Connection: close")
    return b"".join(line + b"\r\n" for line in kept) + b"\r\n"


def _split_authority(text: str, default_port: int | None) -> tuple[str, int]:
    parts = split_host_port(text)
    if parts is None:
        raise BadRequest(f"bad authority {text!r}")
    host, port_text = parts
    if not port_text:
        if default_port is None:
            raise BadRequest(f"CONNECT needs host:port, not {text!r}")
        return host, default_port
    port = port_number(port_text)
    if port is None:
        raise BadRequest(f"bad port in {text!r}")
    return host, port


async def _read_socks5(reader: asyncio.StreamReader, writer: asyncio.WriteTransport) -> Request:
    try:
        methods = await reader.readexactly((await reader.readexactly(1))[0])
        if SOCKS_NO_AUTHENTICATION not in methods:
            writer.write(bytes((SOCKS_VERSION, SOCKS_NO_ACCEPTABLE_METHOD)))
            raise BadRequest("SOCKS5 client offers no method without authentication",
                             protocol=ANSWERED)
        writer.write(bytes((SOCKS_VERSION, SOCKS_NO_AUTHENTICATION)))
        version, command, _, kind = await reader.readexactly(4)
        host = await _read_socks5_host(reader, kind)
        port = int.from_bytes(await reader.readexactly(2), "big")
    except asyncio.IncompleteReadError:
        raise BadRequest("incomplete SOCKS5 request", protocol=ANSWERED) from None
    if version != SOCKS_VERSION or command != SOCKS_CONNECT:
        raise BadRequest(f"SOCKS5 command {command} is not supported (only CONNECT)",
                         protocol="socks5", socks_code=SocksReply.COMMAND_NOT_SUPPORTED)
    return Request("socks5", host, port)


async def _read_socks5_host(reader: asyncio.StreamReader, kind: int) -> str:
    if kind == 1:
        return socket.inet_ntop(socket.AF_INET, await reader.readexactly(4))
    if kind == 4:
        return socket.inet_ntop(socket.AF_INET6, await reader.readexactly(16))
    if kind == 3:
        raw = await reader.readexactly((await reader.readexactly(1))[0])
        # UTF-8, as international names are sent; bytes that are not UTF-8 are
        # kept as they came, to be shown escaped and refused as no name.
        return raw.decode("utf-8", "surrogateescape")
    raise BadRequest(f"SOCKS5 address type {kind} is not supported", protocol="socks5",
                     socks_code=SocksReply.ADDRESS_TYPE_NOT_SUPPORTED)


def established(protocol: str) -> bytes:
    """What tells the client its tunnel is open (nothing for forwarded HTTP)."""
    if protocol == "connect":
        return b"HTTP/1.1 200 Connection established\r\n\r\n"
    if protocol == "socks5":
        return _socks5_reply(SocksReply.SUCCEEDED)
    return b""


def refusal(protocol: str, status: int, reason: str,
            socks_code: int | None = None) -> bytes:
    """The answer to a request the proxy does not carry out.

    HTTP clients show the status line of a failed ``CONNECT`` and little else,
    so the reason is in the status line as well as in the body.
    """
    if protocol == ANSWERED:
        return b""
    if protocol == "socks5":
        return _socks5_reply(socks_code if socks_code is not None
                             else _SOCKS_CODES.get(status, SocksReply.GENERAL_FAILURE))
    text = "".join(c if " " <= c <= "~" else "?" for c in reason)
    body = f"{text}\n".encode("ascii")
    phrase = _REASON_PHRASES.get(status, "Error")
    quoted = text.replace("\\", "").replace('"', "")
    return (f"HTTP/1.1 {status} {phrase} ({text})\r\n"
            f"Content-Type: text/plain; charset=us-ascii\r\nContent-Length: {len(body)}\r\n"
            f"Proxy-Status: vantor-sandbox; details=\"{quoted}\"\r\n"
            "Connection: close\r\n\r\n").encode("ascii") + body


def _socks5_reply(code: int) -> bytes:
    # The bound address is left unspecified: it would tell the tool the host's address.
    return bytes((SOCKS_VERSION, code, 0, 1, 0, 0, 0, 0, 0, 0))
