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
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

_TICK = os.sysconf("SC_CLK_TCK")


@dataclass(frozen=True)
class Usage:
    """What one call cost.

    ``wall_seconds``: from sending the request to the answer (or the error).
    ``cpu_seconds``: user and system time of everything the call ran,
    children included (None where it could not be read).
    ``max_rss_bytes``: the call's peak resident set (``isolation="call"``
    only; None otherwise).
    """

    __slots__ = ("wall_seconds", "cpu_seconds", "max_rss_bytes")

    wall_seconds: float
    cpu_seconds: float | None
    max_rss_bytes: int | None

    def as_dict(self) -> dict[str, Any]:
        return {"wall_seconds": self.wall_seconds, "cpu_seconds": self.cpu_seconds,
                "max_rss_bytes": self.max_rss_bytes}


def parse_end_usage(text: bytes) -> tuple[float, int] | None:
    """The template's figures on an end line, ``b" <cpu µs> <max rss bytes>"``; None if absent."""
    parts = text.split()
    if len(parts) != 2 or not all(part.isdigit() for part in parts):
        return None
    return int(parts[0]) / 1e6, int(parts[1])


class CpuMeter:
    """The CPU time a worker has used so far, from a file kept open and read with ``pread``."""

    __slots__ = ("fd", "read")

    def __init__(self, path: str, cgroup: bool):
        self.fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        self.read = self._read_cgroup if cgroup else self._read_stat

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

    def _read_cgroup(self) -> float | None:
        try:
            text = os.pread(self.fd, 4096, 0)
        except OSError:
            return None
        if text.startswith(b"usage_usec"):
            return int(text.split()[1]) / 1e6
        return int(text) / 1e9

    def _read_stat(self) -> float | None:
        try:
            text = os.pread(self.fd, 1024, 0)
        except OSError:  # the process has ended
            return None
        # utime, stime, cutime and cstime: the 14th to 17th fields, after the name's ")".
        fields = text[text.rfind(b")") + 2:].split(b" ", 15)
        return (int(fields[11]) + int(fields[12]) + int(fields[13]) + int(fields[14])) / _TICK

    def close(self) -> None:
        try:
            os.close(self.fd)
        except OSError:
            pass
