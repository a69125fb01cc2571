"""Requests through the sandbox proxy against the same requests made directly.

Three processes, as in use: this driver plays the tool, a second process runs
the host's :class:`~vantor.workers.network.proxy.Proxy` on a loopback listener, a
third is the destination, an HTTP server on loopback that answers ``GET /N``
with N bytes (N up to the size it is started with) and closes.  The driver's
client is a raw socket (so that the figures are the proxy's, not a client
library's), one new connection per request, as a tool that fetches a page does:

- latency of a small request: direct, plain HTTP through the proxy, a
  ``CONNECT`` tunnel and SOCKS5 (domain name ``localhost``), the four kinds
  taking turns request by request in a turning order; the median of each
  round, and the median over rounds;
- throughput of a large download, direct against a ``CONNECT`` tunnel, the
  two alternating; MiB/s, median over rounds; and the CPU time of the proxy's
  process per MiB it relayed, a figure the machine's load moves less.

    python bench/proxy.py             # about 20 s on 2 cores
    python bench/proxy.py --quick     # a smoke run
    python bench/proxy.py --out DIR   # where proxy.md and proxy.json go
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import socket
import statistics
import struct
import subprocess
import sys
import textwrap
import time
from collections.abc import Callable
from pathlib import Path

ORIGIN = textwrap.dedent("""
    import socket, sys, threading
    payload = memoryview(b"x" * int(sys.argv[1]))  # the largest answer the run asks for

    def answer(conn):
        with conn:
            head = b""
            while b"\\r\\n\\r\\n" not in head:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                head += chunk
            size = int(head.split(b" ", 2)[1].rsplit(b"/", 1)[1])
            conn.sendall(b"HTTP/1.1 200 OK\\r\\nContent-Length: %d\\r\\n"
                         b"Connection: close\\r\\n\\r\\n" % size)
            conn.sendall(payload[:size])

    server = socket.create_server(("127.0.0.1", 0), backlog=128)
    print(server.getsockname()[1], flush=True)
    while True:
        conn, _ = server.accept()
        threading.Thread(target=answer, args=(conn,), daemon=True).start()
""")

PROXY = textwrap.dedent("""
    import socket, sys
    from vantor.workers.network.policy import NetworkPolicy
    from vantor.workers.network.proxy import Proxy
    port = int(sys.argv[1])
    listener = socket.create_server(("127.0.0.1", 0), backlog=128)
    proxy = Proxy()
    proxy.add(listener, "bench", NetworkPolicy([f"localhost:{port}", f"127.0.0.1:{port}"]))
    print(listener.getsockname()[1], flush=True)
    sys.stdin.read()
    proxy.close()
""")

SMALL = 100


def start(source: str, *args: str) -> tuple[subprocess.Popen[bytes], int]:
    """A helper process and the port it prints."""
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    process = subprocess.Popen([sys.executable, "-c", source, *args], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, env=env)
    assert process.stdout is not None
    return process, int(process.stdout.readline())


def read_answer(sock: socket.socket, size: int) -> None:
    """Reads the answer to its end and checks its status and length."""
    buffer = bytearray(1024 * 1024)
    first, total = b"", 0
    while count := sock.recv_into(buffer):
        if len(first) < 4096:
            first += bytes(buffer[:min(count, 4096)])
        total += count
    head = first.partition(b"\r\n\r\n")[0]
    if not head.startswith(b"HTTP/1.1 200") or total != len(head) + 4 + size:
        raise RuntimeError(f"wrong answer: {head[:80]!r}, {total} bytes")


def read_reply(sock: socket.socket, length: int) -> bytes:
    data = b""
    while len(data) < length:
        chunk = sock.recv(length - len(data))
        if not chunk:
            raise RuntimeError("the proxy closed the connection")
        data += chunk
    return data


class Client:
    """One GET of N bytes by each route; the destination is the origin's port."""

    def __init__(self, origin: int, proxy: int):
        self.origin, self.proxy = origin, proxy

    def _request(self, size: int) -> bytes:
        return f"GET /{size} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n".encode()

    def direct(self, size: int) -> None:
        with socket.create_connection(("127.0.0.1", self.origin)) as sock:
            sock.sendall(self._request(size))
            read_answer(sock, size)

    def http(self, size: int) -> None:
        with socket.create_connection(("127.0.0.1", self.proxy)) as sock:
            sock.sendall(f"GET http://localhost:{self.origin}/{size} HTTP/1.1\r\n"
                         "Host: localhost\r\n\r\n".encode())
            read_answer(sock, size)

    def connect(self, size: int) -> None:
        with socket.create_connection(("127.0.0.1", self.proxy)) as sock:
            sock.sendall(f"CONNECT localhost:{self.origin} HTTP/1.1\r\n\r\n".encode())
            reply = b""
            while not reply.endswith(b"\r\n\r\n"):
                reply += read_reply(sock, 1)
            if not reply.startswith(b"HTTP/1.1 200"):
                raise RuntimeError(f"CONNECT refused: {reply!r}")
            sock.sendall(self._request(size))
            read_answer(sock, size)

    def socks5(self, size: int) -> None:
        with socket.create_connection(("127.0.0.1", self.proxy)) as sock:
            sock.sendall(b"\x05\x01\x00\x05\x01\x00\x03\x09localhost"
                         + struct.pack("!H", self.origin))
            reply = read_reply(sock, 12)
            if reply[:4] != b"\x05\x00\x05\x00":
                raise RuntimeError(f"SOCKS5 refused: {reply!r}")
            sock.sendall(self._request(size))
            read_answer(sock, size)


def interleaved(kinds: dict[str, Callable[[], None]], rounds: int,
                count: int) -> dict[str, list[float]]:
    """Seconds per call of each kind: per round the median, the kinds taking turns."""
    names = list(kinds)
    samples: dict[str, list[float]] = {name: [] for name in names}
    for round_number in range(rounds + 1):  # the first round warms up
        times: dict[str, list[float]] = {name: [] for name in names}
        for turn in range(count):
            shift = (turn + round_number) % len(names)
            for name in names[shift:] + names[:shift]:
                start = time.perf_counter()
                kinds[name]()
                times[name].append(time.perf_counter() - start)
        if round_number:
            for name in names:
                samples[name].append(statistics.median(times[name]))
    return samples


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of a process so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(rounds: int, count: int, big: int) -> dict[str, dict[str, list[float]]]:
    origin, origin_port = start(ORIGIN, str(big))
    proxy, proxy_port = start(PROXY, str(origin_port))
    client = Client(origin_port, proxy_port)
    try:
        latency = interleaved({
            "direct": lambda: client.direct(SMALL), "HTTP": lambda: client.http(SMALL),
            "CONNECT": lambda: client.connect(SMALL), "SOCKS5": lambda: client.socks5(SMALL)},
            rounds, count)
        before = cpu_seconds(proxy.pid)
        throughput = interleaved({
            "direct": lambda: client.direct(big), "CONNECT": lambda: client.connect(big)},
            rounds, 3)
        relayed = (rounds + 1) * 3 * big / 2**20
        proxy_cpu = (cpu_seconds(proxy.pid) - before) / relayed
    finally:
        proxy.communicate(b"")
        origin.kill()
        origin.wait()
    return {"latency": latency,
            "throughput": {name: [big / value / 2**20 for value in values]
                           for name, values in throughput.items()},
            "proxy CPU ms per MiB": {"CONNECT": [proxy_cpu * 1e3]}}


def table(values_by_route: dict[str, list[float]], head: str, scale: float,
          digits: str = ".0f") -> list[str]:
    """Markdown rows: each route's median, range over rounds and ratio to the first route."""
    base = statistics.median(next(iter(values_by_route.values())))
    lines = [head, "|---|---|---|---|"]
    for name, values in values_by_route.items():
        median = statistics.median(values)
        lines.append(f"| {name} | {median * scale:{digits}} | {min(values) * scale:{digits}}–"
                     f"{max(values) * scale:{digits}} | {median / base:.2f} |")
    return lines


def report(result: dict[str, dict[str, list[float]]], big: int) -> str:
    lines = [f"# Proxy against direct, loopback ({platform.node()}, Python "
             f"{platform.python_version()}, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())})",
             "", f"Latency of a GET of {SMALL} bytes, one new connection each:", ""]
    lines += table(result["latency"], "| route | median µs | range over rounds µs | / direct |",
                   1e6)
    lines += ["", f"Throughput of a GET of {big // 2**20} MiB:", ""]
    lines += table(result["throughput"], "| route | median MiB/s | range over rounds | / direct |",
                   1)
    lines += ["", "CPU time of the proxy's process per MiB relayed: "
              f"{result['proxy CPU ms per MiB']['CONNECT'][0]:.2f} ms"]
    return "\n".join(lines) + "\n"


def run(argv: list[str] | None, doc: str, name: str,
        measure: Callable[[int, int, int], dict[str, dict[str, list[float]]]],
        report: Callable[[dict[str, dict[str, list[float]]], int], str]) -> int:
    """The command line shared by the network benchmarks: runs, writes NAME.md and NAME.json."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run")
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "results")
    args = parser.parse_args(argv)
    rounds, count, big = (2, 5, 4 * 2**20) if args.quick else (7, 60, 128 * 2**20)
    result = measure(rounds, count, big)
    text = report(result, big)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / f"{name}.json").write_text(json.dumps(result, indent=2) + "\n")
    (args.out / f"{name}.md").write_text(text)
    print(text)
    return 0


def main(argv: list[str] | None = None) -> int:
    return run(argv, __doc__, "proxy", measure, report)


if __name__ == "__main__":
    sys.exit(main())
