"""The MCP server: the SDK's low-level server over stdio or streamable HTTP, with an
:class:`AsyncWorkerPool` that lives exactly as long as it.

The pool is started (every worker ready, its sandbox in force) before the
first message is read, so a machine that cannot provide the sandbox fails at
start, naming what is missing.  Calls run concurrently, one per free worker.
A call the client cancels is cancelled here: the pool kills its worker and
starts another.  On the end of standard input (stdio), SIGTERM or SIGINT the
server stops serving, closes the pool (reaping every worker) and exits 0.
"""

from __future__ import annotations

import asyncio
import contextlib
import hashlib
import hmac
import ipaddress
import json
import os
import signal
import socket
import stat
import sys
from collections.abc import AsyncIterator, Iterator
from typing import Any

import mcp.types as types
import uvicorn
from mcp.server import Server, ServerRequestContext
from mcp.server.transport_security import TransportSecuritySettings
from mcp.shared.exceptions import MCPError

from vantor.workers.client import AsyncWorkerPool, WorkerError

from .config import Config
from .scripts import PathRefused, ScriptDirectories
from vantor.workers.mcp.telemetry import configure_from_environment, log_call, start_call_log
from .tools import (
    ArgumentsRefused,
    answered,
    call_timeout,
    client_failure,
    failed,
    tool_specs,
    usage_of,
)

NAME = "vantor-workers"
SANDBOX_URI = "vantor-workers://sandbox"
# The longest message line read from standard input.
_LINE_LIMIT = 256 * 1024 * 1024

_INSTRUCTIONS = (
    "Runs Python 3.11 code in worker processes, sandboxed unless configured otherwise. Use "
    "run_inline for code, validate to check syntax, and sandbox_report to learn what the code "
    "may reach. Each call starts from a fresh namespace; failures come back as tool errors "
    "with the exception's traceback.")


class Service:
    """What the server's handlers answer with: the tools, the pool, the sandbox report."""

    def __init__(self, config: Config, pool: AsyncWorkerPool):
        self.config = config
        self.pool = pool
        self.scripts = ScriptDirectories(config.scripts)
        self.specs = {spec.name: spec for spec in tool_specs(config)}
        self.limit = config.section("pool")["timeout"]
        sandbox = config.sandbox()
        self.network = sandbox is None or sandbox.network
        self.protections: dict[str, Any] | None = None

    def sandbox_report(self) -> dict[str, Any]:
        policy = self.config.describe()["sandbox"]
        return {"sandboxed": policy["enabled"], "policy": policy,
                "protections": self.protections}

    async def list_tools(self, ctx: ServerRequestContext,
                         params: types.PaginatedRequestParams | None) -> types.ListToolsResult:
        tools = [spec.listing(self.network) for spec in self.specs.values()]
        tools.append(types.Tool(
            name="sandbox_report", title="Describe the sandbox",
            description="What the code run by the other tools may reach: the sandbox policy "
                        "(readable and writable paths, network, limits) and which protections "
                        "are in force on this machine.",
            input_schema={"type": "object", "properties": {}, "additionalProperties": False},
            annotations=types.ToolAnnotations(read_only_hint=True, idempotent_hint=True)))
        return types.ListToolsResult(tools=tools)

    async def call_tool(self, ctx: ServerRequestContext,
                        params: types.CallToolRequestParams) -> types.CallToolResult:
        if params.name == "sandbox_report":
            report = self.sandbox_report()
            return types.CallToolResult(
                content=[types.TextContent(text=json.dumps(report, indent=2))],
                structured_content=report)
        spec = self.specs.get(params.name)
        if spec is None:
            raise MCPError(types.INVALID_PARAMS, f"unknown tool: {params.name}")
        try:
            arguments = spec.checked(params.arguments)
            request = spec.request(arguments, self.scripts)
            answer = await self.pool.request(request, call_timeout(arguments, self.limit))
        except (ArgumentsRefused, PathRefused, WorkerError) as error:
            failure = client_failure(error)
            log_call(params.name, failure["kind"], failure["usage"])
            return failed(failure)
        log_call(params.name, "answered" if answer.ok else "refused", usage_of(answer))
        return answered(answer)

    async def list_resources(self, ctx: ServerRequestContext,
                             params: types.PaginatedRequestParams | None
                             ) -> types.ListResourcesResult:
        return types.ListResourcesResult(resources=[types.Resource(
            uri=SANDBOX_URI, name="sandbox", mime_type="application/json",
            description="The sandbox policy and the protections in force")])

    async def read_resource(self, ctx: ServerRequestContext,
                            params: types.ReadResourceRequestParams
                            ) -> types.ReadResourceResult:
        if params.uri != SANDBOX_URI:
            raise MCPError(types.INVALID_PARAMS, f"unknown resource: {params.uri}")
        text = json.dumps(self.sandbox_report(), indent=2)
        return types.ReadResourceResult(contents=[types.TextResourceContents(
            uri=SANDBOX_URI, mime_type="application/json", text=text)])

    def server(self) -> Server:
        from importlib.metadata import version

        return Server(NAME, version=version("vantor-workers"), instructions=_INSTRUCTIONS,
                      on_list_tools=self.list_tools, on_call_tool=self.call_tool,
                      on_list_resources=self.list_resources,
                      on_read_resource=self.read_resource)


async def serve(config: Config) -> None:
    """Serve until the client goes away or a signal asks to stop; the pool closes with it."""
    start_call_log()
    configure_from_environment()
    async with AsyncWorkerPool(**config.pool_arguments()) as pool:
        await pool.start()
        service = Service(config, pool)
        service.protections = pool.workers[0].protections
        server = service.server()
        if config.transport == "stdio":
            serving = asyncio.ensure_future(_serve_stdio(server))
            stop = serving.cancel
        else:
            http = _HttpServer(server, config)
            serving = asyncio.ensure_future(http.serve(sockets=[http.listener]))
            stop = http.stop
        loop = asyncio.get_running_loop()
        for number in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(number, stop)
        try:
            await asyncio.wait([serving])
        finally:
            for number in (signal.SIGTERM, signal.SIGINT):
                loop.remove_signal_handler(number)
        if not serving.cancelled() and serving.exception() is not None:
            raise serving.exception()


async def _serve_stdio(server: Server) -> None:
    from mcp.server.stdio import stdio_server

    async with _loop_stdio() as (stdin, stdout), \
            stdio_server(stdin=stdin, stdout=stdout) as (read_stream, write_stream):
        await server.run(read_stream, write_stream, server.create_initialization_options())


class _Lines:
    """Lines of a stream the event loop reads, as the SDK's stdio transport iterates them."""

    def __init__(self, reader: asyncio.StreamReader):
        self._reader = reader

    def __aiter__(self) -> "_Lines":
        return self

    async def __anext__(self) -> str:
        line = await self._reader.readline()
        if not line:
            raise StopAsyncIteration
        return line.decode("utf-8", "replace")


class _Output:
    """A stream the event loop writes, as the SDK's stdio transport writes to it."""

    def __init__(self, writer: asyncio.StreamWriter):
        self._writer = writer

    async def write(self, text: str) -> None:
        self._writer.write(text.encode("utf-8"))

    async def flush(self) -> None:
        await self._writer.drain()


def _is_stream(fd: int) -> bool:
    mode = os.fstat(fd).st_mode
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode) or stat.S_ISCHR(mode)


@contextlib.asynccontextmanager
async def _loop_stdio() -> AsyncIterator[tuple[_Lines | None, _Output | None]]:
    """Standard input and output driven by the event loop, not by a thread per read and
    per write: a message costs no thread hand-off, and a signal stops the server at once
    instead of waiting for a blocked read.  Descriptor 1 then points at standard error,
    so that nothing printed by accident reaches the client as a message.  (None, None),
    the SDK's own threads, where the descriptors are not pipes, sockets or terminals."""
    if not (_is_stream(0) and _is_stream(1)):
        yield None, None
        return
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader(limit=_LINE_LIMIT)
    read_transport, _ = await loop.connect_read_pipe(
        lambda: asyncio.StreamReaderProtocol(reader), os.fdopen(os.dup(0), "rb", buffering=0))
    wire = os.dup(1)
    os.dup2(2, 1)
    write_transport, protocol = await loop.connect_write_pipe(
        asyncio.streams.FlowControlMixin, os.fdopen(wire, "wb", buffering=0))
    writer = asyncio.StreamWriter(write_transport, protocol, None, loop)
    try:
        yield _Lines(reader), _Output(writer)
    finally:
        read_transport.close()
        write_transport.close()


class ListenError(OSError):
    """The HTTP transport cannot listen on the address it was given."""


def _loopback_checks(address: str) -> TransportSecuritySettings | None:
    """The Host and Origin checks for a server bound to ``address`` when it is a loopback
    one, so that a web page whose name is rebound to loopback cannot reach the server (the
    SDK checks only when given 127.0.0.1, localhost or ::1 as such); None for others."""
    bound = ipaddress.ip_address(address)
    mapped = bound.ipv4_mapped if isinstance(bound, ipaddress.IPv6Address) else None
    if not (mapped or bound).is_loopback:
        return None
    # The address as shown and as written in short; an IPv4-mapped one as its IPv4 clients see it.
    names = {address, str(bound), str(mapped or bound)}
    hosts = {"localhost", "127.0.0.1", "[::1]"} | {f"[{name}]" if ":" in name else name
                                                   for name in names}
    return TransportSecuritySettings(
        enable_dns_rebinding_protection=True, allowed_hosts=[f"{host}:*" for host in sorted(hosts)],
        allowed_origins=[f"http://{host}:*" for host in sorted(hosts)])


class _BearerToken:
    """An ASGI layer that lets through only HTTP requests carrying the server's bearer
    token (``Authorization: Bearer TOKEN``); every other request is answered 401 before
    the SDK sees it, so it opens no session and reaches no worker.  The tokens are
    compared as SHA-256 digests with :func:`hmac.compare_digest`: in constant time,
    whatever their lengths."""

    def __init__(self, app: Any, token: str):
        self.app = app
        self._digest = hashlib.sha256(token.encode("utf-8")).digest()

    def _carries_token(self, headers: list[tuple[bytes, bytes]]) -> bool:
        given = [value for name, value in headers if name.lower() == b"authorization"]
        if len(given) != 1:
            return False
        scheme, _, credentials = given[0].strip().partition(b" ")
        digest = hashlib.sha256(credentials.strip()).digest()
        return hmac.compare_digest(digest, self._digest) and scheme.lower() == b"bearer"

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] in ("http", "websocket") and not self._carries_token(scope["headers"]):
            body = b'{"error": "unauthorized: this server needs its bearer token"}'
            await send({"type": "http.response.start", "status": 401, "headers": [
                (b"content-type", b"application/json"),
                (b"content-length", str(len(body)).encode("ascii")),
                (b"www-authenticate", b'Bearer realm="vantor-workers"')]})
            await send({"type": "http.response.body", "body": body})
            return
        await self.app(scope, receive, send)


class _HttpServer(uvicorn.Server):
    """Streamable HTTP on a socket bound at once (its address printed); stopped by :meth:`stop`."""

    def __init__(self, server: Server, config: Config):
        family = socket.AF_INET6 if ":" in config.host else socket.AF_INET
        self.listener = socket.socket(family, socket.SOCK_STREAM)
        try:
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.listener.bind((config.host, config.port))
            self.listener.listen(128)
        except OSError as error:
            self.listener.close()
            raise ListenError(f"cannot listen on {config.host} port {config.port}: "
                              f"{error.strerror or error}") from None
        host, port = self.listener.getsockname()[:2]
        checks = _loopback_checks(host)
        token = config.token
        if checks is None and token is None:  # the configuration refuses this already
            self.listener.close()
            raise ListenError(f"{host} is not a loopback address and the server has no "
                              "bearer token (--token-file FILE or --token TOKEN)")
        app: Any = server.streamable_http_app(
            host=config.host, transport_security=checks, max_sessions=config.max_sessions,
            session_idle_timeout=config.session_timeout)
        if token is not None:
            app = _BearerToken(app, token)
        super().__init__(uvicorn.Config(app, log_level="warning", lifespan="on"))
        shown = f"[{host}]" if family == socket.AF_INET6 else host
        print(f"{NAME}: MCP server at http://{shown}:{port}/mcp", file=sys.stderr, flush=True)

    def stop(self) -> None:
        self.should_exit = True

    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        # The signals are the caller's: they stop this server through stop().
        yield

    async def serve(self, sockets: list[socket.socket] | None = None) -> None:
        with self.listener:
            await super().serve(sockets)
