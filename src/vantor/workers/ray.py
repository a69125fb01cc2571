"""Worker pools across a Ray cluster (the ``ray`` extra: ``pip install "vantor-workers[ray]"``).

:class:`RayWorkerPool` has the interface of
:class:`~vantor.workers.client.AsyncWorkerPool`, but each of its workers is
a Ray actor that owns one :class:`~vantor.workers.client.AsyncWorker`
(sandboxed by default) on the node Ray placed it on.  Calls go to a free
actor; the actor's worker enforces the timeout and the output limit as on
one machine, and the errors come back as the same exceptions.  An actor
whose process or node dies during a call makes that call raise
:class:`~vantor.workers.client.WorkerDied`; one that dies while idle is
noticed at once.  Either way the pool starts a new actor in its place, away
from the node it was lost on, and a request that never reached the lost
actor goes to the new one.  Actors are spread across nodes by default
(``placement``), so that one node's loss costs one worker.

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
import random
import sys
import time
from collections.abc import Mapping, Sequence
from typing import Any

try:
    import ray
    import ray.exceptions
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError("vantor.workers.ray needs Ray: pip install 'vantor-workers[ray]'") from error

from vantor.workers.client.telemetry import call_ended, now_ns
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
from vantor.workers.client.usage import Usage
from vantor.workers.sandbox.policy import DEFAULT_SANDBOX, Sandbox

__all__ = ["RayWorkerPool"]

#: Where a pool puts its actors: ``"spread"`` (the default), each on the live
#: node they fill least, so that one node's loss costs as few workers as can
#: be; or ``"default"``, where Ray's own scheduling puts them.
PLACEMENTS = ("spread", "default")
#: How long a call waits, by default, for a free actor to be placed and started.
START_TIMEOUT = 60.0
#: How long past its own timeout a call waits, by default, for its actor's answer.
ANSWER_GRACE = 30.0
# How long close() lets an actor stop its worker before killing the actor.
_CLOSE_GRACE = 10.0
# How many actors in a row a call may see die before they started.
_START_ATTEMPTS = 3
# How long a node where one of the pool's actors was lost is kept clear of replacements.
_AVOID_FOR = 60.0


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

    async def call(self, line: bytes, quitting: bool, timeout: Timeout,
                   action: str | None = None) -> tuple:
        """The answer, or the error, in a form that crosses the cluster intact."""
        try:
            answer = await self._worker._exchange(line, quitting, timeout, action)
        except WorkerError as error:
            return ("error", _pack_error(error), self._worker._call_pid)
        usage = answer.usage.as_dict() if answer.usage is not None else None
        return ("answer", dict(answer), answer._stray_raw, usage, self._worker._call_pid)

    async def close(self) -> None:
        await self._worker.aclose()

    async def lifeline(self) -> None:
        """Never returns: its failure tells the pool, at once, that the actor is gone."""
        await asyncio.Event().wait()


def _pack_error(error: WorkerError) -> dict[str, Any]:
    packed: dict[str, Any] = {"type": type(error).__name__, "message": str(error)}
    for name in ("timeout", "limit", "returncode", "reason", "stderr", "_stray_raw", "missing",
                 "what"):
        if hasattr(error, name):
            packed[name] = getattr(error, name)
    if error.usage is not None:
        packed["usage"] = error.usage.as_dict()
    return packed


def _unpack_error(packed: dict[str, Any]) -> WorkerError:
    error = _unpack_error_kind(packed)
    if packed.get("usage") is not None:
        error.usage = Usage(**packed["usage"])
    return error


def _unpack_error_kind(packed: dict[str, Any]) -> WorkerError:
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
    """One place in the pool: the actor in it now, and what is known of it."""

    def __init__(self) -> None:
        self.actor: Any = None
        self.started: asyncio.Future | None = None  # the actor's start, once awaited
        self.start_ref: Any = None
        self.ready = False
        self.node: str | None = None
        self.lost = False  # its lifeline ended: the actor is gone
        self.lifeline: asyncio.Future | None = None
        self.generation = 0  # actors this slot has had
        self.worker_pid: int | None = None  # the worker process its last call went to


def _future(ref: Any) -> asyncio.Future:
    """An asyncio future for ``ref`` whose failure is never left unretrieved."""
    future = asyncio.wrap_future(ref.future())
    future.add_done_callback(lambda done: done.cancelled() or done.exception())
    return future


def _is_ready(slot: _Slot) -> bool:
    return slot.ready and not slot.lost


class _Unsent(Exception):
    """The actor was gone before the request went out: it can go to another."""


class RayWorkerPool(Actions):
    """``size`` workers, each owned by a Ray actor, shared by any number of tasks.

    The arguments after ``size`` are those of
    :class:`~vantor.workers.client.AsyncWorkerPool` and apply to the worker
    of every actor; ``actor_options`` go to Ray's ``.options()`` for each
    actor (default ``{"num_cpus": 1}``: one worker per CPU Ray schedules),
    for example resources or a runtime environment; a ``scheduling_strategy``
    there overrides ``placement`` (see :data:`PLACEMENTS`).  Ray must be
    initialised (``ray.init``) before the pool is made.

    Every wait has a bound: a call waits at most ``start_timeout`` seconds
    for its actor to be placed and started (:class:`WorkerStartError`,
    naming ``start_timeout``), and at most its ``timeout`` plus
    ``answer_grace`` seconds for the actor's answer, should the actor's
    node stop answering (:class:`WorkerTimeout`, naming both).  With no
    ``timeout``, the call lasts until the answer, or until Ray finds the
    actor or its node dead (:class:`WorkerDied`).

    The pool is used from one event loop.  ``async with`` (or :meth:`aclose`)
    stops every worker and kills every actor; :meth:`close` does the same
    from blocking code.  :meth:`stats` counts every call made on the pool
    once, as seen from the host, and its ``started``/``restarts`` count actors.
    """

    def __init__(self, size: int, command: Sequence[str] | None = None, *,
                 timeout: Timeout = None, env: Mapping[str, str] | None = None,
                 cwd: str | os.PathLike | None = None,
                 stderr_limit: int = DEFAULT_STDERR_LIMIT,
                 sandbox: Sandbox | None = DEFAULT_SANDBOX,
                 output_limit: int | None = DEFAULT_OUTPUT_LIMIT,
                 max_requests: int | None = None,
                 actor_options: Mapping[str, Any] | None = None,
                 isolation: str = "worker", preload: Sequence[str] = (),
                 placement: str = "spread", start_timeout: float = START_TIMEOUT,
                 answer_grace: float = ANSWER_GRACE):
        check_size(size)
        # Checked here, where a mistake is cheap, with the same rules as on one machine.
        AsyncWorker(command, timeout=timeout, env=env, cwd=cwd, stderr_limit=stderr_limit,
                    sandbox=sandbox, output_limit=output_limit, max_requests=max_requests,
                    isolation=isolation, preload=preload)
        if placement not in PLACEMENTS:
            raise ValueError(f"placement must be one of {PLACEMENTS}, not {placement!r}")
        check_timeout(start_timeout)
        check_timeout(answer_grace)
        if start_timeout is None or answer_grace is None:
            raise ValueError("start_timeout and answer_grace are bounds: a number of seconds")
        self.timeout = timeout
        self.placement = placement
        self.start_timeout = float(start_timeout)
        self.answer_grace = float(answer_grace)
        self._options = {
            "command": command, "timeout": timeout, "env": dict(env) if env else None,
            "cwd": os.fspath(cwd) if cwd is not None else None, "stderr_limit": stderr_limit,
            "sandbox": sandbox, "output_limit": output_limit, "max_requests": max_requests,
            "isolation": isolation, "preload": tuple(preload), "_keep_warm": True}
        self._actor_options = {"num_cpus": 1, **dict(actor_options or {})}
        self._actor_class = ray.remote(WorkerActor)
        self._stats = SharedStats()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._lost_nodes: dict[str, float] = {}  # node: when an actor was lost on it
        self._closed = False
        self._slots = [_Slot() for _ in range(size)]
        for slot in self._slots:
            self._place(slot)
        self._idle = IdleMembers(list(reversed(self._slots)))

    @property
    def size(self) -> int:
        return len(self._slots)

    def stats(self) -> WorkerStats:
        """Counters and latency percentiles of every call made on the pool."""
        return self._stats.snapshot()

    async def start(self) -> "RayWorkerPool":
        """Wait until every actor's worker is ready (each within ``start_timeout``)."""
        self._bind()
        deadline = time.monotonic() + self.start_timeout
        await asyncio.gather(*(self._await_start(slot, deadline) for slot in self._slots))
        return self

    async def describe(self) -> list[dict[str, Any]]:
        """For each actor: its pid, its worker's pid, its node and the sandbox's report."""
        return list(await asyncio.gather(*(slot.actor.describe.remote()
                                           for slot in self._slots)))

    async def request(self, request: Mapping[str, Any], timeout: Timeout = UNSET) -> Answer:
        """:meth:`AsyncWorker.request` on a free actor's worker."""
        line, quitting = encode_request(request)
        return await self._call(line, quitting, timeout, request.get("action"))

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
        self._bind()
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"idle={len(self._idle.members)}"
        return f"<{type(self).__name__} size={self.size} {state}>"

    # -- internals ------------------------------------------------------------

    def _bind(self) -> None:
        """Take the running loop as the pool's, and watch every actor's lifeline."""
        if self._loop is None:
            self._loop = asyncio.get_running_loop()
            for slot in self._slots:
                self._watch(slot)

    def _place(self, slot: _Slot) -> None:
        """Start a new actor in ``slot``, away from the nodes actors were lost on."""
        options = dict(self._actor_options)
        if "scheduling_strategy" not in options:
            node = self._pick_node() if self._lost_nodes or self.placement == "spread" else None
            if node is not None:
                options["scheduling_strategy"] = NodeAffinitySchedulingStrategy(node, soft=True)
            elif self.placement == "spread":
                options["scheduling_strategy"] = "SPREAD"
        else:
            node = None
        slot.generation += 1
        slot.actor = self._actor_class.options(**options).remote(self._options)
        slot.start_ref = slot.actor.start.remote()  # the actor's first task: warm it up
        # Where it should go, until its start says where it went.
        slot.started, slot.ready, slot.node, slot.lost = None, False, node, False
        self._stats.count("started")
        if self._loop is not None:
            self._watch(slot)

    def _pick_node(self) -> str | None:
        """The live node to place an actor on (None: let Ray choose).

        Never one an actor of the pool was lost on lately, nor one Ray knows
        dead, nor one without room for another of the pool's actors (by the
        resources an actor asks for); with ``placement="spread"``, the one
        the pool's actors fill the least (any, at random, with ``"default"``).
        """
        now = time.monotonic()
        for node, when in list(self._lost_nodes.items()):
            if now - when > _AVOID_FOR:
                del self._lost_nodes[node]
        try:
            nodes = [node for node in ray.nodes() if node.get("Alive")]
        except Exception:  # the cluster's state is not to be had: Ray chooses
            return None
        needs = {"CPU": self._actor_options.get("num_cpus", 1),
                 "GPU": self._actor_options.get("num_gpus", 0),
                 **self._actor_options.get("resources", {})}
        needs = {name: amount for name, amount in needs.items() if amount}
        held: dict[str, int] = {}
        for other in self._slots:
            if other.node is not None and not other.lost:
                held[other.node] = held.get(other.node, 0) + 1
        fill: dict[str, float] = {}  # node: the share of its room the pool's actors take
        for node in nodes:
            node_id = node["NodeID"]
            if node_id in self._lost_nodes:
                continue
            total = node.get("Resources", {})
            room = min((int(total.get(name, 0) // amount) for name, amount in needs.items()),
                       default=len(self._slots))
            if held.get(node_id, 0) < room:
                fill[node_id] = held.get(node_id, 0) / room
        if not fill:
            return None
        if self.placement != "spread":
            return random.choice(list(fill))
        least = min(fill.values())
        return random.choice([node for node, share in fill.items() if share == least])

    def _watch(self, slot: _Slot) -> None:
        generation = slot.generation
        if slot.lifeline is not None:
            slot.lifeline.cancel()
        slot.lifeline = lifeline = _future(slot.actor.lifeline.remote())
        lifeline.add_done_callback(lambda _: self._on_lost(slot, generation))

    def _on_lost(self, slot: _Slot, generation: int) -> None:
        """The lifeline of the slot's actor ended: it is gone.  An idle slot gets its
        replacement now; a busy one's call finds out and replaces it."""
        if self._closed or slot.generation != generation:
            return
        slot.lost = True
        if slot.node is not None:
            self._lost_nodes[slot.node] = time.monotonic()
        if slot in self._idle.members:
            self._replace(slot)

    def _replace(self, slot: _Slot) -> None:
        """Put a new actor in the slot of one that died or stopped answering."""
        if slot.node is not None:
            self._lost_nodes[slot.node] = time.monotonic()
        try:
            ray.kill(slot.actor, no_restart=True)
        except Exception:
            pass
        if not self._closed:
            self._stats.count("restarts")
            self._place(slot)

    def _kill_actors(self) -> None:
        for slot in self._slots:
            if slot.lifeline is not None:
                slot.lifeline.cancel()  # nothing left to tell once the pool is closed
            try:
                ray.kill(slot.actor, no_restart=True)
            except Exception:  # already gone
                pass

    async def _await_start(self, slot: _Slot, deadline: float) -> None:
        """Wait until the slot's actor is ready; one that dies first is replaced, a
        few times over, all within ``start_timeout``."""
        attempts = 0
        while not slot.ready:
            if slot.lost:
                self._replace(slot)
            generation = slot.generation
            if slot.started is None:
                slot.started = _future(slot.start_ref)
            left = deadline - time.monotonic()
            try:
                if left <= 0:
                    raise asyncio.TimeoutError
                outcome = await asyncio.wait_for(asyncio.shield(slot.started), left)
            except asyncio.TimeoutError:
                raise WorkerStartError(
                    f"no Ray actor was ready within {self.start_timeout:g} s (the pool's "
                    "start_timeout): none could be placed, or none started") from None
            except _ACTOR_LOST as error:
                attempts += 1
                if slot.generation == generation:
                    self._replace(slot)
                if attempts >= _START_ATTEMPTS:
                    raise WorkerStartError(f"{attempts} Ray actors in a row died before they "
                                           f"started: {type(error).__name__}") from None
                continue
            if slot.generation != generation:
                continue  # replaced meanwhile
            if outcome[0] == "error":
                raise _unpack_error(outcome[1])
            slot.ready, slot.node = True, outcome[1]["node"]

    async def _call(self, line: bytes, quitting: bool, timeout: Timeout,
                    action: str | None = None) -> Answer:
        start_ns = now_ns()
        timeout = self.timeout if timeout is UNSET else timeout
        check_timeout(timeout)
        slot = None
        # Counted here, once, however the call ends: refused as closed, or
        # cancelled while it waits for an actor, as well.
        try:
            if self._closed:
                raise WorkerClosed("the pool is closed")
            self._bind()
            slot = await self._idle.take(prefer=_is_ready)
            try:
                answer, seconds = await self._on_slot(slot, line, quitting, timeout, action)
            finally:
                await self._idle.give_back(slot)
        except BaseException as error:
            self._stats.failed(error, isinstance(error, asyncio.CancelledError))
            self._call_ended(action, error, start_ns, slot)
            raise
        self._stats.answered(answer, seconds)
        self._call_ended(action, answer, start_ns, slot)
        return answer

    def _call_ended(self, action: str | None, result: Any, start_ns: int,
                    slot: "_Slot | None") -> None:
        if "opentelemetry.trace" in sys.modules:
            call_ended(action or "request", result, start_ns,
                       isolation=self._options["isolation"],
                       sandboxed=self._options["sandbox"] is not None,
                       pid=slot.worker_pid if slot is not None else None)

    async def _on_slot(self, slot: _Slot, line: bytes, quitting: bool,
                       timeout: Timeout, action: str | None = None) -> tuple[Answer, float]:
        # An actor's placement and start do not count against the call's time.
        deadline = time.monotonic() + self.start_timeout
        while True:
            await self._await_start(slot, deadline)
            started = time.monotonic()
            try:
                answer = await self._on_actor(slot, line, quitting, timeout, action)
            except _Unsent:
                continue  # to the replacement
            except WorkerError as error:
                if error.usage is None:  # the actor, not its worker, failed the call
                    error.usage = Usage(time.monotonic() - started, None, None)
                raise
            return answer, time.monotonic() - started

    async def _on_actor(self, slot: _Slot, line: bytes, quitting: bool,
                        timeout: Timeout, action: str | None = None) -> Answer:
        if slot.lost:  # gone while idle: the request goes to its replacement
            self._replace(slot)
            raise _Unsent()
        ref = slot.actor.call.remote(line, quitting, timeout, action)
        bound = None if timeout is None else timeout + self.answer_grace
        try:
            outcome = await asyncio.wait_for(asyncio.shield(_future(ref)), bound)
        except asyncio.CancelledError:
            ray.cancel(ref)  # the actor's worker is then killed, never reused mid-answer
            raise
        except _ACTOR_LOST as error:
            self._replace(slot)
            raise WorkerDied(None, reason=f"its Ray actor died: {type(error).__name__}") from None
        except asyncio.TimeoutError:
            ray.cancel(ref)
            self._replace(slot)
            error = WorkerTimeout(timeout)
            error.args = (f"its Ray actor did not answer within the call's timeout of "
                          f"{timeout:g} s and the pool's answer_grace of "
                          f"{self.answer_grace:g} s; it was replaced",)
            raise error from None
        slot.worker_pid = outcome[-1]
        if outcome[0] == "error":
            raise _unpack_error(outcome[1])
        answer = Answer(outcome[1], stray_raw=outcome[2])
        if outcome[3] is not None:
            answer.usage = Usage(**outcome[3])
        return answer
