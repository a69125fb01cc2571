"""Bookkeeping that an interrupt cannot split.

Python runs signal handlers (``KeyboardInterrupt`` is SIGINT's) in the main
thread, between almost any two bytecodes.  Some steps must not be cut in two:
taking a worker from a pool and giving it back, counting a call, tearing a
process down.  Functions that make such steps are marked :func:`bookkeeping`.
While a :class:`Deferral` is in force, SIGINT's handler is one that looks at
where the thread is: in bookkeeping (the innermost frame of this package is
a marked function's), the signal is noted and its handler runs when the
deferral ends; anywhere else (a call waiting for its answer, a pool's caller
waiting for a free worker) it runs at once, as it would have.

In any thread but the main one a deferral does nothing: handlers never run
there.  Signals whose handler is not a Python function (the default action,
ignored) are left alone: they raise nothing.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Callable
from types import CodeType, FrameType
from typing import Any, TypeVar

F = TypeVar("F", bound=Callable[..., Any])

# The C module's functions: those of ``signal`` turn handlers into enums, at
# several times the cost.
try:
    from _signal import getsignal as _get_handler, signal as _set_handler
except ImportError:  # pragma: no cover - another implementation
    _get_handler, _set_handler = signal.getsignal, signal.signal

_MAIN_THREAD = threading.main_thread().ident
_PACKAGE = "vantor.workers."
_BOOKKEEPING: set[CodeType] = set()


def bookkeeping(function: F) -> F:
    """Mark ``function`` as one that a SIGINT under a :class:`Deferral` must not cut."""
    _BOOKKEEPING.add(function.__code__)
    return function


def _in_bookkeeping(frame: FrameType | None) -> bool:
    """Whether the innermost frame of this package, from ``frame`` out, is bookkeeping's."""
    while frame is not None:
        if frame.f_code in _BOOKKEEPING:
            return True
        if frame.f_globals.get("__name__", "").startswith(_PACKAGE):
            return False
        frame = frame.f_back
    return False


class Deferral:
    """SIGINT held back from bookkeeping while in force (``with``), in the main thread.

    Leaving it runs the handler for what was held back.  Deferrals nest: an
    inner one hands what it held back to the outer one's handler as it ends.
    """

    __slots__ = ("_saved", "_caught")

    def __init__(self) -> None:
        self._saved: Any = None  # the handler replaced, while in force
        self._caught: list[int] = []

    @bookkeeping
    def __enter__(self) -> "Deferral":
        if threading.get_ident() == _MAIN_THREAD:
            saved = _get_handler(signal.SIGINT)
            if callable(saved):  # not the default action, nor ignored: those raise nothing
                self._saved = saved
                _set_handler(signal.SIGINT, self._catch)
        return self

    @bookkeeping
    def __exit__(self, *exc_info: Any) -> None:
        saved = self._saved
        if saved is None:
            return
        _set_handler(signal.SIGINT, saved)
        self._saved = None
        caught, self._caught = self._caught, []
        for signum in caught:
            saved(signum, None)

    def _catch(self, signum: int, frame: FrameType | None) -> None:
        saved = self._saved
        if _in_bookkeeping(frame):
            self._caught.append(signum)
        else:
            saved(signum, frame)
