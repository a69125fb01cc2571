"""The server's view from outside: one structured log line per call, and OpenTelemetry
exporters taken from the standard ``OTEL_*`` environment variables.

``OTEL_TRACES_EXPORTER`` and ``OTEL_METRICS_EXPORTER`` name exporters (comma
separated; ``none`` for none) as the OpenTelemetry SDK registers them
(``console``, and ``otlp`` with ``opentelemetry-exporter-otlp``), which read
their own settings (``OTEL_EXPORTER_OTLP_ENDPOINT``...);
``OTEL_SERVICE_NAME`` and ``OTEL_RESOURCE_ATTRIBUTES`` name the service.
Nothing is set up when neither variable is set, or without the ``[otel]``
extra and an SDK (said once on standard error).  A console exporter writes
to standard error: standard output may be the server's transport.
"""

from __future__ import annotations

import json
import logging
import os
import sys
from typing import Any

#: The logger of the per-call lines (JSON, one object a line, on standard error).
CALLS_LOGGER = "vantor.workers.mcp.calls"

_logger = logging.getLogger(CALLS_LOGGER)


def start_call_log() -> None:
    """Write the per-call lines to standard error, unless the host's logging takes them."""
    if not _logger.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(message)s"))
        _logger.addHandler(handler)
        _logger.setLevel(logging.INFO)
        _logger.propagate = False


def log_call(tool: str, outcome: str, usage: dict[str, Any] | None) -> None:
    """One line for a call: the tool, how it ended and what it cost."""
    if _logger.isEnabledFor(logging.INFO):
        _logger.info(json.dumps({"event": "tool_call", "tool": tool, "outcome": outcome,
                                 **(usage or {})}))


def configure_from_environment() -> list[str]:
    """Set the global tracer and meter providers up as ``OTEL_*`` says; what was set up."""
    traces = _names("OTEL_TRACES_EXPORTER")
    metrics = _names("OTEL_METRICS_EXPORTER")
    if not traces and not metrics:
        return []
    try:
        from opentelemetry import metrics as metrics_api
        from opentelemetry import trace as trace_api
        from opentelemetry.sdk.metrics import MeterProvider
        from opentelemetry.sdk.metrics.export import PeriodicExportingMetricReader
        from opentelemetry.sdk.resources import Resource
        from opentelemetry.sdk.trace import TracerProvider
        from opentelemetry.sdk.trace.export import BatchSpanProcessor
    except ImportError:
        print("vantor.workers.mcp: OTEL_* exporters are named but OpenTelemetry is not "
              "installed: pip install 'vantor-workers[otel]' opentelemetry-sdk",
              file=sys.stderr)
        return []
    resource = Resource.create(
        {} if os.environ.get("OTEL_SERVICE_NAME") else {"service.name": "vantor-workers-mcp"})
    done = []
    if traces:
        provider = TracerProvider(resource=resource)
        for name in traces:
            provider.add_span_processor(
                BatchSpanProcessor(_exporter("opentelemetry_traces_exporter", name)))
        trace_api.set_tracer_provider(provider)
        done += [f"traces:{name}" for name in traces]
    if metrics:
        readers = [PeriodicExportingMetricReader(
            _exporter("opentelemetry_metrics_exporter", name)) for name in metrics]
        metrics_api.set_meter_provider(MeterProvider(resource=resource, metric_readers=readers))
        done += [f"metrics:{name}" for name in metrics]
    return done


def _names(variable: str) -> list[str]:
    names = [name.strip() for name in os.environ.get(variable, "").split(",")]
    return [name for name in names if name and name != "none"]


def _exporter(group: str, name: str) -> Any:
    from importlib.metadata import entry_points

    found = [point for point in entry_points(group=group) if point.name == name]
    if not found:
        raise RuntimeError(f"no OpenTelemetry exporter named {name!r} is installed "
                           f"(entry point group {group})")
    exporter_type = found[0].load()
    if name == "console":
        return exporter_type(out=sys.stderr)
    return exporter_type()
