"""The Ray pool on a local multi-node cluster (a head and two worker nodes, one CPU
each): a node lost mid-call costs that call only, its replacement goes elsewhere,
an actor that dies idle costs nothing, every wait is bounded, and the statistics
add up."""
import asyncio
import os
import signal
import sys
import time

import pytest

ray = pytest.importorskip("ray", reason="Ray is not installed (the ray extra)")
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("Ray's own programs do not run under the preloaded sanitizer runtime",
                allow_module_level=True)

from ray.cluster_utils import Cluster  # noqa: E402

from vantor.workers.client import (WorkerClosed, WorkerDied, WorkerStartError,  # noqa: E402
                                   WorkerTimeout)
from vantor.workers.ray import RayWorkerPool  # noqa: E402

GUARD = 120


@pytest.fixture(scope="module")
def cluster():
    # Nodes that stop answering are found dead within about a second.
    cluster = Cluster(initialize_head=True, head_node_args={
        "num_cpus": 1, "include_dashboard": False,
        "_system_config": {"health_check_initial_delay_ms": 0, "health_check_period_ms": 200,
                           "health_check_timeout_ms": 500,
                           "health_check_failure_threshold": 3}})
    for _ in range(2):
        cluster.add_node(num_cpus=1)
    ray.init(address=cluster.address, log_to_driver=False, configure_logging=False)
    cluster.wait_for_nodes()
    yield cluster
    ray.shutdown()
    cluster.shutdown()


def _run(scenario):
    loop_errors = []

    async def guarded():
        asyncio.get_running_loop().set_exception_handler(
            lambda loop, context: loop_errors.append(context))
        return await asyncio.wait_for(scenario(), GUARD)

    outcome = asyncio.run(guarded())
    assert loop_errors == []  # no "Task exception was never retrieved", say
    return outcome


def test_a_lost_node_costs_the_calls_on_it_and_an_idle_death_costs_none(cluster):
    head = cluster.head_node.node_id
    worker_nodes = {node.node_id: node for node in cluster.worker_nodes}

    async def scenario():
        async with RayWorkerPool(2, sandbox=None, timeout=GUARD) as pool:
            await pool.start()
            nodes = [entry["node"] for entry in await pool.describe()]
            assert len(set(nodes)) == 2  # spread: one node's loss costs one worker
            lost = next(node for node in nodes if node != head)
            calls = [asyncio.ensure_future(
                pool.run_inline("import time; time.sleep(3); result = 'slow'"))
                for _ in range(2)]
            await asyncio.sleep(1)
            cluster.remove_node(worker_nodes[lost], allow_graceful=False)
            cluster.add_node(num_cpus=1)
            outcomes = await asyncio.gather(*calls, return_exceptions=True)
            assert sorted(type(outcome).__name__ for outcome in outcomes) == [
                "Answer", "WorkerDied"], outcomes
            # The replacement is placed away from the lost node, at once.
            answers = await asyncio.gather(*(pool.run_inline(f"result = {n}") for n in range(4)))
            assert [a["result"]["return_value"] for a in answers] == list(range(4))
            described = await pool.describe()
            assert lost not in [entry["node"] for entry in described]
            # An actor that dies while idle is replaced before any request reaches it.
            os.kill(described[0]["actor_pid"], signal.SIGKILL)
            deadline = time.monotonic() + 10
            while pool.stats().restarts < 2 and time.monotonic() < deadline:
                await asyncio.sleep(0.05)
            answers = await asyncio.gather(*(pool.run_inline(f"result = {n}") for n in range(4)))
            assert [a["result"]["return_value"] for a in answers] == list(range(4))
            return pool.stats()

    stats = _run(scenario)
    assert (stats.calls, stats.answered, stats.deaths, stats.restarts) == (10, 9, 1, 2)


def test_every_wait_is_bounded_and_every_call_counted(cluster):
    async def scenario():
        # No node has the resource: the actor is never placed.
        async with RayWorkerPool(1, sandbox=None, actor_options={"resources": {"absent": 1}},
                                 start_timeout=2) as pool:
            started = time.monotonic()
            with pytest.raises(WorkerStartError, match="start_timeout"):
                await pool.run_inline("result = 1")
            assert time.monotonic() - started < 10
            unplaced = pool.stats()
        # A node that stops answering: the actor's process, stopped.
        async with RayWorkerPool(1, sandbox=None, timeout=1, answer_grace=1) as pool:
            await pool.start()
            [described] = await pool.describe()
            os.kill(described["actor_pid"], signal.SIGSTOP)
            started = time.monotonic()
            with pytest.raises(WorkerTimeout, match="answer_grace") as caught:
                await pool.run_inline("result = 1")
            assert time.monotonic() - started < 10 and caught.value.timeout == 1
            assert (await pool.run_inline("result = 2"))["result"]["return_value"] == 2
            # A call cancelled while it waits for the actor, and one refused as closed.
            busy = asyncio.ensure_future(pool.run_inline("import time; time.sleep(0.5)"))
            await asyncio.sleep(0.1)
            waiting = asyncio.ensure_future(pool.run_inline("result = 3"))
            await asyncio.sleep(0.1)
            waiting.cancel()
            await busy
            with pytest.raises(asyncio.CancelledError):
                await waiting
        with pytest.raises(WorkerClosed):
            await pool.run_inline("result = 4")
        return unplaced, pool.stats()

    unplaced, stats = _run(scenario)
    assert (unplaced.calls, unplaced.errors) == (1, 1)
    assert (stats.calls, stats.answered, stats.timeouts, stats.cancelled, stats.errors) == (
        5, 2, 1, 1, 1)


def test_an_actor_that_dies_before_it_started_is_replaced_and_started_ones_go_first(cluster):
    # Each worker takes a second and a half to start: time to kill its actor first.
    slow_start = [sys.executable, "-c",
                  "import os, sys, time; time.sleep(1.5); "
                  "os.execv(sys.executable, [sys.executable, '-m', 'vantor.workers'])"]

    async def scenario():
        async with RayWorkerPool(2, slow_start, sandbox=None, timeout=GUARD) as pool:
            call = asyncio.ensure_future(pool.run_inline("result = 1"))
            for entry in await pool.describe():  # served while the actors start
                os.kill(entry["actor_pid"], signal.SIGKILL)
            assert (await call)["result"]["return_value"] == 1
            # One actor started, its replacement starting: a call goes to the started one.
            await pool.start()
            os.kill((await pool.describe())[0]["actor_pid"], signal.SIGKILL)
            deadline = time.monotonic() + 10
            while pool.stats().restarts < 3 and time.monotonic() < deadline:
                await asyncio.sleep(0.01)
            started = time.monotonic()
            assert (await pool.run_inline("result = 2"))["result"]["return_value"] == 2
            assert time.monotonic() - started < 1.0
            return pool.stats()

    stats = _run(scenario)
    assert (stats.calls, stats.answered, stats.restarts) == (2, 2, 3)
