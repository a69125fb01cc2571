"""What the MCP server adds to a tool call: a call's round trip through the server
over stdio, driven by the SDK's own client, against the same call through an
``AsyncWorkerPool`` in the benchmark's own process.

Both sides have one sandboxed worker under the default policy and the same
output limit, so the difference is the server: the client's JSON-RPC framing,
two pipes, the server's dispatch and its result building.  The two sides take
turns in rounds (the order turns each round); each round's figure is the
median of its calls, and the report gives the median over rounds.

    python bench/mcp.py              # about half a minute on 2 cores
    python bench/mcp.py --quick      # a smoke run
    python bench/mcp.py --out DIR    # where mcp.md and mcp.json go (default bench/results)

Needs the ``mcp`` extra (``pip install ".[mcp]"``).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path

# Run as a script, this file's directory leads sys.path, and the file bears the SDK's name.
_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or ".") != _HERE]

from mcp import Client  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402

from vantor.workers.client import AsyncWorkerPool  # noqa: E402

OUTPUT_LIMIT = 1 << 20
WORKLOADS = {
    "tiny (result = 1)": "result = 1",
    "64 KiB printed": "print('x' * 65535)",
    "CPU, 30k squares": "result = sum(i * i for i in range(30000))",
}


async def timed(call, count: int) -> float:
    """Median seconds of ``count`` calls of ``call``."""
    times = []
    for _ in range(count):
        started = time.perf_counter()
        await call()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def server_cpu_seconds() -> float:
    """CPU time the MCP server process (this process's child; not its workers) has used."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/cmdline", "rb") as file:
                if b"vantor.workers.mcp" not in file.read():
                    continue
            with open(f"/proc/{name}/stat") as file:
                fields = file.read().rpartition(")")[2].split()
        except OSError:
            continue
        if int(fields[1]) == os.getpid():
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    raise RuntimeError("the MCP server process was not found")


async def measure(rounds: int, calls: int) -> dict[str, dict[str, list[float]]]:
    server = StdioServerParameters(command=sys.executable, args=[
        "-m", "vantor.workers.mcp", "--workers", "1", "--output-limit", str(OUTPUT_LIMIT)])
    figures: dict[str, dict[str, list[float]]] = {
        name: {"mcp": [], "pool": [], "server_cpu": []} for name in WORKLOADS}
    with open(os.devnull, "w") as quiet:
        async with Client(stdio_client(server, errlog=quiet)) as client, \
                AsyncWorkerPool(1, output_limit=OUTPUT_LIMIT) as pool:
            await pool.start()
            for name, code in WORKLOADS.items():
                sides = {
                    "mcp": lambda code=code: client.call_tool("run_inline", {"code": code}),
                    "pool": lambda code=code: pool.run_inline(code),
                }
                failed = (await sides["mcp"]()).is_error, not (await sides["pool"]()).ok
                if any(failed):
                    raise SystemExit(f"{name}: the call failed ({failed}), nothing to time")
                for side in sides.values():  # warm both
                    await timed(side, calls)
                for number in range(rounds):
                    order = list(sides) if number % 2 == 0 else list(reversed(sides))
                    for side in order:
                        cpu = server_cpu_seconds()
                        figures[name][side].append(await timed(sides[side], calls))
                        if side == "mcp":
                            figures[name]["server_cpu"].append(server_cpu_seconds() - cpu)
    return figures


def report(figures: dict[str, dict[str, list[float]]], rounds: int, calls: int) -> str:
    lines = [
        f"# MCP server overhead ({platform.node()}, {os.cpu_count()} CPUs, "
        f"Python {platform.python_version()}, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())})",
        "",
        f"Median over {rounds} interleaved rounds of each round's median of {calls} calls; one "
        "sandboxed worker on each side. Server CPU: the server process's user and system time "
        "(its workers excluded) over all its calls, per call.",
        "",
        "| call | through the MCP server (stdio) | AsyncWorkerPool directly | server adds | ratio "
        "| server CPU per call |",
        "|---|---|---|---|---|---|",
    ]
    for name, sides in figures.items():
        mcp, pool = statistics.median(sides["mcp"]), statistics.median(sides["pool"])
        cpu = sum(sides["server_cpu"]) / (len(sides["server_cpu"]) * calls)
        lines.append(f"| {name} | {mcp * 1e6:,.0f} µs | {pool * 1e6:,.0f} µs | "
                     f"{(mcp - pool) * 1e6:,.0f} µs | {mcp / pool:.2f} | {cpu * 1e6:,.0f} µs |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few calls, a smoke run")
    parser.add_argument("--out", default=str(Path(__file__).parent / "results"))
    options = parser.parse_args()
    rounds, calls = (2, 5) if options.quick else (9, 40)
    figures = asyncio.run(measure(rounds, calls))
    text = report(figures, rounds, calls)
    print(text)
    out = Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "mcp.md").write_text(text)
    (out / "mcp.json").write_text(json.dumps(figures, indent=2))


if __name__ == "__main__":
    main()
