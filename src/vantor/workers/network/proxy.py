"""The host's network proxy: the only way out for sandboxes that may use the network.

One :class:`Proxy` per host process serves every sandbox.  It is given, for
each sandbox, a socket already bound and listening (made inside the
sandbox's network namespace, so the sandbox reaches it on its own loopback),
the sandbox's label, its :class:`~vantor.workers.network.policy.NetworkPolicy`
and its :class:`ProxyLimits`.  Every connection accepted on that socket is
the sandbox's: the label comes from the socket, never from what the tool
says.  For each request the proxy checks the destination's name (in its
canonical form), resolves it on the host (on lookup threads of the sandbox's
own, at most :attr:`ProxyLimits.lookups` at once, each waited for at most
:attr:`ProxyLimits.lookup_timeout`: a sandbox whose lookups stall delays only
itself), checks every address (against the special ranges and the host's own
addresses, kept current), connects to a checked address only, and then
relays bytes both ways, counting them.  A name is logged and returned only
with its control characters escaped (:func:`~vantor.workers.network.policy.shown`).  Each decision goes to the
``vantor.workers.proxy`` logger and to the optional ``on_decision`` callback;
:meth:`Proxy.stats` gives the counts per sandbox.

The proxy runs an asyncio loop on a thread of its own, so blocking and
asyncio hosts use it alike; its methods may be called from any thread.
"""

from __future__ import annotations

import asyncio
import logging
import socket
import threading
from collections.abc import Callable, Coroutine
from dataclasses import dataclass, field, replace
from typing import Any, TypeVar

from vantor.workers.network.addresses import HostAddresses
from vantor.workers.network.policy import (
    IPAddress,
    NetworkPolicy,
    canonical_name,
    parse_address,
    shown,
)
from vantor.workers.network.protocols import (
    HEAD_LIMIT,
    BadRequest,
    Request,
    established,
    read_request,
    refusal,
)
from vantor.workers.network.relay import Link, ProxyLimits, ProxyStats

logger = logging.getLogger("vantor.workers.proxy")

_T = TypeVar("_T")

__all__ = ["Decision", "Proxy", "ProxyLimits", "ProxyServer", "ProxyStats"]

@dataclass(frozen=True)
class Decision:
    """One request and what the proxy made of it.

    ``host`` is the destination as asked for, its control characters escaped;
    ``address`` is the address connected to first when allowed; ``protocol``
    is ``"connect"``, ``"http"`` or ``"socks5"``.
    """

    sandbox: str
    host: str
    port: int
    allowed: bool
    reason: str
    protocol: str
    address: str | None = None


class _Refused(Exception):
    """A request not carried out: by the policy or a limit (403), or because the
    destination could not be resolved or reached (502, 504)."""

    def __init__(self, reason: str, status: int = 403):
        super().__init__(reason)
        self.status = status


@dataclass
class _Entry:
    """The proxy's state for one sandbox."""

    label: str
    policy: NetworkPolicy
    limits: ProxyLimits
    stats: ProxyStats
    links: set[Link] = field(default_factory=set)
    lookups: asyncio.Semaphore | None = None
    server: asyncio.AbstractServer | None = None

    def __post_init__(self) -> None:
        self.lookups = asyncio.Semaphore(self.limits.lookups)


class ProxyServer:
    """The proxy's work on one asyncio loop; :class:`Proxy` runs it on its own thread."""

    def __init__(self, on_decision: Callable[[Decision], Any] | None = None,
                 host_addresses: HostAddresses | None = None):
        self.on_decision = on_decision
        self._entries: dict[str, _Entry] = {}
        self._host = host_addresses if host_addresses is not None else HostAddresses()

    async def add(self, sock: socket.socket, label: str, policy: NetworkPolicy,
                  limits: ProxyLimits) -> None:
        """Serves ``sock`` (bound and listening) for the sandbox ``label``; takes the socket,
        closing it when it cannot be served."""
        entry = _Entry(label, policy, limits, ProxyStats())
        try:
            if label in self._entries:
                raise ValueError(f"the proxy already serves a sandbox labelled {label!r}")
            loop = asyncio.get_running_loop()
            entry.server = await loop.create_server(lambda: self._accepted(entry), sock=sock)
        except BaseException:
            sock.close()
            raise
        self._entries[label] = entry  # only now: remove() and close() expect its server

    def _accepted(self, entry: _Entry) -> asyncio.BaseProtocol:
        link = Link(entry.label, entry.limits, entry.stats)

        def start() -> None:
            link.task = asyncio.get_running_loop().create_task(self._serve(entry, link))

        return link.tool_side(asyncio.StreamReader(HEAD_LIMIT), start)

    async def remove(self, label: str) -> ProxyStats:
        """Stops serving ``label``, ends its connections, returns its final counts."""
        entry = self._entries.pop(label)
        assert entry.server is not None
        entry.server.close()
        for link in list(entry.links):
            link.abort()
        await entry.server.wait_closed()
        return replace(entry.stats)

    def stats(self) -> dict[str, ProxyStats]:
        """A copy of the counts of every sandbox served."""
        return {label: replace(entry.stats) for label, entry in self._entries.items()}

    async def close(self) -> None:
        """Stops serving every sandbox."""
        for label in list(self._entries):
            await self.remove(label)
        self._host.close()

    async def _serve(self, entry: _Entry, link: Link) -> None:
        limit = entry.limits.connections
        if limit is not None and entry.stats.open >= 2 * limit:
            # Far past its limit the sandbox gets no answer: each connection
            # is a descriptor of the host's until it is answered.
            logger.info("sandbox %s: connection dropped, %d open", entry.label, entry.stats.open)
            link.abort()
            return
        entry.links.add(link)
        entry.stats.open += 1
        try:
            await self._handle(entry, link)
        except (OSError, asyncio.IncompleteReadError):
            link.abort()
        finally:
            entry.stats.open -= 1
            entry.links.discard(link)
            link.close()

    async def _handle(self, entry: _Entry, link: Link) -> None:
        reader, client = link.reader, link.client
        assert reader is not None and client is not None
        first = await reader.read(1)
        if not first:
            return
        try:
            request = await read_request(first, reader, client)
        except BadRequest as error:
            logger.info("sandbox %s: bad request: %s", entry.label, shown(str(error)))
            client.write(refusal(error.protocol, error.status, str(error), error.socks_code))
            return
        link.connecting = True
        try:
            addresses = await self._admit(entry, request)
            link.upstream = await self._connect(link, addresses, request.port)
        except _Refused as refused:
            if refused.status != 403:
                entry.stats.failed += 1
                logger.info("sandbox %s: %s", entry.label, shown(str(refused)))
            client.write(refusal(request.protocol, refused.status, str(refused)))
            return
        finally:
            link.connecting = False
            link.last = link.loop.time()
        if client.is_closing():
            return  # the tool went, or its sandbox was removed, meanwhile: close() ends both
        client.write(established(request.protocol))
        await link.relay(request.forward)

    async def _admit(self, entry: _Entry, request: Request) -> list[IPAddress]:
        """The checked addresses of the request's destination; raises _Refused."""
        try:
            addresses = await self._vet(entry, request)
        except _Refused as refused:
            if refused.status == 403:
                self._decide(entry, request, False, str(refused))
            raise
        self._decide(entry, request, True, "allowed", str(addresses[0]))
        return addresses

    async def _vet(self, entry: _Entry, request: Request) -> list[IPAddress]:
        limits, stats, policy = entry.limits, entry.stats, entry.policy
        if limits.connections is not None and stats.open > limits.connections:
            raise _Refused(f"too many connections at once (the sandbox's limit is "
                           f"{limits.connections})")
        for direction in ("out", "in"):
            limit = getattr(limits, f"bytes_{direction}")
            if limit is not None and getattr(stats, f"bytes_{direction}") >= limit:
                raise _Refused(f"the sandbox used its {limit} bytes {direction}")
        literal = parse_address(request.host)
        if literal is not None:
            reason = policy.check_address(literal, request.port, named=False,
                                          host=self._host.current())
            if reason:
                raise _Refused(reason)
            return [literal]
        name = canonical_name(request.host)
        if name is None:
            raise _Refused(f"{shown(request.host)} is not a host name (as UTS #46 maps "
                           f"names)")
        reason = policy.check_name(name, request.port)
        if reason:
            raise _Refused(reason)
        kept, reasons = [], []
        resolved = await self._resolve(entry, name, request.port)
        host = self._host.current()  # after the lookup: as of the connection
        for address in resolved:
            reason = policy.check_address(address, request.port, named=True, host=host)
            if reason:
                reasons.append(reason)
            else:
                kept.append(address)
        if not kept:
            raise _Refused(f"{name} resolves to refused addresses: {'; '.join(reasons)}")
        return kept

    async def _resolve(self, entry: _Entry, name: str, port: int) -> list[IPAddress]:
        timeout = min(entry.limits.lookup_timeout, entry.limits.connect_timeout)
        try:
            infos = await asyncio.wait_for(self._lookup(entry, name, port), timeout)
        except asyncio.TimeoutError:
            raise _Refused(f"cannot resolve {name}: no answer in {timeout:g} s", 502) from None
        except OSError as error:
            raise _Refused(f"cannot resolve {name}: {error}", 502) from None
        found: list[IPAddress] = []
        for info in infos:
            address = parse_address(info[4][0])
            if address is not None and address not in found:
                found.append(address)
        return found

    async def _lookup(self, entry: _Entry, name: str, port: int) -> list[Any]:
        """getaddrinfo on a thread of its own, once one of the sandbox's lookups is free.

        The sandbox's lookup is given back when getaddrinfo returns, not when its
        waiter gives up: a sandbox whose lookups stall waits for its own, and no
        other sandbox's lookup waits for them.  The threads are daemons: a lookup
        the resolver never answers does not hold up the host's exit.
        """
        loop = asyncio.get_running_loop()
        lookups = entry.lookups
        assert lookups is not None
        await lookups.acquire()
        answer: asyncio.Future[list[Any]] = loop.create_future()

        def settle(result: list[Any] | None, error: BaseException | None) -> None:
            lookups.release()
            if answer.done():
                return
            if error is not None:
                answer.set_exception(error)
            else:
                answer.set_result(result or [])

        def look_up() -> None:
            result, error = None, None
            try:
                result = socket.getaddrinfo(name, port, 0, socket.SOCK_STREAM,
                                            socket.IPPROTO_TCP)
            except BaseException as failure:  # handed to the waiter
                error = failure
            try:
                loop.call_soon_threadsafe(settle, result, error)
            except RuntimeError:  # the proxy has closed meanwhile
                pass

        try:
            threading.Thread(target=look_up, name="vantor-proxy-lookup", daemon=True).start()
        except BaseException:
            lookups.release()
            raise
        return await answer

    async def _connect(self, link: Link, addresses: list[IPAddress], port: int
                       ) -> asyncio.Transport:
        """Connects to the first checked address that answers; never resolves again."""
        loop = link.loop
        deadline = loop.time() + link.limits.connect_timeout
        errors = []
        for address in addresses:
            family = socket.AF_INET6 if address.version == 6 else socket.AF_INET
            try:
                transport, _ = await asyncio.wait_for(loop.create_connection(
                    link.upstream_pump, str(address), port, family=family,
                    flags=socket.AI_NUMERICHOST), max(deadline - loop.time(), 0))
                return transport
            except asyncio.TimeoutError:
                raise _Refused(f"connecting to {address} port {port} timed out", 504) from None
            except OSError as error:
                errors.append(f"{address}: {error.strerror or error}")
        raise _Refused(f"cannot connect to port {port}: {'; '.join(errors)}", 502)

    def _decide(self, entry: _Entry, request: Request, allowed: bool, reason: str,
                address: str | None = None) -> None:
        host = shown(request.host)
        reason = shown(reason)
        decision = Decision(entry.label, host, request.port, allowed, reason,
                            request.protocol, address)
        if allowed:
            entry.stats.allowed += 1
        else:
            entry.stats.refused += 1
        logger.log(logging.DEBUG if allowed else logging.INFO, "sandbox %s: %s %s:%d: %s",
                   entry.label, "allowed" if allowed else "refused", host,
                   request.port, reason)
        if self.on_decision is not None:
            try:
                self.on_decision(decision)
            except Exception:  # the host's callback must not take a connection down
                logger.exception("the proxy's on_decision callback failed")


class Proxy:
    """The host's proxy, running on a thread of its own (see the module's text).

    ``on_decision`` is called on the proxy's thread with each :class:`Decision`;
    it should return quickly and must not call the proxy's methods.
    """

    def __init__(self, on_decision: Callable[[Decision], Any] | None = None):
        self._server = ProxyServer(on_decision)
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="vantor-proxy",
                                         daemon=True)
        self._thread.start()

    def _call(self, coroutine: Coroutine[Any, Any, _T]) -> _T:
        return asyncio.run_coroutine_threadsafe(coroutine, self._loop).result()

    def add(self, sock: socket.socket, label: str, policy: NetworkPolicy,
            limits: ProxyLimits = ProxyLimits()) -> None:
        """Serves the listening socket ``sock`` for the sandbox ``label``; takes the socket."""
        self._call(self._server.add(sock, label, policy, limits))

    def remove(self, label: str) -> ProxyStats:
        """Stops serving ``label``, ends its connections and returns its final counts."""
        return self._call(self._server.remove(label))

    def stats(self) -> dict[str, ProxyStats]:
        """Counts per sandbox label, as of now."""
        return self._call(self._stats())

    async def _stats(self) -> dict[str, ProxyStats]:
        return self._server.stats()

    def close(self) -> None:
        """Stops serving every sandbox and ends the proxy's thread."""
        if self._loop.is_closed():
            return
        self._call(self._server.close())
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()
        self._loop.close()

    def __enter__(self) -> "Proxy":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
