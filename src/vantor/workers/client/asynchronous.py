"""The asyncio client: a worker driven by the event loop's own readiness callbacks.

The worker's pipes are registered with the running loop (``add_reader`` and
``add_writer`` on their raw descriptors) and its exit with a pidfd, so a call
costs the loop a few callbacks and no thread: neither a reader thread per
pipe nor the child watcher thread that asyncio's subprocess support starts
for every process.  Cancelling a call kills its worker, whose state is then
unknown; the next call starts a fresh one (with isolation per call, the
template ends the call's process instead, and the next call waits for it).
"""

from __future__ import annotations

import asyncio
import os
import select
import time
from collections.abc import Mapping
from typing import Any

from vantor.workers.client.base import (
    CLOSE_GRACE,
    START_TIMEOUT,
    StartDied,
    StartTimedOut,
    WorkerBase,
)
from vantor.workers.client.usage import CpuSpan, EndFigures
from vantor.workers.client.core import (
    BIG_READ_SIZE,
    EXIT_GRACE,
    READ_SIZE,
    UNSET,
    Answer,
    OutOfPlace,
    OutputLimitReached,
    Process,
    Timeout,
    check_timeout,
    encode_request,
    encode_request_line,
    parse_report,
)

# How often the process is looked at where no pidfd can watch it.
_EXIT_CHECK_INTERVAL = 0.25
# Reads of one pipe per callback: however fast a tool writes, the loop gets
# control back after a few milliseconds' work.
_READS_PER_CALLBACK = 4


class _Failure(Exception):
    def __init__(self, kind: str, detail: str = ""):
        self.kind = kind
        self.detail = detail


class _Link:
    """One process's descriptors hooked into the event loop.

    Standard error and the process's exit are watched for the process's whole
    life; the answer pipe, standard output and input only while a call is
    waiting (they stay registered between calls, until the worker writes while
    none waits), so that an idle worker costs the loop nothing.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, proc: Process):
        self.loop = loop
        self.proc = proc
        self.pidfd: int | None = None
        self.exit_check: asyncio.TimerHandle | None = None
        self.exited = loop.create_future()
        self.stderr_done = loop.create_future()
        self.waiting: asyncio.Future | None = None
        self.timer: asyncio.TimerHandle | None = None
        self.cpu: CpuSpan | None = None  # the running call's CPU count, once sent
        self.reading = False  # standard output registered with the loop
        self.pending: memoryview | None = None
        self.read_size = READ_SIZE
        # Once closed, the link never touches a descriptor again: their numbers
        # may belong to another worker's pipes by then.
        self.closed = False
        self.end_wait: asyncio.Future | None = None  # a wait for the template's end line
        # Told when the process ends while no call waits (a worker that died idle).
        self.on_idle_exit: Any = None
        loop.add_reader(proc.stderr_fd, self._on_stderr)
        try:
            self.pidfd = os.pidfd_open(proc.pid)
        except OSError:  # an old kernel, or a tracer that lacks it: look now and then
            self.exit_check = loop.call_later(_EXIT_CHECK_INTERVAL, self._check_exit)
        else:
            loop.add_reader(self.pidfd, self._on_exit)
        # Set once the start is over: greeted and reported in, or failed.
        self.started = loop.create_future()
        loop.add_reader(proc.answer_fd, self._on_greeting)
        if proc.control is not None and proc.report is None:
            loop.add_reader(proc.control.fileno(), self._on_control)

    def close(self) -> None:
        if self.closed:
            return
        self.closed = True
        loop = self.loop
        proc = self.proc
        for fd in (proc.answer_fd, proc.stdout_fd, proc.stderr_fd):
            loop.remove_reader(fd)
        if self.pending is not None:
            loop.remove_writer(proc.stdin_fd)
            self.pending = None
        if proc.control is not None:
            loop.remove_reader(proc.control.fileno())
        if self.pidfd is not None:
            loop.remove_reader(self.pidfd)
            os.close(self.pidfd)
            self.pidfd = None
        if self.exit_check is not None:
            self.exit_check.cancel()
        # Nothing may wait on a link that is gone: a call in progress fails
        # (as closed or dead), a wait for the report or the exit ends.
        self._settle(_Failure("died"))
        if self.end_wait is not None and not self.end_wait.done():
            self.end_wait.set_result(False)
        for future in (self.started, self.exited, self.stderr_done):
            if not future.done():
                future.set_result(None)

    # -- a call -----------------------------------------------------------------

    def exchange(self, data: bytes, timeout: float | None) -> asyncio.Future:
        """Send ``data``; the future gets the answer, or _Failure (timeout after ``timeout`` s)."""
        self.waiting = future = self.loop.create_future()
        if timeout is not None:
            self.timer = self.loop.call_later(max(timeout, 0.0), self._settle,
                                              _Failure("timeout"))
        self.proc.begin()
        if not self.reading:
            self.loop.add_reader(self.proc.answer_fd, self._on_answer)
            self.loop.add_reader(self.proc.stdout_fd, self._on_stdout)
            self.reading = True
        self.cpu = None
        self._write(memoryview(data))
        # Read while the worker takes the request: off the round trip (see Worker).
        self.cpu = self.proc.cpu_span()
        if self.exited.done():
            self._on_exit()
        return future

    def _settle(self, outcome: Answer | BaseException | None) -> None:
        """End the waiting call with an answer, a failure or (None) cancelled."""
        future, self.waiting = self.waiting, None
        # Standard output stays registered for the next call; it is let go
        # only if the worker writes while no call waits.
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        if self.pending is not None:
            if not self.closed:
                self.loop.remove_writer(self.proc.stdin_fd)
            self.pending = None
        if future is None or future.done():
            return
        if outcome is None:
            future.cancel()
        elif isinstance(outcome, BaseException):
            future.set_exception(outcome)
        else:
            future.set_result(outcome)

    def _write(self, data: memoryview) -> None:
        written = self.proc.write(data)
        if written == len(data) or written < 0:
            if self.pending is not None:
                self.loop.remove_writer(self.proc.stdin_fd)
            self.pending = None
            return
        if self.pending is None:
            self.loop.add_writer(self.proc.stdin_fd, self._on_stdin)
        self.pending = data[written:]

    def _on_stdin(self) -> None:
        if self.pending is not None:
            self._write(self.pending)

    def _stop_reading(self) -> bool:
        """Let the pipes go when the worker writes with no call waiting; True if so."""
        if self.waiting is not None:
            return False
        if self.reading and not self.closed:
            self.loop.remove_reader(self.proc.answer_fd)
            self.loop.remove_reader(self.proc.stdout_fd)
            self.reading = False
        return True

    def _on_stdout(self) -> None:
        if self._stop_reading():
            return
        try:
            if not self.proc.take_stdout():
                self._settle(_Failure("died"))
        except OutputLimitReached:
            self._settle(_Failure("output limit"))

    def _on_answer(self) -> None:
        proc = self.proc
        for _ in range(_READS_PER_CALLBACK):
            if self.waiting is None:
                self._stop_reading()
                return
            chunk = proc.read_answer(self.read_size)
            if chunk is None:
                return
            if not chunk:
                self._settle(_Failure("died"))
                return
            self.read_size = BIG_READ_SIZE if len(chunk) == self.read_size else READ_SIZE
            try:
                answer = proc.channel.feed_answer(chunk)
            except OutputLimitReached:
                self._settle(_Failure("output limit"))
                return
            except OutOfPlace as error:
                self._settle(_Failure("out of place", str(error)))
                return
            if answer is not None:
                # What the call printed is read already: the worker wrote it
                # before the answer, so epoll reported standard output first,
                # in this wake-up or an earlier one.  Should anything be left,
                # the next call finds it and retires the worker.
                self._settle(answer)
                return

    async def await_end(self, grace: float, keep: bool = False) -> bool:
        """As :meth:`_Waiter.await_end <vantor.workers.client.blocking._Waiter.await_end>`,
        woken by the loop; between calls only."""
        proc = self.proc
        if self.closed:
            return False
        found = proc.take_end(keep)
        if found is not None:
            return found
        self._stop_reading()
        self.end_wait = done = self.loop.create_future()

        def step() -> None:
            if done.done():
                return
            found = proc.take_end(keep) if proc.read_out_stdout(keep) else False
            if found is not None:
                done.set_result(found)

        self.loop.add_reader(proc.answer_fd, step)
        self.loop.add_reader(proc.stdout_fd, step)
        try:
            return await asyncio.wait_for(done, grace)
        except asyncio.TimeoutError:
            return False
        finally:
            self.end_wait = None
            # A link closed meanwhile let its descriptors go: their numbers may
            # be another worker's now, whose readers must stay.
            if not self.closed:
                self.loop.remove_reader(proc.answer_fd)
                self.loop.remove_reader(proc.stdout_fd)

    def _on_stderr(self) -> None:
        if not self.proc.drain_stderr():
            self.loop.remove_reader(self.proc.stderr_fd)
            if not self.stderr_done.done():
                self.stderr_done.set_result(None)

    def _check_exit(self) -> None:
        if self.proc.exited():
            self.exit_check = None
            self._on_exit()
        else:
            self.exit_check = self.loop.call_later(_EXIT_CHECK_INTERVAL, self._check_exit)

    def _on_exit(self) -> None:
        if self.pidfd is not None:
            self.loop.remove_reader(self.pidfd)
        if not self.exited.done():
            self.exited.set_result(None)
        self.proc.exited()  # reaps it
        if self.waiting is not None:
            # What it wrote before it ended is in the pipes, at most their size.
            self._on_stdout()
            self._on_answer()
            self._on_answer()
        if self.waiting is not None:
            # Ended without an answer, or something it started holds the pipes open.
            self._settle(_Failure("died"))
        elif self.on_idle_exit is not None and not self.closed:
            self.loop.call_soon(self.on_idle_exit, self)

    def _on_control(self) -> None:
        if self.proc.read_control():
            self.loop.remove_reader(self.proc.control.fileno())
            self._check_started()

    def _on_greeting(self) -> None:
        self.proc.read_greeting()
        if self.proc.greeting is not False:
            self.loop.remove_reader(self.proc.answer_fd)
            self._check_started()

    def _check_started(self) -> None:
        if not self.proc.starting() and not self.started.done():
            self.started.set_result(None)


class AsyncWorker(WorkerBase):
    """The asyncio counterpart of :class:`Worker`: the same arguments and behaviour,
    with coroutine methods.

    ``request``, ``request_line``, ``run_script``, ``run_inline``,
    ``run_function`` and ``validate`` are awaited; calls on one worker are
    served one at a time, in order.  A call cancelled while it waits kills
    the worker process (its state is unknown); the next call starts a new one.
    With ``isolation="call"`` the template ends only the call's process, and
    the next call waits for it.
    Use it with ``async with`` or ``await worker.aclose()``.  The worker is
    bound to the event loop of its first call.
    """

    def __init__(self, *args: Any, **kwargs: Any):
        super().__init__(*args, **kwargs)
        self._call_lock: asyncio.Lock | None = None
        self._link: _Link | None = None

    async def start(self) -> "AsyncWorker":
        """Start the worker process now and wait until it is ready (its sandbox in force)."""
        try:
            async with self._lock():
                await self._started_process()
        except BaseException as error:
            self._stats.failed(error, isinstance(error, asyncio.CancelledError))
            raise
        return self

    async def aclose(self) -> None:
        """Stop and reap the worker process; later calls raise :class:`WorkerClosed`.

        A call in progress is cut short with :class:`WorkerClosed`.
        """
        with self._state_lock:
            self._closed = True
            proc = self._proc
        if proc is None:
            return
        link = self._link
        if link is not None and link.waiting is not None:
            proc.stop()
        else:
            proc.close_input()
        await self._discard(proc, CLOSE_GRACE)

    async def __aenter__(self) -> "AsyncWorker":
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.aclose()

    async def request(self, request: Mapping[str, Any], timeout: Timeout = UNSET) -> Answer:
        """Send one request (a JSON object) and return the worker's answer.

        Raises as :meth:`Worker.request` does.
        """
        line, quitting = encode_request(request)
        return await self._exchange(line, quitting, timeout, request.get("action"))

    async def request_line(self, line: str | bytes, timeout: Timeout = UNSET) -> Answer:
        """Send one request line exactly as given: see :meth:`Worker.request_line`."""
        return await self._exchange(*encode_request_line(line), timeout)

    # -- internals --------------------------------------------------------

    def _lock(self) -> asyncio.Lock:
        if self._call_lock is None:
            self._call_lock = asyncio.Lock()
        return self._call_lock

    async def _exchange(self, data: bytes, quitting: bool, timeout: Timeout,
                        action: Any = None) -> Answer:
        start_ns = time.time_ns()  # a span starts there
        if timeout is UNSET:
            timeout = self.timeout  # checked when it was set
        else:
            check_timeout(timeout)
        # Counted here, once, however the call ends: cancelled while it waited
        # for the worker's lock, or while the worker retired, as well.
        try:
            async with self._lock():
                proc, answer, seconds = await self._send(data, timeout)
                if self._retires(proc, quitting):
                    try:
                        await self._discard(proc, EXIT_GRACE)
                    except BaseException:
                        self._forget(proc)  # cancelled while it ended: end it now
                        raise
                    if self._keep_warm:
                        self._prestart()
        except BaseException as error:
            self._stats.failed(error, isinstance(error, asyncio.CancelledError))
            self._record_failure(error)
            self._call_ended(action, error, start_ns)
            raise
        self._stats.answered(answer, seconds)
        self._call_ended(action, answer, start_ns)
        return answer

    async def _send(self, data: bytes, timeout: Timeout) -> tuple[Process, Answer, float]:
        """The process that answered, its answer and how long it took.

        As :meth:`Worker._send`: a process that had ended before the request
        reached it, or wrote after its last answer, is replaced, and the
        request sent again.
        """
        resent = False
        while True:
            proc = self._proc
            if (proc is None or not proc.ready or proc.stopping or not proc.stdout_open
                    or self._has_ended(proc)):
                proc = await self._started_process()
            if proc.calls:
                try:
                    clean = await self._clean(proc)
                except BaseException as error:  # cancelled while the last call's end is awaited
                    self._record_failure(error)
                    raise
                if not clean:
                    self._forget(proc)
                    continue
            self._call_pid = proc.pid
            started = time.monotonic()
            link = self._link
            try:
                answer = await link.exchange(data, timeout)
                cpu = link.cpu
                wall = time.monotonic() - started
            except _Failure as failure:
                cpu = link.cpu
                wall = time.monotonic() - started
                outcome = failure
            except BaseException as error:
                # Cancelled (or worse) while the worker was busy: never reuse it,
                # unless its template can end the call.
                if not (isinstance(error, asyncio.CancelledError)
                        and self._cancel_later(proc, len(data))):
                    self._forget(proc)
                self._record_failure(error)
                raise
            else:
                if proc.isolated:
                    answer.usage = self._template_usage(proc, wall)
                else:  # made into a Usage when asked for: most never are
                    answer._usage = (wall, cpu)
                return proc, answer, wall
            try:
                if not resent and outcome.kind == "died" and proc.request_unread(len(data)):
                    await self._discard(proc, EXIT_GRACE)
                    resent = True
                    continue
                if outcome.kind == "timeout" and await self._cancelled(proc, len(data)):
                    error = self._error_for(proc, outcome.kind, timeout)
                    error.usage = self._usage(proc, wall, cpu, failed=True)
                else:
                    usage = self._usage(proc, wall, cpu, failed=True)  # while the process is there
                    error = await self._failed(proc, outcome, timeout)
                    error.usage = usage
            except BaseException as cancelled:
                self._forget(proc)
                self._record_failure(cancelled)
                raise
            self._record_failure(error)
            raise error from None

    def _fetch_end(self, proc: Process, pending: EndFigures) -> None:
        # Asked for outside a call: the end line is read here, the loop held up
        # until it comes (about a millisecond).  Not while a call waits for it.
        link = self._link
        if (link is None or link.proc is not proc or link.closed or link.waiting is not None
                or link.end_wait is not None or not proc.owes_end):
            return
        poll = select.poll()
        poll.register(proc.answer_fd, select.POLLIN)
        poll.register(proc.stdout_fd, select.POLLIN)
        deadline = time.monotonic() + EXIT_GRACE
        while not pending.done:
            found = proc.take_end() if proc.read_out_stdout(False) else False
            left = deadline - time.monotonic()
            if found is not None or left <= 0:
                return
            poll.poll(left * 1000)

    async def _clean(self, proc: Process) -> bool:
        """As :meth:`Worker._clean`."""
        if proc.owes_end:
            return await self._link.await_end(EXIT_GRACE)
        return proc.isolated or not proc.written_since_answer()

    async def _cancelled(self, proc: Process, size: int) -> bool:
        """As :meth:`Worker._cancelled`."""
        return proc.cancel(size) is not None and await self._link.await_end(EXIT_GRACE, keep=True)

    def _cancel_later(self, proc: Process, size: int) -> bool:
        """Have the template end the call whose task was cancelled; whether it was asked.

        The next call waits for the end line first (its output dropped):
        the task that is being cancelled cannot wait.
        """
        if self._link is None or proc.cancel(size) is None:
            return False
        self._link._settle(None)
        return True

    async def _started_process(self) -> Process:
        """As :meth:`Worker._started_process`; a call cancelled meanwhile leaves it starting."""
        retry = True
        while True:
            try:
                proc = self._ready_process()
                if not proc.ready:
                    await self._await_start(proc)
                return proc
            except BaseException as error:
                if retry and isinstance(error, StartDied):
                    retry = False
                    continue
                self._record_failure(error)
                raise

    def _record_failure(self, error: BaseException) -> None:
        """After a failure (counted by the caller): start the replacement of a warm worker."""
        if self._keep_warm and self._proc is None:
            self._prestart()

    async def _await_start(self, proc: Process) -> None:
        try:
            await asyncio.wait_for(asyncio.shield(self._link.started), START_TIMEOUT)
        except asyncio.TimeoutError:
            self._forget(proc)
            raise StartTimedOut() from None
        if proc.report is None:  # its link closed before the report came
            proc.report = parse_report(b"")
        self._check_start(proc)

    def _attach(self, proc: Process) -> None:
        self._link = _Link(asyncio.get_running_loop(), proc)
        if self._keep_warm:
            self._link.on_idle_exit = self._replace_dead

    def _replace_dead(self, link: _Link) -> None:
        """A warm worker's process ended while no call waited: start its replacement now,
        off the callers' path.  A call under way (waiting for the lock or in its
        clean-up) finds it itself, as does the next call after a failed start."""
        proc = link.proc
        if (link.closed or self._link is not link or not proc.ready or self._closed
                or self._lock().locked()):
            return
        self._forget(proc)
        self._prestart()

    def _has_ended(self, proc: Process) -> bool:
        link = self._link
        if link is None or link.proc is not proc:
            return proc.exited()
        # The loop watches the exit: what it has not seen yet, the call finds.
        return link.exited.done() or proc.returncode is not None

    async def _failed(self, proc: Process, failure: _Failure, timeout: Timeout) -> Exception:
        died = failure.kind == "died"
        if not died:
            proc.stop()
        await self._discard(proc, EXIT_GRACE, drain_stderr=died)
        return self._error_for(proc, failure.kind, timeout, failure.detail)

    async def _discard(self, proc: Process, grace: float, drain_stderr: bool = False) -> None:
        """Let the process end within ``grace`` seconds (killed after that), then reap it."""
        link = self._link if self._link is not None and self._link.proc is proc else None
        if link is not None:
            waits = [link.exited] + ([link.stderr_done] if drain_stderr else [])
            try:
                await asyncio.wait_for(asyncio.shield(asyncio.gather(*waits)), grace)
            except asyncio.TimeoutError:
                pass
        self._forget(proc)

    def _forget(self, proc: Process) -> None:
        """Unhook, kill if still running, and reap the process, all without waiting."""
        if self._link is not None and self._link.proc is proc:
            self._link.close()
            self._link = None
        if not proc.exited():
            proc.kill()
        super()._forget(proc)
