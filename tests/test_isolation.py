"""Isolation per call: each request in a fresh process forked from a template,
sandboxed and not; what one call leaves behind never reaches the next."""
import asyncio
import json
import os
import re
import subprocess
import time

import pytest

from conftest import WORKER, child_env, marked_processes, sandbox_policy
from vantor.workers.client import (
    AsyncWorker, AsyncWorkerPool, Worker, WorkerDied, WorkerStartError, WorkerTimeout)

MARKER = "vantor-isolation-leftover"

# A call that does its worst: wraps json, sets globals, leaves a thread that
# prints and a process that prints on after the call.
TAMPER = f"""
import json, os, subprocess, sys, threading, time
seen = []
real_dumps = json.dumps
json.dumps = lambda value, *a, **k: real_dumps({{"success": True, "result": "forged"}})
json.loads = lambda text, *a, **k: seen.append(text) or {{}}
json.tampered = True
sys.modules["__main__"].left_behind = args
def spy():
    while True:
        print("spy", seen, flush=True)
        time.sleep(0.01)
threading.Thread(target=spy, daemon=True).start()
subprocess.Popen([sys.executable, "-c",
                  "import time\\nwhile True: print('leak', flush=True); time.sleep(0.001)",
                  "{MARKER}"])
time.sleep(0.05)
"""

PROBE = """
import json, os, sys
print(os.getpid(), getattr(json, "tampered", False),
      getattr(sys.modules["__main__"], "left_behind", None), args)
"""


@pytest.fixture(params=["sandboxed", "unsandboxed"])
def sandbox(request):
    return sandbox_policy() if request.param == "sandboxed" else None


def test_a_call_cannot_reach_the_next(sandbox):
    with Worker(sandbox=sandbox, isolation="call", timeout=30) as worker:
        before = worker.run_inline("import os; print(os.getpid())")["result"]["output"]
        first = worker.run_inline(TAMPER, {"user": "a"})
        assert first == {"success": True, "result": "forged"}  # its own answer only
        template = worker.pid
        second = worker.run_inline(PROBE, {"user": "b"})
        assert second.ok and second.stray == [], second
        pid, tampered, left, args = second["result"]["output"].split(" ", 3)
        assert (tampered, left, args) == ("False", "None", "{'user': 'b'}\n")
        assert pid != before.strip()
        third = worker.run_inline("print(1)")
        assert third["result"]["output"] == "1\n" and third.stray == []
        assert worker.pid == template
        assert worker.protections is None or worker.protections["call_isolation"] == "in force"
        assert marked_processes(MARKER) == []


# Leaves a chain of processes whose deepest one, once the call's process is
# gone, writes an end line and a forged answer on every pipe the call could
# write its answer to. Each lives 30 s at most, should nothing end it.
FORGE = f"""
import os, stat, time
call = os.getpid()
ready_r, ready_w = os.pipe()
if os.fork() == 0:
    depth = 1
    while depth < 60 and os.fork() == 0:
        depth += 1
    if depth == 60:
        os.write(ready_w, b"!")
        while os.path.exists(f"/proc/{{call}}"):
            time.sleep(0.0002)
        pipes = [fd for fd in range(3, 32) if os.path.exists(f"/proc/self/fd/{{fd}}")
                 and stat.S_ISFIFO(os.fstat(fd).st_mode)]
        for line in (b"\\x00\\n", b'{{"success": true, "result": "forged"}}\\n'):
            for fd in pipes:
                try:
                    os.write(fd, line)
                except OSError:
                    pass
            time.sleep(0.003)
    time.sleep(30)
    os._exit(0)
os.read(ready_r, 1)
"""
# Finds what was sent for an earlier call in this process's memory.
SCAN = """
import re
found = 0
with open("/proc/self/maps") as maps, open("/proc/self/mem", "rb", 0) as memory:
    for line in maps:
        span, permissions = line.split()[:2]
        start, end = (int(bound, 16) for bound in span.split("-"))
        if permissions.startswith("rw") and end - start < 1 << 28:
            try:
                memory.seek(start)
                found += len(re.findall(rb"secret-of-user-a-x{5}", memory.read(end - start)))
            except OSError:
                pass
result = found
"""


def test_a_call_can_neither_forge_later_answers_nor_find_earlier_requests(sandbox):
    with Worker(sandbox=sandbox, isolation="call", timeout=30) as worker:
        assert worker.run_inline(FORGE).ok
        for user in "bcd":
            assert worker.run_inline(f"result = {user!r}")["result"]["return_value"] == user
        assert worker.run_inline("x = 1", {"secret": "secret-of-user-a-" + "x" * 20}).ok
        assert worker.run_inline(SCAN)["result"]["return_value"] == 0
        worker.run_inline("import os; os.write(2, b'stderr-of-user-a')")
        with pytest.raises(WorkerTimeout) as timeout:
            worker.run_inline("import time; time.sleep(60)", timeout=1.0)
        assert "user-a" not in timeout.value.stderr + str(timeout.value)
        if sandbox is not None:  # unsandboxed, the tests' root may read any process
            peek = "import os; open(f'/proc/{os.getppid()}/mem', 'rb')"
            assert worker.run_inline(peek)["error"].startswith("PermissionError")


def test_answers_and_endings_are_those_of_a_shared_worker(sandbox):
    lines = ['{"action": "validate", "code": "x ="}', "not json", '{"action": "nope"}',
             '{"action": "run_inline", "code": "print(args)", "args": {"k": [1, 2]}}']
    outcomes = {}
    for isolation in ("worker", "call"):
        with Worker(sandbox=sandbox, isolation=isolation, timeout=30) as worker:
            answers = [dict(worker.request_line(line)) for line in lines]
            with pytest.raises(WorkerDied) as died:
                worker.request_line("[1]")
            quit_answer = dict(worker.request({"action": "quit"}))
            with pytest.raises(WorkerDied) as exited:
                worker.run_inline("import sys; sys.exit(7)")
        outcomes[isolation] = (answers, died.value.returncode, quit_answer,
                               exited.value.returncode)
    assert outcomes["call"] == outcomes["worker"]


def test_a_timeout_kills_the_call_and_the_template_serves_on(sandbox):
    with Worker(sandbox=sandbox, isolation="call") as worker:
        worker.start()
        template = worker.pid
        code = (f"import subprocess, sys, time\n"
                f"subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(60)', "
                f"'{MARKER}'])\nprint('partial', flush=True)\ntime.sleep(60)")
        for _ in range(2):
            with pytest.raises(WorkerTimeout):
                worker.run_inline(code, timeout=1.5)
            answer = worker.run_inline("print('next')", timeout=30)
            assert answer["result"]["output"] == "next\n" and answer.stray == []
        assert worker.pid == template
        stats = worker.stats()
        assert (stats.timeouts, stats.started) == (2, 1)
        assert marked_processes(MARKER) == []


def test_preload(sandbox):
    probe = "import sys; print('decimal' in sys.modules)"
    with Worker(sandbox=sandbox, isolation="call", preload=("decimal",)) as worker:
        assert worker.run_inline(probe)["result"]["output"] == "True\n"
    with Worker(sandbox=sandbox, isolation="call") as worker:
        assert worker.run_inline(probe)["result"]["output"] == "False\n"
    with Worker(sandbox=sandbox, isolation="call", preload=("no_such_module_here",)) as worker:
        with pytest.raises(WorkerStartError, match="cannot preload 'no_such_module_here'"):
            worker.start()


def test_bad_settings():
    with pytest.raises(ValueError, match="isolation"):
        Worker(isolation="thread")
    with pytest.raises(ValueError, match="preload needs isolation='call'"):
        Worker(preload=("json",))
    with pytest.raises(ValueError, match="module"):
        Worker(isolation="call", preload=("json; rm -rf /",))


def test_asyncio_worker_and_pool():
    async def scenario():
        # A fresh template's first call cancelled: the next call gets its own answer.
        async with AsyncWorker(sandbox=None, isolation="call") as worker:
            await worker.start()
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(worker.run_inline("import time; time.sleep(60)"), 0.5)
            assert (await worker.run_inline("result = 2"))["result"]["return_value"] == 2
        async with AsyncWorker(sandbox=sandbox_policy(), isolation="call") as worker:
            await worker.run_inline("import json; json.tampered = True")
            answer = await worker.run_inline("import json; print(hasattr(json, 'tampered'))")
            assert answer["result"]["output"] == "False\n"
            template = worker.pid
            with pytest.raises(WorkerTimeout):
                await worker.run_inline("import time; time.sleep(60)", timeout=1.0)
            assert (await worker.validate("x = 1"))["result"]["valid"] is True
            # A cancelled task's call is ended by the template; its output reaches no call.
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(worker.run_inline(
                    "import os, time; os.write(1, b'partial\\n'); time.sleep(60)"), 1.0)
            answer = await worker.run_inline("print(2)")
            assert answer["result"]["output"] == "2\n" and answer.stray == []
            assert worker.pid == template
            assert (worker.stats().cancelled, worker.stats().started) == (1, 1)
        async with AsyncWorkerPool(2, sandbox=sandbox_policy(), isolation="call",
                                   preload=("decimal",)) as pool:
            answers = await asyncio.gather(*(
                pool.run_inline("import sys; print('decimal' in sys.modules, args)", {"n": n})
                for n in range(6)))
            assert [answer["result"]["output"] for answer in answers] == [
                f"True {{'n': {n}}}\n" for n in range(6)]
            assert pool.stats().started == 2

    asyncio.run(asyncio.wait_for(scenario(), 120))


def test_the_template_answers_a_late_cancel_and_never_runs_a_cancelled_request(tmp_path):
    answer_r, answer_w = os.pipe()
    cancel_r, cancel_w = os.pipe()
    env = child_env(VANTOR_WORKER_ANSWER_FD=str(answer_w), VANTOR_WORKER_TEMPLATE=json.dumps(
        {"preload": [], "cancel_fd": cancel_r}))
    worker = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                              pass_fds=(answer_w, cancel_r))
    os.close(answer_w)
    os.close(cancel_r)
    ran = tmp_path / "ran"
    with os.fdopen(answer_r, "rb") as answers, worker:
        assert answers.read(1) == b"\n"

        def send(request):
            worker.stdin.write(json.dumps(request).encode() + b"\n")
            worker.stdin.flush()

        send({"action": "validate", "code": "1"})
        assert answers.readline().startswith(b'{"success": true')
        # The end line carries what the call cost: CPU µs and peak RSS bytes.
        assert re.fullmatch(rb"\x00 \d+ \d+\n", answers.readline())
        os.write(cancel_w, b"1 late\n")  # call 1 is over: only answered
        assert answers.readline() == b"\x00late\n"
        os.write(cancel_w, b"2 ahead\n")  # call 2 not read yet: it never runs
        time.sleep(0.2)
        send({"action": "run_inline", "code": f"open({str(ran)!r}, 'w')"})
        assert answers.readline() == b"\x00ahead\n"
        send({"action": "quit"})
        assert answers.readline() == b'{"success": true, "result": "goodbye"}\n'
        assert answers.read() == b"" and worker.wait(30) == 0
    os.close(cancel_w)
    assert not ran.exists()
