"""Answers, the errors of a call, and the channel that turns a worker's output into them.

Nothing here reads or waits: a driver feeds a :class:`Channel` the bytes it
read from the worker's pipes.  The worker writes its answers on a pipe of
their own, apart from standard output, so an answer is recognised by where it
comes from, never by its shape: whatever a tool prints is stray output.
"""

from __future__ import annotations

import json.scanner
import signal
from collections.abc import Mapping
from typing import Any

from vantor.workers.errors import WorkerClosed, WorkerError, WorkerStartError  # noqa: F401
from vantor.workers.client.usage import Usage

#: Default size, in bytes, of the kept tail of a worker's standard error.
DEFAULT_STDERR_LIMIT = 64 * 1024

#: Default number of bytes of worker output accepted for one call.
DEFAULT_OUTPUT_LIMIT = 32 * 1024 * 1024

#: What each line of stray output counts towards the output limit over its
#: bytes: about what the host pays for the ``str`` that holds it in
#: :attr:`Answer.stray`, so that a flood of short lines costs the host no
#: more than the limit.
LINE_COST = 64

# Lines of standard error quoted in the message of WorkerDied.
QUOTED_STDERR_LINES = 20

# --------------------------------------------------------------------------
# Answers and errors


def with_stderr_tail(message: str, stderr: str) -> str:
    """``message``, followed by the last lines of a worker's standard error, if any."""
    quoted = "\n".join(stderr.rstrip().splitlines()[-QUOTED_STDERR_LINES:])
    return message + "; its standard error ends with:\n" + quoted if quoted else message


def decode_stray(raw: bytes) -> list[str]:
    """Lines of stray output, decoded as UTF-8 and without their line ends."""
    if not raw:
        return []
    lines = raw.split(b"\n")
    if not lines[-1]:
        lines.pop()
    return [(line[:-1] if line.endswith(b"\r") else line).decode("utf-8", "replace")
            for line in lines]


class _StrayLines:
    """Holds stray output as the bytes read and decodes it into lines on first use.

    A ``str`` per line costs the host about :data:`LINE_COST` bytes over the
    line itself, which the output limit counts; once decoded, the bytes go.
    """

    _stray_raw: bytes
    _stray_lines: list[str] | None

    @property
    def stray(self) -> list[str]:
        lines = self._stray_lines
        if lines is None:
            # The bytes are let go once decoded: the host holds one copy.
            lines = self._stray_lines = decode_stray(self._stray_raw)
            self._stray_raw = b""
        return lines

    @stray.setter
    def stray(self, lines: list[str]) -> None:
        self._stray_lines = list(lines)


class Answer(_StrayLines, dict):
    """The worker's answer to one request.

    The dict holds the answer exactly as the worker wrote it: ``"success"``
    first, then ``"result"`` (on success) or ``"error"`` (a text, on failure).

    :attr:`stray` lists the lines the worker wrote on its standard output
    during the call, in order, decoded as UTF-8 (undecodable bytes replaced)
    and without their line ends: mostly what ``run_function`` code printed
    (``run_script`` and ``run_inline`` capture their output into the answer).
    The answer itself travels on a pipe of its own, so no printed line, of
    whatever shape, is ever taken for it.  :attr:`usage` says what the call
    cost (see :mod:`vantor.workers.client.usage`).  Output written after the answer,
    before the next request (by a thread a tool left running), retires the
    worker before that request is sent; what such a thread prints while a
    later call runs shares that call's process and is that call's stray.
    """

    __slots__ = ("_stray_raw", "_stray_lines", "_usage")

    def __init__(self, answer: Mapping[str, Any], stray: list[str] | None = None, *,
                 stray_raw: bytes = b""):
        super().__init__(answer)
        self._stray_raw = stray_raw
        self._stray_lines = list(stray) if stray is not None else None
        # What the call cost: a Usage, or what one is made of (the call's wall time
        # and its CPU count), made into one when first asked for.
        self._usage: Any = None

    @property
    def usage(self) -> Usage | None:
        """What the call cost (see :class:`~vantor.workers.client.usage.Usage`)."""
        usage = self._usage
        if type(usage) is tuple:
            usage = self._usage = Usage(*usage)
        return usage

    @usage.setter
    def usage(self, usage: Usage | None) -> None:
        self._usage = usage

    def __getstate__(self) -> Any:
        self.usage  # noqa: B018  (a copy carries the figures, not the counter)
        return super().__getstate__()

    @property
    def ok(self) -> bool:
        """True when the worker carried the request out (``"success"`` is true)."""
        return self.get("success") is True

    def __repr__(self) -> str:
        return f"Answer({dict.__repr__(self)}, stray={self.stray!r})"


class _CallError(_StrayLines, WorkerError):
    def __init__(self, message: str, stray: list[str] | None, stderr: str, stray_raw: bytes):
        super().__init__(message)
        self.stderr = stderr
        self._stray_raw = stray_raw
        self._stray_lines = list(stray) if stray is not None else None

    def __reduce__(self) -> tuple[Any, ...]:
        # Each subclass's constructor takes what its message is made of, not the
        # message: a copy (pickle, another process, a Ray task) is rebuilt whole.
        return _rebuilt_error, (type(self), self.args, self.__dict__)


def _rebuilt_error(kind: type[_CallError], args: tuple[Any, ...],
                   state: dict[str, Any]) -> _CallError:
    error = kind.__new__(kind)
    Exception.__init__(error, *args)
    error.__dict__.update(state)
    return error


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
        super().__init__(with_stderr_tail(message, stderr), stray, stderr, stray_raw)
        self.returncode = returncode
        self.reason = reason


class WorkerOutputLimit(_CallError):
    """The worker wrote more than ``limit`` bytes for one call; it has been killed.

    Each line of stray output counts :data:`LINE_COST` bytes more than its
    length.  ``stray`` holds what was read before the limit was reached.  The
    next call starts a fresh process.
    """

    def __init__(self, limit: int, stray: list[str] | None = None, stderr: str = "", *,
                 stray_raw: bytes = b""):
        super().__init__(f"the worker wrote more than {limit} bytes for one call and was killed",
                         stray, stderr, stray_raw)
        self.limit = limit


class WorkerProtocolError(_CallError):
    """The worker's answer pipe held what no call can own; the worker has been killed.

    That is a second answer to one request, or a line that is not an answer.
    The worker writes neither: only code that writes to the worker's answer
    descriptor itself does.  ``stray`` and ``stderr`` are as for
    :class:`WorkerDied`.  The next call starts a fresh process.
    """

    def __init__(self, what: str, stray: list[str] | None = None, stderr: str = "", *,
                 stray_raw: bytes = b""):
        super().__init__(f"the worker's answer pipe held {what}; the worker was killed",
                         stray, stderr, stray_raw)
        self.what = what


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
    """Whether ``value`` has the worker's answer shape: ``"success"``, then
    ``"result"`` or a text ``"error"``."""
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


# json.loads' own scanner, called directly: an answer line needs none of the
# layers above it.  It raises StopIteration where there is no JSON value.
_scan_json = json.scanner.make_scanner(json.JSONDecoder())


def decode_line(text: str) -> Any:
    """The JSON value that ``text`` holds, followed only by white space."""
    value, end = _scan_json(text, 0)
    if end != len(text) and not text[end:].isspace():
        raise ValueError("extra data after the value")
    return value


class OutputLimitReached(Exception):
    """Raised by :class:`Channel` past the output limit."""


class OutOfPlace(Exception):
    """Raised by :meth:`Channel.feed_answer` for what no call can own; says what it was."""


class Channel:
    """What one worker process has written, turned into answers.

    A driver calls :meth:`begin` before it sends a request, then feeds each
    chunk read from standard output to :meth:`feed` (stray output) and each
    chunk read from the answer pipe to :meth:`feed_answer`, which returns the
    :class:`Answer` once its line is complete.  The worker flushes its output
    before it answers, so a driver that feeds standard output first, of
    whatever it finds ready together with the answer, gives the answer all of
    the call's stray output.  Chunks of standard error go to
    :meth:`feed_stderr`.

    At most ``output_limit`` bytes are taken for one call, each stray line
    counting :data:`LINE_COST` more; past it :class:`OutputLimitReached` is
    raised and the driver kills the worker.  Every scan looks only at the new
    chunk, so a call costs time linear in its output, whatever its shape.
    """

    __slots__ = ("output_limit", "_stray", "_taken", "_answer", "_tail", "_tail_limit",
                 "keep_rest", "rest")

    def __init__(self, output_limit: int | None, stderr_limit: int, keep_rest: bool = False):
        self.output_limit = output_limit
        # A template writes its end line right after the answer: what follows
        # the answer's line is then kept in ``rest`` for the driver to check.
        self.keep_rest = keep_rest
        self.rest = b""
        self._stray = bytearray()
        self._taken = 0
        self._answer = bytearray()  # an answer line not complete yet
        self._tail = bytearray()
        self._tail_limit = stderr_limit

    def begin(self) -> None:
        """Start a call, before its request is sent."""
        if self._stray:  # answers copy it: an empty one can be kept
            self._stray = bytearray()
        self._answer.clear()
        self._taken = 0

    def feed(self, data: bytes) -> None:
        """Take a chunk of standard output: stray output of this call."""
        self._taken += len(data) + LINE_COST * data.count(b"\n")
        if self.output_limit is not None and self._taken > self.output_limit:
            raise OutputLimitReached
        self._stray += data

    def feed_answer(self, data: bytes) -> Answer | None:
        """Take a chunk of the answer pipe; the answer once its line is complete.

        The answer carries the stray output fed so far.  Raises
        :class:`OutOfPlace` when more follows the answer's line or the line is
        not an answer.
        """
        self._taken += len(data)
        if self.output_limit is not None and self._taken > self.output_limit:
            raise OutputLimitReached
        end = data.find(b"\n")
        buffer = self._answer
        if buffer or end == -1:
            start = len(buffer)
            buffer += data
            end = buffer.find(b"\n", start)
            if end == -1:
                return None
            data = bytes(buffer)
            buffer.clear()
        if end != len(data) - 1:
            if not self.keep_rest:
                raise OutOfPlace("more than one answer to a request")
            self.rest = bytes(data[end + 1:])
            data = data[:end + 1]
        try:
            value = decode_line(data.decode("utf-8"))
        except (ValueError, RecursionError, StopIteration):
            value = None
        if not is_answer(value):
            raise OutOfPlace("a line that is not an answer")
        return Answer(value, stray_raw=bytes(self._stray) if self._stray else b"")

    def end(self) -> bytes:
        """The stray output of a call that got no answer."""
        stray = bytes(self._stray)
        self._stray = bytearray()
        self._answer.clear()
        return stray

    def feed_stderr(self, data: bytes) -> None:
        tail = self._tail
        tail += data
        excess = len(tail) - self._tail_limit
        if excess > 0:
            del tail[:excess]

    def forget_stderr(self) -> None:
        self._tail.clear()

    def stderr_text(self) -> str:
        return self._tail.decode("utf-8", "replace")
