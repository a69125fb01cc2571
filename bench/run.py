"""Benchmark driver for workers of the JSON-lines protocol.

Starts each worker the way a host does (a subprocess over pipes) and runs the
workloads of ``workloads.py`` in two modes:

* lock-step: one request, wait for its answer, next request (latency
  percentiles);
* pipelined: a writer thread sends every line while the main thread reads
  the answers (throughput).

For every session it also reads the worker's CPU time (``/proc/<pid>``
schedstat, before and after the measured batch, so start-up and shut-down
are not counted) and its peak RSS (VmHWM). Separate short sessions measure
start-up (spawn to first answer) and idle RSS.

Workers are compared in the same run, interleaved (A B C A B C ... for every
workload, mode and repeat), and reported as medians over the repeats with
ratios to a baseline worker (the plain-Python worker by default).

Every answer is checked; a wrong, missing or extra answer stops the run with
a non-zero exit status and a message naming the worker, workload and
request, and no results are written.

    python bench/run.py                 # full run, results in bench/results/
    python bench/run.py --quick         # a few requests per workload
    python bench/run.py --workers plain,floor --repeats 3 --out /tmp/b
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import shlex
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import workloads as wl

BENCH_DIR = Path(__file__).resolve().parent
DEFAULT_OUT = BENCH_DIR / "results"
MODES = ("lockstep", "pipelined")
CLK_TCK = os.sysconf("SC_CLK_TCK") if hasattr(os, "sysconf") else 100

PROBE_LINE = b'{"action": "validate", "code": ""}\n'
QUIT_LINE = b'{"action": "quit"}\n'


class BenchError(Exception):
    """A worker gave a wrong answer, no answer, or misbehaved; the run is void."""


# Variables that change how an interpreter runs (unbuffered streams, no
# bytecode cache, dev mode, tracing, ...) are not passed on to the workers, so
# every worker starts as a host would start it. Only where modules are found
# is kept.
KEPT_PYTHON_VARIABLES = {"PYTHONPATH", "PYTHONHOME", "PYTHONUSERBASE", "PYTHONNOUSERSITE"}


def worker_environment(extra_path: str | None = None) -> dict:
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON") or k in KEPT_PYTHON_VARIABLES}
    if extra_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [extra_path, env.get("PYTHONPATH")]))
    return env


@dataclass
class Worker:
    name: str
    cmd: list
    full: bool = True  # check answer contents, not only "success"
    path: str | None = None  # directory put ahead on the worker's PYTHONPATH

    @property
    def shown(self) -> str:
        parts = ["python" if c == sys.executable else c for c in self.cmd]
        parts = [os.path.relpath(c, BENCH_DIR.parent) if c.startswith(str(BENCH_DIR)) else c for c in parts]
        prefix = f"PYTHONPATH={os.path.relpath(self.path, BENCH_DIR.parent)} " if self.path else ""
        return prefix + shlex.join(parts)


def builtin_workers() -> dict:
    # The Python workers are started as modules, as the native one is, so
    # that all of them go through runpy and load cached bytecode.
    py, here = sys.executable, str(BENCH_DIR)
    return {
        "native": Worker("native", [py, "-m", "vantor.workers"]),
        "plain": Worker("plain", [py, "-m", "plain_worker"], path=here),
        "floor": Worker("floor", [py, "-m", "floor_worker"], full=False, path=here),
        "floor_compile": Worker("floor_compile", [py, "-m", "floor_worker", "--compile"], full=False,
                                path=here),
    }


def native_importable() -> tuple:
    proc = subprocess.run(
        [sys.executable, "-c", "import vantor.workers.custom_worker"],
        capture_output=True,
        text=True,
        env=worker_environment(),
    )
    last = (proc.stderr.strip().splitlines() or [""])[-1]
    return proc.returncode == 0, last


# -- reading the worker's process ----------------------------------------


def cpu_ns(pid: int) -> int:
    """CPU time used so far by every thread of ``pid``, in nanoseconds."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        return total
    except (FileNotFoundError, PermissionError, ValueError, IndexError):
        pass
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1_000_000_000 // CLK_TCK


def status_kib(pid: int, key: str) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise BenchError(f"no {key} in /proc/{pid}/status")


# -- one worker process ---------------------------------------------------


class Session:
    """One worker process, driven over its standard streams."""

    def __init__(self, worker: Worker, workdir: Path, timeout: float, context: str, cpu: int | None = None):
        self.worker = worker
        self.context = context
        self.expired = False
        self.stderr = tempfile.TemporaryFile()
        self.started_ns = time.perf_counter_ns()
        self.proc = subprocess.Popen(
            worker.cmd,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.stderr,
            cwd=workdir,
            env=worker_environment(worker.path),
        )
        if cpu is not None:
            try:
                os.sched_setaffinity(self.proc.pid, {cpu})
            except ProcessLookupError:
                pass  # already gone; the first request reports it
        self.timer = threading.Timer(timeout, self._expire)
        self.timer.daemon = True
        self.timer.start()

    def _expire(self):
        self.expired = True
        self.proc.kill()

    def fail(self, what: str) -> BenchError:
        """Stop the worker and build the error that voids the run."""
        running = self.proc.poll() is None
        if running:
            self.proc.kill()
        code = self.proc.wait()
        self.timer.cancel()
        self.stderr.seek(0)
        tail = self.stderr.read()[-2000:].decode("utf-8", "replace").strip()
        if self.expired:
            why = "timed out and was killed"
        elif running:
            why = "was still running; stopped by the driver"
        else:
            why = f"had exited with status {code}"
        msg = f"{self.worker.name} [{self.context}]: {what}\n  the worker {why}"
        if tail:
            msg += "\n  worker stderr:\n    " + tail.replace("\n", "\n    ")
        self.stderr.close()
        return BenchError(msg)

    def ask(self, line: bytes) -> bytes:
        try:
            self.proc.stdin.write(line)
            self.proc.stdin.flush()
        except OSError as e:
            raise self.fail(f"could not send request {line[:80]!r}: {e}") from None
        answer = self.proc.stdout.readline()
        if not answer:
            raise self.fail(f"no answer to {line[:80]!r}: the worker closed its output")
        return answer

    def lockstep(self, requests: list) -> tuple:
        """Send each request and wait for its answer; return (answers, latencies in ns)."""
        answers, latencies = [], []
        write, flush, readline = self.proc.stdin.write, self.proc.stdin.flush, self.proc.stdout.readline
        clock = time.perf_counter_ns
        for req in requests:
            t0 = clock()
            try:
                write(req.line)
                flush()
            except OSError as e:
                raise self.fail(f"could not send request {len(answers)}: {e}") from None
            answer = readline()
            latencies.append(clock() - t0)
            if not answer:
                raise self.fail(f"no answer to request {len(answers)}: the worker closed its output")
            answers.append(answer)
        return answers, latencies

    def pipelined(self, requests: list) -> tuple:
        """Send every request from a writer thread while reading; return (answers, wall ns)."""
        payload = b"".join(req.line for req in requests)
        errors = []

        def feed():
            try:
                self.proc.stdin.write(payload)
                self.proc.stdin.flush()
            except OSError as e:
                errors.append(e)

        writer = threading.Thread(target=feed, daemon=True)
        readline = self.proc.stdout.readline
        answers = []
        t0 = time.perf_counter_ns()
        writer.start()
        for _ in range(len(requests)):
            answer = readline()
            if not answer:
                break
            answers.append(answer)
        elapsed = time.perf_counter_ns() - t0
        writer.join(5)
        if len(answers) < len(requests):
            detail = f"; sending failed: {errors[0]}" if errors else ""
            raise self.fail(
                f"only {len(answers)} answers to {len(requests)} pipelined requests{detail}"
            )
        return answers, elapsed

    def quit(self):
        """Send quit, check its answer, and check that the worker stops cleanly with nothing more to say."""
        answer = self.ask(QUIT_LINE)
        quit_req = wl.Request(QUIT_LINE, True, _check_goodbye, "quit")
        self.check([quit_req], [answer])
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        rest = self.proc.stdout.read()
        try:
            code = self.proc.wait(30)
        except subprocess.TimeoutExpired:
            raise self.fail("did not stop after quit") from None
        self.timer.cancel()
        if rest:
            raise self.fail(f"wrote {len(rest)} bytes after its quit answer: {rest[:200]!r}")
        if code != 0:
            raise self.fail("stopped with a failure after quit")
        self.stderr.close()

    def check(self, requests: list, answers: list):
        for i, (req, raw) in enumerate(zip(requests, answers)):
            problem = check_answer(req, raw, self.worker.full)
            if problem:
                label = f" ({req.label})" if req.label else ""
                raise self.fail(
                    f"bad answer to request {i}{label}: {problem}\n"
                    f"  request: {req.line[:200]!r}\n  answer:  {raw[:300]!r}"
                )


def _check_goodbye(answer):
    if answer != {"success": True, "result": "goodbye"}:
        return f"answer is {answer!r:.200}"
    return None


def check_answer(req: wl.Request, raw: bytes, full: bool):
    """Return what is wrong with ``raw`` as the answer to ``req``, or None."""
    if not raw.endswith(b"\n"):
        return "answer line does not end with a line feed"
    try:
        answer = json.loads(raw)
    except ValueError as e:
        return f"answer is not JSON ({e})"
    if not isinstance(answer, dict):
        return "answer is not a JSON object"
    if answer.get("success") is not req.success:
        return f'"success" is {answer.get("success")!r}, expected {req.success!r}'
    if full:
        if next(iter(answer)) != "success":
            return '"success" is not the first member'
        if not raw.isascii():
            return "answer line is not pure ASCII"
        if req.check is not None:
            return req.check(answer)
    return None


# -- measuring -------------------------------------------------------------


@dataclass
class Config:
    workers: list
    workloads: list
    modes: tuple
    repeats: int
    scale: float
    startup_spawns: int
    timeout: float
    baseline: str
    workdir: Path
    notes: list = field(default_factory=list)
    # CPU of the driver, and of the worker in each kind of session; None
    # leaves placement to the scheduler.
    cpus: dict | None = None

    def worker_cpu(self, mode: str) -> int | None:
        return self.cpus[mode] if self.cpus else None


def session_count(load: wl.Workload, mode: str, scale: float) -> int:
    n = load.count * scale
    if mode == "lockstep":
        n /= 4
    return max(3, int(n))


def measure_startup(worker: Worker, cfg: Config) -> dict:
    s = Session(worker, cfg.workdir, cfg.timeout, "start-up", cfg.worker_cpu("startup"))
    answer = s.ask(PROBE_LINE)
    first_answer_ns = time.perf_counter_ns() - s.started_ns
    cpu = cpu_ns(s.proc.pid)
    idle_kib = status_kib(s.proc.pid, "VmRSS")
    s.check([wl.Request(PROBE_LINE, True, None, "probe")], [answer])
    s.quit()
    return {"startup_ms": first_answer_ns / 1e6, "startup_cpu_ms": cpu / 1e6, "idle_rss_mib": idle_kib / 1024}


def measure_session(worker: Worker, load: wl.Workload, mode: str, requests: list, cfg: Config) -> dict:
    s = Session(worker, cfg.workdir, cfg.timeout, f"{load.name}, {mode}", cfg.worker_cpu(mode))
    probe = s.ask(PROBE_LINE)
    s.check([wl.Request(PROBE_LINE, True, None, "probe")], [probe])
    warm = requests[: max(1, min(20, len(requests) // 10))]
    s.check(warm, [s.ask(req.line) for req in warm])

    pid = s.proc.pid
    cpu0 = cpu_ns(pid)
    if mode == "lockstep":
        answers, latencies = s.lockstep(requests)
        wall_ns = sum(latencies)
    else:
        answers, wall_ns = s.pipelined(requests)
        latencies = None
    cpu1 = cpu_ns(pid)
    hwm_kib = status_kib(pid, "VmHWM")
    s.check(requests, answers)
    s.quit()

    n = len(requests)
    sample = {
        "n": n,
        "cpu_us": (cpu1 - cpu0) / n / 1e3,
        "throughput": n / (wall_ns / 1e9) if wall_ns else float("inf"),
        "peak_rss_mib": hwm_kib / 1024,
    }
    if latencies is not None:
        ordered = sorted(latencies)
        for q in (50, 90, 99):
            sample[f"p{q}_us"] = percentile(ordered, q) / 1e3
    return sample


def percentile(ordered: list, q: float) -> float:
    """Nearest-rank percentile of an already sorted list."""
    rank = max(1, math.ceil(q / 100 * len(ordered)))
    return ordered[rank - 1]


def compile_cost_us(code: str) -> float:
    """CPU time of compiling ``code`` once in this interpreter (median of batches)."""
    batch = 2000
    timings = []
    for _ in range(7):
        t0 = time.process_time_ns()
        for _ in range(batch):
            compile(code, "<validation>", "exec")
        timings.append((time.process_time_ns() - t0) / batch / 1e3)
    return statistics.median(timings)


def run(cfg: Config, log=print) -> dict:
    if not cfg.cpus:
        return run_unpinned(cfg, log)
    own = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {cfg.cpus["driver"]})
    try:
        return run_unpinned(cfg, log)
    finally:
        os.sched_setaffinity(0, own)


def run_unpinned(cfg: Config, log) -> dict:
    load_before = os.getloadavg()[0]
    startup = {w.name: [] for w in cfg.workers}
    samples = {}  # (worker, workload, mode) -> list of per-repeat samples
    for rep in range(cfg.repeats):
        # The order of the workers turns by one each repeat (A B C, B C A,
        # ...), so that no worker always runs first, right after the driver
        # has prepared a workload.
        turn = rep % len(cfg.workers)
        order = cfg.workers[turn:] + cfg.workers[:turn]
        log(f"repeat {rep + 1}/{cfg.repeats}: start-up")
        for _ in range(cfg.startup_spawns):
            for worker in order:
                startup[worker.name].append(measure_startup(worker, cfg))
        for load in cfg.workloads:
            log(f"repeat {rep + 1}/{cfg.repeats}: {load.name}")
            for mode in cfg.modes:
                requests = load.make(session_count(load, mode, cfg.scale))
                for worker in order:
                    sample = measure_session(worker, load, mode, requests, cfg)
                    samples.setdefault((worker.name, load.name, mode), []).append(sample)
    result = summarise(cfg, startup, samples)
    result["load_average"] = [load_before, os.getloadavg()[0]]
    return result


def summarise(cfg: Config, startup: dict, samples: dict) -> dict:
    """Medians over the repeats; the JSON output also keeps each metric's range."""

    def medians(rows: list) -> dict:
        out = {key: statistics.median(row[key] for row in rows) for key in rows[0]}
        out["range"] = {key: [min(row[key] for row in rows), max(row[key] for row in rows)] for key in rows[0]}
        return out

    return {
        "startup": {name: medians(rows) for name, rows in startup.items()},
        "sessions": {
            f"{w}|{load}|{mode}": medians(rows) for (w, load, mode), rows in samples.items()
        },
    }


# -- reporting -------------------------------------------------------------


def machine() -> dict:
    model = platform.processor() or "unknown CPU"
    mem = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            kib = int(f.readline().split()[1])
            mem = f"{kib / 1024 / 1024:.1f} GiB"
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "usable_cores": usable,
        "memory": mem,
        "system": f"{platform.system()} {platform.release()} {platform.machine()}",
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


def fmt(value: float) -> str:
    if value is None:
        return "–"
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def ratio(value, base) -> str:
    if value is None or not base:
        return "–"
    r = value / base
    return f"{r:.3f}×" if r < 0.1 else f"{r:.2f}×"


def table(title: str, rows: list, cfg: Config, cell, ratio_of=None, unit="") -> list:
    """A Markdown table: one row per label, a value column per worker, ratio columns to the baseline."""
    names = [w.name for w in cfg.workers]
    head = [""]
    for name in names:
        head.append(f"{name}{unit}")
        if name != cfg.baseline and cfg.baseline in names:
            head.append(f"{name} / {cfg.baseline}")
    lines = [f"### {title}", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    ratio_of = ratio_of or cell
    for label, key in rows:
        out = [label]
        base = ratio_of(cfg.baseline, key) if cfg.baseline in names else None
        for name in names:
            out.append(cell(name, key))
            if name != cfg.baseline and cfg.baseline in names:
                out.append(ratio(ratio_of(name, key), base))
        lines.append("| " + " | ".join(out) + " |")
    return lines + [""]


def markdown(cfg: Config, result: dict, info: dict) -> str:
    sessions, startup = result["sessions"], result["startup"]

    def get(worker, load, mode, key):
        row = sessions.get(f"{worker}|{load}|{mode}")
        return row.get(key) if row else None

    loads = [(load.name, load.name) for load in cfg.workloads]
    lines = [
        "# Worker benchmark",
        "",
        f"- Machine: {info['cpu']}, {info['cores']} logical CPUs ({info['usable_cores']} usable), "
        f"{info['memory']}, {info['system']}",
        f"- Python: {info['python']}",
        f"- Date: {info['date']}; load average (1 min) {result['load_average'][0]:.2f} at the start, "
        f"{result['load_average'][1]:.2f} at the end",
        f"- Run: {cfg.repeats} repeat(s) at scale {cfg.scale:g}; sessions interleaved worker by worker, the order turning each repeat; "
        f"medians over repeats; ratios are to `{cfg.baseline}` (below 1 is better, except throughput).",
        "- Workers run with the driver's environment less the PYTHON* variables that change how "
        "an interpreter runs (PYTHONPATH and PYTHONHOME are kept).",
        "- Workers:",
    ]
    lines += [f"  - `{w.name}`: `{w.shown}`" for w in cfg.workers]
    lines += [f"- {note}" for note in cfg.notes]
    lines += ["", "## Start-up and memory", ""]
    lines += table(
        "Start-up (spawn to first answer) and idle memory",
        [("start-up, ms", "startup_ms"), ("start-up CPU, ms", "startup_cpu_ms"), ("idle RSS, MiB", "idle_rss_mib")],
        cfg,
        lambda w, k: fmt(startup[w][k]),
        lambda w, k: startup[w][k],
    )
    lines += ["## Workloads", ""]
    shown_modes = [m for m in ("pipelined", "lockstep") if m in cfg.modes]
    lines += [f"| workload | what it sends | requests per session ({' / '.join(shown_modes)}) |", "|---|---|---|"]
    for load in cfg.workloads:
        counts = " / ".join(str(session_count(load, m, cfg.scale)) for m in shown_modes)
        lines.append(f"| {load.name} | {load.description} | {counts} |")
    lines.append("")
    if "pipelined" in cfg.modes:
        lines += table(
            "Worker CPU per request, pipelined (µs)",
            loads, cfg,
            lambda w, k: fmt(get(w, k, "pipelined", "cpu_us")),
            lambda w, k: get(w, k, "pipelined", "cpu_us"),
        )
        lines += table(
            "Throughput, pipelined (requests/s)",
            loads, cfg,
            lambda w, k: fmt(get(w, k, "pipelined", "throughput")),
            lambda w, k: get(w, k, "pipelined", "throughput"),
        )
    if "lockstep" in cfg.modes:
        def pct(w, k):
            vals = [get(w, k, "lockstep", f"p{q}_us") for q in (50, 90, 99)]
            return " / ".join(fmt(v) for v in vals)

        lines += table(
            "Lock-step latency p50 / p90 / p99 (µs; ratio of p50)",
            loads, cfg, pct,
            lambda w, k: get(w, k, "lockstep", "p50_us"),
        )
        lines += table(
            "Worker CPU per request, lock-step (µs)",
            loads, cfg,
            lambda w, k: fmt(get(w, k, "lockstep", "cpu_us")),
            lambda w, k: get(w, k, "lockstep", "cpu_us"),
        )
    mode = "pipelined" if "pipelined" in cfg.modes else cfg.modes[0]
    lines += table(
        f"Peak RSS (VmHWM) at the end of the {mode} session (MiB)",
        loads, cfg,
        lambda w, k: fmt(get(w, k, mode, "peak_rss_mib")),
        lambda w, k: get(w, k, mode, "peak_rss_mib"),
    )
    reference = result.get("validate_reference")
    if reference:
        lines += ["### Validate against the protocol floor", "", reference, ""]
    return "\n".join(lines)


def validate_reference(cfg: Config, result: dict) -> str | None:
    names = [w.name for w in cfg.workers]
    if "floor" not in names or "pipelined" not in cfg.modes:
        return None
    if not any(load.name == "validate_assign" for load in cfg.workloads):
        return None
    comp = compile_cost_us(wl.ASSIGN)
    floor = result["sessions"]["floor|validate_assign|pipelined"]["cpu_us"]
    bound = floor + comp
    text = (
        f"`validate` of `{wl.ASSIGN}`, pipelined: floor {fmt(floor)} µs + compiling that line "
        f"{fmt(comp)} µs (measured in the driver's interpreter) = {fmt(bound)} µs."
    )
    floor_compile = result["sessions"].get("floor_compile|validate_assign|pipelined")
    for name in names:
        if not name.startswith("floor"):
            own = result["sessions"][f"{name}|validate_assign|pipelined"]["cpu_us"]
            text += f" `{name}`: {fmt(own)} µs = {own / bound:.2f}× that"
            if floor_compile:
                text += f", {own / floor_compile['cpu_us']:.2f}× `floor_compile`"
            text += "."
    if floor_compile:
        text += (f" `floor_compile` (the floor worker compiling the code in its own process): "
                 f"{fmt(floor_compile['cpu_us'])} µs.")
    return text


def chart(cfg: Config, result: dict, path: Path) -> str | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib is not installed (pip install matplotlib, or the project's 'bench' extra); no chart written"
    mode = "pipelined" if "pipelined" in cfg.modes else cfg.modes[0]
    sessions = result["sessions"]
    names = [w.name for w in cfg.workers]
    others = [n for n in names if n != cfg.baseline and cfg.baseline in names]
    labels = [load.name for load in cfg.workloads]
    panels = 2 if others else 1
    fig, axes = plt.subplots(1, panels, figsize=(6.5 * panels, 0.45 * len(labels) + 2.2), squeeze=False)
    colours = {name: f"C{i}" for i, name in enumerate(names)}
    by_name = {w.name: w for w in cfg.workers}
    height = 0.8 / len(names)
    ax = axes[0][0]
    for i, name in enumerate(names):
        values = [sessions[f"{name}|{label}|{mode}"]["cpu_us"] for label in labels]
        ax.barh([y + i * height for y in range(len(labels))], values, height, label=name, color=colours[name])
    ax.set_xscale("log")
    ax.set_yticks([y + height * (len(names) - 1) / 2 for y in range(len(labels))], labels)
    ax.invert_yaxis()
    ax.set_xlabel(f"worker CPU per request, {mode} (µs, log scale)")
    ax.legend(loc="lower right", fontsize="small")
    if others:
        # Ratios of the full workers on a linear axis, where the targets around
        # 1 are readable; the floor shows only in the first panel unless it is
        # all there is to compare.
        shown = [n for n in others if by_name[n].full] or others
        linear = shown != others or all(by_name[n].full for n in others)
        ax = axes[0][1]
        rows = labels + ["start-up", "idle RSS"]
        height2 = 0.8 / len(shown)
        for i, name in enumerate(shown):
            values = [
                sessions[f"{name}|{label}|{mode}"]["cpu_us"] / sessions[f"{cfg.baseline}|{label}|{mode}"]["cpu_us"]
                for label in labels
            ]
            st, base = result["startup"][name], result["startup"][cfg.baseline]
            values += [st["startup_ms"] / base["startup_ms"], st["idle_rss_mib"] / base["idle_rss_mib"]]
            ys = [y + i * height2 for y in range(len(rows))]
            ax.barh(ys, values, height2, label=name, color=colours[name])
            if linear:
                for y, v in zip(ys, values):
                    ax.text(v, y, f" {v:.2f}", va="center", fontsize="x-small")
        ax.axvline(1.0, color="black", linewidth=0.8, linestyle="--")
        if not linear:
            ax.set_xscale("log")
        ax.set_yticks([y + height2 * (len(shown) - 1) / 2 for y in range(len(rows))], rows)
        ax.invert_yaxis()
        ax.set_xlabel(f"ratio to {cfg.baseline} (CPU per request, {mode}; start-up time; idle RSS)")
        ax.legend(loc="best", fontsize="small")
    info = result["machine"]
    fig.suptitle(f"{info['cpu']}, {info['usable_cores']} cores, {info['python']}, {info['date']}", fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None


# -- command line ----------------------------------------------------------


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="a few requests per workload, one repeat (a smoke run)")
    p.add_argument("--repeats", type=int, help="interleaved repeats (default 5; 1 with --quick)")
    p.add_argument("--scale", type=float, help="multiply every workload's request count (default 1)")
    p.add_argument("--startup-spawns", type=int, help="start-up sessions per worker and repeat (default 5)")
    p.add_argument("--out", type=Path, default=DEFAULT_OUT, help="directory for latest.md/.json/.png")
    p.add_argument(
        "--workers",
        default=None,
        help="comma-separated built-in workers: native, plain, floor, floor_compile (default: all; native is "
        "skipped with a note when it does not import)",
    )
    p.add_argument(
        "--worker",
        action="append",
        default=[],
        metavar="NAME=COMMAND",
        help="an extra worker started with COMMAND (split like a shell would); its answers are fully checked",
    )
    p.add_argument("--baseline", default="plain", help="worker the ratios are taken against (default plain)")
    p.add_argument("--workloads", help="comma-separated workload names (default: all)")
    p.add_argument("--modes", default="lockstep,pipelined", help="lockstep, pipelined or both")
    p.add_argument("--timeout", type=float, default=600, help="seconds before one worker session is killed")
    p.add_argument("--no-chart", action="store_true", help="do not draw the PNG chart")
    p.add_argument(
        "--no-pin",
        action="store_true",
        help="leave CPU placement to the scheduler (by default the worker shares the driver's CPU in "
        "lock-step sessions and has a CPU of its own otherwise)",
    )
    return p.parse_args(argv)


def usage(message: str):
    print(f"run.py: {message}", file=sys.stderr)
    raise SystemExit(2)


def configure(args, workdir: Path, log) -> Config:
    known = builtin_workers()
    notes = []
    if args.workers is None:
        chosen = list(known)
        ok, why = native_importable()
        if not ok:
            chosen.remove("native")
            notes.append(f"native worker left out: `import vantor.workers.custom_worker` failed ({why})")
            log(f"note: {notes[-1]}")
    else:
        chosen = [n.strip() for n in args.workers.split(",") if n.strip()]
    workers = []
    for name in chosen:
        if name not in known:
            usage(f"unknown worker {name!r}; built-in workers are {', '.join(known)}")
        workers.append(known[name])
    for entry in args.worker:
        name, sep, command = entry.partition("=")
        if not sep or not name or not command.strip():
            usage(f"--worker wants NAME=COMMAND, got {entry!r}")
        workers.append(Worker(name, shlex.split(command)))
    if not workers:
        usage("no workers to run")
    if len({w.name for w in workers}) != len(workers):
        usage("worker names must be distinct")

    loads = wl.build(workdir)
    if args.workloads:
        wanted = [n.strip() for n in args.workloads.split(",") if n.strip()]
        by_name = {load.name: load for load in loads}
        missing = [n for n in wanted if n not in by_name]
        if missing:
            usage(f"unknown workload(s) {', '.join(missing)}; known: {', '.join(by_name)}")
        loads = [by_name[n] for n in wanted]
    modes = tuple(m.strip() for m in args.modes.split(",") if m.strip())
    if not modes or any(m not in MODES for m in modes):
        usage(f"--modes takes {' and/or '.join(MODES)}")
    for option in ("repeats", "startup_spawns", "scale"):
        value = getattr(args, option)
        if value is not None and value <= 0:
            usage(f"--{option.replace('_', '-')} must be positive")
    baseline = args.baseline
    if baseline not in {w.name for w in workers}:
        notes.append(f"baseline `{baseline}` is not among the workers run; no ratios")
    cpus = None
    usable = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []
    if args.no_pin:
        notes.append("CPU placement left to the scheduler (--no-pin)")
    elif len(usable) < 2:
        notes.append("fewer than 2 usable CPUs: CPU placement left to the scheduler")
    else:
        driver, apart = usable[0], usable[1]
        cpus = {"driver": driver, "lockstep": driver, "pipelined": apart, "startup": apart}
        notes.append(
            f"Pinning: the driver runs on CPU {driver}; the worker shares it in lock-step sessions (each "
            f"answer hands over directly, without waking an idle CPU) and runs on CPU {apart} in pipelined "
            "and start-up sessions."
        )
    return Config(
        cpus=cpus,
        workers=workers,
        workloads=loads,
        modes=modes,
        repeats=args.repeats or (1 if args.quick else 5),
        scale=args.scale or (0.0025 if args.quick else 1.0),
        startup_spawns=args.startup_spawns or (1 if args.quick else 5),
        timeout=args.timeout,
        baseline=baseline,
        workdir=workdir,
        notes=notes,
    )


def main(argv=None) -> int:
    args = parse_args(argv)

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    with tempfile.TemporaryDirectory(prefix="worker-bench-") as tmp:
        workdir = Path(tmp)
        wl.write_files(workdir)
        cfg = configure(args, workdir, log)
        log("workers: " + ", ".join(f"{w.name} ({w.shown})" for w in cfg.workers))
        try:
            result = run(cfg, log)
        except BenchError as e:
            log("")
            log("BENCHMARK FAILED: a worker gave a wrong answer or misbehaved; no results written.")
            log(str(e))
            return 1
    result["machine"] = info = machine()
    result["validate_reference"] = validate_reference(cfg, result)
    result["config"] = {
        "workers": {w.name: w.shown for w in cfg.workers},
        "baseline": cfg.baseline,
        "repeats": cfg.repeats,
        "scale": cfg.scale,
        "modes": list(cfg.modes),
        "workloads": {load.name: load.description for load in cfg.workloads},
        "notes": cfg.notes,
    }
    args.out.mkdir(parents=True, exist_ok=True)
    text = markdown(cfg, result, info)
    (args.out / "latest.md").write_text(text + "\n", encoding="utf-8")
    (args.out / "latest.json").write_text(json.dumps(result, indent=1) + "\n", encoding="utf-8")
    if args.no_chart:
        log("chart skipped (--no-chart)")
    else:
        why_not = chart(cfg, result, args.out / "latest.png")
        log(f"chart skipped: {why_not}" if why_not else f"chart: {args.out / 'latest.png'}")
    print(text)
    log(f"table: {args.out / 'latest.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
