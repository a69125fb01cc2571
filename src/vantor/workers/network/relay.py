"""One connection through the proxy: its limits, its counts, and the bytes it relays.

A :class:`Link` starts as the tool's accepted connection, whose request is
read through a :class:`asyncio.StreamReader`; it gains the destination's
connection once the proxy has connected, and then moves bytes between the
two at the transport level: each side's :class:`_Pump` receives into a
buffer of its own and writes straight to the other side's transport, so a
byte the other side can send at once is copied only by the kernel's receive
and send.  A side that cannot take more pauses reading on the other.  Bytes
are counted per sandbox as they pass; the one that crosses a byte limit ends
the connection there.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Callable
from dataclasses import dataclass

logger = logging.getLogger("vantor.workers.proxy")

# A side's first buffer is small (most exchanges are); one that fills it gets a large one.
_FIRST_CHUNK = 16 * 1024
_CHUNK = 256 * 1024


@dataclass(frozen=True)
class ProxyLimits:
    """What one sandbox may use of the proxy.  None means no limit.

    ``connections``: connections open at once (the next ones are refused;
    past twice as many, closed unanswered); ``bytes_out`` and ``bytes_in``:
    bytes sent towards destinations and received from them, over the
    sandbox's life (the connection that goes past one is cut there, later ones
    are refused); ``connect_timeout``: seconds to resolve a name and connect;
    ``idle_timeout``: seconds a connection may pass with no byte either way;
    ``lookups``: name lookups of the sandbox under way at once, each on a
    thread of its own (a request past them waits for one to end);
    ``lookup_timeout``: seconds a request waits for its lookup, its wait for a
    free lookup included, before it is answered that the name cannot be
    resolved.
    """

    connections: int | None = 32
    bytes_out: int | None = None
    bytes_in: int | None = None
    connect_timeout: float = 10.0
    idle_timeout: float | None = 300.0
    lookups: int = 4
    lookup_timeout: float = 5.0

    def __post_init__(self) -> None:
        if self.lookups < 1:
            raise ValueError("lookups must be at least 1")
        if not self.lookup_timeout > 0:
            raise ValueError("lookup_timeout must be above 0 seconds")


@dataclass
class ProxyStats:
    """Counts for one sandbox: requests allowed and refused, destinations that
    could not be reached, connections open now, connections cut by a limit,
    and bytes sent (out) and received (in)."""

    allowed: int = 0
    refused: int = 0
    failed: int = 0
    open: int = 0
    cut: int = 0
    bytes_out: int = 0
    bytes_in: int = 0


class _Pump(asyncio.BufferedProtocol):
    """One side of a link: what arrives goes to the other side, ``direction`` counted."""

    def __init__(self, link: "Link", direction: str):
        self.link = link
        self.direction = direction
        self.view: memoryview | None = None
        self.size = _FIRST_CHUNK

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        # The destination's side: nothing goes to the tool before its reply.
        assert isinstance(transport, asyncio.Transport)
        transport.pause_reading()

    def get_buffer(self, sizehint: int) -> memoryview:
        if self.view is None:
            self.view = memoryview(bytearray(self.size))
        return self.view

    def buffer_updated(self, nbytes: int) -> None:
        assert self.view is not None
        kept = self.link.forward(self.direction, self.view[:nbytes])
        if nbytes == self.size < _CHUNK:
            self.size, kept = _CHUNK, True
        if kept:
            # The other side keeps what it could not send; some versions of
            # asyncio keep it as a view of this buffer, so it is not reused.
            self.view = None

    def eof_received(self) -> bool:
        self.link.ended(self.direction)
        return True  # the other way may go on

    def connection_lost(self, exc: Exception | None) -> None:
        self.link.lost(self.direction)

    def pause_writing(self) -> None:
        if self.link.upstream is not None:
            self.link.source(self.direction, opposite=True).pause_reading()

    def resume_writing(self) -> None:
        if self.link.upstream is not None:
            self.link.source(self.direction, opposite=True).resume_reading()


class _ToolSide(_Pump):
    """The tool's side: first its request goes to a reader, then bytes are relayed."""

    def __init__(self, link: "Link", reader: asyncio.StreamReader, start: Callable[[], None]):
        super().__init__(link, "out")
        self.reader: asyncio.StreamReader | None = reader
        self.start = start
        self.ended_early = False  # the tool's end of sending came before the relay

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport) and self.reader is not None
        self.link.client = transport
        self.reader.set_transport(transport)
        self.start()

    def buffer_updated(self, nbytes: int) -> None:
        if self.reader is None:
            super().buffer_updated(nbytes)
        else:
            assert self.view is not None
            self.reader.feed_data(self.view[:nbytes])  # copied into the reader's buffer

    def eof_received(self) -> bool:
        if self.reader is None:
            return super().eof_received()
        self.ended_early = True
        self.reader.feed_eof()
        return True

    def connection_lost(self, exc: Exception | None) -> None:
        if self.reader is not None:
            self.reader.feed_eof()
        super().connection_lost(exc)

    async def rest(self) -> bytes:
        """What the tool sent after its request; from now on its bytes are relayed."""
        reader, self.reader = self.reader, None
        assert reader is not None
        reader.feed_eof()  # nothing more is fed to it
        return await reader.read()


class Link:
    """One accepted connection and, once connected, its destination; owns the idle timer."""

    def __init__(self, label: str, limits: ProxyLimits, stats: ProxyStats):
        self.label, self.limits, self.stats = label, limits, stats
        self.client: asyncio.Transport | None = None
        self.upstream: asyncio.Transport | None = None
        self.reader: asyncio.StreamReader | None = None
        self.tool: _ToolSide | None = None
        self.task: asyncio.Task[None] | None = None
        self.loop = asyncio.get_running_loop()
        self.last = self.loop.time()
        self.connecting = False  # the connect timeout applies then, not the idle one
        self.done = self.loop.create_future()
        self._ended: set[str] = set()
        self._lost: set[str] = set()
        self._was_cut = False
        self.timer: asyncio.TimerHandle | None = None
        if limits.idle_timeout is not None:
            self.timer = self.loop.call_at(self.last + limits.idle_timeout, self._check_idle)

    def tool_side(self, reader: asyncio.StreamReader,
                  start: Callable[[], None]) -> asyncio.BufferedProtocol:
        """The protocol of the tool's connection; ``start`` is called once it is made."""
        self.reader = reader
        self.tool = _ToolSide(self, reader, start)
        return self.tool

    def upstream_pump(self) -> asyncio.BufferedProtocol:
        """The protocol of the connection to the destination."""
        return _Pump(self, "in")

    async def relay(self, head: bytes) -> None:
        """Relays until both sides end: ``head``, then what the tool sent after its request."""
        assert self.upstream is not None and self.tool is not None
        self.forward("out", head + await self.tool.rest())
        if self.tool.ended_early:
            self.ended("out")
        self.upstream.resume_reading()
        await self.done

    def source(self, direction: str, opposite: bool = False) -> asyncio.Transport:
        """The transport ``direction``'s bytes come from (or go to, with ``opposite``)."""
        client = (direction == "out") != opposite
        transport = self.client if client else self.upstream
        assert transport is not None
        return transport

    def forward(self, direction: str, data: memoryview | bytes) -> bool:
        """Sends ``data`` on, counting it against the sandbox's limit for ``direction``;
        True when the other side holds bytes it could not send yet."""
        self.last = self.loop.time()
        field = f"bytes_{direction}"
        used, limit = getattr(self.stats, field), getattr(self.limits, field)
        over = limit is not None and used + len(data) > limit
        if over:
            data = data[:max(limit - used, 0)]
        setattr(self.stats, field, used + len(data))
        target = self.source(direction, opposite=True)
        if data:
            target.write(data)
        if over:
            self.cut(f"byte limit {direction} reached ({limit})", now=False)
        return target.get_write_buffer_size() > 0

    def ended(self, direction: str) -> None:
        """The side ``direction`` comes from will send no more: tell the other side."""
        self._ended.add(direction)
        target = self.source(direction, opposite=True)
        if len(self._ended) == 2 or not target.can_write_eof():
            self.close()
        else:
            target.write_eof()

    def lost(self, direction: str) -> None:
        """The side ``direction`` comes from is gone: the other ends once it has sent all."""
        self._lost.add(direction)
        self.close()
        if self.timer is not None and len(self._lost) == (1 if self.upstream is None else 2):
            self.timer.cancel()  # every connection is gone: nothing is left to end
        if len(self._lost) == 2 and not self.done.done():
            self.done.set_result(None)

    def _check_idle(self) -> None:
        idle = self.limits.idle_timeout
        assert idle is not None
        if self.connecting:
            self.last = self.loop.time()
        if self.loop.time() - self.last >= idle:
            self.cut("idle timeout")
        else:
            self.timer = self.loop.call_at(self.last + idle, self._check_idle)

    def cut(self, why: str, now: bool = True) -> None:
        """Ends the connection for a limit: now, or once what is written is sent."""
        logger.info("sandbox %s: connection cut: %s", self.label, why)
        if not self._was_cut:  # counted once: one cut at a byte limit may idle out closing
            self.stats.cut += 1
            self._was_cut = True
        self._end(now)

    def abort(self) -> None:
        """Ends both sides now, dropping what is not sent yet."""
        self._end(now=True)

    def close(self) -> None:
        """Ends both sides once what is written is sent."""
        self._end(now=False)

    def _end(self, now: bool) -> None:
        # A graceful end keeps the idle timer: it waits for what is written to be
        # sent, and a peer that reads no more would hold the connection for ever.
        if now and self.timer is not None:
            self.timer.cancel()
        for transport in (self.client, self.upstream):
            if transport is not None:
                if now:
                    transport.abort()
                else:
                    transport.close()
