"""The asyncio clients and the warm pools, against real (sandboxed) workers."""
import asyncio
import os
import signal
import threading

import pytest

from conftest import reaped, sandbox_policy
from vantor.workers.client import (AsyncWorker, AsyncWorkerPool, WorkerClosed, WorkerDied,
                                   WorkerOutputLimit, WorkerPool, WorkerTimeout)

GUARD = 60


def test_an_async_pool_matches_answers_to_calls_through_timeouts_cancels_and_floods():
    threads_before = threading.active_count()

    async def scenario():
        async with AsyncWorkerPool(2, sandbox=sandbox_policy(), timeout=GUARD,
                                   output_limit=1 << 20) as pool:
            async def echo(n):
                answer = await pool.run_inline(f"import time; time.sleep(0.05); result = {n}")
                return answer["result"]["return_value"]

            async def spin():
                return await pool.run_inline("while True: pass", timeout=0.5)

            async def flood():
                return await pool.run_inline(
                    "import os\nwhile True: os.write(1, b'y' * 65536 + b'\\n')")

            outcomes = await asyncio.gather(*[echo(n) for n in range(8)], spin(), flood(),
                                            return_exceptions=True)
            assert outcomes[:8] == list(range(8))
            assert isinstance(outcomes[8], WorkerTimeout)
            assert isinstance(outcomes[9], WorkerOutputLimit)
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(pool.run_inline("while True: pass"), 0.3)
            assert await echo(42) == 42
            assert threading.active_count() == threads_before  # no helper threads
            stats = pool.stats()
            assert (stats.answered, stats.timeouts, stats.output_limits) == (9, 1, 1)
            assert stats.started >= 4 and stats.latency_p50 is not None
            pids = pool.pids()
        return pids

    pids = asyncio.run(scenario())
    assert pids and all(reaped(pid) for pid in pids)


def test_an_async_worker_reports_deaths_and_close_cuts_a_call_short():
    async def scenario():
        worker = AsyncWorker(sandbox=sandbox_policy(), timeout=GUARD)
        with pytest.raises(WorkerDied) as died:
            await worker.run_inline("import sys; sys.exit(3)")
        assert died.value.returncode == 3
        assert (await worker.run_inline("result = 1"))["success"]
        busy = asyncio.ensure_future(worker.run_inline("while True: pass"))
        await asyncio.sleep(0.2)
        pid = worker.pid
        await worker.aclose()
        with pytest.raises(WorkerClosed):
            await busy
        with pytest.raises(WorkerClosed):
            await worker.run_inline("result = 1")
        return pid

    assert reaped(asyncio.run(scenario()))


def test_an_async_worker_that_ended_unseen_is_replaced_and_no_request_runs_twice(tmp_path):
    log = tmp_path / "runs.log"

    async def scenario():
        async with AsyncWorker(sandbox=None, timeout=GUARD) as worker:
            await worker.validate("1")
            ended = worker.pid
            os.kill(ended, signal.SIGKILL)
            os.waitid(os.P_PID, ended, os.WEXITED | os.WNOWAIT)  # before the loop sees it
            assert (await worker.validate("x = 1"))["success"] is True
            assert worker.pid != ended and worker.stats().deaths == 0
            with pytest.raises(WorkerDied):
                await worker.run_inline(f"open({str(log)!r}, 'a').write('ran\\n')\n"
                                        "import os; os._exit(3)")

    asyncio.run(scenario())
    assert log.read_text() == "ran\n"


def test_a_warm_pool_recycles_and_has_the_replacement_running_before_it_is_needed():
    with WorkerPool(1, sandbox=sandbox_policy(), max_requests=2, timeout=GUARD) as pool:
        assert len(pool.pids()) == 1  # started when the pool was made
        first = pool.pids()
        pool.run_inline("result = 1")
        assert pool.pids() == first
        pool.run_inline("result = 2")
        second = pool.pids()
        assert len(second) == 1 and second != first and reaped(first[0])
        with pytest.raises(WorkerTimeout):
            pool.run_inline("while True: pass", timeout=0.5)
        assert len(pool.pids()) == 1 and pool.pids() != second
        stats = pool.stats()
        assert (stats.recycled, stats.timeouts, stats.started, stats.restarts) == (1, 1, 3, 2)


def test_a_free_member_is_not_lost_when_the_waiter_woken_for_it_is_cancelled():
    from vantor.workers._pool import IdleMembers

    async def scenario():
        idle = IdleMembers(["worker"])
        taken = await idle.take()
        first = asyncio.ensure_future(idle.take())
        second = asyncio.ensure_future(idle.take())
        await asyncio.sleep(0)  # both wait now
        await idle.give_back(taken)
        first.cancel()  # woken, but cancelled before it runs
        return await asyncio.wait_for(second, 5)

    assert asyncio.run(scenario()) == "worker"
