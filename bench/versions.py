"""The worker's cost on each supported CPython, side by side.

The native worker and the plain-Python worker of the same protocol run on
every interpreter given, all in one run of ``run.py`` (sessions interleaved,
so machine drift hits every worker alike), pipelined; the ratio native /
plain is taken within each version. Then callgrind counts the instructions
one worker process spends per request, which the machine's load does not
move: the count of a session of ``warm + n`` requests less that of ``warm``
requests, divided by ``n``.

    python bench/versions.py        # about 6 minutes on 2 cores

Interpreters: the driver's own, and ``build/venv-3.12`` and ``build/venv-3.13``
as ``tools/on_python.sh`` leaves them (``--python VERSION=PATH`` to name
others); each must have the package installed. Writes ``versions.md`` and
``versions.json`` to ``--out`` (default ``bench/results``).
"""

from __future__ import annotations

import argparse
import json
import platform
import re
import shlex
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import workloads as wl

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
LOADS = ("validate_assign", "inline_const", "inline_big_result", "function_kwargs", "mix")
# (warm-up requests, counted requests) per workload under callgrind.
COUNTED = {"inline_big_result": (3, 12), "mix": (50, 400)}
DEFAULT_COUNTED = (50, 400)
QUIT = b'{"action": "quit"}\n'


def version_of(python: str) -> str:
    done = subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                          capture_output=True, text=True, check=True)
    return done.stdout.strip()


def worker_commands(python: str) -> dict[str, list[str]]:
    return {"native": [python, "-m", "vantor.workers"],
            "plain": [python, str(BENCH / "plain_worker.py")]}


def cpu_per_request(pythons: dict[str, str], out: Path, repeats: int) -> tuple[dict, list]:
    """Worker CPU per request (µs, pipelined) from one interleaved run of run.py, and the
    load average at its start and end."""
    extra = []
    for version, python in pythons.items():
        for kind, command in worker_commands(python).items():
            extra += ["--worker", f"{kind}-{version}={shlex.join(command)}"]
    first = next(iter(pythons))
    subprocess.run([sys.executable, str(BENCH / "run.py"), "--workers", "", *extra,
                    "--baseline", f"plain-{first}", "--modes", "pipelined",
                    "--workloads", ",".join(LOADS), "--repeats", str(repeats),
                    "--out", str(out), "--no-chart"], check=True)
    result = json.loads((out / "latest.json").read_text())
    cpu = {key.rsplit("|", 1)[0]: row["cpu_us"] for key, row in result["sessions"].items()}
    return cpu, result["load_average"]


def instructions(command: list[str], lines: bytes, cwd: Path) -> int:
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                           *command], input=lines + QUIT, capture_output=True, cwd=cwd, check=True)
    return int(re.search(rb"Collected : (\d+)", done.stderr).group(1))


def instructions_per_request(pythons: dict[str, str], files: Path) -> dict:
    loads = {load.name: load for load in wl.build(files)}
    counts = {}
    for version, python in pythons.items():
        for kind, command in worker_commands(python).items():
            for name in LOADS:
                warm, n = COUNTED.get(name, DEFAULT_COUNTED)
                requests = [r.line for r in loads[name].make(warm + n)]
                base = instructions(command, b"".join(requests[:warm]), files)
                full = instructions(command, b"".join(requests), files)
                counts[f"{kind}-{version}|{name}"] = (full - base) / n
                print(f"{kind}-{version} {name}: {counts[f'{kind}-{version}|{name}'] / 1e3:.1f} k",
                      file=sys.stderr, flush=True)
    return counts


def report(pythons: dict[str, str], cpu: dict, counted: dict, load: list) -> str:
    versions = list(pythons)
    first = versions[0]
    head = "| workload | " + " | ".join(
        f"{v} native | {v} plain | {v} native / plain" for v in versions) + " |"
    rule = "|---" * (1 + 3 * len(versions)) + "|"

    def rows(figures: dict, scale: float, unit: str) -> list[str]:
        lines = [head, rule]
        for name in LOADS:
            cells = []
            for v in versions:
                native, plain = figures[f"native-{v}|{name}"], figures[f"plain-{v}|{name}"]
                cells += [f"{native / scale:,.1f} {unit}", f"{plain / scale:,.1f} {unit}",
                          f"{native / plain:.2f}×"]
            lines.append(f"| {name} | " + " | ".join(cells) + " |")
        return lines

    def against_first(figures: dict) -> list[str]:
        later = [(kind, v) for v in versions[1:] for kind in ("native", "plain")]
        lines = ["| workload | " + " | ".join(f"{k} {v} / {k} {first}" for k, v in later) + " |",
                 "|---" * (1 + len(later)) + "|"]
        for name in LOADS:
            lines.append(f"| {name} | " + " | ".join(
                f"{figures[f'{k}-{v}|{name}'] / figures[f'{k}-{first}|{name}']:.2f}×"
                for k, v in later) + " |")
        return lines

    return "\n".join([
        "# Worker cost per CPython version",
        "",
        f"- Interpreters: {', '.join(f'CPython {v}' for v in versions)}; each runs its own build of "
        f"the native worker and the plain-Python worker (`bench/plain_worker.py`).",
        f"- Machine: {platform.machine()}, Linux {platform.release()}; "
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; load average (1 min) "
        f"{load[0]:.2f} to {load[1]:.2f} during the CPU run.",
        "",
        "## Worker CPU per request, pipelined (one interleaved run of `bench/run.py`, medians)",
        "",
        *rows(cpu, 1, "µs"),
        "",
        "## Instructions per request (callgrind, worker process)",
        "",
        *rows(counted, 1e3, "k"),
        "",
        "## Each worker against itself on the first version (instructions)",
        "",
        *against_first(counted),
        "",
    ])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", action="append", default=[], metavar="VERSION=PATH",
                        help="an interpreter to measure besides the driver's own")
    parser.add_argument("--repeats", type=int, default=3, help="repeats of the run.py session")
    parser.add_argument("--out", type=Path, default=BENCH / "results")
    args = parser.parse_args(argv)
    named = dict(entry.split("=", 1) for entry in args.python) or {
        v: str(ROOT / f"build/venv-{v}/bin/python") for v in ("3.12", "3.13")}
    pythons = {version_of(sys.executable): sys.executable}
    pythons.update({version_of(path): path for path in named.values()})
    args.out.mkdir(parents=True, exist_ok=True)
    cpu, load = cpu_per_request(pythons, args.out / "versions-run", args.repeats)
    with tempfile.TemporaryDirectory() as scratch:
        files = Path(scratch)
        wl.write_files(files)
        counted = instructions_per_request(pythons, files)
    (args.out / "versions.json").write_text(json.dumps(
        {"pythons": pythons, "cpu_us": cpu, "load_average": load, "instructions": counted}, indent=1))
    (args.out / "versions.md").write_text(report(pythons, cpu, counted, load))
    print(f"wrote {args.out / 'versions.md'}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
