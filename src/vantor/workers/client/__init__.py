"""Host-side client for the custom worker: sandboxing, timeouts, restarts, pools, asyncio.

The worker reads one JSON request per line on its standard input and writes one
JSON answer per line.  It has no time limit of its own, some requests end it
without an answer (a script that calls ``sys.exit()``, a request line that is
not a JSON object, an ill-typed member), and what ``run_function`` code prints
reaches its standard output unframed.  This module handles all of that once,
for every host:

* :class:`Worker` runs one worker process; :class:`AsyncWorker` is the same
  for asyncio.  Each call sends one request and returns the worker's answer as
  an :class:`Answer`, a ``dict`` holding exactly what the worker wrote
  (``"success"`` and ``"result"`` or ``"error"``).
* Every worker runs in a :class:`~vantor.workers.sandbox.Sandbox` unless given
  ``sandbox=None``: no network, no host files beyond the interpreter and what
  the policy lists, no capabilities, limits on memory and processes.  A
  machine that cannot provide a protection makes the start fail with
  :class:`WorkerStartError`, naming it.
* A call that runs past its timeout kills the worker (the only reliable way to
  stop a busy loop) and raises :class:`WorkerTimeout`.  A worker that ends
  without answering makes the call raise :class:`WorkerDied`, which carries the
  exit code and the tail of the worker's standard error; output past
  ``output_limit`` raises :class:`WorkerOutputLimit`.  Either way the next call
  transparently starts a fresh worker.
* Every worker writes its answers on a pipe of their own, so no printed line,
  whatever its shape, is ever taken for an answer; what the call printed on
  standard output (``run_function`` code) is in :attr:`Answer.stray`.  A
  worker that wrote after its answer is retired before the next request.
* :class:`WorkerPool` shares N workers between threads, :class:`AsyncWorkerPool`
  between tasks; both keep their processes started ahead of need.

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

Everything here is standard library; the extension itself is never imported
into the host.  A blocking call waits on the worker's pipes in its own thread
(no helper threads); an asyncio call waits on the event loop.

Processes are reaped by ``close()``/``aclose()``, leaving a ``with`` block,
garbage collection of a worker, and interpreter exit.  Each worker leads its
own process group; a sandboxed worker's tools live in its PID namespace and
end with it.
"""

from __future__ import annotations

from vantor.workers.client.asynchronous import AsyncWorker
from vantor.workers.client.blocking import Worker
from vantor.workers.client.core import (
    DEFAULT_COMMAND,
    DEFAULT_OUTPUT_LIMIT,
    DEFAULT_STDERR_LIMIT,
    Answer,
    WorkerClosed,
    WorkerDied,
    WorkerError,
    WorkerOutputLimit,
    WorkerProtocolError,
    WorkerStartError,
    WorkerStats,
    WorkerTimeout,
)
from vantor.workers.client.pool import AsyncWorkerPool, WorkerPool
from vantor.workers.client.usage import Usage
from vantor.workers.sandbox.policy import DEFAULT_SANDBOX, Sandbox

__all__ = [
    "DEFAULT_COMMAND",
    "DEFAULT_OUTPUT_LIMIT",
    "DEFAULT_SANDBOX",
    "DEFAULT_STDERR_LIMIT",
    "Answer",
    "AsyncWorker",
    "AsyncWorkerPool",
    "Sandbox",
    "Usage",
    "Worker",
    "WorkerClosed",
    "WorkerDied",
    "WorkerError",
    "WorkerOutputLimit",
    "WorkerPool",
    "WorkerProtocolError",
    "WorkerStartError",
    "WorkerStats",
    "WorkerTimeout",
]
