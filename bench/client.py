"""The host's view of a worker: what the client and the sandbox add.

Every figure is a ratio against a baseline measured in the same run, in
interleaved rounds (the order turns each round), as the median over rounds:

- round trip of a tiny request through ``Worker`` (blocking) and
  ``AsyncWorker`` against a raw blocking pipe to the same unsandboxed worker
  command: ``json.dumps``, ``write``, ``readline`` and ``json.loads``, the
  least a host must do (also shown without the JSON, bytes only), and
  sandboxed against unsandboxed: the two kinds of each pair take turns call
  by call, host and workers on one CPU; and, with valgrind, the host's instructions
  per call, a figure the machine's noise does not move;
- the same round trip inside the default sandbox against unsandboxed;
- start-up (process start to first answer) sandboxed against unsandboxed;
- throughput of a ``WorkerPool`` and an ``AsyncWorkerPool`` of 2 workers
  against one worker, on a small CPU-bound request;
- with ``--ray``: latency and throughput of a ``RayWorkerPool`` of 2 against
  an ``AsyncWorkerPool`` of 2 on the same machine, both sandboxed;
- with ``--baseline REV``: the round trip of ``Worker`` and ``AsyncWorker``
  against the same clients of git revision REV (its Python files, loaded
  beside these under another package name), driving the same worker.

    python bench/client.py             # about a minute on 2 cores
    python bench/client.py --quick     # a smoke run
    python bench/client.py --out DIR   # where client.md and client.json go
    python bench/client.py --ray       # also RayWorkerPool against AsyncWorkerPool
    python bench/client.py --baseline main  # also the clients against main's
"""

from __future__ import annotations

import argparse
import asyncio
import importlib
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from types import ModuleType

from vantor.workers.client import (DEFAULT_COMMAND, AsyncWorker, AsyncWorkerPool, Sandbox,
                                   Worker, WorkerPool)

TINY = {"action": "validate", "code": "x = 1"}
TINY_LINE = (json.dumps(TINY) + "\n").encode()
CPU_CODE = "result = sum(i * i for i in range(30000))"


class RawPipe:
    """The baseline: a blocking write and readline on the worker's own pipes."""

    def __init__(self) -> None:
        env = dict(os.environ)
        self.popen = subprocess.Popen(DEFAULT_COMMAND, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, env=env)

    def call(self) -> bytes:
        self.popen.stdin.write(TINY_LINE)
        self.popen.stdin.flush()
        return self.popen.stdout.readline()

    def call_json(self) -> dict:
        """What any host must do at least: encode the request and decode the answer."""
        self.popen.stdin.write(json.dumps(TINY).encode() + b"\n")
        self.popen.stdin.flush()
        return json.loads(self.popen.stdout.readline())

    def close(self) -> None:
        self.popen.stdin.close()
        self.popen.wait()


def round_trips(rounds: int, count: int, baseline: ModuleType | None = None
                ) -> dict[str, list[float]]:
    """Seconds per tiny request by kind, the kinds taking turns call by call.

    Alternating every call (in a turning order) spreads the machine's drift
    over all kinds alike; each round's median is one sample.  The host and
    its workers share one CPU, so that each round trip is a direct hand-off
    between them rather than the wake-up of an idle CPU, whose latency
    varies from 25 to 100 µs on these virtual machines.
    """
    cpus = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {max(cpus)})  # inherited by the workers started here
    try:
        return _round_trips(rounds, count, baseline)
    finally:
        os.sched_setaffinity(0, cpus)


# The comparisons the round trips are measured for: each pair alternates on its own.
PAIRS = (("raw pipe", "Worker"), ("raw pipe", "AsyncWorker"), ("raw pipe, bytes only", "Worker"),
         ("Worker", "Worker, sandboxed"))
BASELINE_PAIRS = (("Worker, baseline", "Worker"), ("AsyncWorker, baseline", "AsyncWorker"))


def baseline_client(revision: str) -> ModuleType:
    """The client of git revision ``revision``, importable beside this one.

    Its Python files are copied under ``baseline_vantor.workers`` and their
    imports of the package's Python modules pointed there; the native modules
    and the worker a client starts stay this checkout's.
    """
    root = Path(tempfile.mkdtemp(prefix="client-baseline-"))
    package = root / "baseline_vantor" / "workers"
    package.mkdir(parents=True)
    (package.parent / "__init__.py").write_text("")
    repo = Path(__file__).resolve().parent.parent
    prefix = "src/vantor/workers/"
    listing = subprocess.run(["git", "ls-tree", "-r", "--name-only", revision, prefix],
                             cwd=repo, capture_output=True, text=True, check=True).stdout
    native = re.compile(r"\b(custom_worker|_containment)\b")
    for path in listing.split():
        if not path.endswith(".py"):
            continue
        source = subprocess.run(["git", "show", f"{revision}:{path}"], cwd=repo,
                                capture_output=True, text=True, check=True).stdout
        lines = [re.sub(r"^(\s*)(from|import) vantor\.workers\b", r"\1\2 baseline_vantor.workers",
                        line) if not native.search(line) else line
                 for line in source.splitlines(keepends=True)]
        target = package / path[len(prefix):]
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text("".join(lines))
    sys.path.insert(0, str(root))
    return importlib.import_module("baseline_vantor.workers.client")


def _round_trips(rounds: int, count: int, baseline: ModuleType | None = None
                 ) -> dict[str, list[float]]:
    loop = asyncio.new_event_loop()
    raw = RawPipe()
    plain = Worker(sandbox=None).start()
    sandboxed = Worker(sandbox=Sandbox()).start()
    async_workers = {"AsyncWorker": AsyncWorker(sandbox=None)}
    clock = time.perf_counter_ns
    blocking = {
        "raw pipe, bytes only": raw.call,
        "raw pipe": raw.call_json,
        "Worker": lambda: plain.request(TINY),
        "Worker, sandboxed": lambda: sandboxed.request(TINY),
    }
    pairs = PAIRS
    if baseline is not None:
        old = baseline.Worker(sandbox=None).start()
        blocking["Worker, baseline"] = lambda: old.request(TINY)
        async_workers["AsyncWorker, baseline"] = baseline.AsyncWorker(sandbox=None)
        pairs += BASELINE_PAIRS
    for each in async_workers.values():
        loop.run_until_complete(each.start())

    async def one_round(pair: tuple[str, str]) -> dict[str, float]:
        times: dict[str, list[int]] = {name: [] for name in pair}
        for turn in range(count):
            for name in pair if turn % 2 else reversed(pair):
                if name in async_workers:
                    each = async_workers[name]
                    start = clock()
                    await each.request(TINY)
                else:
                    call = blocking[name]
                    start = clock()
                    call()
                times[name].append(clock() - start)
        return {name: statistics.median(values) / 1e9 for name, values in times.items()}

    samples: dict[str, list[float]] = {}
    for pair in pairs:
        loop.run_until_complete(one_round(pair))  # warm up
        for _ in range(rounds):
            for name, value in loop.run_until_complete(one_round(pair)).items():
                samples.setdefault(f"{name} | {' vs '.join(pair)}", []).append(value)
    raw.close()
    plain.close()
    sandboxed.close()
    if baseline is not None:
        old.close()
    for each in async_workers.values():
        loop.run_until_complete(each.aclose())
    loop.close()
    return samples


def startups(rounds: int) -> dict[str, list[float]]:
    samples: dict[str, list[float]] = {"unsandboxed": [], "sandboxed": []}
    policies = {"unsandboxed": None, "sandboxed": Sandbox()}
    for turn in range(rounds):
        order = list(policies) if turn % 2 == 0 else list(reversed(policies))
        for name in order:
            start = time.perf_counter()
            with Worker(sandbox=policies[name]) as worker:
                worker.request(TINY)
                samples[name].append(time.perf_counter() - start)
    return samples


def throughput(rounds: int, count: int) -> dict[str, list[float]]:
    """Requests per second of one worker, and of pools of two driven by two callers."""
    samples: dict[str, list[float]] = {"1 Worker": [], "WorkerPool(2)": [],
                                       "AsyncWorkerPool(2)": []}
    single = Worker(sandbox=None).start()
    pool = WorkerPool(2, sandbox=None).start()
    loop = asyncio.new_event_loop()
    async_pool = AsyncWorkerPool(2, sandbox=None)
    loop.run_until_complete(async_pool.start())

    def run_single() -> float:
        start = time.perf_counter()
        for _ in range(count):
            single.run_inline(CPU_CODE)
        return count / (time.perf_counter() - start)

    def run_pool() -> float:
        def caller() -> None:
            for _ in range(count // 2):
                pool.run_inline(CPU_CODE)
        threads = [threading.Thread(target=caller) for _ in range(2)]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return count / (time.perf_counter() - start)

    def run_async_pool() -> float:
        async def batch() -> None:
            await asyncio.gather(*(async_pool.run_inline(CPU_CODE) for _ in range(count)))
        start = time.perf_counter()
        loop.run_until_complete(batch())
        return count / (time.perf_counter() - start)

    kinds = {"1 Worker": run_single, "WorkerPool(2)": run_pool,
             "AsyncWorkerPool(2)": run_async_pool}
    names = list(kinds)
    for turn in range(rounds):
        for name in names[turn % 3:] + names[:turn % 3]:
            samples[name].append(kinds[name]())
    single.close()
    pool.close()
    loop.run_until_complete(async_pool.aclose())
    loop.close()
    return samples


def ray_figures(rounds: int, count: int, pool_count: int) -> dict[str, float]:
    """Latency of a tiny request and throughput, RayWorkerPool(2) against AsyncWorkerPool(2)
    on this machine, both sandboxed."""
    import ray

    from vantor.workers.ray import RayWorkerPool

    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    loop = asyncio.new_event_loop()
    pools = {"AsyncWorkerPool(2)": AsyncWorkerPool(2), "RayWorkerPool(2)": RayWorkerPool(2)}
    for pool in pools.values():
        loop.run_until_complete(pool.start())

    async def latency(pool) -> float:
        start = time.perf_counter()
        for _ in range(count):
            await pool.request(TINY)
        return (time.perf_counter() - start) / count

    async def rate(pool) -> float:
        start = time.perf_counter()
        await asyncio.gather(*(pool.run_inline(CPU_CODE) for _ in range(pool_count)))
        return pool_count / (time.perf_counter() - start)

    samples: dict[str, list[float]] = {}
    names = list(pools)
    for turn in range(rounds):
        for name in names[turn % 2:] + names[:turn % 2]:
            samples.setdefault(f"{name} µs per tiny request", []).append(
                loop.run_until_complete(latency(pools[name])) * 1e6)
            samples.setdefault(f"{name} requests/s", []).append(
                loop.run_until_complete(rate(pools[name])))
    for pool in pools.values():
        loop.run_until_complete(pool.aclose())
    loop.close()
    ray.shutdown()
    return {name: statistics.median(values) for name, values in samples.items()}


# One host process per measurement, under callgrind: it makes `calls` calls of
# one kind.  Only the host's own instructions are counted (valgrind does not
# follow the worker), so the difference between two call counts, divided,
# is what one call costs the host, free of the machine's noise.
_HOST_PROGRAM = """
import asyncio, json, sys
sys.path.insert(0, {bench!r})
import client as bench
kind, calls = sys.argv[1], int(sys.argv[2])
if kind == "raw pipe":
    raw = bench.RawPipe()
    for _ in range(calls):
        raw.call_json()
    raw.close()
elif kind == "Worker":
    with bench.Worker(sandbox=None) as worker:
        worker.start()
        for _ in range(calls):
            worker.request(bench.TINY)
else:
    async def main():
        async with bench.AsyncWorker(sandbox=None) as worker:
            await worker.start()
            for _ in range(calls):
                await worker.request(bench.TINY)
    asyncio.run(main())
"""


def host_instructions(calls: int = 2000) -> dict[str, float] | None:
    """Instructions the host executes per tiny request, by kind; None without valgrind."""
    import re
    import shutil

    if shutil.which("valgrind") is None:
        return None
    program = _HOST_PROGRAM.format(bench=str(Path(__file__).parent))

    def count(kind: str, n: int) -> int:
        done = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
             sys.executable, "-c", program, kind, str(n)],
            capture_output=True, text=True, check=True)
        return int(re.search(r"Collected : (\d+)", done.stderr).group(1))

    return {kind: (count(kind, calls) - count(kind, 0)) / calls
            for kind in ("raw pipe", "Worker", "AsyncWorker")}


def summarise(rounds: int, count: int, pool_count: int, baseline: str | None = None) -> dict:
    trips = round_trips(rounds, count, baseline_client(baseline) if baseline else None)
    pairs = PAIRS + (BASELINE_PAIRS if baseline else ())
    starts = startups(rounds)
    rates = throughput(rounds, pool_count)
    wall = {name: statistics.median(values) for name, values in trips.items()}
    start = {name: statistics.median(values) for name, values in starts.items()}
    rate = {name: statistics.median(values) for name, values in rates.items()}
    return {
        "conditions": {"rounds": rounds, "calls_per_round": count,
                       "pool_requests_per_round": pool_count, "cpus": os.cpu_count(),
                       "python": platform.python_version(), "kernel": platform.release(),
                       "baseline": baseline,
                       "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())},
        "round_trip_us": {name: value * 1e6 for name, value in wall.items()},
        "startup_ms": {name: value * 1e3 for name, value in start.items()},
        "requests_per_s": rate,
        "ratios": {
            **{f"{second} / {first}, round trip": wall[f"{second} | {first} vs {second}"]
               / wall[f"{first} | {first} vs {second}"] for first, second in pairs},
            "sandboxed / unsandboxed start-up": start["sandboxed"] / start["unsandboxed"],
            "WorkerPool(2) / 1 Worker throughput": rate["WorkerPool(2)"] / rate["1 Worker"],
            "AsyncWorkerPool(2) / 1 Worker throughput":
                rate["AsyncWorkerPool(2)"] / rate["1 Worker"],
        },
    }


def markdown(result: dict) -> str:
    c = result["conditions"]
    lines = [
        "# Client and sandbox benchmark", "",
        f"{c['date']}, Python {c['python']}, Linux {c['kernel']}, {c['cpus']} CPUs; "
        f"medians of {c['rounds']} interleaved rounds of {c['calls_per_round']} calls "
        f"({c['pool_requests_per_round']} requests per throughput round).", "",
        "| round trip of a tiny request (median) | alternating with | µs per call |",
        "|---|---|---:|",
    ]
    for key, value in result["round_trip_us"].items():
        name, pair = key.split(" | ")
        first, second = pair.split(" vs ")
        lines.append(f"| {name} | {second if name == first else first} | {value:.1f} |")
    lines += ["", "| start-up to first answer | ms |", "|---|---:|"]
    lines += [f"| {name} | {value:.1f} |" for name, value in result["startup_ms"].items()]
    lines += ["", "| throughput, small CPU-bound request | requests/s |", "|---|---:|"]
    lines += [f"| {name} | {value:.0f} |" for name, value in result["requests_per_s"].items()]
    if "host_instructions_per_call" in result:
        lines += ["", "| host instructions per tiny request (callgrind, host process only) | "
                  "instructions |", "|---|---:|"]
        lines += [f"| {name} | {value:,.0f} |"
                  for name, value in result["host_instructions_per_call"].items()]
    if "ray" in result:
        lines += ["", "| Ray pool against the asyncio pool, one machine | value |", "|---|---:|"]
        lines += [f"| {name} | {value:.1f} |" for name, value in result["ray"].items()]
    lines += ["", "| ratio | value |", "|---|---:|"]
    lines += [f"| {name} | {value:.2f}× |" for name, value in result["ratios"].items()]
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "results")
    parser.add_argument("--baseline", metavar="REV",
                        help="also compare the clients with those of this git revision")
    parser.add_argument("--ray", action="store_true",
                        help="add RayWorkerPool against AsyncWorkerPool (needs the ray extra)")
    args = parser.parse_args(argv)
    rounds, count, pool_count = (2, 20, 8) if args.quick else (args.rounds, 400, 60)
    result = summarise(rounds, count, pool_count, args.baseline)
    if not args.quick:
        instructions = host_instructions(500)
        if instructions is not None:
            result["host_instructions_per_call"] = instructions
            for kind in ("Worker", "AsyncWorker"):
                result["ratios"][f"{kind} / raw pipe, host instructions per call"] = (
                    instructions[kind] / instructions["raw pipe"])
    if args.ray:
        figures = ray_figures(max(3, rounds // 3), count // 4, pool_count)
        result["ray"] = figures
        result["ratios"]["RayWorkerPool(2) / AsyncWorkerPool(2) tiny-request latency"] = (
            figures["RayWorkerPool(2) µs per tiny request"]
            / figures["AsyncWorkerPool(2) µs per tiny request"])
        result["ratios"]["RayWorkerPool(2) / AsyncWorkerPool(2) throughput"] = (
            figures["RayWorkerPool(2) requests/s"] / figures["AsyncWorkerPool(2) requests/s"])
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "client.json").write_text(json.dumps(result, indent=2) + "\n")
    text = markdown(result)
    (args.out / "client.md").write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
