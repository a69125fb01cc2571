"""A sandboxed tool's requests through the host's proxy against the same
requests made from the host's network namespace.

The tool is the same code in both workers, ``urllib`` with its defaults: in a
worker sandboxed with ``network=[...]`` it finds ``HTTP_PROXY`` and goes
through the proxy (the sandbox's loopback, the host's proxy thread, then the
destination); in a worker in the host's network namespace (``sandbox=None``:
the route a sandbox with the host's network took before every sandbox had
a network namespace of its own) it connects straight to the destination.
The destination is ``bench/proxy.py``'s HTTP server on the host's loopback,
in a process of its own, answering ``GET /N`` with N bytes.

- latency of a 100-byte GET, one new connection each: per round each worker
  makes ``count`` requests, the workers taking turns; the median per round,
  and the median over rounds;
- throughput of a large GET, the workers taking turns; MiB/s.

    python bench/sandbox_network.py             # about 20 s on 2 cores
    python bench/sandbox_network.py --quick     # a smoke run
    python bench/sandbox_network.py --out DIR   # where sandbox_network.md and .json go
"""

from __future__ import annotations

import platform
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from proxy import ORIGIN, SMALL, run, start, table  # noqa: E402  (shared with it)

from vantor.workers.client import Worker  # noqa: E402
from vantor.workers.sandbox import Sandbox  # noqa: E402

TOOL = """
import time, urllib.request
times = []
for _ in range(args["count"]):
    begun = time.perf_counter()
    with urllib.request.urlopen(args["url"], timeout=60) as answer:
        while answer.read(1 << 20):
            pass
    times.append(time.perf_counter() - begun)
result = times
"""


def timed(worker: Worker, url: str, count: int) -> list[float]:
    answer = worker.run_inline(TOOL, {"url": url, "count": count}, timeout=600)
    if not answer["success"]:
        raise RuntimeError(f"the tool failed: {answer}")
    return answer["result"]["return_value"]


def measure(rounds: int, count: int, big: int) -> dict[str, dict[str, list[float]]]:
    origin, port = start(ORIGIN, str(big))
    workers = {
        "host namespace, direct": Worker(sandbox=None, env={}),
        "sandbox, through the proxy": Worker(sandbox=Sandbox(
            network=[f"127.0.0.1:{port}"], memory=None, processes=None)),  # no cgroups needed
    }
    small_url, big_url = f"http://127.0.0.1:{port}/{SMALL}", f"http://127.0.0.1:{port}/{big}"
    latency: dict[str, list[float]] = {name: [] for name in workers}
    throughput: dict[str, list[float]] = {name: [] for name in workers}
    try:
        for round_number in range(rounds + 1):  # the first round warms up
            names = list(workers)[round_number % 2:] + list(workers)[:round_number % 2]
            for name in names:
                small = statistics.median(timed(workers[name], small_url, count))
                large = timed(workers[name], big_url, 1)[0]
                if round_number:
                    latency[name].append(small)
                    throughput[name].append(big / large / 2**20)
    finally:
        for worker in workers.values():
            worker.close()
        origin.kill()
        origin.wait()
    return {"latency": latency, "throughput": throughput}


def report(result: dict[str, dict[str, list[float]]], big: int) -> str:
    lines = [f"# A sandboxed tool's network through the proxy against the host's namespace "
             f"({platform.node()}, Python {platform.python_version()}, "
             f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())})",
             "", f"Latency of a GET of {SMALL} bytes by urllib, one new connection each:", ""]
    lines += table(result["latency"], "| route | median µs | range over rounds µs | / direct |",
                   1e6)
    lines += ["", f"Throughput of a GET of {big // 2**20} MiB:", ""]
    lines += table(result["throughput"], "| route | median MiB/s | range over rounds | / direct |",
                   1)
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.exit(run(None, __doc__, "sandbox_network", measure, report))
