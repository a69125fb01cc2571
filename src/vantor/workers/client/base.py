"""What every worker client shares, whatever does its waiting: the settings,
the process it runs now, the bookkeeping after each call and the error a
failed call raises."""

from __future__ import annotations

import os
import re
import sys
import threading
from collections.abc import Mapping, Sequence
from typing import Any

from vantor.workers.client.answers import with_stderr_tail
from vantor.workers.client.telemetry import OTEL_LOADED, call_ended, worker_started
from vantor.workers.client.interrupts import bookkeeping
from vantor.workers.client.usage import CpuSpan, EndFigures, Usage
from vantor.workers.client.core import (
    DEFAULT_OUTPUT_LIMIT,
    DEFAULT_STDERR_LIMIT,
    Actions,
    Answer,
    Process,
    StatsRecorder,
    Timeout,
    WorkerClosed,
    WorkerDied,
    WorkerOutputLimit,
    WorkerProtocolError,
    WorkerStartError,
    WorkerStats,
    WorkerTimeout,
    check_limit,
    check_timeout,
)
from vantor.workers.network.relay import ProxyStats
from vantor.workers.sandbox.host.launch import launch_for
from vantor.workers.sandbox.policy import DEFAULT_SANDBOX, Sandbox

#: What ``isolation`` may be: calls share the worker process, or each has its own.
ISOLATION_MODES = ("worker", "call")
_MODULE_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)*\Z")

# How long a worker may take to be ready, apart from any call's timeout.
START_TIMEOUT = 60.0
# How long close() lets an idle worker end by itself after its stdin is closed.
CLOSE_GRACE = 1.0


class StartDied(WorkerStartError):
    """A worker ended before it was ready (before its sandbox reported in, say):
    no request has reached it."""


class StartTimedOut(WorkerStartError):
    """A worker was not ready within :data:`START_TIMEOUT`."""

    def __init__(self) -> None:
        super().__init__(f"the worker was not ready within {START_TIMEOUT:g} s")


def check_isolation(isolation: str, preload: Sequence[str]) -> tuple[str, tuple[str, ...]]:
    """``isolation`` and ``preload`` checked; the modules as a tuple."""
    if isolation not in ISOLATION_MODES:
        raise ValueError(f"isolation must be one of {ISOLATION_MODES}, not {isolation!r}")
    if isinstance(preload, str):
        raise TypeError("preload must be a sequence of module names, not a str")
    modules = tuple(preload)
    for name in modules:
        if not isinstance(name, str) or not _MODULE_NAME.match(name):
            raise ValueError(f"preload names modules to import, not {name!r}")
    if modules and isolation != "call":
        raise ValueError("preload needs isolation='call': it fills the template calls fork from")
    return isolation, modules


class SharedStats:
    """Statistics that several workers (a pool's) add to; thread-safe."""

    def __init__(self) -> None:
        self.recorder = StatsRecorder()
        self.lock = threading.Lock()

    @bookkeeping
    def answered(self, answer: Answer, seconds: float) -> None:
        # Every answer passes here: counted in place rather than through the recorder.
        recorder = self.recorder
        counts = recorder.counts
        with self.lock:
            counts["calls"] += 1
            counts["answered"] += 1
            if answer.get("success") is not True:
                counts["failed"] += 1
            recorder.latencies.append(seconds)

    @bookkeeping
    def failed(self, error: BaseException, cancelled: bool = False) -> None:
        with self.lock:
            self.recorder.failed(error, cancelled)

    def count(self, name: str) -> None:
        with self.lock:
            self.recorder.count(name)

    def snapshot(self) -> WorkerStats:
        with self.lock:
            return self.recorder.snapshot()


class WorkerBase(Actions):
    """Settings and state of one worker; the subclass drives its process."""

    def __init__(self, command: Sequence[str] | None = None, *, timeout: Timeout = None,
                 env: Mapping[str, str] | None = None, cwd: str | os.PathLike | None = None,
                 stderr_limit: int = DEFAULT_STDERR_LIMIT,
                 sandbox: Sandbox | None = DEFAULT_SANDBOX,
                 output_limit: int | None = DEFAULT_OUTPUT_LIMIT,
                 max_requests: int | None = None, isolation: str = "worker",
                 preload: Sequence[str] = (),
                 _keep_warm: bool = False, _stats: SharedStats | None = None):
        check_timeout(timeout)
        self.isolation, self.preload = check_isolation(isolation, preload)
        check_limit("stderr_limit", stderr_limit, allow_none=False)
        check_limit("output_limit", output_limit)
        check_limit("max_requests", max_requests)
        self.command: tuple[str, ...] | None = tuple(command) if command is not None else None
        if self.command is not None and not self.command:
            raise ValueError("command must not be empty")
        self.timeout = timeout
        self.sandbox = sandbox
        self.output_limit = output_limit
        self.max_requests = max_requests
        self._launch_args = (self.command, env, cwd, sandbox)
        launch_for(*self._launch_args, check_only=True)
        self._stderr_limit = stderr_limit
        self._keep_warm = _keep_warm
        self._stats = _stats or SharedStats()
        self._state_lock = threading.Lock()  # guards _proc and _closed
        self._proc: Process | None = None
        self._spawned = 0
        self._closed = False
        self._last_stderr = ""
        self._last_report: dict[str, Any] | None = None
        self._last_network: Any = None
        self._call_pid: int | None = None  # the process the last call was sent to

    @property
    def timeout(self) -> Timeout:
        """The time limit, in seconds, of a call that gives none (None: no limit)."""
        return self._timeout

    @timeout.setter
    def timeout(self, timeout: Timeout) -> None:
        check_timeout(timeout)
        self._timeout = timeout

    @property
    def pid(self) -> int | None:
        """PID of the running worker process, or None when none is running.

        For a sandboxed worker this is the sandbox's supervisor, the process
        the host started; the worker itself runs inside, under it.
        """
        proc = self._proc
        return proc.pid if proc is not None else None

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def stderr_tail(self) -> str:
        """Tail of the standard error of the current process, or else of the last one.

        Standard error is read while a call waits; what was written after the
        last call is read by the next one.
        """
        proc = self._proc
        return proc.channel.stderr_text() if proc is not None else self._last_stderr

    @property
    def protections(self) -> dict[str, Any] | None:
        """What the sandbox of the current (or last) process reported: see :mod:`.sandbox`.

        None before a sandboxed process has reported in, and without a sandbox.
        With ``isolation="call"`` it adds ``call_isolation``: each call runs
        in a process of its own.
        """
        proc = self._proc
        report = proc.report if proc is not None and proc.report else self._last_report
        protections = report.get("protections") if report else None
        if protections is None or self.isolation != "call":
            return protections
        return {**protections, "call_isolation": "in force"}

    def network_stats(self) -> ProxyStats | None:
        """The proxy's counts for the current (or last) sandbox's network.

        None without a network, and before the sandbox has reported in.  A
        worker runs one call at a time, so the difference across a call is
        that call's traffic.
        """
        proc = self._proc
        network = proc.network if proc is not None else self._last_network
        return network.stats() if network is not None else None

    @property
    def bound(self) -> list[str] | None:
        """The host paths the sandbox of the current (or last) process shows besides the
        policy's ``read`` and ``write``: the interpreter, its site directories, this package
        and the system's libraries, programs and a few files of ``/etc``.  None as for
        :attr:`protections`."""
        proc = self._proc
        report = proc.report if proc is not None and proc.report else self._last_report
        return report.get("bound") if report else None

    def stats(self) -> WorkerStats:
        """Counters and latency percentiles of this worker's calls (a pool's: all of them)."""
        return self._stats.snapshot()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"pid={self.pid}"
        sandbox = "sandboxed" if self.sandbox is not None else "unsandboxed"
        return f"<{type(self).__name__} {state} {sandbox}>"

    # -- for the drivers ----------------------------------------------------

    def _ready_process(self) -> Process:
        """The live process, started if needed; a finished one is let go."""
        proc = self._proc
        if proc is not None and (not proc.stdout_open or proc.stopping or self._has_ended(proc)):
            self._forget(proc)
            proc = None
        return proc if proc is not None else self._spawn()

    def _has_ended(self, proc: Process) -> bool:
        """Whether the process is known to have ended, before a call is sent to it."""
        return proc.exited()

    def _prestart(self) -> None:
        """Start a replacement now, so that the next call finds it warm."""
        try:
            self._ready_process()
        except Exception:  # the next call reports it
            pass

    def _spawn(self) -> Process:
        with self._state_lock:
            if self._closed:
                raise WorkerClosed("the worker is closed")
            proc = Process(launch_for(*self._launch_args), self.output_limit,
                           self._stderr_limit,
                           self.preload if self.isolation == "call" else None)
            self._proc = proc
        self._spawned += 1
        self._stats.count("started")
        if self._spawned > 1:
            self._stats.count("restarts")
        worker_started(self._spawned > 1)
        self._attach(proc)
        return proc

    def _attach(self, proc: Process) -> None:
        """Hook a new process into the driver."""

    def _forget(self, proc: Process) -> None:
        """Let go of a process that has been released (or is about to be)."""
        proc.release()
        with self._state_lock:
            self._last_stderr = proc.channel.stderr_text()
            self._last_report = proc.report
            self._last_network = proc.network
            if self._proc is proc:
                self._proc = None

    def _check_start(self, proc: Process) -> None:
        """After a start: raise, letting the process go, if it cannot take calls."""
        if self._closed:
            self._forget(proc)
            raise WorkerClosed("the worker was closed while it started")
        failure = proc.start_failure()
        if failure is not None and not proc.ended_unreported():
            self._forget(proc)
            raise failure
        if not proc.ready:
            self._forget(proc)
            raise StartDied(with_stderr_tail("the worker ended before it was ready for requests",
                                             proc.channel.stderr_text()))

    def _retires(self, proc: Process, quitting: bool) -> bool:
        """Count a request answered by ``proc``; whether the process must now end."""
        proc.requests += 1
        if quitting:
            return True
        if self.max_requests is not None and proc.requests >= self.max_requests:
            self._stats.count("recycled")
            proc.close_input()
            return True
        return False

    def _call_ended(self, action: Any, result: Any, start_ns: int) -> None:
        """Tell OpenTelemetry, if the host set it up, how a call ended (see :mod:`.telemetry`)."""
        if OTEL_LOADED in sys.modules:
            call_ended(action or "request", result, start_ns, isolation=self.isolation,
                       sandboxed=self.sandbox is not None, pid=self._call_pid)

    def _template_usage(self, proc: Process, wall: float) -> Usage:
        """What a call a template answered cost: its figures come on the end line behind
        the answer, read when they are first asked for (:meth:`_fetch_end`) or by the
        next call."""
        proc.owes_end = True
        pending = proc.end_figures = EndFigures(lambda pending: self._fetch_end(proc, pending))
        return Usage(wall, pending=pending)

    def _fetch_end(self, proc: Process, pending: EndFigures) -> None:
        """Wait (boundedly) for ``proc``'s end line, which settles ``pending``."""

    @staticmethod
    def _usage(proc: Process, wall: float, cpu: CpuSpan | None, *, failed: bool = False
               ) -> Usage:
        """What the call just over cost: the template's figures for it (isolation per
        call), else the worker's CPU count across it (ended now if the call ``failed``:
        the process goes)."""
        if proc.isolated:
            figures, proc.end_usage = proc.end_usage, None
            if figures is None:
                return Usage(wall)
            return Usage(wall, figures[0], figures[1])
        if failed and cpu is not None:
            cpu.close()
        return Usage(wall, cpu)

    def _error_for(self, proc: Process, kind: str, timeout: Timeout,
                   detail: str = "") -> Exception:
        """The error of a call whose wait ended without an answer (the process stopped)."""
        stray, stderr = proc.stray_and_stderr()
        if self._closed:
            return WorkerClosed("the worker was closed during the call")
        if kind == "timeout":
            return WorkerTimeout(timeout if timeout is not None else 0, stderr=stderr,
                                 stray_raw=stray)
        if kind == "output limit":
            return WorkerOutputLimit(self.output_limit or 0, stderr=stderr, stray_raw=stray)
        if kind == "out of place":
            return WorkerProtocolError(detail, stderr=stderr, stray_raw=stray)
        return WorkerDied(proc.returncode, stderr, stray_raw=stray, reason=proc.death_reason())
