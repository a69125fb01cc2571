"""What measuring each call's usage costs: the round trip of a tiny request against the
same client without it.

The baseline is the client of a git revision from before usage was measured
(``--baseline REV``), loaded beside this one as ``bench/client.py`` does and
driving the same worker.  For each kind of worker (shared: unsandboxed,
sandboxed) the two clients take turns call by call (the order turning each
call), in two arrangements: host and workers pinned to one CPU (nothing the
host does overlaps the worker's work: the worst case), and the host on one
CPU, the workers on another (as on any machine of two CPUs or more); each
round's median is one sample, and the figure is the median over rounds of the
ratio this client / baseline.

    python bench/usage.py            # about a minute on 2 cores
    python bench/usage.py --quick    # a smoke run
    python bench/usage.py --out DIR  # where usage.md and usage.json go
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from client import baseline_client  # noqa: E402  (bench/client.py)

from vantor.workers.client import Sandbox, Worker  # noqa: E402

TINY = {"action": "validate", "code": "x = 1"}
#: The last commit whose client measured no usage.
BEFORE_USAGE = "5a46ee0"
#: Kinds of worker, by whether they are sandboxed.  Isolation per call is left
#: out: its template's end line changed with usage, which the baseline's client
#: does not read (its calls wait for that line, which comes right behind the
#: answer: see bench/isolation.py for what they cost).
KINDS = {"shared, unsandboxed": False, "shared, sandboxed": True}


def one_round(pair: tuple[Worker, Worker], count: int) -> tuple[float, float]:
    """Median seconds per tiny request of each of the two workers, taking turns."""
    clock = time.perf_counter_ns
    times: tuple[list[int], list[int]] = ([], [])
    for turn in range(count):
        for index in ((0, 1) if turn % 2 else (1, 0)):
            start = clock()
            pair[index].request(TINY)
            times[index].append(clock() - start)
    return statistics.median(times[0]) / 1e9, statistics.median(times[1]) / 1e9


def measure(baseline: str, rounds: int, count: int) -> dict[str, dict[str, float]]:
    old = baseline_client(baseline)
    cpus = os.sched_getaffinity(0)
    arrangements = {"one CPU": (max(cpus), max(cpus))}
    if len(cpus) > 1:
        arrangements["two CPUs"] = (min(cpus), max(cpus))
    results = {}
    try:
        for (arrangement, (host_cpu, worker_cpu)), (kind, sandboxed) in (
                (a, k) for a in arrangements.items() for k in KINDS.items()):
            os.sched_setaffinity(0, {worker_cpu})  # inherited by the workers started here
            pair = (Worker(sandbox=Sandbox() if sandboxed else None).start(),
                    old.Worker(sandbox=old.Sandbox() if sandboxed else None).start())
            os.sched_setaffinity(0, {host_cpu})
            try:
                assert pair[0].request(TINY).usage is not None
                one_round(pair, count)  # warm up
                samples = [one_round(pair, count) for _ in range(rounds)]
            finally:
                for worker in pair:
                    worker.close()
            results[f"{kind}, {arrangement}"] = {
                "with usage (µs)": statistics.median(new for new, _ in samples) * 1e6,
                "without (µs)": statistics.median(base for _, base in samples) * 1e6,
                "ratio": statistics.median(new / base for new, base in samples),
            }
    finally:
        os.sched_setaffinity(0, cpus)
    return results


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--baseline", metavar="REV", default=BEFORE_USAGE)
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "results")
    args = parser.parse_args(argv)
    rounds, count = (2, 20) if args.quick else (args.rounds, 300)
    results = measure(args.baseline, rounds, count)
    lines = [f"Tiny request ({TINY['action']}), medians of {rounds} rounds of {count} calls each",
             "", "| worker | with usage | without | ratio |", "|---|---|---|---|"]
    for kind, figures in results.items():
        lines.append(f"| {kind} | {figures['with usage (µs)']:.1f} µs | "
                     f"{figures['without (µs)']:.1f} µs | {figures['ratio']:.3f}× |")
    text = "\n".join(lines) + "\n"
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "usage.md").write_text(text)
    (args.out / "usage.json").write_text(json.dumps(results))
    sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
