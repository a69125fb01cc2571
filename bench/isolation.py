"""What isolation per call costs: round trips through sandboxed workers, side by side.

Four workers in the default sandbox, started together and called in
interleaved rounds (the order turns each round), the blocking ``Worker``:

- ``shared``: ``isolation="worker"``, one process for every call;
- ``call``: ``isolation="call"``, a process forked from the template per call;
- ``call+preload``: the same with ``preload=("decimal",)``;
- ``max_requests=1``: a fresh sandboxed worker for every call, the remedy
  without a template.

Two ``run_inline`` requests that differ only by an import: a tiny one
(``result = 1``) and one whose code imports ``json`` and ``decimal``.  The
figures are medians (and 90th percentiles) of the round trips; ratios are
against ``max_requests=1``.  Each round trip finds its worker idle, as a
model's tool calls do.  Then the tiny request back to back, in blocks of
calls on one worker (blocks interleaved): the time per call when each call
waits for the last one's process to end (and what it left to be cleared).  Also the floor of
any process per call, measured in the same run, between those blocks: fork,
exit and wait of a process that imported the worker (a fifth worker in the
default sandbox that serves nothing else, timing its own forks), with each
isolated cost as a multiple of it; and the memory of each idle worker (PSS: shared pages counted once
per sharer; with isolation per call, the template and the process it forked
for the next request, whose memory keeper shares its memory: counted once).

    python bench/isolation.py            # about a minute on 2 cores
    python bench/isolation.py --quick    # a smoke run
    python bench/isolation.py --out DIR  # where isolation.md and isolation.json go
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path
from typing import Any

from vantor.workers.client import Worker

MODES: dict[str, dict[str, Any]] = {
    "shared": {},
    "call": {"isolation": "call"},
    "call+preload": {"isolation": "call", "preload": ("decimal",)},
    "max_requests=1": {"max_requests": 1},
}
#: Calls in a row per block of the back-to-back measure.
BLOCK = 20
REQUESTS: dict[str, dict[str, Any]] = {
    "tiny": {"action": "run_inline", "code": "result = 1"},
    "imports json, decimal": {"action": "run_inline",
                              "code": "import json, decimal\nresult = 1"},
}


FORK_FLOOR = """
import os, statistics, time
times = []
for _ in range({rounds}):
    started = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
    times.append(time.perf_counter() - started)
result = statistics.median(times)
"""


def fork_floor(worker: Worker, rounds: int) -> float:
    """Median seconds of fork, exit and wait of ``worker``'s process, which imported the
    worker's modules, timed by itself in its sandbox."""
    answer = worker.request({"action": "run_inline", "code": FORK_FLOOR.format(rounds=rounds)})
    if not answer.ok:
        raise SystemExit(f"the fork floor could not be measured: {answer}")
    return float(answer["result"]["return_value"])


def descendants(pid: int) -> list[int]:
    """``pid``'s processes, depth first (the supervisor, init, the worker...)."""
    found = [pid]
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as children:
            for child in children.read().split():
                found += descendants(int(child))
    return found


#: kcmp(2) by machine, and its KCMP_VM: whether two processes share one memory.
_KCMP = {"x86_64": 312, "aarch64": 272}.get(platform.machine())
_KCMP_VM = 1


def own_memories(pids: list[int]) -> list[int]:
    """``pids`` less each that shares its memory with one before it (a call's memory
    keeper shares its process's): the memory of each counted once."""
    if _KCMP is None:
        return pids
    libc = ctypes.CDLL(None, use_errno=True)
    kept: list[int] = []
    for pid in pids:
        if all(libc.syscall(_KCMP, pid, other, _KCMP_VM, 0, 0) != 0 for other in kept):
            kept.append(pid)
    return kept


def pss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    return 0


def back_to_back(workers: dict[str, Worker], blocks: int,
                 floor: Worker) -> tuple[dict[str, list[float]], list[float]]:
    """Seconds per call of the tiny request, in blocks of calls in a row on each worker,
    and the fork floor measured between the blocks."""
    per_call: dict[str, list[float]] = {name: [] for name in workers}
    floors = []
    for _ in range(blocks):
        floors.append(fork_floor(floor, 20))
        for name, worker in workers.items():
            calls = 3 if name == "max_requests=1" else BLOCK
            started = time.perf_counter()
            for _ in range(calls):
                worker.request(REQUESTS["tiny"])
            per_call[name].append((time.perf_counter() - started) / calls)
    return per_call, floors


def measure(rounds: int) -> dict[str, Any]:
    workers = {name: Worker(timeout=60, **options) for name, options in MODES.items()}
    floor = Worker(timeout=60)
    try:
        for worker in [*workers.values(), floor]:
            worker.start()
        # Past the supervisor and init: the worker (the template and, with
        # isolation per call, the process forked for the next request).
        memory = {name: {"worker_kib": sum(map(pss_kib, own_memories(descendants(worker.pid)[2:]))),
                         "sandbox_kib": sum(map(pss_kib, own_memories(descendants(worker.pid))))}
                  for name, worker in workers.items() if name != "max_requests=1"}
        times: dict[str, dict[str, list[float]]] = {
            request: {name: [] for name in workers} for request in REQUESTS}
        order = list(workers.items())
        for round_ in range(rounds):
            turn = order[round_ % len(order):] + order[:round_ % len(order)]
            for request_name, request in REQUESTS.items():
                for name, worker in turn:
                    started = time.perf_counter()
                    answer = worker.request(request)
                    times[request_name][name].append(time.perf_counter() - started)
                    if not answer.ok:
                        raise SystemExit(f"{name} failed {request_name}: {answer}")
        in_a_row, floors = back_to_back(workers, max(3, rounds // 5), floor)
    finally:
        for worker in [*workers.values(), floor]:
            worker.close()
    return {"times": times, "back_to_back": in_a_row, "memory": memory,
            "fork_floor": statistics.median(floors)}


def report(results: dict[str, Any], rounds: int) -> str:
    floor = results["fork_floor"]
    lines = [f"# Isolation per call ({platform.node()}, {os.cpu_count()} CPUs, "
             f"Python {platform.python_version()}, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())})",
             "", f"{rounds} interleaved rounds, default sandbox, blocking `Worker`; the fork floor "
             f"(fork+exit+wait of a sandboxed process that imported the worker, median of the "
             f"measures between the back-to-back blocks): {floor * 1e3:.2f} ms.", ""]
    for request, by_mode in results["times"].items():
        lines += [f"## {request}", "", "| worker | p50 ms | p90 ms | x fork floor | "
                  "cheaper than max_requests=1 |", "|---|---|---|---|---|"]
        baseline = statistics.median(by_mode["max_requests=1"])
        for name, times in by_mode.items():
            ordered = sorted(times)
            p50, p90 = statistics.median(ordered), ordered[int(0.9 * (len(ordered) - 1))]
            lines.append(f"| {name} | {p50 * 1e3:.2f} | {p90 * 1e3:.2f} | {p50 / floor:.2f} | "
                         f"{baseline / p50:.1f}x |")
        lines.append("")
    lines += ["## tiny, back to back", "", "| worker | ms per call | x fork floor | "
              "cheaper than max_requests=1 |", "|---|---|---|---|"]
    baseline = statistics.median(results["back_to_back"]["max_requests=1"])
    for name, per_call in results["back_to_back"].items():
        median = statistics.median(per_call)
        lines.append(f"| {name} | {median * 1e3:.2f} | {median / floor:.2f} | "
                     f"{baseline / median:.1f}x |")
    lines += ["", "## Memory of an idle worker (PSS)", "", "| worker | worker processes KiB | "
              "whole sandbox KiB |", "|---|---|---|"]
    for name, memory in results["memory"].items():
        lines.append(f"| {name} | {memory['worker_kib']} | {memory['sandbox_kib']} |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few rounds, a smoke run")
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "results")
    options = parser.parse_args()
    rounds = 5 if options.quick else options.rounds
    results = measure(rounds)
    text = report(results, rounds)
    options.out.mkdir(parents=True, exist_ok=True)
    (options.out / "isolation.md").write_text(text)
    (options.out / "isolation.json").write_text(json.dumps(results))
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
