"""OpenTelemetry spans and metrics of calls, workers and pools, through the API alone.

Nothing here imports OpenTelemetry: a host that has set a tracer or meter
provider has imported ``opentelemetry`` itself, so the hooks look it up in
``sys.modules`` and do nothing (a dictionary lookup) while it is not there,
or while no provider is set.  ``pip install "vantor-workers[otel]"`` brings
the API; the host brings an SDK and its exporters.  See docs/observability.md.
"""

from __future__ import annotations

import asyncio
import sys
import threading
import time
import weakref
from typing import Any

from vantor.workers.client.answers import (
    Answer,
    WorkerClosed,
    WorkerDied,
    WorkerOutputLimit,
    WorkerTimeout,
)

#: The instrumentation scope's name.
SCOPE = "vantor.workers"
#: Loaded by a host that set up OpenTelemetry; until then a call tells it nothing.
OTEL_LOADED = "opentelemetry.trace"

_pools: "weakref.WeakSet[Any]" = weakref.WeakSet()
_lock = threading.Lock()
# The instruments, made once a meter provider is set: (provider, instruments).
_instruments: tuple[Any, dict[str, Any]] | None = None


def now_ns() -> int:
    """The wall clock, in ns: a call's span starts there."""
    return time.time_ns()


def outcome_of(result: Any) -> str:
    """How a call ended: ``answered``, ``refused`` (``"success": false``), ``timeout``,
    ``died``, ``output_limit``, ``cancelled``, ``closed``, or ``error`` (its worker could
    not start, or broke the protocol)."""
    if isinstance(result, Answer):
        return "answered" if result.get("success") is True else "refused"
    if isinstance(result, asyncio.CancelledError):
        return "cancelled"
    if isinstance(result, WorkerTimeout):
        return "timeout"
    if isinstance(result, WorkerDied):
        return "died"
    if isinstance(result, WorkerOutputLimit):
        return "output_limit"
    if isinstance(result, WorkerClosed):
        return "closed"
    return "error"


def call_ended(action: str, result: Any, start_ns: int, *, isolation: str,
               sandboxed: bool, pid: int | None) -> None:
    """A span and the metrics of one call, given its answer or error; nothing without
    OpenTelemetry."""
    trace = sys.modules.get("opentelemetry.trace")
    if trace is None:
        return
    outcome = outcome_of(result)
    usage = getattr(result, "usage", None)
    _span(trace, action, outcome, usage, start_ns, isolation, sandboxed, pid)
    instruments = _metrics()
    if instruments is not None:
        attributes = {"vantor.workers.action": action, "vantor.workers.outcome": outcome}
        seconds = usage.wall_seconds if usage is not None else (now_ns() - start_ns) / 1e9
        instruments["duration"].record(seconds, attributes)
        if usage is not None and usage.cpu_seconds is not None:
            instruments["cpu_time"].add(usage.cpu_seconds, attributes)
        if outcome == "died":
            instruments["deaths"].add(1)


def worker_started(restart: bool) -> None:
    """Count a worker process started (and a restart: one that replaced another)."""
    if sys.modules.get("opentelemetry.metrics") is None:
        return
    instruments = _metrics()
    if instruments is not None:
        instruments["starts"].add(1)
        if restart:
            instruments["restarts"].add(1)


def watch_pool(pool: Any) -> None:
    """Have the busy and idle gauge report ``pool`` (it needs ``size`` and ``idle()``)
    while it lives."""
    with _lock:
        _pools.add(pool)


def pool_name(pool: Any) -> str:
    """The ``vantor.workers.pool`` attribute of a pool's gauge: its type and identity."""
    return f"{type(pool).__name__}@{id(pool):x}"


def _span(trace: Any, action: str, outcome: str, usage: Any, start_ns: int, isolation: str,
          sandboxed: bool, pid: int | None) -> None:
    if _unset(trace.get_tracer_provider()):
        return
    span = trace.get_tracer(SCOPE).start_span(action, start_time=start_ns)
    if span.is_recording():
        span.set_attribute("vantor.workers.outcome", outcome)
        span.set_attribute("vantor.workers.isolation", isolation)
        span.set_attribute("vantor.workers.sandboxed", sandboxed)
        if pid is not None:
            span.set_attribute("process.pid", pid)
        if usage is not None:
            for name, value in usage.as_dict().items():
                if value is not None:
                    span.set_attribute(f"vantor.workers.usage.{name}", value)
        if outcome not in ("answered", "refused"):
            span.set_status(trace.Status(trace.StatusCode.ERROR, outcome))
    span.end()


def _unset(provider: Any) -> bool:
    """Whether ``provider`` is the API's stand-in, used while none is set."""
    return type(provider).__name__.startswith(("Proxy", "NoOp"))


def _metrics() -> dict[str, Any] | None:
    """The instruments of the meter provider set now; None while none is."""
    global _instruments
    metrics = sys.modules.get("opentelemetry.metrics")
    if metrics is None:
        return None
    provider = metrics.get_meter_provider()
    made = _instruments
    if made is not None and made[0] is provider:
        return made[1]
    if _unset(provider):
        return None
    with _lock:
        if _instruments is None or _instruments[0] is not provider:
            _instruments = (provider, _make_instruments(provider.get_meter(SCOPE)))
        return _instruments[1]


def _make_instruments(meter: Any) -> dict[str, Any]:
    from opentelemetry.metrics import Observation

    def pool_workers(options: Any) -> list[Any]:
        with _lock:
            pools = list(_pools)
        observations = []
        for pool in pools:
            if getattr(pool, "_closed", False):
                continue
            name = pool_name(pool)
            idle = pool.idle()
            for state, count in (("idle", idle), ("busy", pool.size - idle)):
                observations.append(Observation(count, {"vantor.workers.pool": name,
                                                        "vantor.workers.state": state}))
        return observations

    return {
        "duration": meter.create_histogram(
            "vantor.workers.call.duration", unit="s",
            description="Wall time of calls, from sending the request to the answer"),
        "cpu_time": meter.create_counter(
            "vantor.workers.call.cpu_time", unit="s",
            description="CPU time of calls, children included"),
        "starts": meter.create_counter(
            "vantor.workers.worker.starts", unit="{process}",
            description="Worker processes started"),
        "deaths": meter.create_counter(
            "vantor.workers.worker.deaths", unit="{process}",
            description="Worker processes that ended without answering a call"),
        "restarts": meter.create_counter(
            "vantor.workers.worker.restarts", unit="{process}",
            description="Worker processes started to replace one that ended"),
        "pool_workers": meter.create_observable_gauge(
            "vantor.workers.pool.workers", callbacks=[pool_workers], unit="{worker}",
            description="Busy and idle workers of each pool"),
    }
