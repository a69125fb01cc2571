"""The Ray pool on a local Ray instance started here: answers, timeouts, a killed
actor, the sandbox inside an actor, and nothing left behind."""
import asyncio
import os
import signal
import time

import pytest

ray = pytest.importorskip("ray", reason="Ray is not installed (the ray extra)")
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("Ray's own programs do not run under the preloaded sanitizer runtime",
                allow_module_level=True)

from conftest import sandbox_policy  # noqa: E402
from vantor.workers.client import WorkerDied, WorkerTimeout  # noqa: E402
from vantor.workers.ray import RayWorkerPool  # noqa: E402

GUARD = 60


@pytest.fixture(scope="module", autouse=True)
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             configure_logging=False)
    yield
    ray.shutdown()


def running(pid):
    try:
        os.kill(pid, 0)
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (ProcessLookupError, FileNotFoundError):
        return False


def gone_soon(pids, within=15.0):
    deadline = time.monotonic() + within
    while any(running(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    return not any(running(pid) for pid in pids)


def test_concurrent_calls_a_timeout_and_the_sandbox_inside_an_actor(monkeypatch):
    monkeypatch.setenv("VANTOR_TEST_SECRET", "hunter2")

    async def scenario():
        # With a CPU limit every protection applies.
        policy = sandbox_policy(cpu_seconds=600)
        async with RayWorkerPool(2, sandbox=policy, timeout=GUARD) as pool:
            await pool.start()
            described = await pool.describe()
            calls = [pool.run_inline(f"import time; time.sleep(0.05); result = {n}")
                     for n in range(6)]
            calls.append(pool.run_inline("while True: pass", timeout=1))
            calls.append(pool.run_inline(
                "import os\nresult = [os.getuid(), sorted(os.environ), os.path.exists('/etc/shadow')]"))
            outcomes = await asyncio.gather(*calls, return_exceptions=True)
            return described, outcomes, pool.stats()

    described, outcomes, stats = asyncio.run(scenario())
    assert [answer["result"]["return_value"] for answer in outcomes[:6]] == list(range(6))
    assert isinstance(outcomes[6], WorkerTimeout)
    # What each call cost crosses the cluster: here read from the sandbox's CPU cgroup.
    assert all(answer.usage.wall_seconds >= 0.05 for answer in outcomes[:6])
    assert outcomes[6].usage.cpu_seconds >= 0.5
    uid, names, sees_host = outcomes[7]["result"]["return_value"]
    assert uid == 65534 and "VANTOR_TEST_SECRET" not in names and not sees_host
    assert all(set(entry["protections"].values()) == {"in force"} for entry in described)
    assert (stats.answered, stats.timeouts) == (7, 1)
    pids = [pid for entry in described for pid in (entry["actor_pid"], entry["worker_pid"])]
    assert gone_soon(pids)


def test_an_actor_killed_mid_call_fails_that_call_only_and_is_replaced():
    async def scenario():
        pool = RayWorkerPool(2, sandbox=sandbox_policy(), timeout=GUARD)
        try:
            await pool.start()
            before = await pool.describe()
            slow = asyncio.ensure_future(pool.run_inline("import time; time.sleep(30)"))
            await asyncio.sleep(0.3)
            [busy] = [slot for slot in pool._slots if slot not in pool._idle.members]
            victim = (await busy.actor.describe.remote())["actor_pid"]
            other = asyncio.ensure_future(pool.run_inline("import time; time.sleep(1); result = 1"))
            await asyncio.sleep(0.3)
            os.kill(victim, signal.SIGKILL)  # an actor process, in the host's PID namespace
            with pytest.raises(WorkerDied):
                await asyncio.wait_for(slow, GUARD)
            assert (await other)["result"]["return_value"] == 1
            again = await asyncio.gather(*(pool.run_inline(f"result = {n}") for n in range(4)))
            assert [a["result"]["return_value"] for a in again] == list(range(4))
            after = await pool.describe()
        finally:
            await pool.aclose()
        return victim, before, after, pool.stats()

    victim, before, after, stats = asyncio.run(scenario())
    assert stats.restarts == 1 and stats.deaths == 1
    pids = [victim] + [entry["worker_pid"] for entry in before + after]
    pids += [entry["actor_pid"] for entry in after]
    assert gone_soon(pids)


def test_isolation_per_call_in_an_actor():
    async def scenario():
        async with RayWorkerPool(1, sandbox=sandbox_policy(), timeout=GUARD, isolation="call",
                                 preload=("decimal",)) as pool:
            await pool.start()
            [described] = await pool.describe()
            await pool.run_inline("import json; json.tampered = True")
            with pytest.raises(WorkerTimeout):
                await pool.run_inline("import time; time.sleep(60)", timeout=1)
            probe = await pool.run_inline(
                "import json, sys; print(hasattr(json, 'tampered'), 'decimal' in sys.modules)")
            return described, probe, await pool.describe()

    described, probe, after = asyncio.run(scenario())
    assert described["isolation"] == "call"
    assert described["protections"]["call_isolation"] == "in force"
    assert probe["result"]["output"] == "False True\n"
    assert probe.usage.max_rss_bytes > 0 and probe.usage.cpu_seconds > 0
    assert after[0]["worker_pid"] == described["worker_pid"]  # the template stayed warm
