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

import argparse
import json
import platform
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from proxy import ORIGIN, SMALL, start  # noqa: E402  (the destination server)

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
    origin, port = start(ORIGIN)
    workers = {
        "host namespace, direct": Worker(sandbox=None, env={}),
        "sandbox, through the proxy": Worker(sandbox=Sandbox(
            network=[f"127.0.0.1:{port}"], memory=None)),
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
    latency, throughput = result["latency"], result["throughput"]
    lines = [f"# A sandboxed tool's network through the proxy against the host's namespace "
             f"({platform.node()}, Python {platform.python_version()}, "
             f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())})",
             "", f"Latency of a GET of {SMALL} bytes by urllib, one new connection each:", "",
             "| route | median µs | range over rounds µs | / direct |", "|---|---|---|---|"]
    base = statistics.median(next(iter(latency.values())))
    for name, values in latency.items():
        median = statistics.median(values)
        lines.append(f"| {name} | {median * 1e6:.0f} | {min(values) * 1e6:.0f}–"
                     f"{max(values) * 1e6:.0f} | {median / base:.2f} |")
    base = statistics.median(next(iter(throughput.values())))
    lines += ["", f"Throughput of a GET of {big // 2**20} MiB:", "",
              "| route | median MiB/s | range over rounds | / direct |", "|---|---|---|---|"]
    for name, values in throughput.items():
        median = statistics.median(values)
        lines.append(f"| {name} | {median:.0f} | {min(values):.0f}–{max(values):.0f} | "
                     f"{median / base:.2f} |")
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run")
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "results")
    args = parser.parse_args(argv)
    rounds, count, big = (2, 5, 4 * 2**20) if args.quick else (7, 60, 128 * 2**20)
    result = measure(rounds, count, big)
    text = report(result, big)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "sandbox_network.json").write_text(json.dumps(result, indent=2) + "\n")
    (args.out / "sandbox_network.md").write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
