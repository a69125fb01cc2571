"""What one call cost: its wall time, its CPU time and, where the kernel tells it, its peak memory.

With ``isolation="call"`` the template measures each call's process itself
(``wait4``: its CPU time and peak resident set, its waited-for children
included; plus the CPU time of whatever it left running, which the template
reaps) and sends the figures on the call's end line.

A shared worker serves call after call in one process, whose peak resident
set only grows: no figure of the kernel's is one call's peak, so
``max_rss_bytes`` is None there.  Its CPU time is the difference, across the
call, of a counter read by the host (:class:`CpuMeter`): the sandbox's cgroup
where one counts CPU time (cgroup v2, or v1 with ``cpu_seconds`` set), which
counts every process in the sandbox; else ``/proc/<pid>/stat`` of the worker
process, its own time and that of the children it waited for.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from typing import Any

_TICK = os.sysconf("SC_CLK_TCK")


class Usage:
    """What one call cost.

    ``wall_seconds``: from sending the request to the answer (or the error).
    ``cpu_seconds``: user and system time of everything the call ran,
    children included (None where it could not be read).
    ``max_rss_bytes``: the call's peak resident set (``isolation="call"``
    only; None otherwise).

    The CPU time and peak are taken when first asked for: a shared worker's
    counter is read then, or as the worker's next request goes, whichever
    comes first; a template's end line, which comes right behind the
    answer, is read then, or by the next call.  A call pays for no wait or
    read it does not need, and what it left running until then is its own.
    """

    __slots__ = ("wall_seconds", "_cpu", "_rss", "_pending")

    def __init__(self, wall_seconds: float, cpu_seconds: "float | CpuSpan | None" = None,
                 max_rss_bytes: int | None = None, *, pending: "EndFigures | None" = None):
        self.wall_seconds = wall_seconds
        self._cpu = cpu_seconds
        self._rss = max_rss_bytes
        self._pending = pending

    @property
    def cpu_seconds(self) -> float | None:
        if self._pending is not None:
            self._take_figures()
        cpu = self._cpu
        if isinstance(cpu, CpuSpan):
            cpu = self._cpu = cpu.seconds()
        return cpu

    @property
    def max_rss_bytes(self) -> int | None:
        if self._pending is not None:
            self._take_figures()
        return self._rss

    def _take_figures(self) -> None:
        pending, self._pending = self._pending, None
        figures = pending.get() if pending is not None else None
        if figures is not None:
            self._cpu, self._rss = figures

    def as_dict(self) -> dict[str, Any]:
        return {"wall_seconds": self.wall_seconds, "cpu_seconds": self.cpu_seconds,
                "max_rss_bytes": self.max_rss_bytes}

    def __reduce__(self) -> tuple[Any, ...]:
        # Copied or sent elsewhere with its figures taken: a count is this process's to read.
        return (Usage, (self.wall_seconds, self.cpu_seconds, self.max_rss_bytes))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Usage) and self.as_dict() == other.as_dict()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return (f"Usage(wall_seconds={self.wall_seconds!r}, cpu_seconds={self.cpu_seconds!r}, "
                f"max_rss_bytes={self.max_rss_bytes!r})")


class EndFigures:
    """A template's figures for one call (CPU seconds, peak RSS bytes), which come on the
    end line behind its answer: settled by whoever reads that line, or fetched by
    ``fetch`` (the client's bounded wait for it) when asked for first."""

    __slots__ = ("figures", "done", "fetch")

    def __init__(self, fetch: Callable[["EndFigures"], None]):
        self.figures: tuple[float, int] | None = None
        self.done = False
        self.fetch: Callable[[EndFigures], None] | None = fetch

    def settle(self, figures: tuple[float, int] | None) -> None:
        if not self.done:
            self.figures, self.done, self.fetch = figures, True, None

    def get(self) -> tuple[float, int] | None:
        fetch = self.fetch
        if not self.done and fetch is not None:
            try:
                fetch(self)
            finally:
                self.settle(None)  # not found: unknown
        return self.figures


class CpuSpan(list):  # type: ignore[type-arg]
    """A shared worker's CPU counter across one call, ``[meter, start, end]``: read raw as
    the request goes, and again once asked for or as the next request goes
    (:meth:`close`); parsed when asked.

    A list, made in one step by the interpreter: every call of a shared
    worker makes one, and most are never asked for.
    """

    __slots__ = ()

    def close(self, reading: bytes | None = None) -> None:
        """Take the reading at the call's end (read now unless given), once."""
        if self[2] is None:
            if reading is None:
                reading = self[0].raw()
            if self[2] is None:
                self[2] = reading or b""

    def seconds(self) -> float | None:
        self.close()
        meter, start, end = self
        if not start or not end:
            return None
        try:
            return max(0.0, meter.parse(end) - meter.parse(start))
        except (ValueError, IndexError):  # read after its process was let go
            return None


def parse_end_usage(text: bytes) -> tuple[float, int] | None:
    """The template's figures on an end line, ``b" <cpu µs> <max rss bytes>"``; None if absent."""
    parts = text.split()
    if len(parts) != 2 or not all(part.isdigit() for part in parts):
        return None
    return int(parts[0]) / 1e6, int(parts[1])


class CpuMeter:
    """The CPU time a worker has used so far, from a file kept open and read with ``pread``."""

    __slots__ = ("fd", "parse")

    def __init__(self, path: str, cgroup: bool):
        self.fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        self.parse = _parse_cgroup if cgroup else _parse_stat

    @classmethod
    def open(cls, pid: int, depth: int, cgroup_procs: Iterable[str]) -> "CpuMeter | None":
        """The meter of a worker: its sandbox's CPU cgroup if any, else the ``/proc`` entry
        of the process ``depth`` generations under ``pid`` (the sandbox's supervisor and
        init stand above its worker).  None while that process cannot be found."""
        from vantor.workers.sandbox.host.cgroups import cpu_usage_file

        for procs in cgroup_procs:
            path = cpu_usage_file(procs)
            if path is not None:
                try:
                    return cls(path, True)
                except OSError:
                    pass
        for _ in range(depth):
            try:
                with open(f"/proc/{pid}/task/{pid}/children") as children:
                    pid = int(children.read().split()[0])
            except (OSError, IndexError, ValueError):
                return None
        try:
            return cls(f"/proc/{pid}/stat", False)
        except OSError:
            return None

    def raw(self) -> bytes | None:
        """The counter's text now, parsed only if asked for; None once it cannot be read."""
        try:
            return os.pread(self.fd, 1024, 0)
        except OSError:  # the process has ended
            return None

    def seconds(self) -> float | None:
        raw = self.raw()
        return self.parse(raw) if raw else None


def _parse_cgroup(text: bytes) -> float:
    if text.startswith(b"usage_usec"):
        return int(text.split()[1]) / 1e6
    return int(text) / 1e9


def _parse_stat(text: bytes) -> float:
    # utime, stime, cutime and cstime: the 14th to 17th fields, after the name's ")".
    fields = text[text.rfind(b")") + 2:].split(b" ", 15)
    return (int(fields[11]) + int(fields[12]) + int(fields[13]) + int(fields[14])) / _TICK
