"""What each call cost (usage on answers and errors), and the OpenTelemetry spans and
metrics of calls, workers and pools."""
import asyncio
import subprocess
import sys

import pytest

from conftest import child_env, sandbox_policy
from vantor.workers.client.telemetry import pool_name
from vantor.workers.client import (
    AsyncWorkerPool,
    Worker,
    WorkerDied,
    WorkerPool,
    WorkerTimeout,
)

MiB = 1 << 20
# A child process that touches 64 MiB and burns 0.2 s of CPU; the call waits for it.
BURN_IN_CHILD = """
import subprocess, sys
subprocess.run([sys.executable, "-c", '''
import time
memory = bytearray(64 << 20)
for at in range(0, len(memory), 4096):
    memory[at] = 1
start = time.process_time()
while time.process_time() - start < 0.2:
    pass
'''], check=True)
"""


@pytest.mark.parametrize("isolation", ["worker", "call"])
def test_usage_of_answers_and_errors_counts_the_calls_children(isolation):
    with Worker(sandbox=sandbox_policy(), isolation=isolation) as worker:
        answer = worker.run_inline(BURN_IN_CHILD)
        assert answer.ok, answer
        tiny = worker.validate("x = 1").usage  # its figures are fetched, the first call's taken
        usage = answer.usage
        assert 0.18 <= usage.cpu_seconds <= usage.wall_seconds + 0.05
        if isolation == "call":
            assert usage.max_rss_bytes >= 64 * MiB
        else:  # a shared process's peak is no one call's
            assert usage.max_rss_bytes is None
        assert tiny.cpu_seconds < 0.1 and tiny.wall_seconds < usage.wall_seconds

        with pytest.raises(WorkerTimeout) as timed_out:
            worker.run_inline("while True: pass", timeout=0.3)
        assert timed_out.value.usage.wall_seconds >= 0.3
        assert timed_out.value.usage.cpu_seconds >= 0.1
        with pytest.raises(WorkerDied) as died:
            worker.run_inline("import os; os._exit(3)")
        assert 0 < died.value.usage.wall_seconds < 30


def test_usage_through_the_pools():
    with WorkerPool(2, sandbox=None) as pool:
        assert pool.run_inline(BURN_IN_CHILD).usage.cpu_seconds >= 0.18

    async def scenario():
        async with AsyncWorkerPool(2, sandbox=None, isolation="call") as pool:
            answers = await asyncio.gather(*(pool.run_inline(BURN_IN_CHILD) for _ in range(2)))
            for answer in answers:
                assert answer.usage.cpu_seconds >= 0.18
                assert answer.usage.max_rss_bytes >= 64 * MiB
            with pytest.raises(WorkerTimeout) as timed_out:
                await pool.run_inline("while True: pass", timeout=0.3)
            assert timed_out.value.usage.cpu_seconds >= 0.1

    asyncio.run(scenario())


@pytest.fixture(scope="module")
def otel():
    """The SDK's in-memory span exporter and metric reader, set as the global providers
    (which can be set once per process)."""
    pytest.importorskip("opentelemetry.sdk")
    from opentelemetry import metrics, trace
    from opentelemetry.sdk.metrics import MeterProvider
    from opentelemetry.sdk.metrics.export import InMemoryMetricReader
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    spans = InMemorySpanExporter()
    tracer_provider = TracerProvider()
    tracer_provider.add_span_processor(SimpleSpanProcessor(spans))
    trace.set_tracer_provider(tracer_provider)
    reader = InMemoryMetricReader()
    metrics.set_meter_provider(MeterProvider(metric_readers=[reader]))
    if trace.get_tracer_provider() is not tracer_provider:
        pytest.skip("another test set the global OpenTelemetry providers first")
    return spans, reader


def _points(reader):
    found = {}
    for resource in reader.get_metrics_data().resource_metrics:
        for scope in resource.scope_metrics:
            for metric in scope.metrics:
                found[metric.name] = list(metric.data.data_points)
    return found


def test_a_span_per_call_with_its_outcome_and_the_metrics(otel):
    from opentelemetry import trace
    from opentelemetry.trace import StatusCode

    spans, reader = otel
    spans.clear()
    tracer = trace.get_tracer("test")
    with tracer.start_as_current_span("tool") as parent, \
            WorkerPool(1, sandbox=sandbox_policy()) as pool:
        pid = pool.pids()[0]
        name = pool_name(pool)
        assert pool.run_inline("result = 1").ok
        assert not pool.run_inline("raise ValueError").ok
        with pytest.raises(WorkerTimeout):
            pool.run_inline("while True: pass", timeout=0.3)
        with pytest.raises(WorkerDied):
            pool.run_inline("import os; os._exit(3)")
        assert pool.validate("x = 1").ok
        points = _points(reader)
    calls = [span for span in spans.get_finished_spans() if span.name != "tool"]
    assert [(span.name, span.attributes["vantor.workers.outcome"]) for span in calls] == [
        ("run_inline", "answered"), ("run_inline", "refused"), ("run_inline", "timeout"),
        ("run_inline", "died"), ("validate", "answered")]
    assert [span.status.status_code == StatusCode.ERROR for span in calls] == [
        False, False, True, True, False]
    first = calls[0]
    assert first.parent.span_id == parent.get_span_context().span_id
    assert first.attributes["process.pid"] == pid
    assert first.attributes["vantor.workers.isolation"] == "worker"
    assert first.attributes["vantor.workers.sandboxed"] is True
    assert first.attributes["vantor.workers.usage.wall_seconds"] > 0
    assert "vantor.workers.usage.max_rss_bytes" not in first.attributes
    assert calls[2].attributes["vantor.workers.usage.cpu_seconds"] >= 0.1

    outcomes = {(point.attributes["vantor.workers.action"],
                 point.attributes["vantor.workers.outcome"]): point.count
                for point in points["vantor.workers.call.duration"]}
    assert outcomes == {("run_inline", "answered"): 1, ("run_inline", "refused"): 1,
                        ("run_inline", "timeout"): 1, ("run_inline", "died"): 1,
                        ("validate", "answered"): 1}
    assert sum(point.value for point in points["vantor.workers.call.cpu_time"]) >= 0.1
    assert points["vantor.workers.worker.deaths"][0].value >= 1
    assert points["vantor.workers.worker.restarts"][0].value >= 2
    assert points["vantor.workers.worker.starts"][0].value >= 3
    states = {point.attributes["vantor.workers.state"]: point.value
              for point in points["vantor.workers.pool.workers"]
              if point.attributes["vantor.workers.pool"] == name}
    assert states == {"idle": 1, "busy": 0}


def test_nothing_of_opentelemetry_is_imported_by_the_clients():
    """Installed or not, OpenTelemetry is not imported by a host that did not import it."""
    script = """
import sys
blocked = "--blocked" in sys.argv
if blocked:  # as without the extra
    class Absent:
        def find_spec(self, name, path=None, target=None):
            if name.split(".")[0] == "opentelemetry":
                raise ImportError(name)
    sys.meta_path.insert(0, Absent())
from vantor.workers.client import Worker
with Worker(sandbox=None) as worker:
    answer = worker.run_inline("result = 1")
    assert answer.ok and answer.usage.wall_seconds > 0, answer
print(sorted(name for name in sys.modules if name.startswith("opentelemetry")))
"""
    for option in ([], ["--blocked"]):
        done = subprocess.run([sys.executable, "-c", script, *option], capture_output=True,
                              text=True, env=child_env(), timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "[]"
