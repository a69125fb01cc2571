"""The blocking client: a worker driven by the calling thread itself.

A call writes its request and waits on the worker's pipes with ``poll``; the
answer, on its own pipe, wakes the caller directly, with no reader thread or
queue in between.
Standard error is read in the same wait, so a tool that writes a lot of it
never blocks, and a request too large for the pipe is written as the worker
takes it.
"""

from __future__ import annotations

import os
import select
import threading
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
    WorkerStartError,
    check_timeout,
    encode_request,
    encode_request_line,
)

# How often a waiting call checks whether the worker process is still there.
# Only matters when the worker has died but something it started still holds
# its stdout open, so no end of file ever arrives.
_POLL_INTERVAL = 0.25
_POLL_INTERVAL_MS = int(_POLL_INTERVAL * 1000)
# The first check comes sooner, and so does the last look at a worker found
# ended: calls are not preceded by a check, so a worker that ended while idle
# is found here.
_SHORT_WAIT_MS = 10

_IN = select.POLLIN | select.POLLPRI
_OUT = select.POLLOUT


class _Failure(Exception):
    """How a wait ended without an answer; turned into the caller's error."""

    def __init__(self, kind: str, detail: str = ""):
        self.kind = kind
        self.detail = detail


class _Waiter:
    """The poll set of one process: standard output and error, and input while writing."""

    def __init__(self, proc: Process):
        self.proc = proc
        self.poll = select.poll()
        # The answer pipe first: poll looks at the descriptors in this order,
        # so a pass that finds the answer then finds whatever the worker wrote
        # on its other pipes before it, and the same pass reads it.
        self.poll.register(proc.answer_fd, _IN)
        self.poll.register(proc.stdout_fd, _IN)
        self.poll.register(proc.stderr_fd, _IN)
        self._writing = False
        self.cpu: CpuSpan | None = None  # the running call's CPU count, once sent
        if proc.control is not None and proc.report is None:
            self.poll.register(proc.control.fileno(), _IN)

    def wait(self, deadline: float | None) -> list[tuple[int, int]]:
        """Ready descriptors; raises _Failure("timeout") past the deadline."""
        wait = _POLL_INTERVAL
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                raise _Failure("timeout")
            wait = min(wait, left)
        return self.poll.poll(wait * 1000)

    def await_start(self, deadline: float) -> None:
        """Wait until the start is over: greeted and reported in, or failed."""
        proc = self.proc
        control_fd = proc.control.fileno() if proc.control is not None else -1
        answer_watched = True
        while proc.starting():
            for fd, _ in self.wait(deadline):
                if fd == control_fd:
                    if proc.read_control():
                        self.poll.unregister(control_fd)
                elif fd == proc.answer_fd and proc.greeting is False:
                    proc.read_greeting()
                elif fd == proc.stdout_fd and proc.stdout_open:
                    if not proc.take_stdout():
                        self.poll.unregister(fd)
                elif fd == proc.stderr_fd:
                    self._drain_stderr()
            if proc.greeting is None and proc.report is None and answer_watched:
                # Ended: the report, which may come after the pipe's end, says why.
                self.poll.unregister(proc.answer_fd)
                answer_watched = False

    def exchange(self, data: bytes, deadline: float | None) -> Answer:
        proc = self.proc
        channel = proc.channel
        proc.begin()
        self.cpu = None
        pending = self._write(memoryview(data))
        # The worker's CPU count before the call, read while the worker takes
        # the request rather than before it is sent: off the round trip, and
        # what the call has run by then is far below the count's grain.
        self.cpu = proc.cpu_span()
        size = READ_SIZE
        exit_seen = False
        next_exit_check = 0.0
        wait_ms = _SHORT_WAIT_MS
        answer_fd, stdout_fd, stderr_fd, stdin_fd = (
            proc.answer_fd, proc.stdout_fd, proc.stderr_fd, proc.stdin_fd)
        poll = self.poll.poll
        while True:
            # Waiting, reading and answering are written out here rather than
            # called: this loop is most of what a call costs the host.
            if deadline is None:
                events = poll(wait_ms)
            else:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise _Failure("timeout")
                events = poll(min(wait_ms, left * 1000))
            ended = False
            try:
                # The answer pipe comes first in the poll set: taken last.
                for fd, _ in reversed(events):
                    if fd == answer_fd:
                        try:
                            chunk = os.read(answer_fd, size)
                        except BlockingIOError:
                            continue
                        except OSError:
                            chunk = b""
                        if not chunk:
                            ended = True
                            continue
                        size = BIG_READ_SIZE if len(chunk) == size else READ_SIZE
                        answer = channel.feed_answer(chunk)
                        if answer is not None:
                            if self._writing:
                                self._stop_writing()
                            return answer
                    elif fd == stdout_fd:
                        if not proc.take_stdout():
                            ended = True
                    elif fd == stderr_fd:
                        self._drain_stderr()
                    elif fd == stdin_fd:
                        pending = self._write(pending)
            except OutputLimitReached:
                raise _Failure("output limit") from None
            except OutOfPlace as error:
                raise _Failure("out of place", str(error)) from None
            if ended:
                raise _Failure("died")
            # Now and then, whatever the pipes say: something the worker
            # started may hold its pipes open, and keep writing, after it ended.
            now = time.monotonic()
            if now >= next_exit_check:
                if exit_seen:
                    raise _Failure("died")
                exit_seen = proc.exited()  # if so, take what is still in flight first
                wait_ms = _SHORT_WAIT_MS if exit_seen else _POLL_INTERVAL_MS
                next_exit_check = now + wait_ms / 1000

    def await_end(self, deadline: float, keep: bool = False) -> bool:
        """Wait for the template's end line (see :meth:`Process.take_end`); False if it fails."""
        proc = self.proc
        while True:
            found = proc.take_end(keep)
            if found is not None:
                return found
            try:
                events = self.wait(deadline)
            except _Failure:
                return False
            for fd, _ in events:
                if fd == proc.stderr_fd:
                    self._drain_stderr()
                elif fd == proc.stdout_fd and not proc.read_out_stdout(keep):
                    return False

    def _write(self, data: memoryview) -> memoryview | None:
        """Write what the pipe takes; poll for the rest.  None once all is written."""
        written = self.proc.write(data)
        if written == len(data) or written < 0:
            # A worker that stopped reading is dead or dying: its output says so.
            self._stop_writing()
            return None
        if not self._writing:
            self.poll.register(self.proc.stdin_fd, _OUT)
            self._writing = True
        return data[written:]

    def _stop_writing(self) -> None:
        if self._writing:
            self.poll.unregister(self.proc.stdin_fd)
            self._writing = False

    def _drain_stderr(self) -> None:
        if not self.proc.drain_stderr():
            self.poll.unregister(self.proc.stderr_fd)

    def finish_stderr(self, until: float) -> None:
        """Read standard error to its end, or until ``until`` (a dying worker's last words)."""
        proc = self.proc
        waiting = select.poll()
        waiting.register(proc.stderr_fd, _IN)
        while proc.stderr_open and time.monotonic() < until:
            if proc.drain_stderr():
                waiting.poll(max(0.0, until - time.monotonic()) * 1000)


class Worker(WorkerBase):
    """One worker process, started on first use and restarted after a failure.

    ``sandbox`` is the :class:`~vantor.workers.sandbox.Sandbox` the worker runs
    in: by default ``Sandbox()``, whose defaults are documented there; pass
    ``sandbox=None`` to run the worker unsandboxed, with all of the host's
    powers.  ``command`` starts the worker (default: this package's worker on
    the host's interpreter; a command of its own must start this package's
    worker, which takes its answer pipe from the environment); inside a
    sandbox it is run after the sandbox is in force.  ``env`` and ``cwd`` are
    passed to the process (with a sandbox, its environment is the sandbox's
    ``env`` and ``cwd`` is made readable).  ``timeout`` is the default time
    limit, in seconds, of every call (None: no limit); each call may give its
    own: it counts from sending the request, a sandbox still starting being
    waited for apart, for up to a minute.  ``output_limit`` bounds the bytes of
    output accepted for one call (answer and stray output together, each stray
    line counting 64 bytes more, what the host pays to hold it; None: no
    limit): past it the worker is killed and the call raises
    :class:`WorkerOutputLimit`.  ``stderr_limit`` bounds, in bytes, the kept
    tail of standard error, which every call drains.  ``max_requests`` retires
    a process after that many requests and starts a fresh one.

    ``isolation`` says what calls share.  ``"worker"`` (the default): one
    process serves call after call, so what a call changes (modules,
    globals, threads it leaves running) is there for the next.
    ``"call"``: the worker process is a template that forks a fresh process
    for each call, inside the same sandbox, and ends whatever the call
    started before the next one; a timeout then kills only the call, and
    the template stays warm.  ``preload`` names modules the template imports
    once at start (``isolation="call"`` only); one that fails to import
    fails the start, naming it.

    Calls are serialised: a worker handles one request at a time, and is safe to
    share between threads (use :class:`WorkerPool` for parallel calls).  After a
    :class:`WorkerTimeout`, :class:`WorkerDied` or :class:`WorkerOutputLimit`
    the process is gone; the next call starts a new one, as it does after a
    ``quit`` request or when the process ended between calls.  The new process
    starts with a clean interpreter: whatever earlier requests changed in the
    old one is lost.

    Use it as a context manager, or call :meth:`close`, to reap the process.
    """

    def __init__(self, *args: Any, **kwargs: Any):
        super().__init__(*args, **kwargs)
        self._call_lock = threading.Lock()   # one request at a time
        self._waiter: _Waiter | None = None

    def start(self) -> "Worker":
        """Start the worker process now and wait until it is ready (its sandbox in force)."""
        try:
            with self._call_lock:
                try:
                    self._started_process()
                finally:
                    self._reap_if_closed()
        except BaseException as error:
            self._stats.failed(error)
            raise
        return self

    def close(self) -> None:
        """Stop and reap the worker process; later calls raise :class:`WorkerClosed`.

        An idle worker is asked to end (its input is closed) and killed if it
        has not ended within a second.  A worker busy with a call from another
        thread is killed at once, and that call raises :class:`WorkerClosed`.
        """
        with self._state_lock:
            self._closed = True
            proc = self._proc
        if proc is None:
            return
        if self._call_lock.acquire(blocking=False):
            try:
                proc.close_input()
                self._discard(proc, CLOSE_GRACE)
            finally:
                self._call_lock.release()
        else:
            proc.stop()

    @property
    def stderr_tail(self) -> str:
        """Tail of the standard error of the current process, or else of the last one.

        What an idle worker wrote is read now; a busy one's, by its call.
        """
        waiter = self._waiter
        if waiter is not None and waiter.proc.stderr_open and self._call_lock.acquire(False):
            try:
                waiter._drain_stderr()
            finally:
                self._call_lock.release()
        return super().stderr_tail

    def __enter__(self) -> "Worker":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # -- requests ---------------------------------------------------------

    def request(self, request: Mapping[str, Any], timeout: Timeout = UNSET) -> Answer:
        """Send one request (a JSON object) and return the worker's answer.

        Raises :class:`WorkerTimeout` when no answer came within ``timeout``
        seconds (default: the worker's ``timeout``), :class:`WorkerDied` when the
        worker ended without answering, :class:`WorkerOutputLimit` past the
        output limit, :class:`WorkerClosed` after :meth:`close`, and
        :class:`WorkerStartError` when a sandboxed worker could not start.
        """
        line, quitting = encode_request(request)
        return self._exchange(line, quitting, timeout, request.get("action"))

    def request_line(self, line: str | bytes, timeout: Timeout = UNSET) -> Answer:
        """Send one request line exactly as given, without encoding it as JSON.

        This reaches the parts of the protocol that :meth:`request` cannot, such as
        a line that is not valid JSON (answered with an error) or JSON that is not
        an object (the worker ends: :class:`WorkerDied`).  The line must hold no
        line break and must not be blank: the worker does not answer blank lines.
        """
        return self._exchange(*encode_request_line(line), timeout)

    # -- internals --------------------------------------------------------

    def _exchange(self, data: bytes, quitting: bool, timeout: Timeout,
                  action: Any = None) -> Answer:
        start_ns = time.time_ns()  # a span starts there
        if timeout is UNSET:
            timeout = self.timeout  # checked when it was set
        else:
            check_timeout(timeout)
        # Counted here, once, however the call ends: interrupted while it
        # waited for the worker, cleaned up or retired it as well.
        try:
            with self._call_lock:
                try:
                    proc, answer, seconds = self._send(data, timeout)
                    if self._retires(proc, quitting):
                        self._discard(proc, EXIT_GRACE)
                        if self._keep_warm:
                            self._prestart()
                finally:
                    if self._closed:
                        self._reap_if_closed()
        except BaseException as error:
            self._stats.failed(error)
            self._call_ended(action, error, start_ns)
            raise
        self._stats.answered(answer, seconds)
        self._call_ended(action, answer, start_ns)
        return answer

    def _reap_if_closed(self) -> None:
        # close() found the call lock taken and left the process, or a
        # replacement started after it, to the holder of the lock.
        proc = self._proc
        if self._closed and proc is not None:
            self._discard(proc)

    def _send(self, data: bytes, timeout: Timeout) -> tuple[Process, Answer, float]:
        """The process that answered, its answer and how long it took.

        A process is not asked whether it still runs before each call (that
        would cost every call a system call): one that turns out to have ended
        before the request reached it is replaced, and the request sent again.
        So is one that wrote after its last answer: that output is nobody's.
        A template (isolation per call) must first have ended the last call.
        """
        resent = False
        while True:
            proc = self._started_process()
            if proc.calls and not self._clean(proc):
                self._discard(proc)
                continue
            self._call_pid = proc.pid
            started = time.monotonic()
            deadline = None if timeout is None else started + timeout
            waiter = self._waiter
            try:
                answer = waiter.exchange(data, deadline)
                wall = time.monotonic() - started
                if proc.isolated:
                    answer.usage = self._template_usage(proc, wall)
                else:  # made into a Usage when asked for: most never are
                    answer._usage = (wall, waiter.cpu)
                return proc, answer, wall
            except _Failure as failure:
                cpu = waiter.cpu
                wall = time.monotonic() - started
                if not resent and failure.kind == "died" and proc.request_unread(len(data)):
                    self._discard(proc, EXIT_GRACE)
                    resent = True
                    continue
                if failure.kind == "timeout" and self._cancelled(proc, len(data)):
                    error = self._error_for(proc, failure.kind, timeout)
                    error.usage = self._usage(proc, wall, cpu, failed=True)
                else:
                    usage = self._usage(proc, wall, cpu, failed=True)  # while the process is there
                    error = self._failed(proc, failure, timeout)
                    error.usage = usage
                self._record_failure(error)
                raise error from None
            except BaseException as error:
                # Without its answer the worker's state is unknown (this also
                # covers KeyboardInterrupt in the host): never reuse it.
                self._discard(proc)
                self._record_failure(error)
                raise

    def _fetch_end(self, proc: Process, pending: EndFigures) -> None:
        # The next call takes the end line as it starts: one running holds the lock.
        deadline = time.monotonic() + EXIT_GRACE
        while not pending.done and time.monotonic() < deadline:
            if self._call_lock.acquire(timeout=0.01):
                try:
                    if (not pending.done and self._proc is proc and proc.owes_end
                            and self._waiter is not None):
                        self._waiter.await_end(deadline)
                finally:
                    self._call_lock.release()
                return

    def _clean(self, proc: Process) -> bool:
        """Whether nothing of the last call is left to come from ``proc``."""
        if proc.owes_end:
            return self._waiter.await_end(time.monotonic() + EXIT_GRACE)
        return proc.isolated or not proc.written_since_answer()

    def _cancelled(self, proc: Process, size: int) -> bool:
        """Have the template kill the call that ran out of time; whether it did.

        Only a request written whole can be cancelled: a part would stay in
        the template's input, ahead of the next request.
        """
        return proc.cancel(size) is not None and self._waiter.await_end(time.monotonic() + EXIT_GRACE,
                                                            keep=True)

    def _started_process(self) -> Process:
        """The process, started and reported in, waited for under the start-up timeout.

        A start that ended before reporting in (killed from outside, say) is
        replaced once, silently: no request has reached it.
        """
        proc = self._proc
        if (proc is not None and proc.ready and proc.stdout_open and not proc.stopping
                and proc.popen.returncode is None):
            return proc  # the usual case, written out
        retry = True
        while True:
            try:
                proc = self._ready_process()
                if not proc.ready:
                    self._await_start(proc)
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

    def _await_start(self, proc: Process) -> None:
        try:
            self._waiter.await_start(time.monotonic() + START_TIMEOUT)
        except (_Failure, OutputLimitReached) as failure:
            self._discard(proc)
            raise StartTimedOut() if isinstance(failure, _Failure) else WorkerStartError(
                "the worker wrote more than the output limit while it started") from None
        self._check_start(proc)

    def _attach(self, proc: Process) -> None:
        self._waiter = _Waiter(proc)

    def _has_ended(self, proc: Process) -> bool:
        # Free to ask; a process that ended unseen is found by the call itself.
        return proc.returncode is not None

    def _failed(self, proc: Process, failure: _Failure, timeout: Timeout) -> Exception:
        """Stop the process after a wait that ended without an answer; the error to raise."""
        if failure.kind == "died":
            self._waiter.finish_stderr(time.monotonic() + EXIT_GRACE)
            self._discard(proc, EXIT_GRACE)
        else:
            self._discard(proc)
        return self._error_for(proc, failure.kind, timeout, failure.detail)

    def _discard(self, proc: Process, grace: float = 0.0) -> None:
        if grace > 0 and proc.returncode is None:
            try:
                proc.popen.wait(grace)
            except Exception:
                pass
        self._forget(proc)
        if self._proc is None:
            self._waiter = None
