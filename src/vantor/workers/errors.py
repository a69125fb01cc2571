"""The errors every part of the host side may raise: the root of the clients' errors,
a closed worker, and a worker that could not start.

The errors of a call itself (a timeout, a death, too much output) are the
client's, in :mod:`vantor.workers.client.answers`; the sandbox's launch raises
:class:`WorkerStartError` too, so these live below both.
"""

from __future__ import annotations

from collections.abc import Sequence


class WorkerError(Exception):
    """Base class of the errors raised by the clients.

    ``usage`` is what the failed call cost (a
    :class:`~vantor.workers.client.usage.Usage`), on every error a call
    raises once its request was sent; None otherwise.
    """

    usage = None


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
