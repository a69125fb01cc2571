"""What a sandbox gets on this machine, found by starting one worker under it.

It sits above both the policy and the clients: it needs a worker to ask.
"""

from __future__ import annotations

from vantor.workers.client.blocking import Worker
from vantor.workers.sandbox.policy import DEFAULT_SANDBOX, Sandbox


def probe(sandbox: Sandbox | None = None) -> dict[str, str]:
    """Start one worker under ``sandbox`` (default: ``Sandbox()``) and report its protections.

    The result maps every name of :data:`~vantor.workers.sandbox.PROTECTIONS` to
    ``"in force"``, ``"not required"`` or ``"missing: <reason>"``.  Raises
    :class:`~vantor.workers.client.WorkerStartError` when a required
    protection is missing.
    """
    with Worker(sandbox=sandbox if sandbox is not None else DEFAULT_SANDBOX) as worker:
        worker.start()
        return dict(worker.protections or {})
