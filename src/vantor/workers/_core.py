"""The I/O core under every client: answers, errors, framing and process handles.

Nothing here blocks or waits.  A driver (the blocking :class:`Worker`, the
asyncio :class:`AsyncWorker`) owns the waiting: it reads whatever bytes the
worker's pipes hold and feeds them to a :class:`Channel`, which recognises the
answer among stray lines, keeps the tail of standard error and enforces the
output limit.  :class:`Process` starts and stops one worker process, sandboxed
or not, the same way for both drivers.
"""

from __future__ import annotations

import fcntl
import json
import json.encoder
import json.scanner
import os
import signal
import socket
import subprocess
import sys
import termios
import weakref
from collections import deque
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Union

#: The command that starts an unsandboxed worker when none is given.
DEFAULT_COMMAND: tuple[str, ...] = (sys.executable, "-m", "vantor.workers")

#: Default size, in bytes, of the kept tail of a worker's standard error.
DEFAULT_STDERR_LIMIT = 64 * 1024

#: Default number of bytes of worker output accepted for one call.
DEFAULT_OUTPUT_LIMIT = 32 * 1024 * 1024

Timeout = Union[float, int, None]

UNSET: Any = object()  # "use the worker's default"

ANSWER_START = b'{"success": '
# Lines of standard error quoted in the message of WorkerDied.
_QUOTED_STDERR_LINES = 20
# First read size; a read that fills it is followed by bigger ones.
READ_SIZE = 64 * 1024
BIG_READ_SIZE = 1024 * 1024
# Room in the worker's output pipe: a large answer then needs few wake-ups.
_PIPE_SIZE = 1024 * 1024
# How long a worker may take to end once its input is closed or it was asked to stop.
EXIT_GRACE = 1.0


# --------------------------------------------------------------------------
# Answers and errors


def decode_stray(raw: bytes) -> list[str]:
    """Lines of stray output, decoded as UTF-8 and without their line ends."""
    if not raw:
        return []
    lines = raw.split(b"\n")
    lines.pop()  # every kept line ends with a line feed
    return [(line[:-1] if line.endswith(b"\r") else line).decode("utf-8", "replace")
            for line in lines]


class _StrayLines:
    """Holds stray output as the bytes read and decodes it into lines on first use.

    Two million short lines kept as ``str`` objects cost the host several times
    their size; kept as bytes they cost what the output limit allows.
    """

    _stray_raw: bytes
    _stray_lines: list[str] | None

    @property
    def stray(self) -> list[str]:
        lines = self._stray_lines
        if lines is None:
            lines = self._stray_lines = decode_stray(self._stray_raw)
        return lines

    @stray.setter
    def stray(self, lines: list[str]) -> None:
        self._stray_lines = list(lines)


class Answer(_StrayLines, dict):
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

    __slots__ = ("_stray_raw", "_stray_lines")

    def __init__(self, answer: Mapping[str, Any], stray: list[str] | None = None, *,
                 stray_raw: bytes = b""):
        super().__init__(answer)
        self._stray_raw = stray_raw
        self._stray_lines = list(stray) if stray is not None else None

    @property
    def ok(self) -> bool:
        """True when the worker carried the request out (``"success"`` is true)."""
        return self.get("success") is True

    def __repr__(self) -> str:
        return f"Answer({dict.__repr__(self)}, stray={self.stray!r})"


class WorkerError(Exception):
    """Base class of the errors raised by the clients."""


class WorkerClosed(WorkerError):
    """The worker or pool was closed, before the call or while it ran."""


class WorkerStartError(WorkerError):
    """A worker process could not be started (for a sandbox: what is missing).

    ``missing`` names the protections that the machine could not provide, when
    that was the reason; see :mod:`vantor.workers.sandbox`.
    """

    def __init__(self, message: str, missing: Sequence[str] = ()):
        super().__init__(message)
        self.missing: tuple[str, ...] = tuple(missing)


class _CallError(_StrayLines, WorkerError):
    def __init__(self, message: str, stray: list[str] | None, stderr: str, stray_raw: bytes):
        super().__init__(message)
        self.stderr = stderr
        self._stray_raw = stray_raw
        self._stray_lines = list(stray) if stray is not None else None


class WorkerTimeout(_CallError, TimeoutError):
    """The worker did not answer in time; it has been killed.

    Attributes: ``timeout`` (seconds), ``stray`` (lines printed before the
    kill, as in :attr:`Answer.stray`), ``stderr`` (tail of standard error).
    The next call on the same worker starts a fresh process.
    """

    def __init__(self, timeout: float, stray: list[str] | None = None, stderr: str = "", *,
                 stray_raw: bytes = b""):
        super().__init__(f"the worker did not answer within {timeout:g} s and was killed",
                         stray, stderr, stray_raw)
        self.timeout = timeout


class WorkerDied(_CallError):
    """The worker ended without answering the request.

    Attributes: ``returncode`` (as :attr:`subprocess.Popen.returncode`:
    negative for a signal), ``stderr`` (the kept tail of the worker's standard
    error, which ends with the exception that stopped it, or the text given to
    ``sys.exit``), ``stray`` (lines printed before it ended), ``reason`` (a
    sandbox limit that was hit, such as the memory limit, or ``""``).  The
    message quotes the last lines of ``stderr``.  The next call starts a fresh
    process.
    """

    def __init__(self, returncode: int | None, stderr: str = "",
                 stray: list[str] | None = None, *, stray_raw: bytes = b"", reason: str = ""):
        message = f"the worker ended with {describe_exit(returncode)} without answering"
        if reason:
            message += f" ({reason})"
        quoted = "\n".join(stderr.rstrip().splitlines()[-_QUOTED_STDERR_LINES:])
        if quoted:
            message += "; its standard error ends with:\n" + quoted
        super().__init__(message, stray, stderr, stray_raw)
        self.returncode = returncode
        self.reason = reason


class WorkerOutputLimit(_CallError):
    """The worker wrote more than ``limit`` bytes for one call; it has been killed.

    ``stray`` holds the complete lines read before the limit was reached.  The
    next call starts a fresh process.
    """

    def __init__(self, limit: int, stray: list[str] | None = None, stderr: str = "", *,
                 stray_raw: bytes = b""):
        super().__init__(f"the worker wrote more than {limit} bytes for one call and was killed",
                         stray, stderr, stray_raw)
        self.limit = limit


def describe_exit(returncode: int | None) -> str:
    if returncode is None:
        return "an unknown status"
    if returncode < 0:
        try:
            return f"signal {signal.Signals(-returncode).name}"
        except ValueError:
            return f"signal {-returncode}"
    return f"exit code {returncode}"


# --------------------------------------------------------------------------
# Recognising the answer


def is_answer(value: Any) -> bool:
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


# The defaults of json.dumps and json.loads, without their per-call argument handling.
_encode_json = json.JSONEncoder().encode
# json's C encoder, made once: json.dumps builds one for every call.  It
# checks no cycles (a cyclic request ends in RecursionError, made a
# ValueError below as json.dumps would); without the C accelerator, json.dumps.
_c_encoder = json.encoder.c_make_encoder and json.encoder.c_make_encoder(
    None, json.JSONEncoder().default, json.encoder.encode_basestring_ascii, None, ": ", ", ",
    False, False, True)
# json.loads' own scanner, called directly: an answer line needs none of the
# layers above it.  It raises StopIteration where there is no JSON value.
_scan_json = json.scanner.make_scanner(json.JSONDecoder())


def _decode_line(text: str) -> Any:
    """The JSON value that ``text`` holds, followed only by white space."""
    value, end = _scan_json(text, 0)
    if end != len(text) and not text[end:].isspace():
        raise ValueError("extra data after the value")
    return value


def split_answer(line: bytes) -> tuple[bytes, dict | None]:
    """Split one line of worker output into (text before the answer, answer).

    Without an answer on the line, returns (line, None).  The answer is always
    the end of its line, and the worker writes it starting with
    ``{"success": ``; text printed without a line feed may precede it.
    """
    start = line.find(ANSWER_START)
    while start != -1:
        try:
            value = _decode_line((line[start:] if start else line).decode("utf-8"))
        except (ValueError, RecursionError, StopIteration):
            pass
        else:
            if is_answer(value):
                return line[:start], value
        start = line.find(ANSWER_START, start + 1)
    return line, None


class OutputLimitReached(Exception):
    """Raised by :meth:`Channel.feed` past the output limit."""


class Channel:
    """What one worker process has written, turned into answers.

    A driver calls :meth:`begin` before it sends a request, then :meth:`feed`
    with each chunk read from standard output until it returns an
    :class:`Answer`; chunks of standard error go to :meth:`feed_stderr`.
    Output that follows an answer in the same chunk stays buffered for the
    next call.  At most ``output_limit`` bytes are taken for one call, counted
    from the first byte of output not taken by an earlier call; past it,
    :meth:`feed` raises :class:`OutputLimitReached` and the driver kills the
    worker.  So the host holds about one limit's worth of output, never more.
    """

    __slots__ = ("output_limit", "_buffer", "_stray", "_taken", "_tail", "_tail_limit")

    def __init__(self, output_limit: int | None, stderr_limit: int):
        self.output_limit = output_limit
        self._buffer = bytearray()  # output after the last complete line taken
        self._stray = bytearray()
        self._taken = 0
        self._tail = bytearray()
        self._tail_limit = stderr_limit

    def begin(self) -> None:
        """Start a call, before its request is sent.

        Output left over from the last call counts towards this one's limit.
        Its complete lines are stray output of this call, never its answer,
        since they were written before the request.
        """
        if self._stray:  # answers copy it: an empty one can be kept
            self._stray = bytearray()
        self._taken = 0
        buffer = self._buffer
        if buffer:
            self._taken = len(buffer)
            cut = buffer.rfind(b"\n") + 1
            if cut:
                self._stray += buffer[:cut]
                del buffer[:cut]
            if self.output_limit is not None and self._taken > self.output_limit:
                raise OutputLimitReached

    def untouched(self) -> bool:
        """Whether this call has had no output at all, left over or new."""
        return self._taken == 0

    def feed(self, data: bytes) -> Answer | None:
        """Take a chunk of standard output; return the answer once it is complete."""
        self._taken += len(data)
        if self.output_limit is not None and self._taken > self.output_limit:
            raise OutputLimitReached
        buffer = self._buffer
        if not buffer and data.find(b"\n") == len(data) - 1 and data:
            # The usual case: the chunk is exactly one whole line, the answer alone.
            if not self._stray and data.startswith(ANSWER_START):
                try:
                    value = _decode_line(data.decode("utf-8"))
                except (ValueError, RecursionError, StopIteration):
                    value = None
                if is_answer(value):
                    return Answer(value)
            return self._take_line(data)
        scan = len(buffer)
        buffer += data
        start = 0
        end = buffer.find(b"\n", scan)
        while end != -1:
            answer = self._take_line(bytes(buffer[start:end + 1]))
            if answer is not None:
                self._buffer = buffer[end + 1:]
                return answer
            start = end + 1
            end = buffer.find(b"\n", start)
        if start:
            del buffer[:start]
        return None

    def _take_line(self, line: bytes) -> Answer | None:
        before, answer = split_answer(line)
        if answer is None:
            self._stray += line
            return None
        if before:
            self._stray += before
            self._stray += b"\n"
        return Answer(answer, stray_raw=bytes(self._stray))

    def end(self) -> bytes:
        """The stray output of a call that got no answer (a partial last line included)."""
        stray = self._stray
        if self._buffer:
            stray += self._buffer
            stray += b"\n"
            self._buffer = bytearray()
        self._stray = bytearray()
        return bytes(stray)

    def feed_stderr(self, data: bytes) -> None:
        tail = self._tail
        tail += data
        excess = len(tail) - self._tail_limit
        if excess > 0:
            del tail[:excess]

    def stderr_text(self) -> str:
        return self._tail.decode("utf-8", "replace")


# --------------------------------------------------------------------------
# Checking arguments


def check_timeout(timeout: Timeout) -> None:
    if timeout is None:
        return
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if not timeout > 0:
        raise ValueError("timeout must be positive")


def check_limit(name: str, value: int | None, *, allow_none: bool = True) -> None:
    if value is None and allow_none:
        return
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1")


def args_member(args: Mapping[str, Any] | None) -> dict | None:
    if args is None:
        return None
    if not isinstance(args, Mapping):
        raise TypeError(f"args must be a mapping or None, not {type(args).__name__}")
    return dict(args)


def text_member(name: str, value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def encode_request(request: Mapping[str, Any]) -> tuple[bytes, bool]:
    """The request as a line, and whether it asks the worker to quit."""
    if type(request) is not dict:
        if not isinstance(request, Mapping):
            raise TypeError(f"request must be a mapping, not {type(request).__name__}")
        request = dict(request)
    if _c_encoder is None:
        text = _encode_json(request)
    else:
        try:
            text = "".join(_c_encoder(request, 0))
        except RecursionError:
            raise ValueError("the request is nested too deeply or holds itself") from None
    line = text.encode("ascii") + b"\n"
    return line, request.get("action") == "quit"


def encode_request_line(line: str | bytes) -> tuple[bytes, bool]:
    data = line.encode("utf-8") if isinstance(line, str) else bytes(line)
    if b"\n" in data or b"\r" in data:
        raise ValueError("a request line must not contain a line break")
    if not data.decode("utf-8", "replace").strip():
        raise ValueError("the worker does not answer a blank line")
    try:
        value = json.loads(data)
    except (ValueError, RecursionError):
        quitting = False
    else:
        quitting = type(value) is dict and value.get("action") == "quit"
    return data + b"\n", quitting


class Actions:
    """``run_script``, ``run_inline``, ``run_function`` and ``validate`` on top of ``request``.

    For the asyncio clients ``request`` is a coroutine function, and so are these.
    """

    def request(self, request: Mapping[str, Any], timeout: Timeout = UNSET) -> Any:
        raise NotImplementedError

    def run_script(self, path: str | os.PathLike, args: Mapping[str, Any] | None = None, *,
                   timeout: Timeout = UNSET) -> Any:
        """Run a script file; its captured output is in the answer's ``"result"``.

        ``args`` is handed to the script as its global ``args``.
        """
        request = {"action": "run_script", "path": os.fspath(path), "args": args_member(args)}
        return self.request(request, timeout)

    def run_inline(self, code: str, args: Mapping[str, Any] | None = None, *,
                   timeout: Timeout = UNSET) -> Any:
        """Run a string of Python source; its captured output is in the answer's ``"result"``."""
        request = {"action": "run_inline", "code": text_member("code", code),
                   "args": args_member(args)}
        return self.request(request, timeout)

    def run_function(self, path: str | os.PathLike, function: str = "main",
                     args: Mapping[str, Any] | None = None, *, timeout: Timeout = UNSET) -> Any:
        """Load a script file as a module and call ``function(**args)``.

        Nothing is captured: what the code prints comes back in :attr:`Answer.stray`.
        """
        request = {"action": "run_function", "path": os.fspath(path),
                   "function": text_member("function", function), "args": args_member(args)}
        return self.request(request, timeout)

    def validate(self, code: str, *, timeout: Timeout = UNSET) -> Any:
        """Check that ``code`` compiles; the verdict is ``answer["result"]["valid"]``."""
        return self.request({"action": "validate", "code": text_member("code", code)}, timeout)


# --------------------------------------------------------------------------
# Statistics


@dataclass(frozen=True)
class WorkerStats:
    """Counters of a worker or pool since it was made, and recent latencies.

    ``calls`` counts finished calls: ``answered`` ones (of which ``failed``
    answered ``"success": false``), ``timeouts``, ``deaths`` (:class:`WorkerDied`),
    ``output_limits``, ``cancelled`` (asyncio calls whose task was
    cancelled) and ``errors`` (closed, could not start).  ``started``
    counts worker processes started, ``restarts`` those that replaced one that
    ended, ``recycled`` those retired after ``max_requests``.  Latencies, in
    seconds from sending to the answer, are percentiles of the last
    ``latency_window`` answered calls (None before the first).
    """

    calls: int = 0
    answered: int = 0
    failed: int = 0
    timeouts: int = 0
    deaths: int = 0
    output_limits: int = 0
    errors: int = 0
    started: int = 0
    restarts: int = 0
    recycled: int = 0
    cancelled: int = 0
    latency_p50: float | None = None
    latency_p90: float | None = None
    latency_p99: float | None = None
    latency_window: int = 0

    def as_dict(self) -> dict[str, Any]:
        return dict(self.__dict__)


class StatsRecorder:
    """Cheap counters; callers hold whatever lock guards them (answers are
    counted by :class:`~vantor.workers._base.SharedStats` itself)."""

    LATENCY_WINDOW = 1024

    def __init__(self) -> None:
        self.counts = dict.fromkeys(
            ("calls", "answered", "failed", "timeouts", "deaths", "output_limits", "errors",
             "started", "restarts", "recycled", "cancelled"), 0)
        self.latencies: deque[float] = deque(maxlen=self.LATENCY_WINDOW)

    def failed(self, error: BaseException, cancelled: bool = False) -> None:
        counts = self.counts
        counts["calls"] += 1
        if cancelled:
            counts["cancelled"] += 1
        elif isinstance(error, WorkerTimeout):
            counts["timeouts"] += 1
        elif isinstance(error, WorkerDied):
            counts["deaths"] += 1
        elif isinstance(error, WorkerOutputLimit):
            counts["output_limits"] += 1
        else:
            counts["errors"] += 1

    def count(self, name: str) -> None:
        self.counts[name] += 1

    def snapshot(self) -> WorkerStats:
        ordered = sorted(self.latencies)
        percentiles: dict[str, float | None] = {}
        for name, share in (("latency_p50", 0.50), ("latency_p90", 0.90), ("latency_p99", 0.99)):
            percentiles[name] = (ordered[min(len(ordered) - 1, int(share * len(ordered)))]
                                 if ordered else None)
        return WorkerStats(**self.counts, **percentiles, latency_window=len(ordered))


# --------------------------------------------------------------------------
# Processes


@dataclass
class Launch:
    """How to start one worker process, and what to undo once it has ended.

    A sandbox adds a control socket: the process reports on it whether its
    sandbox is in force, and its closing tells the process to stop everything.
    """

    argv: list[str]
    env: Mapping[str, str] | None = None
    cwd: str | None = None
    pass_fds: tuple[int, ...] = ()
    control: socket.socket | None = None
    after_spawn: Callable[[], None] = lambda: None
    cleanup: Callable[[], None] = lambda: None
    describe_death: Callable[[int | None], str] = lambda returncode: ""
    context: dict[str, Any] = field(default_factory=dict)


def _terminate(popen: subprocess.Popen, control: socket.socket | None,
               cleanup: Callable[[], None]) -> None:
    """Stop and reap a worker process; runs once, also at garbage collection and exit."""
    if control is not None and popen.returncode is None:
        # The sandbox's supervisor stops and reaps everything inside when
        # its control socket closes; kill the group only if it does not.
        _shutdown_quietly(control)
        try:
            popen.wait(EXIT_GRACE)
        except subprocess.TimeoutExpired:
            pass
    kill_group(popen)
    popen.wait()
    for stream in (popen.stdin, popen.stdout, popen.stderr):
        if stream is not None:
            try:
                stream.close()
            except OSError:
                pass
    if control is not None:
        control.close()
    cleanup()


def kill_group(popen: subprocess.Popen) -> None:
    # The worker leads its own process group: this also stops what it started,
    # even once the worker itself has been reaped (its number stays taken as
    # long as the group has members).
    try:
        os.killpg(popen.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        popen.kill()  # does nothing once the process has been reaped
    except OSError:
        pass


def _shutdown_quietly(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class Process:
    """One worker process: its pipes (non-blocking), its channel and its sandbox.

    The process leads its own session and process group.  Stopping it
    (:meth:`stop`) asks a sandboxed process to tear down everything inside its
    sandbox and kills the group of an unsandboxed one; the pipes are closed
    and the process reaped by :meth:`release`, or by a finalizer at garbage
    collection and interpreter exit.
    """

    def __init__(self, launch: Launch, output_limit: int | None, stderr_limit: int):
        try:
            self.popen = subprocess.Popen(
                launch.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, env=launch.env, cwd=launch.cwd,
                pass_fds=launch.pass_fds, start_new_session=True, bufsize=0)
        except BaseException:
            if launch.control is not None:
                launch.control.close()
            launch.after_spawn()
            launch.cleanup()
            raise
        launch.after_spawn()
        self.launch = launch
        self.pid = self.popen.pid
        self.stdin_fd = self.popen.stdin.fileno()
        self.stdout_fd = self.popen.stdout.fileno()
        self.stderr_fd = self.popen.stderr.fileno()
        for fd in (self.stdin_fd, self.stdout_fd, self.stderr_fd):
            os.set_blocking(fd, False)
        try:
            fcntl.fcntl(self.stdout_fd, fcntl.F_SETPIPE_SZ, _PIPE_SIZE)
        except OSError:
            pass
        self.control = launch.control
        self.control_buffer = b""
        self.report: dict[str, Any] | None = None if self.control is not None else {}
        self.channel = Channel(output_limit, stderr_limit)
        self.requests = 0
        self.sent = 0  # bytes of the current call's request written so far
        self.stdout_open = True
        self.stderr_open = True
        self.stopping = False
        self.input_closed = False
        self._finalizer = weakref.finalize(self, _terminate, self.popen, self.control,
                                           launch.cleanup)

    @property
    def ready(self) -> bool:
        """Whether the worker has reported in (always, without a sandbox)."""
        return self.report is not None

    @property
    def returncode(self) -> int | None:
        return self.popen.returncode

    def exited(self) -> bool:
        """Whether the process has ended (it is reaped by the next ``popen.poll()``)."""
        if self.popen.returncode is not None:
            return True
        # Every call asks this: waitid without reaping is a third of poll()'s cost.
        try:
            ended = os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT)
        except ChildProcessError:  # reaped already, elsewhere
            ended = True
        return ended is not None and self.popen.poll() is not None

    def begin(self) -> None:
        """Start a call, before its request is written (see :meth:`Channel.begin`)."""
        self.sent = 0
        self.channel.begin()

    def write(self, data: memoryview) -> int:
        """Write what the pipe takes now; -1 once the worker stopped reading."""
        if self.input_closed:
            return -1
        try:
            written = os.write(self.stdin_fd, data)
            self.sent += written
            return written
        except BlockingIOError:
            return 0
        except (BrokenPipeError, OSError):
            return -1

    def never_took(self) -> bool:
        """Whether a worker found ended had ended before this call reached it.

        So it is when the bytes of the request written so far all still lie
        unread in its stdin and it wrote nothing during the call: the request
        can go to a fresh worker as if it were the first.
        """
        if not self.channel.untouched() or self.input_closed:
            return False
        try:
            unread = int.from_bytes(fcntl.ioctl(self.stdin_fd, termios.FIONREAD, bytes(4)),
                                    sys.byteorder, signed=True)
        except OSError:
            return False
        return unread == self.sent

    def read_stdout(self, size: int = READ_SIZE) -> bytes | None:
        """A chunk of standard output; b"" at its end, None when nothing is there yet."""
        try:
            data = os.read(self.stdout_fd, size)
        except BlockingIOError:
            return None
        except OSError:
            data = b""
        if not data:
            self.stdout_open = False
        return data

    def drain_stderr(self) -> bool:
        """Take what standard error holds now; False once it has ended."""
        while True:
            try:
                data = os.read(self.stderr_fd, READ_SIZE)
            except BlockingIOError:
                return True
            except OSError:
                data = b""
            if not data:
                self.stderr_open = False
                return False
            self.channel.feed_stderr(data)

    def read_control(self) -> bool:
        """Take the sandbox's report; True once it is complete (or the socket ended).

        Raises :class:`WorkerStartError` when the sandbox could not be set up.
        """
        try:
            data = self.control.recv(65536)
        except BlockingIOError:
            return False
        except OSError:
            data = b""
        if data:
            self.control_buffer += data
            if not self.control_buffer.endswith(b"\n"):
                return False
        report = parse_report(self.control_buffer)
        self.report = report
        return True

    def start_failure(self) -> WorkerStartError | None:
        """The error to raise if the sandbox's report says it could not start."""
        report = self.report
        if report is None or report.get("ready", True):
            return None
        message = report.get("error", "the sandbox could not be set up")
        # The supervisor's own words, e.g. why it could not even be imported.
        self.drain_stderr()
        tail = self.channel.stderr_text().rstrip().splitlines()[-_QUOTED_STDERR_LINES:]
        if tail:
            message += "\nits standard error ended with:\n" + "\n".join(tail)
        return WorkerStartError(message, report.get("missing", ()))

    def stop(self) -> None:
        """Start stopping the process; safe from any thread, does not wait."""
        self.stopping = True
        if self.control is not None and self.popen.returncode is None:
            _shutdown_quietly(self.control)
        else:
            kill_group(self.popen)

    def kill(self) -> None:
        """Kill the whole process group at once (the sandbox's supervisor too)."""
        self.stopping = True
        kill_group(self.popen)

    def close_input(self) -> None:
        """Close the worker's stdin: an idle worker then ends by itself.

        The process takes no further request, and its stdin descriptor, whose
        number the system may now give to any new file, is never used again.
        """
        self.stopping = True
        self.input_closed = True
        try:
            self.popen.stdin.close()
        except OSError:
            pass

    def release(self) -> None:
        """Stop, reap and clean up now (blocks up to about a second for a sandbox)."""
        self._finalizer()

    def released(self) -> bool:
        return not self._finalizer.alive

    def death_reason(self) -> str:
        return self.launch.describe_death(self.popen.returncode)

    def stray_and_stderr(self) -> tuple[bytes, str]:
        return self.channel.end(), self.channel.stderr_text()


def parse_report(data: bytes) -> dict[str, Any]:
    """The sandbox supervisor's one-line report; a socket that closed early is a failure."""
    try:
        report = json.loads(data) if data.strip() else None
    except ValueError:
        report = None
    if not isinstance(report, dict):
        return {"ready": False, "error": "the sandboxed worker ended before reporting in"}
    return report
