"""Pools: a fixed number of workers shared by many callers, kept warm.

A warm pool starts its processes when it is made and starts a replacement as
soon as one ends (a timeout, a death, ``max_requests``), so that a call
rarely waits for an interpreter to start.  Free workers are handed out most
recently used first, which keeps the fewest processes busy and their caches
warm.  All workers of a pool add to one set of statistics.
"""

from __future__ import annotations

import asyncio
import os
import select
import threading
import weakref
from collections import deque
from collections.abc import Mapping, Sequence
from typing import Any, Callable, Generic, TypeVar

from vantor.workers.client.asynchronous import AsyncWorker
from vantor.workers.client.base import SharedStats, WorkerBase
from vantor.workers.client.blocking import Worker
from vantor.workers.client.telemetry import watch_pool
from vantor.workers.client.interrupts import Deferral, bookkeeping
from vantor.workers.client.core import (
    DEFAULT_OUTPUT_LIMIT,
    DEFAULT_STDERR_LIMIT,
    UNSET,
    Actions,
    Answer,
    Timeout,
    WorkerClosed,
    WorkerStats,
)
from vantor.workers.sandbox.policy import DEFAULT_SANDBOX, Sandbox

W = TypeVar("W", bound=WorkerBase)
T = TypeVar("T")


def check_size(size: int) -> None:
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError(f"size must be an int, not {type(size).__name__}")
    if size < 1:
        raise ValueError("a pool needs at least one worker")


class _PoolBase(Actions, Generic[W]):
    def __init__(self, worker_type: type[W], size: int, command: Sequence[str] | None, *,
                 timeout: Timeout, env: Mapping[str, str] | None,
                 cwd: str | os.PathLike | None, stderr_limit: int, sandbox: Sandbox | None,
                 output_limit: int | None, max_requests: int | None, warm: bool,
                 isolation: str, preload: Sequence[str]):
        check_size(size)
        self._stats = SharedStats()
        self._warm = warm
        self._workers: list[W] = [
            worker_type(command, timeout=timeout, env=env, cwd=cwd, stderr_limit=stderr_limit,
                        sandbox=sandbox, output_limit=output_limit, max_requests=max_requests,
                        isolation=isolation, preload=preload, _keep_warm=warm,
                        _stats=self._stats)
            for _ in range(size)]
        self._idle = list(reversed(self._workers))
        self._closed = False
        watch_pool(self)

    @property
    def size(self) -> int:
        return len(self._workers)

    @property
    def workers(self) -> tuple[W, ...]:
        return tuple(self._workers)

    def pids(self) -> list[int]:
        """PIDs of the worker processes currently running."""
        return [pid for pid in (w.pid for w in self._workers) if pid is not None]

    def stats(self) -> WorkerStats:
        """Counters and latency percentiles of every call made on the pool."""
        return self._stats.snapshot()

    def idle(self) -> int:
        """How many workers are free for a call now."""
        return len(self._idle)

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"pids={self.pids()}"
        return f"<{type(self).__name__} size={self.size} {state}>"

    def _prestart_all(self) -> None:
        for worker in self._workers:
            worker._prestart()


class WorkerPool(_PoolBase[Worker]):
    """``size`` workers shared by any number of threads.

    Each call waits for a free worker and runs on it; the call's ``timeout``
    counts from the moment the request is sent, not while waiting for a worker.
    With ``warm`` (the default) every process starts when the pool is made,
    without waiting for it, and a worker whose process ended starts its
    replacement at once; otherwise processes start on first use.
    :meth:`start` waits until every worker is ready.  The other arguments are
    those of :class:`Worker`.

    :meth:`close` (or leaving a ``with`` block) reaps every process: calls still
    running are cut short with :class:`WorkerClosed`, as are later calls.
    """

    def __init__(self, size: int, command: Sequence[str] | None = None, *,
                 timeout: Timeout = None, env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike | None = None,
                 stderr_limit: int = DEFAULT_STDERR_LIMIT,
                 sandbox: Sandbox | None = DEFAULT_SANDBOX,
                 output_limit: int | None = DEFAULT_OUTPUT_LIMIT,
                 max_requests: int | None = None, warm: bool = True,
                 isolation: str = "worker", preload: Sequence[str] = ()):
        super().__init__(Worker, size, command, timeout=timeout, env=env, cwd=cwd,
                         stderr_limit=stderr_limit, sandbox=sandbox, output_limit=output_limit,
                         max_requests=max_requests, warm=warm, isolation=isolation,
                         preload=preload)
        self._handout = Handout(self._idle)
        self._watcher: _Watcher | None = None
        if warm:
            self._prestart_all()
            self._watcher = _Watcher(self)

    def start(self) -> "WorkerPool":
        """Start every worker process now and wait until each is ready."""
        for worker in self._workers:
            worker.start()
        return self

    def request(self, request: Mapping[str, Any], timeout: Timeout = UNSET) -> Answer:
        """:meth:`Worker.request` on a free worker."""
        return self._on_free_worker(Worker.request, request, timeout)

    def request_line(self, line: str | bytes, timeout: Timeout = UNSET) -> Answer:
        """:meth:`Worker.request_line` on a free worker."""
        return self._on_free_worker(Worker.request_line, line, timeout)

    def close(self) -> None:
        """Stop and reap every worker process."""
        self._closed = True
        self._handout.close()
        if self._watcher is not None:
            self._watcher.stop()
        for worker in self._workers:
            worker.close()

    def __enter__(self) -> "WorkerPool":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    @bookkeeping
    def _on_free_worker(self, method: Callable[..., Answer], *args: Any) -> Answer:
        # Ctrl-C is held back while a worker is taken and given back (see
        # .interrupts), not while the call waits for a worker or an answer.
        # A call that never reaches its worker is counted here.
        reached = False
        try:
            with Deferral():
                worker = self._handout.take()
                try:
                    reached = True
                    return method(worker, *args)
                finally:
                    self._handout.give_back(worker)
        except BaseException as error:
            if not reached:
                self._stats.failed(error)
            raise


class _Watcher:
    """Replaces, at once, the workers of a warm blocking pool whose process ended while idle.

    One thread per pool waits on the pidfds of the workers' ready processes;
    a process that ends while its worker is busy is the call's to find.  The
    thread ends with the pool (closed, or dropped without closing).
    """

    _RESCAN = 0.5  # how often the set of processes is looked at again

    def __init__(self, pool: "WorkerPool"):
        self._pool = weakref.ref(pool)
        self._owner = os.getpid()
        self._wake_r, self._wake_w = os.pipe()
        self._stopped = False
        self._thread = threading.Thread(target=self._run, name="vantor-workers-pool-watcher",
                                        daemon=True)
        self._thread.start()

    def stop(self) -> None:
        if not self._stopped:
            self._stopped = True
            if os.getpid() != self._owner:  # a forked copy: the thread is the host's
                return
            try:
                os.write(self._wake_w, b"x")
            except OSError:  # the thread has ended already
                pass
            if self._thread is not threading.current_thread():
                self._thread.join()

    def _run(self) -> None:
        poll = select.poll()
        poll.register(self._wake_r, select.POLLIN)
        watched: dict[int, tuple[Worker, Any]] = {}  # pidfd: the worker, its process
        try:
            while not self._stopped:
                self._rescan(poll, watched)
                for fd, _ in poll.poll(self._RESCAN * 1000):
                    if fd == self._wake_r:
                        os.read(self._wake_r, 64)
                    elif fd in watched:
                        worker, proc = watched.pop(fd)
                        poll.unregister(fd)
                        os.close(fd)
                        self._replace(worker, proc)
        finally:
            for fd in watched:
                os.close(fd)
            os.close(self._wake_r)
            os.close(self._wake_w)

    def _rescan(self, poll: Any, watched: dict[int, tuple[Worker, Any]]) -> None:
        for fd, (worker, proc) in list(watched.items()):
            if worker._proc is not proc:
                del watched[fd]
                poll.unregister(fd)
                os.close(fd)
        known = {id(proc) for _, proc in watched.values()}
        pool = self._pool()
        if pool is None:
            self._stopped = True
            return
        for worker in pool._workers:
            proc = worker._proc
            if proc is None or not proc.ready or id(proc) in known or proc.returncode is not None:
                continue
            try:
                fd = os.pidfd_open(proc.pid)
            except OSError:  # reaped meanwhile, or no pidfds: the next call finds it
                continue
            watched[fd] = (worker, proc)
            poll.register(fd, select.POLLIN)

    @staticmethod
    def _replace(worker: Worker, proc: Any) -> None:
        if not worker._call_lock.acquire(blocking=False):
            return  # busy: the call finds it
        try:
            if worker._proc is proc and not worker._closed and proc.exited():
                worker._discard(proc)
                worker._prestart()
        finally:
            worker._call_lock.release()


def _block(waiter: threading.Lock) -> None:
    """Wait for a wake-up: not bookkeeping, so Ctrl-C ends it."""
    waiter.acquire()


class Handout(Generic[T]):
    """The free members of a blocking pool, handed out most recently freed first.

    Its steps are bookkeeping (see .interrupts): its lock is never left held
    nor a member lost by an interrupt; a caller waits on a lock of its own.
    """

    def __init__(self, members: list[T]):
        self.members = members
        self.closed = False
        self._lock = threading.Lock()
        self._waiters: deque[threading.Lock] = deque()

    @bookkeeping
    def take(self) -> T:
        """A free member; waits while there is none."""
        while True:
            with self._lock:
                if self.closed:
                    raise WorkerClosed("the pool is closed")
                if self.members:
                    return self.members.pop()
                waiter = threading.Lock()
                waiter.acquire()
                self._waiters.append(waiter)
            try:
                _block(waiter)
            except BaseException:
                with self._lock:
                    try:
                        self._waiters.remove(waiter)
                    except ValueError:  # woken already: the wake-up goes to another
                        self._wake()
                raise

    @bookkeeping
    def give_back(self, member: T) -> None:
        with self._lock:
            self.members.append(member)
            self._wake()

    @bookkeeping
    def close(self) -> None:
        with self._lock:
            self.closed = True
            while self._waiters:
                self._wake()

    @bookkeeping
    def _wake(self) -> None:
        if self._waiters:
            self._waiters.popleft().release()


class IdleMembers(Generic[T]):
    """The free members of an asyncio pool, handed out most recently freed first.

    Made on the loop's first use; :meth:`close` wakes every waiter, which
    then raises :class:`WorkerClosed`.
    """

    def __init__(self, members: list[T]):
        self.members = members
        self.closed = False
        self._free: asyncio.Condition | None = None

    async def take(self, prefer: Callable[[T], bool] | None = None) -> T:
        """The most recently freed member (of those ``prefer`` says yes to, if any)."""
        if self._free is None:
            self._free = asyncio.Condition()
        async with self._free:
            while not self.members and not self.closed:
                await self._free.wait()
            if self.closed:
                raise WorkerClosed("the pool is closed")
            if prefer is not None:
                for at in range(len(self.members) - 1, -1, -1):
                    if prefer(self.members[at]):
                        return self.members.pop(at)
            return self.members.pop()

    async def give_back(self, member: T) -> None:
        self.members.append(member)
        if self._free is not None:
            async with self._free:
                # Everyone rechecks: a single waiter woken, then cancelled
                # before it runs, would take the wake-up with it.
                self._free.notify_all()

    async def close(self) -> None:
        self.closed = True
        if self._free is not None:
            async with self._free:
                self._free.notify_all()


class AsyncWorkerPool(_PoolBase[AsyncWorker]):
    """``size`` asyncio workers shared by any number of tasks: :class:`WorkerPool`
    for an event loop.

    The pool belongs to the loop it is first used on.  With ``warm`` (the
    default) the processes start on entering ``async with`` (or on
    :meth:`start`, which also waits until each is ready) and replacements
    start at once.  :meth:`aclose` reaps every process and cuts running calls
    short with :class:`WorkerClosed`.
    """

    def __init__(self, size: int, command: Sequence[str] | None = None, *,
                 timeout: Timeout = None, env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike | None = None,
                 stderr_limit: int = DEFAULT_STDERR_LIMIT,
                 sandbox: Sandbox | None = DEFAULT_SANDBOX,
                 output_limit: int | None = DEFAULT_OUTPUT_LIMIT,
                 max_requests: int | None = None, warm: bool = True,
                 isolation: str = "worker", preload: Sequence[str] = ()):
        super().__init__(AsyncWorker, size, command, timeout=timeout, env=env, cwd=cwd,
                         stderr_limit=stderr_limit, sandbox=sandbox, output_limit=output_limit,
                         max_requests=max_requests, warm=warm, isolation=isolation,
                         preload=preload)
        self._free = IdleMembers(self._idle)

    async def start(self) -> "AsyncWorkerPool":
        """Start every worker process now and wait until each is ready."""
        await asyncio.gather(*(worker.start() for worker in self._workers))
        return self

    async def request(self, request: Mapping[str, Any], timeout: Timeout = UNSET) -> Answer:
        """:meth:`AsyncWorker.request` on a free worker."""
        return await self._on_free_worker(AsyncWorker.request, request, timeout)

    async def request_line(self, line: str | bytes, timeout: Timeout = UNSET) -> Answer:
        """:meth:`AsyncWorker.request_line` on a free worker."""
        return await self._on_free_worker(AsyncWorker.request_line, line, timeout)

    async def aclose(self) -> None:
        """Stop and reap every worker process."""
        self._closed = True
        await self._free.close()
        await asyncio.gather(*(worker.aclose() for worker in self._workers))

    async def __aenter__(self) -> "AsyncWorkerPool":
        if self._warm:
            self._prestart_all()
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.aclose()

    async def _on_free_worker(self, method: Callable[..., Any], *args: Any) -> Answer:
        try:
            worker = await self._free.take()
        except BaseException as error:  # cancelled, or closed, before a worker was free
            self._stats.failed(error, isinstance(error, asyncio.CancelledError))
            raise
        try:
            return await method(worker, *args)
        finally:
            await self._free.give_back(worker)
