"""Isolation per call: each request in a fresh process forked from a template,
sandboxed and not; what one call leaves behind never reaches the next."""
import asyncio
import json
import os
import re
import subprocess
import sys
import time

import pytest

from conftest import open_directory, WORKER, child_env, marked_processes, sandbox_policy
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


# -- What a call leaves in the sandbox, and what it does to its template -------

# Plants a module named `statistics` in every place this call can write
# (each writable sys.path entry, /tmp, /dev/shm, the user site of a child
# interpreter, the places in args["more"]), some behind a directory closed even to its owner, and
# chmods /tmp shut.
PLANT = """
import os, site, stat, sys
module = "import sys; sys.modules['__main__'].planted = True\\n"
places = {"/tmp", "/dev/shm", os.getcwd(), os.path.expanduser("~"),
          os.path.join(os.path.expanduser("~"), ".local", "lib",
                       f"python{sys.version_info[0]}.{sys.version_info[1]}", "site-packages")}
places |= {entry for entry in sys.path if entry and os.access(entry, os.W_OK)}
places |= set(args["more"])
planted = []
for place in sorted(places):
    try:
        os.makedirs(place, exist_ok=True)
        with open(os.path.join(place, "statistics.py"), "w") as file:
            file.write(module)
        planted.append(place)
    except OSError:
        pass
os.makedirs("/tmp/closed/deeper")
open("/tmp/closed/deeper/statistics.py", "w").write(module)
os.chmod("/tmp/closed/deeper", 0)
os.chmod("/tmp/closed", 0)
try:
    os.setxattr("/tmp", "user.planted", b"1")
except OSError:  # tmpfs has user attributes from Linux 6.6
    pass
os.chmod("/tmp", 0o500)
result = planted
"""
IMPORT = """
import os, statistics, subprocess, sys, sysconfig
child = subprocess.run([sys.executable, "-c", "import statistics; print(statistics.__file__)"],
                       capture_output=True, text=True, cwd="/tmp").stdout.strip()
result = [statistics.__file__.startswith(sysconfig.get_paths()["stdlib"]),
          hasattr(sys.modules["__main__"], "planted"), child.startswith(sysconfig.get_paths()["stdlib"]),
          os.listdir("/tmp"), os.listdir("/dev/shm"), oct(os.stat("/tmp").st_mode), os.listxattr("/tmp")]
"""


@pytest.fixture
def under_tmp():
    """A host directory below /tmp, open to the sandbox's user."""
    yield from open_directory("/tmp")


def test_a_call_plants_nothing_a_later_call_imports(under_tmp):
    # A host path the policy binds below /tmp is the host's: emptying /tmp
    # between calls leaves it, and what a call wrote there, alone.
    with open(os.path.join(under_tmp, "kept.txt"), "w") as kept:
        kept.write("the host's")
    with Worker(sandbox=sandbox_policy(write=[under_tmp]), isolation="call", timeout=30) as worker:
        planted = worker.run_inline(PLANT, {"more": [under_tmp]})["result"]["return_value"]
        assert {"/tmp", "/dev/shm", under_tmp} <= set(planted)
        for _ in range(2):
            seen = worker.run_inline(IMPORT)["result"]["return_value"]
            assert seen[:3] == [True, False, True], seen
            # /tmp holds only the ways to host paths bound below it: this one's,
            # and the package's when it is installed below /tmp.
            kept = {os.path.basename(under_tmp),
                    *(path.split("/")[2] for path in sys.path if path.startswith("/tmp/"))}
            assert set(seen[3]) <= kept and os.path.basename(under_tmp) in seen[3], seen
            assert seen[4:] == [[], oct(0o41777), []], seen
    assert sorted(os.listdir(under_tmp)) == ["kept.txt", "statistics.py"]


# Leaves System V segments, semaphores and message queues (one closed to
# everyone), a POSIX message queue (made, though Landlock refuses opening it)
# and files in /dev/shm: a few KiB in all.
LEAVE = """
import ctypes, os
libc = ctypes.CDLL(None, use_errno=True)
IPC_PRIVATE, IPC_CREAT = 0, 0o1000
made = [libc.shmget(IPC_PRIVATE, 64 * 1024, IPC_CREAT | 0o600),
        libc.shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0),
        libc.semget(IPC_PRIVATE, 1, IPC_CREAT | 0o600),
        libc.msgget(IPC_PRIVATE, IPC_CREAT | 0o600)]
libc.mq_open(b"/left-behind", os.O_CREAT | os.O_RDWR, 0o600, None)
with open("/dev/shm/left-behind", "wb") as file:
    file.write(b"x" * 4096)
result = made + [os.listdir("/dev/mqueue")]
"""
FIND = """
import os
def rows(kind):
    with open(f"/proc/sysvipc/{kind}") as table:
        return len(table.readlines()) - 1
result = [rows("shm"), rows("sem"), rows("msg"), os.listdir("/dev/mqueue"), os.listdir("/dev/shm")]
"""


def test_ipc_objects_and_shared_memory_files_are_gone_before_the_next_call():
    with Worker(sandbox=sandbox_policy(), isolation="call", timeout=30) as worker:
        left = worker.run_inline(LEAVE)["result"]["return_value"]
        assert min(left[:4]) >= 0 and left[4] == ["left-behind"], left
        assert worker.run_inline(FIND)["result"]["return_value"] == [0, 0, 0, [], []]


# What a call tries on its template (its parent), on the process forked for
# the next call and on init. On the template it does its worst; on init only
# what changes nothing should it work (a setting written back as read, signal
# 0), so the test stays harmless were the PID namespace broken.
REACH = """
import ctypes, errno, os, platform, resource, signal
libc = ctypes.CDLL(None, use_errno=True)
def attempt(call, *args):
    try:
        call(*args)
    except OSError as error:
        return errno.errorcode.get(error.errno, error.errno)
    return "allowed"
def ioprio_set(pid, value):  # (IOPRIO_WHO_PROCESS, pid, value)
    if libc.syscall({"x86_64": 251, "aarch64": 30}[platform.machine()], 1, pid, value) < 0:
        raise OSError(ctypes.get_errno(), "ioprio_set")
def as_before(pid):
    return {
        "prlimit": attempt(lambda: resource.prlimit(pid, resource.RLIMIT_NOFILE,
                                                     resource.prlimit(pid, resource.RLIMIT_NOFILE))),
        "setpriority": attempt(lambda: os.setpriority(os.PRIO_PROCESS, pid,
                                                      os.getpriority(os.PRIO_PROCESS, pid))),
        "sched_setscheduler": attempt(lambda: os.sched_setscheduler(
            pid, os.sched_getscheduler(pid), os.sched_getparam(pid))),
        "sched_setaffinity": attempt(lambda: os.sched_setaffinity(pid, os.sched_getaffinity(pid))),
        "kill": attempt(os.kill, pid, 0) if args["signals"] else "EPERM",
    }
def worst(pid):
    return {
        "prlimit": attempt(resource.prlimit, pid, resource.RLIMIT_NOFILE, (20, 20)),
        "setpriority": attempt(os.setpriority, os.PRIO_PROCESS, pid, 19),
        "sched_setscheduler": attempt(os.sched_setscheduler, pid, os.SCHED_IDLE,
                                      os.sched_param(0)),
        "sched_setaffinity": attempt(os.sched_setaffinity, pid, {0}),
        "ioprio_set": attempt(ioprio_set, pid, 3 << 13 | 7),  # the idle class
    } | ({
        "kill": attempt(os.kill, pid, signal.SIGSTOP),
        "pidfd_send_signal": attempt(lambda: signal.pidfd_send_signal(os.pidfd_open(pid),
                                                                      signal.SIGSTOP)),
    } if args["signals"] else {})
template = os.getppid()
with open(f"/proc/{template}/task/{template}/children") as children:
    spares = [int(pid) for pid in children.read().split() if int(pid) != os.getpid()]
result = {"template": worst(template), "spare": [worst(pid) for pid in spares],
          "init": as_before(1), "group": attempt(os.setpriority, os.PRIO_PGRP, 0, 19),
          "user": attempt(os.setpriority, os.PRIO_USER, 0, os.getpriority(os.PRIO_USER, 0)),
          "proc": attempt(open, f"/proc/{template}/oom_score_adj", "w")}
"""
STATE = """
import os, resource, time
result = [resource.getrlimit(resource.RLIMIT_NOFILE), resource.getrlimit(resource.RLIMIT_AS),
          os.getpriority(os.PRIO_PROCESS, 0), os.sched_getscheduler(0), len(os.sched_getaffinity(0))]
"""


def test_a_call_cannot_reconfigure_or_stop_its_template_init_or_the_next_call():
    with Worker(sandbox=sandbox_policy(), isolation="call", timeout=10) as worker:
        before = worker.run_inline(STATE)["result"]["return_value"]
        # Signals are kept in by Landlock's scopes (Linux 6.12); without them a
        # stopped template would hold up the next call until its timeout.
        signals = worker.protections["landlock_scopes"] == "in force"
        tried = worker.run_inline(REACH, {"signals": signals})["result"]["return_value"]
        refused = {name: "EPERM" for name in tried["template"]}
        assert tried["template"] == refused, tried
        assert all(spare == refused for spare in tried["spare"]), tried
        assert set(tried["init"].values()) == {"EPERM"}, tried
        assert (tried["group"], tried["user"], tried["proc"]) == ("EPERM", "EPERM", "EACCES")
        for _ in range(3):
            started = time.monotonic()
            assert worker.run_inline(STATE)["result"]["return_value"] == before
            assert time.monotonic() - started < 1.0


def test_a_template_whose_own_state_changed_retires():
    # Unsandboxed nothing keeps a call from its template: the template finds
    # its limits changed before it forks again, and ends rather than hand
    # them on; the next call runs in a fresh worker with the first limits.
    lower = ("import os, resource\n"
             "soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)\n"
             "resource.prlimit(os.getppid(), resource.RLIMIT_NOFILE, (soft // 2, hard))")
    limit = "import resource\nresult = resource.getrlimit(resource.RLIMIT_NOFILE)[0]"
    with Worker(sandbox=None, isolation="call", timeout=30) as worker:
        first = worker.run_inline(limit)["result"]["return_value"]
        assert worker.run_inline(lower).ok
        assert worker.run_inline(limit)["result"]["return_value"] == first
        assert worker.stats().started == 2


# What a call can do to the keeper of its memory (its one child when it
# starts): stop it, or kill and reap it itself.
KEEPER = """
import os, signal
keeper = int(open(f"/proc/self/task/{os.getpid()}/children").read().split()[0])
if args["do"] == "stop":
    os.kill(keeper, signal.SIGSTOP)
elif args["do"] == "kill":
    os.kill(keeper, signal.SIGKILL)
    os.waitpid(keeper, 0)
result = keeper
"""
LEFT = "import os\nresult = [pid for pid in args['pids'] if os.path.exists(f'/proc/{pid}')]"


def test_a_calls_memory_keeper_ends_with_it_whatever_the_call_does(sandbox):
    with Worker(sandbox=sandbox, isolation="call", timeout=30) as worker:
        keepers = [worker.run_inline(KEEPER, {"do": do})["result"]["return_value"]
                   for do in ("stop", "kill", "nothing", "stop", *["nothing"] * 20)]
        assert len(set(keepers)) == len(keepers), keepers
        # Each has ended and been reaped (a zombie keeps its /proc entry); the
        # last one's end may still be under way as the next call comes.
        deadline = time.monotonic() + 5
        while (left := worker.run_inline(LEFT, {"pids": keepers[:-1]})["result"]["return_value"]) \
                and time.monotonic() < deadline:
            time.sleep(0.05)
        assert left == []
