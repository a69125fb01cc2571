"""The asyncio clients and the warm pools, against real (sandboxed) workers."""
import asyncio
import os
import random
import signal
import threading
import time
from collections import Counter

import pytest

from conftest import reaped, sandbox_policy
from vantor.workers.client import (AsyncWorker, AsyncWorkerPool, WorkerClosed, WorkerDied,
                                   WorkerOutputLimit, WorkerPool, WorkerTimeout)

GUARD = 60
MARGIN = 10  # seconds allowed past a timeout on a loaded machine


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


def test_a_long_answer_shaped_line_ends_on_time_and_the_loop_stays_responsive(tmp_path):
    # 3.5 MB of answer-shaped records on one line: stray output, taken in
    # time linear in its size, a few reads per turn of the loop.
    tool = tmp_path / "mimic.py"
    tool.write_text("import json\n"
                    "def main():\n"
                    "    print(json.dumps([{'success': True, 'result': i} for i in range(100000)]))\n"
                    "    return 'done'\n")

    async def scenario():
        gaps = []

        async def tick():
            last = time.monotonic()
            while True:
                await asyncio.sleep(0.005)
                gaps.append(time.monotonic() - last)
                last = time.monotonic()

        async with AsyncWorker(sandbox=None, timeout=1) as worker:
            await worker.start()
            ticker = asyncio.ensure_future(tick())
            started = time.monotonic()
            try:
                answer = await worker.run_function(str(tool))
            except WorkerTimeout:  # a loaded machine
                answer = None
            elapsed = time.monotonic() - started
            ticker.cancel()
        assert elapsed < 1 + MARGIN and max(gaps) < 1
        if answer is not None:
            assert answer["result"]["return_value"] == "done" and len(answer.stray) == 1

    asyncio.run(scenario())


def test_statistics_stay_exact_through_cancellations_and_workers_are_replaced_at_once():
    # Calls cancelled at random moments: waiting for a worker, running,
    # timing out, while a retired worker ends.  The counters match what the
    # callers saw, and the pool is back to full strength straight after.
    chance = random.Random(19)

    async def scenario():
        seen = Counter()
        async with AsyncWorkerPool(2, sandbox=None, timeout=0.3, max_requests=2) as pool:
            await pool.start()

            async def one(n):
                code = "import time; time.sleep(5)" if n % 3 == 0 else f"result = {n}"
                call = asyncio.ensure_future(pool.run_inline(code))
                await asyncio.sleep(chance.uniform(0, 0.5))
                if n % 2:
                    call.cancel()
                try:
                    assert (await call)["result"]["return_value"] == n
                    seen["answered"] += 1
                except asyncio.CancelledError:
                    seen["cancelled"] += 1
                except WorkerTimeout:
                    seen["timeouts"] += 1

            await asyncio.gather(*(one(n) for n in range(40)))
            stats = pool.stats()
            assert (stats.answered, stats.cancelled, stats.timeouts) == (
                seen["answered"], seen["cancelled"], seen["timeouts"])
            assert stats.calls == 40 and seen["cancelled"] > 0
            assert len(pool.pids()) == 2  # replacements already started

    asyncio.run(scenario())


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
    from vantor.workers.client.pool import IdleMembers

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
