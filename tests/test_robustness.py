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

from conftest import reaped, sandbox_policy
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


# -- interrupts aimed at the critical points -------------------------------------


def _lines(function):
    code = function.__code__
    return sorted({line for _, _, line in code.co_lines() if line is not None
                   and line > code.co_firstlineno})


class _InterruptAt:
    """A trace hook that raises SIGINT once, as the thread reaches ``line`` of ``code``."""

    def __init__(self, code, line):
        self.code, self.line, self.hit = code, line, False

    def __enter__(self):
        sys.settrace(self._global)
        return self

    def __exit__(self, *exc_info):
        sys.settrace(None)

    def _global(self, frame, event, arg):
        return self._local if frame.f_code is self.code else None

    def _local(self, frame, event, arg):
        if event == "line" and frame.f_lineno == self.line and not self.hit:
            self.hit = True
            signal.raise_signal(signal.SIGINT)
        return self._local


@pytest.fixture
def ctrl_c_raises():
    """Ctrl-C as a host has it (KeyboardInterrupt), whatever handler an earlier test left."""
    saved = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, saved)


def _targets(*functions):
    return [(function.__code__, line) for function in functions for line in _lines(function)]


def _in_thread(function, timeout=GUARD):
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(function()), daemon=True)
    thread.start()
    thread.join(timeout)
    assert outcome, "the call from another thread did not come back"
    return outcome[0]


def test_ctrl_c_anywhere_in_a_pools_handout_leaves_it_whole(ctrl_c_raises):
    from vantor.workers.client.interrupts import Deferral
    Handout = pool_module.Handout
    targets = _targets(WorkerPool._on_free_worker, Handout.take, Handout.give_back,
                       Handout._wake, pool_module._block, Deferral.__enter__, Deferral.__exit__)
    # Before its first statement's try, a call has not begun: it is not counted.
    targets = targets[2:]
    with WorkerPool(1, sandbox=None, timeout=GUARD) as pool:
        pool.start()
        calls = hits = interrupts = 0
        for code, line in targets:
            for busy in (False, True):
                holder = None
                if busy:  # the main thread then waits for the worker
                    holder = threading.Thread(
                        target=pool.run_inline, args=("import time; time.sleep(0.05)",))
                    holder.start()
                    calls += 1
                    while pool.idle():
                        time.sleep(0.001)
                calls += 1
                interrupted = False
                with _InterruptAt(code, line) as aim:
                    try:
                        pool.run_inline("result = 1")
                    except KeyboardInterrupt:
                        interrupted = True
                hits += aim.hit
                interrupts += interrupted
                assert interrupted == aim.hit, (code.co_name, line, busy)
                if holder is not None:
                    holder.join(GUARD)
                assert pool.stats().calls == calls, (code.co_name, line, busy)
                if holder is not None:
                    holder.join(GUARD)
                assert pool.idle() == 1, (code.co_name, line, busy)
                answer = _in_thread(lambda: pool.run_inline("result = 2"))
                calls += 1
                assert answer["result"]["return_value"] == 2
        assert hits >= len(targets) and interrupts == hits
        assert pool.stats().calls == calls


@pytest.mark.parametrize("sandboxed", [False, True], ids=["unsandboxed", "sandboxed"])
def test_ctrl_c_anywhere_in_a_workers_teardown_still_ends_it_and_frees_its_descriptors(
        ctrl_c_raises, sandboxed):
    from vantor.workers.client.interrupts import Deferral
    Teardown = process_module._Teardown
    targets = (_targets(Teardown._run) if sandboxed else
               _targets(Teardown.__call__, Teardown._run, Deferral.__enter__, Deferral.__exit__))
    for code, line in targets:
        worker = Worker(sandbox=sandbox_policy() if sandboxed else None, timeout=GUARD)
        worker.start()
        proc = worker._proc
        with _InterruptAt(code, line) as aim:
            try:
                worker.close()
            except KeyboardInterrupt:
                pass
        if not proc.released():
            # Cut short as it began, before anything was torn down: the worker
            # still holds the process, and closing it again (or its
            # finalizer, at garbage collection or exit) finishes it.
            assert proc._teardown.stage == 0
            worker.close()
        assert proc.released(), (code.co_name, line, aim.hit)
        assert proc._teardown.stage == 4  # the sandbox's cgroups and network cleaned up too
        assert proc._teardown.fds == [] and reaped(proc.pid)
        assert all(stream.closed for stream in
                   (proc.popen.stdin, proc.popen.stdout, proc.popen.stderr))
    assert not process_module._UNFINISHED


# -- statistics that add up --------------------------------------------------------


def test_a_blocking_call_interrupted_while_it_cleans_up_fails_or_retires_is_counted_once(ctrl_c_raises):
    from vantor.workers.client.base import WorkerBase
    from vantor.workers.client.core import WorkerError
    targets = _targets(Worker._failed, Worker._discard, Worker._record_failure,
                       WorkerBase._retires, WorkerBase._forget)
    calls = 0
    with Worker(sandbox=None, timeout=GUARD, max_requests=2) as worker:
        for code, line in targets:
            for code_run in ("import os; os._exit(3)", "result = 1", "result = 2"):
                calls += 1
                with _InterruptAt(code, line):
                    try:
                        worker.run_inline(code_run)
                    except (KeyboardInterrupt, WorkerError):
                        pass
                assert worker.stats().calls == calls, (code.co_name, line, code_run)


def test_an_async_call_cancelled_while_it_waits_for_the_worker_is_counted():
    async def scenario():
        async with AsyncWorker(sandbox=None, timeout=GUARD) as worker:
            busy = asyncio.ensure_future(worker.run_inline("import time; time.sleep(0.3)"))
            await asyncio.sleep(0.05)
            queued = asyncio.ensure_future(worker.run_inline("result = 1"))
            await asyncio.sleep(0.05)
            queued.cancel()
            await busy
            with pytest.raises(asyncio.CancelledError):
                await queued
            return worker.stats()

    stats = asyncio.run(asyncio.wait_for(scenario(), GUARD))
    assert (stats.calls, stats.answered, stats.cancelled) == (2, 1, 1)


# -- workers that die while idle ---------------------------------------------------


def _replaced(pool, dead, deadline):
    while time.monotonic() < deadline:
        pids = pool.pids()
        if dead not in pids and len(pids) == pool.size and all(
                w._proc is not None and w._proc.ready for w in pool.workers):
            return pids
        yield


def test_an_async_pools_worker_that_dies_idle_is_replaced_at_once_without_a_call():
    async def scenario():
        async with AsyncWorkerPool(2, sandbox=None, timeout=GUARD) as pool:
            await pool.start()
            dead = pool.pids()[0]
            os.killpg(dead, signal.SIGKILL)
            deadline = time.monotonic() + 10
            for _ in _replaced(pool, dead, deadline):
                await asyncio.sleep(0.01)
            pids = pool.pids()
            assert dead not in pids and len(pids) == 2 and reaped(dead)
            stats = pool.stats()
            assert (stats.calls, stats.restarts) == (0, 1)
            answers = await asyncio.gather(*(pool.run_inline(f"result = {n}") for n in range(2)))
            assert [a["result"]["return_value"] for a in answers] == [0, 1]
            assert pool.stats().deaths == 0

    asyncio.run(asyncio.wait_for(scenario(), GUARD))


def test_a_blocking_pools_worker_that_dies_idle_is_replaced_at_once_without_a_call():
    with WorkerPool(2, sandbox=None, timeout=GUARD) as pool:
        pool.start()
        dead = pool.pids()[0]
        os.killpg(dead, signal.SIGKILL)
        for _ in _replaced(pool, dead, time.monotonic() + 10):
            time.sleep(0.01)
            for worker in pool.workers:  # the replacement is started, not awaited
                if worker._proc is not None and not worker._proc.ready:
                    worker.start()
        pids = pool.pids()
        assert dead not in pids and len(pids) == 2 and reaped(dead)
        stats = pool.stats()
        assert (stats.calls, stats.restarts) == (0, 1)
        assert [pool.run_inline(f"result = {n}")["result"]["return_value"]
                for n in range(2)] == [0, 1]
    assert not [t for t in threading.enumerate() if t.name == "vantor-workers-pool-watcher"]


# -- the same answers, sandboxed or not ---------------------------------------------


def test_tracebacks_through_string_code_are_the_same_sandboxed_or_not():
    # Python 3.13 keeps -c source in linecache under "<string>", the name of
    # exec and eval code: the sandbox's supervisor starts with -c.
    code = "eval(compile('\\n\\n1 / 0', '<string>', 'eval'))"
    answers = []
    for sandbox in (None, sandbox_policy()):
        with Worker(sandbox=sandbox, timeout=GUARD) as worker:
            answers.append(worker.run_inline(code))
    assert answers[0]["success"] is False
    assert answers[0] == answers[1]


def test_a_calls_errors_survive_a_copy_to_another_process():
    # Ray and multiprocessing hand errors on by pickling them.
    import pickle

    from vantor.workers.client import WorkerDied, WorkerTimeout

    errors = []
    with Worker(sandbox=None, timeout=0.5) as worker:
        for code in ("while True: pass", "import os; print('bye', flush=True); os._exit(3)"):
            try:
                worker.run_inline(code)
            except (WorkerTimeout, WorkerDied) as error:
                errors.append(error)
    assert [type(error) for error in errors] == [WorkerTimeout, WorkerDied]
    for error in errors:
        copy = pickle.loads(pickle.dumps(error))
        assert type(copy) is type(error) and str(copy) == str(error)
        assert copy.__dict__ == error.__dict__ and copy.stray == error.stray
