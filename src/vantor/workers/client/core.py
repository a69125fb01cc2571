"""What every client builds on: requests, the actions on top of them, and statistics.

Answers, errors and the channel that recognises answers are in
:mod:`.answers`; processes and their pipes in :mod:`.process`.  Both are
named here too, for the modules that take them from this one.
"""

from __future__ import annotations

import json
import json.encoder
import os
from collections import deque
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Union

from vantor.workers.client.answers import (  # noqa: F401  (named here for the modules above)
    DEFAULT_OUTPUT_LIMIT,
    DEFAULT_STDERR_LIMIT,
    Answer,
    Channel,
    OutOfPlace,
    OutputLimitReached,
    WorkerClosed,
    WorkerDied,
    WorkerError,
    WorkerOutputLimit,
    WorkerProtocolError,
    WorkerStartError,
    WorkerTimeout,
)
from vantor.workers.client.process import (  # noqa: F401
    BIG_READ_SIZE,
    EXIT_GRACE,
    READ_SIZE,
    Process,
    kill_group,
    parse_report,
)
from vantor.workers.sandbox.host.launch import DEFAULT_COMMAND, Launch  # noqa: F401

Timeout = Union[float, int, None]

UNSET: Any = object()  # "use the worker's default"

# The defaults of json.dumps and json.loads, without their per-call argument handling.
_encode_json = json.JSONEncoder().encode
# json's C encoder, made once: json.dumps builds one for every call.  It
# checks no cycles (a cyclic request ends in RecursionError, made a
# ValueError below as json.dumps would); without the C accelerator, json.dumps.
_c_encoder = json.encoder.c_make_encoder and json.encoder.c_make_encoder(
    None, json.JSONEncoder().default, json.encoder.encode_basestring_ascii, None, ": ", ", ",
    False, False, True)


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
    cancelled) and ``errors`` (closed, could not start, an answer pipe out of
    place).  ``started``
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
    counted by :class:`~vantor.workers.client.base.SharedStats` itself)."""

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
