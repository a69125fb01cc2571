"""Host-side client for the custom worker: timeouts, restarts and a pool.

The worker reads one JSON request per line on its standard input and writes one
JSON answer per line on its standard output.  It has no time limit of its own,
some requests end it without an answer (a script that calls ``sys.exit()``, a
request line that is not a JSON object, an ill-typed member), and what
``run_function`` code prints reaches the channel unframed, ahead of the answer.
This module handles all of that once, for every host:

* :class:`Worker` runs one worker process.  Each call sends one request and
  returns the worker's answer as an :class:`Answer`, a ``dict`` holding exactly
  what the worker wrote (``"success"`` and ``"result"`` or ``"error"``).
* A call that runs past its timeout kills the worker (the only reliable way to
  stop a busy loop) and raises :class:`WorkerTimeout`.  A worker that ends
  without answering makes the call raise :class:`WorkerDied`, which carries the
  exit code and the tail of the worker's standard error.  Either way the next
  call transparently starts a fresh worker.
* Lines read before the answer that are not the answer (what ``run_function``
  code printed) are collected in :attr:`Answer.stray`.
* :class:`WorkerPool` shares N workers between threads.

Example, a host running a tool with a time limit::

    from vantor.workers.client import WorkerPool, WorkerDied, WorkerTimeout

    with WorkerPool(4, timeout=30) as pool:
        try:
            answer = pool.run_script("tools/summarise.py", {"path": "notes.txt"})
        except WorkerTimeout:
            ...  # the tool ran for more than 30 s; its worker was killed
        except WorkerDied as died:
            ...  # died.returncode, died.stderr (ends with the exception)
        else:
            if answer["success"]:
                print(answer["result"]["output"], answer["result"]["return_value"])
            else:
                print(answer["error"])

Everything here is standard library; the worker runs in a child process started
from ``command`` (by default ``[sys.executable, "-m", "vantor.workers"]``), and
the extension itself is never imported into the host.  A call blocks only its
own thread, for no longer than its timeout, so an asyncio host can simply
``await asyncio.to_thread(pool.run_inline, code, timeout=...)``.

Processes are reaped by :meth:`Worker.close`, :meth:`WorkerPool.close`, leaving
a ``with`` block, garbage collection of a worker, and interpreter exit.  On POSIX
each worker leads its own process group (session), and stopping a worker kills
the whole group, so processes that a tool started in the background are stopped
along with it.
"""

from __future__ import annotations

import json
import os
import queue
import signal
import subprocess
import sys
import threading
import time
import weakref
from collections.abc import Mapping, Sequence
from typing import Any, Callable, Union

__all__ = [
    "DEFAULT_COMMAND",
    "Answer",
    "Worker",
    "WorkerClosed",
    "WorkerDied",
    "WorkerError",
    "WorkerPool",
    "WorkerTimeout",
]

#: The command that starts a worker when none is given.
DEFAULT_COMMAND: tuple[str, ...] = (sys.executable, "-m", "vantor.workers")

#: Default size, in bytes, of the kept tail of a worker's standard error.
DEFAULT_STDERR_LIMIT = 64 * 1024

Timeout = Union[float, int, None]

_UNSET: Any = object()  # "use the worker's default timeout"
_EOF = None  # queued by the stdout reader when the worker's stdout closes

# How often a waiting call checks whether the worker process is still there.
# Only matters when the worker has died but something it started still holds
# its stdout open, so no end of file ever arrives.
_POLL_INTERVAL = 0.25
# How long a worker that closed its stdout (or answered "quit") may take to exit.
_EXIT_GRACE = 1.0
# How long close() lets an idle worker end by itself after its stdin is closed.
_CLOSE_GRACE = 1.0
# How long to wait for the pipe threads once the process is gone.
_JOIN_GRACE = 1.0
# Requests longer than this are written by a helper thread, so that a worker
# that stopped reading cannot block the caller past its deadline.
_DIRECT_WRITE_MAX = 4096
# Lines of standard error quoted in the message of WorkerDied.
_QUOTED_STDERR_LINES = 20

_ANSWER_START = b'{"success": '


# --------------------------------------------------------------------------
# Results and errors


class Answer(dict):
    """The worker's answer to one request.

    The dict holds the answer exactly as the worker wrote it: ``"success"``
    first, then ``"result"`` (on success) or ``"error"`` (a text, on failure).

    :attr:`stray` lists the other lines read from the worker's standard output
    while waiting for this answer, in order, decoded as UTF-8 (undecodable
    bytes replaced) and without their line ends.  These are mostly what
    ``run_function`` code printed (``run_script`` and ``run_inline`` capture
    their output into the answer).  Text printed without a final line feed
    shares a line with the answer; it is split off and listed as the last
    entry.  Output that arrives after an answer (from a thread that a tool left
    running) is handed to the next call on the same worker.

    A line counts as the answer only if it is a JSON object with exactly the
    two members the worker writes, ``"success"`` first; any other line, JSON or
    not, is stray.  A function that prints a line shaped exactly like an answer
    cannot be told apart from the real one.
    """

    __slots__ = ("stray",)

    def __init__(self, answer: Mapping[str, Any], stray: list[str] | None = None):
        super().__init__(answer)
        self.stray: list[str] = stray if stray is not None else []

    @property
    def ok(self) -> bool:
        """True when the worker carried the request out (``"success"`` is true)."""
        return self.get("success") is True

    def __repr__(self) -> str:
        return f"Answer({dict.__repr__(self)}, stray={self.stray!r})"


class WorkerError(Exception):
    """Base class of the errors raised by this module."""


class WorkerClosed(WorkerError):
    """The worker or pool was closed, before the call or while it ran."""


class WorkerTimeout(WorkerError, TimeoutError):
    """The worker did not answer in time; it has been killed.

    Attributes: ``timeout`` (seconds), ``stray`` (lines printed before the
    kill, as in :attr:`Answer.stray`), ``stderr`` (tail of standard error).
    The next call on the same :class:`Worker` starts a fresh process.
    """

    def __init__(self, timeout: float, stray: list[str] | None = None, stderr: str = ""):
        super().__init__(
            f"the worker did not answer within {timeout:g} s and was killed"
        )
        self.timeout = timeout
        self.stray = stray if stray is not None else []
        self.stderr = stderr


class WorkerDied(WorkerError):
    """The worker ended without answering the request.

    Attributes: ``returncode`` (as :attr:`subprocess.Popen.returncode`:
    negative for a signal), ``stderr`` (the kept tail of the worker's standard
    error, which ends with the exception that stopped it, or the text given to
    ``sys.exit``), ``stray`` (lines printed before it ended).  The message quotes
    the last lines of ``stderr``.  The next call starts a fresh process.
    """

    def __init__(self, returncode: int | None, stderr: str = "", stray: list[str] | None = None):
        self.returncode = returncode
        self.stderr = stderr
        self.stray = stray if stray is not None else []
        message = f"the worker ended with {_describe_exit(returncode)} without answering"
        quoted = "\n".join(stderr.rstrip().splitlines()[-_QUOTED_STDERR_LINES:])
        if quoted:
            message += "; its standard error ends with:\n" + quoted
        super().__init__(message)


def _describe_exit(returncode: int | None) -> str:
    if returncode is None:
        return "an unknown status"
    if returncode < 0:
        try:
            return f"signal {signal.Signals(-returncode).name}"
        except ValueError:
            return f"signal {-returncode}"
    return f"exit code {returncode}"


# --------------------------------------------------------------------------
# Reading the channel


def _is_answer(value: Any) -> bool:
    if type(value) is not dict or len(value) != 2:
        return False
    first, second = value
    if first != "success":
        return False
    if value["success"] is True:
        return second == "result"
    if value["success"] is False:
        return second == "error" and isinstance(value["error"], str)
    return False


def _split_answer(line: bytes) -> tuple[bytes, dict | None]:
    """Split one line of worker output into (text before the answer, answer).

    Without an answer on the line, returns (line, None).  The answer is always
    the end of its line, and the worker writes it starting with
    ``{"success": ``; text printed without a line feed may precede it.
    """
    start = line.find(_ANSWER_START)
    while start != -1:
        try:
            value = json.loads(line[start:])
        except (ValueError, RecursionError):
            pass
        else:
            if _is_answer(value):
                return line[:start], value
        start = line.find(_ANSWER_START, start + 1)
    return line, None


def _decode_line(line: bytes) -> str:
    if line.endswith(b"\n"):
        line = line[:-1]
        if line.endswith(b"\r"):
            line = line[:-1]
    return line.decode("utf-8", "replace")


class _Tail:
    """The last ``limit`` bytes written to a stream, filled by a thread."""

    def __init__(self, limit: int):
        self._limit = limit
        self._data = bytearray()
        self._lock = threading.Lock()

    def add(self, chunk: bytes) -> None:
        with self._lock:
            self._data += chunk
            excess = len(self._data) - self._limit
            if excess > 0:
                del self._data[:excess]

    def text(self) -> str:
        with self._lock:
            return self._data.decode("utf-8", "replace")


def _pump_lines(stream, lines: queue.SimpleQueue) -> None:
    try:
        for line in stream:
            lines.put(line)
    except (OSError, ValueError):
        pass
    finally:
        lines.put(_EOF)
        _close_quietly(stream)


def _pump_tail(stream, tail: _Tail) -> None:
    try:
        while True:
            chunk = stream.read1(65536)
            if not chunk:
                break
            tail.add(chunk)
    except (OSError, ValueError):
        pass
    finally:
        _close_quietly(stream)


def _write_quietly(stream, data: bytes) -> None:
    # A failed write means the worker no longer reads its input: it is dead or
    # dying, and the waiting call finds that out from its output and status.
    try:
        stream.write(data)
        stream.flush()
    except (OSError, ValueError):
        pass


def _close_quietly(stream) -> None:
    try:
        stream.close()
    except (OSError, ValueError):
        pass


# --------------------------------------------------------------------------
# One worker process


def _kill(popen: subprocess.Popen) -> None:
    if os.name == "posix":
        # The worker leads its own group: this also stops what it started.
        try:
            os.killpg(popen.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
    try:
        popen.kill()  # does nothing once the process has been reaped
    except OSError:
        pass


def _stop(popen: subprocess.Popen) -> None:
    """Kill and reap; runs once per process, also at garbage collection and exit."""
    _kill(popen)
    _close_quietly(popen.stdin)
    popen.wait()


class _Process:
    """A running worker process with its two pipe-reading threads."""

    def __init__(self, command: Sequence[str], env, cwd, stderr_limit: int):
        extra = {"start_new_session": True} if os.name == "posix" else {}
        self.popen = subprocess.Popen(
            list(command),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
            cwd=cwd,
            **extra,
        )
        self.pid = self.popen.pid
        self.lines: queue.SimpleQueue = queue.SimpleQueue()
        self._tail = _Tail(stderr_limit)
        # The threads hold the pipes, never this object, so a dropped worker is
        # collected and its finalizer stops the process.
        self._threads = [
            threading.Thread(target=_pump_lines, args=(self.popen.stdout, self.lines),
                             name=f"worker-{self.pid}-stdout", daemon=True),
            threading.Thread(target=_pump_tail, args=(self.popen.stderr, self._tail),
                             name=f"worker-{self.pid}-stderr", daemon=True),
        ]
        self._stop = weakref.finalize(self, _stop, self.popen)
        for thread in self._threads:
            thread.start()

    def send(self, data: bytes) -> None:
        if len(data) <= _DIRECT_WRITE_MAX:
            _write_quietly(self.popen.stdin, data)
        else:
            threading.Thread(target=_write_quietly, args=(self.popen.stdin, data),
                             name=f"worker-{self.pid}-stdin", daemon=True).start()

    def drain(self) -> tuple[list[bytes], bool]:
        """Take the lines already read; also tell whether output has ended."""
        lines = []
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                return lines, False
            if line is _EOF:
                return lines, True
            lines.append(line)

    def exited(self) -> bool:
        return self.popen.poll() is not None

    def close_input(self) -> None:
        """Close the worker's stdin: an idle worker then ends by itself."""
        _close_quietly(self.popen.stdin)

    def stop(self, grace: float = 0.0) -> None:
        """Stop the process and reap it, giving it ``grace`` seconds to end by itself."""
        if grace > 0 and self.popen.returncode is None:
            try:
                self.popen.wait(grace)
            except subprocess.TimeoutExpired:
                pass
        self._stop()
        self.popen.wait()  # another thread may be in the middle of _stop
        for thread in self._threads:
            thread.join(_JOIN_GRACE)

    @property
    def returncode(self) -> int | None:
        return self.popen.returncode

    def stderr_tail(self) -> str:
        return self._tail.text()


# --------------------------------------------------------------------------
# The four actions, shared by Worker and WorkerPool


def _check_timeout(timeout: Timeout) -> None:
    if timeout is None:
        return
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(
            f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if not timeout > 0:
        raise ValueError(f"timeout must be positive, not {timeout!r}")


def _args_member(args: Mapping[str, Any] | None) -> dict | None:
    if args is None:
        return None
    if not isinstance(args, Mapping):
        raise TypeError(f"args must be a mapping or None, not {type(args).__name__}")
    return dict(args)


def _text_member(name: str, value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


class _Actions:
    """``run_script``, ``run_inline``, ``run_function`` and ``validate`` on top of ``request``."""

    def request(self, request: Mapping[str, Any], timeout: Timeout = _UNSET) -> Answer:
        raise NotImplementedError

    def run_script(self, path: str | os.PathLike, args: Mapping[str, Any] | None = None, *,
                   timeout: Timeout = _UNSET) -> Answer:
        """Run a script file; its captured output is in the answer's ``"result"``.

        ``args`` is handed to the script as its global ``args``.
        """
        request = {"action": "run_script", "path": os.fspath(path), "args": _args_member(args)}
        return self.request(request, timeout)

    def run_inline(self, code: str, args: Mapping[str, Any] | None = None, *,
                   timeout: Timeout = _UNSET) -> Answer:
        """Run a string of Python source; its captured output is in the answer's ``"result"``."""
        request = {"action": "run_inline", "code": _text_member("code", code),
                   "args": _args_member(args)}
        return self.request(request, timeout)

    def run_function(self, path: str | os.PathLike, function: str = "main",
                     args: Mapping[str, Any] | None = None, *, timeout: Timeout = _UNSET) -> Answer:
        """Load a script file as a module and call ``function(**args)``.

        Nothing is captured: what the code prints comes back in :attr:`Answer.stray`.
        """
        request = {"action": "run_function", "path": os.fspath(path),
                   "function": _text_member("function", function), "args": _args_member(args)}
        return self.request(request, timeout)

    def validate(self, code: str, *, timeout: Timeout = _UNSET) -> Answer:
        """Check that ``code`` compiles; the verdict is ``answer["result"]["valid"]``."""
        return self.request({"action": "validate", "code": _text_member("code", code)}, timeout)


# --------------------------------------------------------------------------
# Worker


class Worker(_Actions):
    """One worker process, started on first use and restarted after a failure.

    ``command`` starts the worker (default :data:`DEFAULT_COMMAND`); ``env`` and
    ``cwd`` are passed to :class:`subprocess.Popen`.  ``timeout`` is the default
    time limit, in seconds, of every call (None: no limit); each call may give
    its own.  ``stderr_limit`` bounds, in bytes, the kept tail of the worker's
    standard error, which a thread drains continuously.

    Calls are serialised: a worker handles one request at a time, and is safe to
    share between threads (use :class:`WorkerPool` for parallel calls).  After a
    :class:`WorkerTimeout` or :class:`WorkerDied` the process is gone; the next
    call starts a new one, as it does after a ``quit`` request or when the
    process ended between calls.  The new process starts with a clean
    interpreter: whatever earlier requests changed in the old one is lost.

    Use it as a context manager, or call :meth:`close`, to reap the process.
    """

    def __init__(self, command: Sequence[str] | None = None, *, timeout: Timeout = None,
                 env: Mapping[str, str] | None = None, cwd: str | os.PathLike | None = None,
                 stderr_limit: int = DEFAULT_STDERR_LIMIT):
        _check_timeout(timeout)
        if stderr_limit < 1:
            raise ValueError("stderr_limit must be at least 1 byte")
        self.command: tuple[str, ...] = tuple(command) if command is not None else DEFAULT_COMMAND
        if not self.command:
            raise ValueError("command must not be empty")
        self.timeout = timeout
        self._env = env
        self._cwd = cwd
        self._stderr_limit = stderr_limit
        self._call_lock = threading.Lock()   # one request at a time
        self._state_lock = threading.Lock()  # guards _proc and _closed
        self._proc: _Process | None = None
        self._closed = False
        self._last_stderr = ""

    # -- state ------------------------------------------------------------

    @property
    def pid(self) -> int | None:
        """PID of the running worker process, or None when none is running."""
        proc = self._proc
        return proc.pid if proc is not None else None

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def stderr_tail(self) -> str:
        """Tail of the standard error of the current process, or else of the last one."""
        proc = self._proc
        return proc.stderr_tail() if proc is not None else self._last_stderr

    def start(self) -> "Worker":
        """Start the worker process now rather than on the first call."""
        with self._call_lock:
            self._ready_process()
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
                self._discard(proc, _CLOSE_GRACE)
            finally:
                self._call_lock.release()
        else:
            proc.stop()

    def __enter__(self) -> "Worker":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"pid={self.pid}"
        return f"<{type(self).__name__} {state} command={list(self.command)!r}>"

    # -- requests ---------------------------------------------------------

    def request(self, request: Mapping[str, Any], timeout: Timeout = _UNSET) -> Answer:
        """Send one request (a JSON object) and return the worker's answer.

        Raises :class:`WorkerTimeout` when no answer came within ``timeout``
        seconds (default: the worker's ``timeout``), :class:`WorkerDied` when the
        worker ended without answering, :class:`WorkerClosed` after :meth:`close`.
        """
        if not isinstance(request, Mapping):
            raise TypeError(f"request must be a mapping, not {type(request).__name__}")
        line = json.dumps(dict(request)).encode("ascii") + b"\n"
        return self._exchange(line, timeout, request.get("action") == "quit")

    def request_line(self, line: str | bytes, timeout: Timeout = _UNSET) -> Answer:
        """Send one request line exactly as given, without encoding it as JSON.

        This reaches the parts of the protocol that :meth:`request` cannot, such as
        a line that is not valid JSON (answered with an error) or JSON that is not
        an object (the worker ends: :class:`WorkerDied`).  The line must hold no
        line break and must not be blank: the worker does not answer blank lines.
        """
        data = line.encode("utf-8") if isinstance(line, str) else bytes(line)
        if b"\n" in data or b"\r" in data:
            raise ValueError("a request line must not contain a line break")
        if not data.decode("utf-8", "replace").strip():
            raise ValueError("the worker does not answer a blank line")
        return self._exchange(data + b"\n", timeout, _is_quit(data))

    # -- internals --------------------------------------------------------

    def _exchange(self, data: bytes, timeout: Timeout, quitting: bool) -> Answer:
        timeout = self.timeout if timeout is _UNSET else timeout
        _check_timeout(timeout)
        with self._call_lock:
            proc, stray = self._ready_process()
            deadline = None if timeout is None else time.monotonic() + timeout
            try:
                proc.send(data)
                answer = self._await_answer(proc, stray, deadline, timeout)
            except BaseException:
                # Without its answer the worker's state is unknown (this also
                # covers KeyboardInterrupt in the host): never reuse it.
                self._discard(proc)
                raise
            if quitting:
                self._discard(proc, _EXIT_GRACE)
            return answer

    def _ready_process(self) -> tuple[_Process, list[str]]:
        """The live process, started if needed, and output it printed since its last answer."""
        stray: list[str] = []
        proc = self._proc
        if proc is not None:
            lines, ended = proc.drain()
            stray = [_decode_line(line) for line in lines]
            if ended or proc.exited():
                self._discard(proc)
                proc = None
        if proc is None:
            with self._state_lock:
                if self._closed:
                    raise WorkerClosed("the worker is closed")
                proc = self._proc = _Process(self.command, self._env, self._cwd, self._stderr_limit)
        return proc, stray

    def _await_answer(self, proc: _Process, stray: list[str], deadline: float | None,
                      timeout: Timeout) -> Answer:
        exit_seen = False
        while True:
            wait = _POLL_INTERVAL
            if deadline is not None:
                wait = min(wait, deadline - time.monotonic())
            try:
                if wait <= 0:
                    raise queue.Empty
                line = proc.lines.get(timeout=wait)
            except queue.Empty:
                if deadline is not None and time.monotonic() >= deadline:
                    self._discard(proc)
                    stray.extend(_decode_line(line) for line in proc.drain()[0])
                    if self._closed:
                        raise WorkerClosed("the worker was closed during the call") from None
                    raise WorkerTimeout(timeout, stray, proc.stderr_tail()) from None
                if exit_seen:  # ended, but something it started holds its stdout
                    break
                exit_seen = proc.exited()  # if so, take what is still in flight first
                continue
            if line is _EOF:
                break
            before, answer = _split_answer(line)
            if answer is not None:
                if before:
                    stray.append(_decode_line(before))
                return Answer(answer, stray)
            stray.append(_decode_line(line))
        self._discard(proc, _EXIT_GRACE)
        if self._closed:
            raise WorkerClosed("the worker was closed during the call")
        raise WorkerDied(proc.returncode, proc.stderr_tail(), stray)

    def _discard(self, proc: _Process, grace: float = 0.0) -> None:
        proc.stop(grace)
        with self._state_lock:
            self._last_stderr = proc.stderr_tail()
            if self._proc is proc:
                self._proc = None


def _is_quit(data: bytes) -> bool:
    try:
        value = json.loads(data)
    except (ValueError, RecursionError):
        return False
    return type(value) is dict and value.get("action") == "quit"


# --------------------------------------------------------------------------
# WorkerPool


class WorkerPool(_Actions):
    """``size`` workers shared by any number of threads.

    Each call waits for a free worker and runs on it; the call's ``timeout``
    counts from the moment the request is sent, not while waiting for a worker.
    A worker that timed out or died is replaced by a fresh process on its next
    use.  Processes start on first use (or all at once with :meth:`start`); the
    pool reuses the most recently freed worker first.  The other arguments are
    those of :class:`Worker`.

    :meth:`close` (or leaving a ``with`` block) reaps every process: calls still
    running are cut short with :class:`WorkerClosed`, as are later calls.
    """

    def __init__(self, size: int, command: Sequence[str] | None = None, *,
                 timeout: Timeout = None, env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike | None = None,
                 stderr_limit: int = DEFAULT_STDERR_LIMIT):
        if isinstance(size, bool) or not isinstance(size, int):
            raise TypeError(f"size must be an int, not {type(size).__name__}")
        if size < 1:
            raise ValueError("a pool needs at least one worker")
        self._workers = [Worker(command, timeout=timeout, env=env, cwd=cwd,
                                stderr_limit=stderr_limit) for _ in range(size)]
        self._idle = list(reversed(self._workers))
        self._cond = threading.Condition()
        self._closed = False

    @property
    def size(self) -> int:
        return len(self._workers)

    @property
    def workers(self) -> tuple[Worker, ...]:
        return tuple(self._workers)

    def pids(self) -> list[int]:
        """PIDs of the worker processes currently running."""
        return [pid for pid in (w.pid for w in self._workers) if pid is not None]

    def start(self) -> "WorkerPool":
        """Start every worker process now."""
        for worker in self._workers:
            worker.start()
        return self

    def request(self, request: Mapping[str, Any], timeout: Timeout = _UNSET) -> Answer:
        """:meth:`Worker.request` on a free worker."""
        return self._on_free_worker(Worker.request, request, timeout)

    def request_line(self, line: str | bytes, timeout: Timeout = _UNSET) -> Answer:
        """:meth:`Worker.request_line` on a free worker."""
        return self._on_free_worker(Worker.request_line, line, timeout)

    def close(self) -> None:
        """Stop and reap every worker process."""
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        for worker in self._workers:
            worker.close()

    def __enter__(self) -> "WorkerPool":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"pids={self.pids()}"
        return f"<{type(self).__name__} size={self.size} {state}>"

    def _on_free_worker(self, method: Callable[..., Answer], *args: Any) -> Answer:
        with self._cond:
            while not self._idle and not self._closed:
                self._cond.wait()
            if self._closed:
                raise WorkerClosed("the pool is closed")
            worker = self._idle.pop()
        try:
            return method(worker, *args)
        finally:
            with self._cond:
                self._idle.append(worker)
                self._cond.notify()
