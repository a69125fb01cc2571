"""The clients' promises at the edges: concurrent closes, interrupts at their
critical points (aimed with a trace hook), statistics that add up, and workers
that die while idle."""
import asyncio
import os
import signal
import sys
import threading
import time

import pytest

from conftest import reaped
from vantor.workers.client import AsyncWorker, AsyncWorkerPool, Worker, WorkerPool
from vantor.workers.client import asynchronous, pool as pool_module, process as process_module

GUARD = 30


def _descriptors(worker):
    proc = worker._proc
    return {proc.answer_fd, proc.stdout_fd, proc.stderr_fd, proc.stdin_fd}


def test_a_closed_async_worker_never_touches_the_descriptors_another_worker_took_over(
        monkeypatch):
    # A's next call waits for its template's end line, which never comes (the
    # last call stopped the template); A is closed meanwhile, B takes over A's
    # descriptor numbers, and A's wait must then leave B's readers alone.
    monkeypatch.setattr(asynchronous, "EXIT_GRACE", 3.0)

    async def scenario():
        a = AsyncWorker(sandbox=None, isolation="call", timeout=GUARD)
        await a.run_inline("import os, signal\nos.kill(os.getppid(), signal.SIGSTOP)")
        waiting = asyncio.ensure_future(a.run_inline("result = 1"))
        await asyncio.sleep(0.2)
        assert not waiting.done()  # waits for the end line
        numbers = _descriptors(a)
        await a.aclose()  # its template, stopped, is killed after the grace
        async with AsyncWorker(sandbox=None, timeout=GUARD) as b:
            answer = await b.run_inline("result = 2")
            assert answer["result"]["return_value"] == 2
            assert numbers & _descriptors(b), "B should reuse A's descriptor numbers"
            with pytest.raises(Exception):
                await waiting
            answer = await b.run_inline("result = 3", timeout=5)
            assert answer["result"]["return_value"] == 3

    asyncio.run(asyncio.wait_for(scenario(), GUARD))
