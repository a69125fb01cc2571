"""Worker pools across a Ray cluster (the ``ray`` extra: ``pip install "vantor-workers[ray]"``).

:class:`RayWorkerPool` has the interface of
:class:`~vantor.workers.client.AsyncWorkerPool`, but each of its workers is
a Ray actor that owns one :class:`~vantor.workers.client.AsyncWorker`
(sandboxed by default) on the node Ray placed it on.  Calls go to a free
actor; the actor's worker enforces the timeout and the output limit as on
one machine, and the errors come back as the same exceptions.  An actor
whose process or node dies during a call makes that call raise
:class:`~vantor.workers.client.WorkerDied`, and the pool starts a new actor
in its place.

Paths given to ``run_script`` and ``run_function`` name files on the
worker's node.  Ship the tools with Ray's runtime environment::

    ray.init(address="auto", runtime_env={"working_dir": "tools"})
    async with RayWorkerPool(8, timeout=30) as pool:
        answer = await pool.run_script("summarise.py", {"path": "notes.txt"})

Each actor starts in its copy of the working directory, and its worker uses
that directory as its own (inside the sandbox, readable) unless ``cwd`` is
given.
"""

from __future__ import annotations

import asyncio
import os
import time
from collections.abc import Mapping, Sequence
from typing import Any

try:
    import ray
    import ray.exceptions
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError("vantor.workers.ray needs Ray: pip install 'vantor-workers[ray]'") from error

from vantor.workers.client.asynchronous import AsyncWorker
from vantor.workers.client.base import SharedStats
from vantor.workers.client.core import (
    DEFAULT_OUTPUT_LIMIT,
    DEFAULT_STDERR_LIMIT,
    UNSET,
    Actions,
    Answer,
    Timeout,
    WorkerClosed,
    WorkerDied,
    WorkerError,
    WorkerOutputLimit,
    WorkerProtocolError,
    WorkerStartError,
    WorkerStats,
    WorkerTimeout,
    check_timeout,
    encode_request,
    encode_request_line,
)
from vantor.workers.client.pool import IdleMembers, check_size
from vantor.workers.sandbox.policy import DEFAULT_SANDBOX, Sandbox

__all__ = ["RayWorkerPool"]

# How long past its own timeout a call waits for its actor before giving it up.
_ACTOR_GRACE = 30.0
# How long close() lets an actor stop its worker before killing the actor.
_CLOSE_GRACE = 10.0


class WorkerActor:
    """Runs on a node as a Ray actor: one worker, driven by the actor's event loop."""

    def __init__(self, options: dict[str, Any]):
        if options.get("cwd") is None and options.get("sandbox") is not None:
            options = dict(options, cwd=os.getcwd())  # Ray's working directory, if any
        self._worker = AsyncWorker(**options)

    async def start(self) -> tuple:
        try:
            await self._worker.start()
        except WorkerError as error:
            return ("error", _pack_error(error))
        return ("ready", self.describe())

    def describe(self) -> dict[str, Any]:
        return {"actor_pid": os.getpid(), "worker_pid": self._worker.pid,
                "node": ray.get_runtime_context().get_node_id(),
                "isolation": self._worker.isolation,
                "protections": self._worker.protections}

    async def call(self, line: bytes, quitting: bool, timeout: Timeout) -> tuple:
        """The answer, or the error, in a form that crosses the cluster intact."""
        try:
            answer = await self._worker._exchange(line, quitting, timeout)
        except WorkerError as error:
            return ("error", _pack_error(error))
        return ("answer", dict(answer), answer._stray_raw)

    async def close(self) -> None:
        await self._worker.aclose()


def _pack_error(error: WorkerError) -> dict[str, Any]:
    packed: dict[str, Any] = {"type": type(error).__name__, "message": str(error)}
    for name in ("timeout", "limit", "returncode", "reason", "stderr", "_stray_raw", "missing",
                 "what"):
        if hasattr(error, name):
            packed[name] = getattr(error, name)
    return packed


def _unpack_error(packed: dict[str, Any]) -> WorkerError:
    kind = packed["type"]
    stray, stderr = packed.get("_stray_raw", b""), packed.get("stderr", "")
    if kind == "WorkerTimeout":
        return WorkerTimeout(packed["timeout"], stderr=stderr, stray_raw=stray)
    if kind == "WorkerOutputLimit":
        return WorkerOutputLimit(packed["limit"], stderr=stderr, stray_raw=stray)
    if kind == "WorkerDied":
        return WorkerDied(packed["returncode"], stderr, stray_raw=stray, reason=packed["reason"])
    if kind == "WorkerProtocolError":
        return WorkerProtocolError(packed["what"], stderr=stderr, stray_raw=stray)
    if kind == "WorkerStartError":
        return WorkerStartError(packed["message"], packed.get("missing", ()))
    if kind == "WorkerClosed":
        return WorkerClosed(packed["message"])
    return WorkerError(packed["message"])


# What awaiting an actor's task raises when the actor, its process or its node is gone.
_ACTOR_LOST = (ray.exceptions.RayActorError, ray.exceptions.ActorUnavailableError,
               ray.exceptions.WorkerCrashedError, ray.exceptions.NodeDiedError)


class _Slot:
    """One place in the pool: the actor in it now."""

    def __init__(self, actor: Any):
        self.actor = actor
        self.started: Any = actor.start.remote()  # the actor's first task: warm it up
        self.ready = False


class RayWorkerPool(Actions):
    """``size`` workers, each owned by a Ray actor placed by Ray, shared by any number of tasks.

    The arguments after ``size`` are those of
    :class:`~vantor.workers.client.AsyncWorkerPool` and apply to the worker
    of every actor; ``actor_options`` go to Ray's ``.options()`` for each
    actor (default ``{"num_cpus": 1}``: one worker per CPU Ray schedules),
    for example resources, a scheduling strategy or a runtime environment.
    Ray must be initialised (``ray.init``) before the pool is made.

    The pool is used from one event loop.  ``async with`` (or :meth:`aclose`)
    stops every worker and kills every actor; :meth:`close` does the same
    from blocking code.  :meth:`stats` counts the pool's calls as seen from
    the host, and its ``started``/``restarts`` count actors.
    """

    def __init__(self, size: int, command: Sequence[str] | None = None, *,
                 timeout: Timeout = None, env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike | None = None,
                 stderr_limit: int = DEFAULT_STDERR_LIMIT,
                 sandbox: Sandbox | None = DEFAULT_SANDBOX,
                 output_limit: int | None = DEFAULT_OUTPUT_LIMIT,
                 max_requests: int | None = None,
                 actor_options: Mapping[str, Any] | None = None,
                 isolation: str = "worker", preload: Sequence[str] = ()):
        check_size(size)
        # Checked here, where a mistake is cheap, with the same rules as on one machine.
        AsyncWorker(command, timeout=timeout, env=env, cwd=cwd, stderr_limit=stderr_limit,
                    sandbox=sandbox, output_limit=output_limit, max_requests=max_requests,
                    isolation=isolation, preload=preload)
        self.timeout = timeout
        self._options = {
            "command": command, "timeout": timeout, "env": dict(env) if env else None,
            "cwd": os.fspath(cwd) if cwd is not None else None, "stderr_limit": stderr_limit,
            "sandbox": sandbox, "output_limit": output_limit, "max_requests": max_requests,
            "isolation": isolation, "preload": tuple(preload), "_keep_warm": True}
        self._actor_class = ray.remote(WorkerActor).options(
            **{"num_cpus": 1, **dict(actor_options or {})})
        self._stats = SharedStats()
        self._slots = [self._new_slot() for _ in range(size)]
        self._idle = IdleMembers(list(reversed(self._slots)))
        self._closed = False

    @property
    def size(self) -> int:
        return len(self._slots)

    def stats(self) -> WorkerStats:
        """Counters and latency percentiles of every call made on the pool."""
        return self._stats.snapshot()

    async def start(self) -> "RayWorkerPool":
        """Wait until every actor's worker is ready."""
        await asyncio.gather(*(self._await_start(slot) for slot in self._slots))
        return self

    async def describe(self) -> list[dict[str, Any]]:
        """For each actor: its pid, its worker's pid, its node and the sandbox's report."""
        return list(await asyncio.gather(*(slot.actor.describe.remote()
                                           for slot in self._slots)))

    async def request(self, request: Mapping[str, Any], timeout: Timeout = UNSET) -> Answer:
        """:meth:`AsyncWorker.request` on a free actor's worker."""
        return await self._call(*encode_request(request), timeout)

    async def request_line(self, line: str | bytes, timeout: Timeout = UNSET) -> Answer:
        """:meth:`AsyncWorker.request_line` on a free actor's worker."""
        return await self._call(*encode_request_line(line), timeout)

    async def aclose(self) -> None:
        """Stop every worker and kill every actor; calls still running raise an error."""
        self._closed = True
        await self._idle.close()
        closing = [slot.actor.close.remote() for slot in self._slots]
        try:
            await asyncio.wait_for(asyncio.gather(*closing, return_exceptions=True),
                                   _CLOSE_GRACE)
        except asyncio.TimeoutError:
            pass
        self._kill_actors()

    def close(self) -> None:
        """:meth:`aclose` for blocking code."""
        self._closed = True
        self._idle.closed = True
        closing = [slot.actor.close.remote() for slot in self._slots]
        try:
            ray.wait(closing, num_returns=len(closing), timeout=_CLOSE_GRACE)
        finally:
            self._kill_actors()

    async def __aenter__(self) -> "RayWorkerPool":
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"idle={len(self._idle.members)}"
        return f"<{type(self).__name__} size={self.size} {state}>"

    # -- internals ------------------------------------------------------------

    def _new_slot(self) -> _Slot:
        self._stats.count("started")
        return _Slot(self._actor_class.remote(self._options))

    def _kill_actors(self) -> None:
        for slot in self._slots:
            try:
                ray.kill(slot.actor, no_restart=True)
            except Exception:  # already gone
                pass

    async def _await_start(self, slot: _Slot) -> None:
        if slot.ready:
            return
        try:
            outcome = await slot.started
        except _ACTOR_LOST as error:
            self._replace(slot)
            raise WorkerStartError(f"its Ray actor died: {type(error).__name__}") from None
        if outcome[0] == "error":
            raise _unpack_error(outcome[1])
        slot.ready = True

    async def _call(self, line: bytes, quitting: bool, timeout: Timeout) -> Answer:
        timeout = self.timeout if timeout is UNSET else timeout
        check_timeout(timeout)
        if self._closed:
            raise WorkerClosed("the pool is closed")
        slot = await self._idle.take()
        started = time.monotonic()
        try:
            # An actor's placement and start do not count against the call's time.
            await self._await_start(slot)
            answer = await self._on_actor(slot, line, quitting, timeout)
        except BaseException as error:
            self._stats.failed(error, isinstance(error, asyncio.CancelledError))
            raise
        finally:
            await self._idle.give_back(slot)
        self._stats.answered(answer, time.monotonic() - started)
        return answer

    async def _on_actor(self, slot: _Slot, line: bytes, quitting: bool,
                        timeout: Timeout) -> Answer:
        ref = slot.actor.call.remote(line, quitting, timeout)
        guard = None if timeout is None else timeout + _ACTOR_GRACE
        try:
            outcome = await asyncio.wait_for(asyncio.shield(ref), guard)
        except asyncio.CancelledError:
            ray.cancel(ref)  # the actor's worker is then killed, never reused mid-answer
            raise
        except _ACTOR_LOST as error:
            self._replace(slot)
            raise WorkerDied(None, reason=f"its Ray actor died: {type(error).__name__}") from None
        except asyncio.TimeoutError:
            self._replace(slot)
            raise WorkerTimeout(guard or 0.0) from None
        if outcome[0] == "error":
            raise _unpack_error(outcome[1])
        return Answer(outcome[1], stray_raw=outcome[2])

    def _replace(self, slot: _Slot) -> None:
        """Put a new actor in the slot of one that died or stopped answering."""
        try:
            ray.kill(slot.actor, no_restart=True)
        except Exception:
            pass
        if not self._closed:
            fresh = self._new_slot()
            self._stats.count("restarts")
            slot.actor, slot.started, slot.ready = fresh.actor, fresh.started, False
