"""The host-side client, driven against the installed worker."""

import faulthandler
import json
import os
import shlex
import signal
import subprocess
import sys
import threading
import time
import uuid

import pytest

from conftest import reaped, sandbox_policy
from vantor.workers.client import (Worker, WorkerClosed, WorkerDied, WorkerOutputLimit,
                                   WorkerPool, WorkerProtocolError, WorkerTimeout)

# Another launcher (a sanitizer or debugger wrapper, say) may be given here.
COMMAND = shlex.split(os.environ.get("VANTOR_WORKER_COMMAND", "")) or [
    sys.executable, "-m", "vantor.workers"]
GUARD = 60  # seconds: the limit of every call that is not about timeouts
MARGIN = 10  # seconds allowed past a timeout on a loaded machine

posix_only = pytest.mark.skipif(os.name != "posix", reason="process groups are POSIX")


@pytest.fixture(autouse=True)
def hang_guard():
    # Backstop for a hang outside the client's own timeouts: fail loudly.
    faulthandler.dump_traceback_later(240, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def worker():
    with Worker(COMMAND, timeout=GUARD, sandbox=None) as w:
        yield w


def running(pid):
    """True while the process exists and is not a zombie."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return True


def gone_soon(pid, within=10.0):
    deadline = time.monotonic() + within
    while running(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    return not running(pid)


def script(tmp_path, text):
    path = tmp_path / f"tool_{uuid.uuid4().hex}.py"
    path.write_text(text)
    return str(path)


def test_answers_carry_the_protocol_and_stray_output(worker, tmp_path):
    assert worker.run_inline("print('hi')\nresult = 6 * 7") == {
        "success": True, "result": {"output": "hi\n", "errors": "", "return_value": 42}}
    assert worker.validate("x = (")["result"]["valid"] is False
    path = script(tmp_path, (
        "import json\n"
        "def main(word):\n"
        "    print('first', word)\n"
        "    print(json.dumps({'success': True}))\n"
        "    print('caf\\u00e9')\n"
        "    print('no line feed', end='')\n"
        "    return {'success': True, 'result': word}\n"))
    answer = worker.run_function(path, args={"word": "x"})
    assert answer == {"success": True, "result": {"return_value": {"success": True, "result": "x"}}}
    assert answer.stray == ["first x", '{"success": true}', "caf\u00e9", "no line feed"]
    assert worker.run_inline("result = 1").stray == []
    big = "\u00e9" * 300_000  # far more than a pipe holds, both ways
    assert worker.run_inline(f"result = {big!r}")["result"]["return_value"] == big


ANSWER_LINE = "json.dumps({'success': True, 'result': 'fake'})"
# Run by a hostile tool: writes two forged answers at once on every pipe it may write to.
FORGE = (
    "import fcntl, os, stat\n"
    "for fd in map(int, os.listdir('/proc/self/fd')):\n"
    "    try:\n"
    "        writable = fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_ACCMODE == os.O_WRONLY\n"
    "        if fd > 2 and writable and stat.S_ISFIFO(os.fstat(fd).st_mode):\n"
    "            os.write(fd, b'{\"success\": true, \"result\": \"forged\"}\\n' * 2)\n"
    "    except OSError:\n"
    "        pass\n")


def test_each_caller_gets_its_own_answer_whatever_a_tool_prints(tmp_path):
    # Lines shaped exactly like answers, printed by run_function code or
    # written straight to standard output by a thread a tool left running,
    # while two callers share one worker: each gets its own answer.
    mimic = script(tmp_path, (
        "import json\n"
        "def main(n):\n"
        f"    print({ANSWER_LINE})\n"
        f"    print({ANSWER_LINE}, end='')\n"
        "    return n\n"))
    haunt = (
        "import json, os, threading, time\n"
        f"line = {ANSWER_LINE}.encode() + b'\\n'\n"
        "def haunt():\n"
        "    for _ in range(200):\n"
        "        os.write(1, line)\n"
        "        time.sleep(0.002)\n"
        "threading.Thread(target=haunt, daemon=True).start()\n")
    results = []

    def caller(first):
        for n in range(first, first + 30):
            if n % 10 == 0:
                worker.run_inline(haunt)
            answer = (worker.run_function(mimic, args={"n": n}) if n % 2
                      else worker.run_inline(f"result = {n}"))
            results.append((n, answer["result"]["return_value"], answer.stray))

    with Worker(COMMAND, timeout=GUARD, sandbox=None) as worker:
        callers = [threading.Thread(target=caller, args=(first,)) for first in (0, 1000)]
        for thread in callers:
            thread.start()
        for thread in callers:
            thread.join(GUARD)
        assert len(results) == 60 and all(n == value for n, value, _ in results)
        assert all("".join(stray).count('"fake"') >= 2 for n, _, stray in results if n % 2)
        # Answers that cannot all be placed: the call fails, the worker is retired.
        with pytest.raises(WorkerProtocolError):
            worker.run_inline(FORGE)
        assert worker.run_inline("result = 7")["result"]["return_value"] == 7


def test_a_flood_of_short_lines_costs_the_host_no_more_than_the_output_limit(tmp_path):
    flood = script(tmp_path, "def main():\n    for _ in range(200_000):\n        print('x')\n")
    with Worker(COMMAND, timeout=GUARD, sandbox=None, output_limit=1 << 20) as worker:
        with pytest.raises(WorkerOutputLimit) as caught:
            worker.run_function(flood)
        stray = caught.value.stray
        assert 0 < len(stray) and set(stray) == {"x"}
        assert sys.getsizeof(stray) + sum(map(sys.getsizeof, stray)) <= 1 << 20


def test_timeout_kills_a_busy_loop_and_the_next_call_starts_afresh(worker):
    pid = worker.run_inline("import os\nresult = os.getpid()")["result"]["return_value"]
    started = time.monotonic()
    with pytest.raises(WorkerTimeout) as caught:
        worker.run_inline("while True: pass", timeout=1)
    assert time.monotonic() - started < 1 + MARGIN
    assert caught.value.timeout == 1 and isinstance(caught.value, TimeoutError)
    assert reaped(pid) and worker.pid is None
    answer = worker.run_inline("import os\nresult = os.getpid()")
    assert answer["success"] and answer["result"]["return_value"] != pid


@posix_only
def test_stopping_a_worker_stops_what_its_tool_started(worker, tmp_path):
    path = script(tmp_path, (
        "import subprocess, sys\n"
        "def spawn():\n"
        # The child holds the worker's stdout open and keeps its stderr busy.
        "    return subprocess.Popen([sys.executable, '-c', 'import sys, time\\n'\n"
        "        'while True: sys.stderr.write(\"x\\\\n\"); sys.stderr.flush(); time.sleep(0.05)']).pid\n"
        "def spawn_and_exit():\n"
        "    print(spawn(), flush=True)\n"
        "    sys.exit(3)\n"
        "def spawn_and_spin():\n"
        "    print(spawn(), flush=True)\n"
        "    while True: pass\n"))
    # The children keep the worker's stdout open: no end of file ever arrives.
    with pytest.raises(WorkerDied) as died:
        worker.run_function(path, "spawn_and_exit")
    assert died.value.returncode == 3 and gone_soon(int(died.value.stray[0]))
    with pytest.raises(WorkerTimeout) as timed_out:
        worker.run_function(path, "spawn_and_spin", timeout=2)
    assert gone_soon(int(timed_out.value.stray[0]))
    child = worker.run_function(path, "spawn")["result"]["return_value"]
    worker.close()
    assert gone_soon(child)


def test_exit_in_a_script_raises_worker_died_and_the_next_call_works(worker, tmp_path):
    path = script(tmp_path, "print('partial')\nimport sys\nsys.exit('tool gave up: no input')\n")
    with pytest.raises(WorkerDied) as caught:
        worker.run_script(path)
    assert caught.value.returncode == 1
    assert "tool gave up: no input" in caught.value.stderr
    assert "tool gave up: no input" in str(caught.value)
    with pytest.raises(WorkerDied) as caught:
        worker.run_inline("raise SystemExit(0)")
    assert caught.value.returncode == 0
    answer = worker.run_script(script(tmp_path, "result = 'fine'"))
    assert answer["result"]["return_value"] == "fine"


@posix_only
def test_a_worker_that_ended_while_idle_is_replaced_and_no_request_runs_twice(worker, tmp_path):
    worker.validate("1")
    os.kill(worker.pid, signal.SIGKILL)
    assert gone_soon(worker.pid)
    assert worker.validate("x = 1")["success"] is True
    # Ended while something it started still holds its pipes: no end of file comes.
    marker = f"holder-{uuid.uuid4().hex}"
    holder = worker.run_inline(
        "import subprocess, sys\n"
        f"result = subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(20)',"
        f" {marker!r}], start_new_session=True).pid")["result"]["return_value"]
    try:
        ended = worker.pid
        os.kill(ended, signal.SIGKILL)
        assert gone_soon(ended)
        assert worker.validate("x = 2")["success"] is True
        assert worker.pid != ended
    finally:
        try:
            with open(f"/proc/{holder}/cmdline", "rb") as cmdline:
                if marker.encode() in cmdline.read():
                    os.kill(holder, signal.SIGKILL)
        except (FileNotFoundError, ProcessLookupError):  # it ended by itself
            pass
    assert worker.stats().deaths == 0
    # A request that ends its worker was taken: it fails, and is never sent again.
    log = tmp_path / "runs.log"
    with pytest.raises(WorkerDied):
        worker.run_inline(f"open({str(log)!r}, 'a').write('ran\\n'); import os; os._exit(3)")
    assert log.read_text() == "ran\n"


def test_late_output_then_an_idle_death_still_lets_the_next_call_through(worker, tmp_path):
    tool = script(tmp_path, (
        "import os, threading, time\n"
        "def late():\n"
        "    time.sleep(0.2)\n"
        "    print('late', flush=True)\n"
        "    os._exit(3)\n"
        "def main():\n"
        "    threading.Thread(target=late).start()\n"))
    worker.run_function(tool)
    assert gone_soon(worker.pid)
    answer = worker.run_inline("result = 5")
    assert answer["result"]["return_value"] == 5 and answer.stray == []
    assert worker.stats().deaths == 0


def test_start_up_is_waited_for_apart_from_the_call():
    # A start stretched far past the call's timeout (the process stopped for
    # a while) is waited for and kept; one killed before it is ready is
    # replaced without a word.  Sandboxed or not.
    def first_pid(worker, caller):
        deadline = time.monotonic() + GUARD
        while worker.pid is None:
            assert caller.is_alive() and time.monotonic() < deadline, "the worker never started"
            time.sleep(0.0005)
        return worker.pid

    cases = [(sandbox, interfere, starts) for sandbox in (sandbox_policy(), None)
             for interfere, starts in ((signal.SIGSTOP, 1), (signal.SIGKILL, 2))]
    for sandbox, interfere, starts in cases:
        with Worker(COMMAND if sandbox is None else None, sandbox=sandbox, timeout=2) as worker:
            answers = []
            caller = threading.Thread(target=lambda: answers.append(worker.validate("x = 1")))
            caller.start()
            pid = first_pid(worker, caller)
            os.kill(pid, interfere)
            if interfere == signal.SIGSTOP:
                time.sleep(3)
                os.kill(pid, signal.SIGCONT)
            caller.join(GUARD)
            assert answers[0]["result"]["valid"] is True
            assert worker.stats().started == starts and worker.stats().timeouts == 0


def children():
    """PIDs of this process's children, zombies included."""
    found = set()
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                    found.add(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return found


def test_close_during_a_replacement_start_leaves_no_process_behind():
    before = children()
    for delay in (0, 0.001, 0.003, 0.01, 0.03):
        pool = WorkerPool(1, COMMAND, sandbox=None, max_requests=1, timeout=GUARD).start()

        def calls():
            try:
                while True:
                    pool.validate("1")
            except WorkerClosed:
                pass

        caller = threading.Thread(target=calls)
        caller.start()
        time.sleep(delay)
        pool.close()
        caller.join(GUARD)
        assert children() <= before


def test_raw_and_ill_typed_request_lines(worker):
    with pytest.raises(WorkerDied) as caught:
        worker.request_line("[1, 2]")
    assert "TypeError" in caught.value.stderr and "list" in caught.value.stderr
    with pytest.raises(WorkerDied) as caught:
        worker.request({"action": "run_inline", "code": 5})
    assert "'code'" in caught.value.stderr
    assert worker.validate("1")["success"]  # on a fresh worker
    pid = worker.pid
    answer = worker.request_line("{bad")
    assert not answer["success"] and answer["error"].startswith("Invalid JSON: ")
    answer = worker.request_line('  {"action": "nope"} ')
    assert answer == {"success": False, "error": "Unknown action: nope"}
    assert worker.pid == pid  # answered errors do not cost the worker
    for bad in ["", "   ", '{"action": "quit"}\n{"action": "quit"}']:
        with pytest.raises(ValueError):
            worker.request_line(bad)
    assert worker.request({"action": "quit"}) == {"success": True, "result": "goodbye"}
    assert worker.pid is None and reaped(pid)
    assert worker.validate("")["result"]["valid"] is True


def test_stderr_is_drained_and_bounded(tmp_path):
    path = script(tmp_path, (
        "import sys\n"
        "def main():\n"
        "    for i in range(20000):\n"
        "        print('noise', i, 'x' * 50, file=sys.stderr)\n"
        "    print('last words', file=sys.stderr, flush=True)\n"))
    # 1 MB of standard error is far more than a pipe holds.
    with Worker(COMMAND, timeout=GUARD, sandbox=None, stderr_limit=4096) as worker:
        assert worker.run_function(path)["success"]
        # What the answer overtook in the pipe is read by the next call.
        deadline = time.monotonic() + 30
        while not worker.stderr_tail.endswith("last words\n") and time.monotonic() < deadline:
            worker.run_inline("pass")
        tail = worker.stderr_tail
        assert len(tail.encode()) <= 4096 and tail.endswith("last words\n")


def test_pool_matches_every_answer_to_its_call_across_threads(tmp_path):
    fn_path = script(tmp_path, "def main(n):\n    print('called', n)\n    return n * 2\n")
    exit_path = script(tmp_path, "import sys\nsys.exit('exit %s' % args['n'])\n")

    def call(pool, n):
        kind = n % 5
        if n % 40 == 7:
            with pytest.raises(WorkerDied) as died:
                pool.run_script(exit_path, {"n": n})
            assert f"exit {n}" in died.value.stderr
            return None
        if n % 100 == 13:
            with pytest.raises(WorkerTimeout):
                pool.run_inline("while True: pass", timeout=1)
            return None
        if kind == 0:
            answer = pool.run_inline(f"import os\nprint({n})\nresult = [{n}, os.getpid()]")
            assert answer["result"]["output"] == f"{n}\n"
            assert answer["result"]["return_value"][0] == n
            return answer["result"]["return_value"][1]
        if kind == 1:
            answer = pool.run_function(fn_path, args={"n": n})
            assert answer["result"]["return_value"] == 2 * n and answer.stray == [f"called {n}"]
        elif kind == 2:
            answer = pool.validate("\n" * n + "x = (")
            assert answer["result"]["line"] == n + 1
        elif kind == 3:
            answer = pool.run_inline("result = args['n']", {"n": n})
            assert answer["result"]["return_value"] == n
        else:
            answer = pool.run_inline(f"raise KeyError({n})")
            assert answer["error"].startswith(f"KeyError: {n}\n")
        return None

    results, errors = {}, []

    def thread_main(numbers):
        for n in numbers:
            try:
                results[n] = call(pool, n)
            except BaseException as e:  # reported below
                errors.append((n, e))

    with WorkerPool(4, COMMAND, timeout=GUARD, sandbox=None) as pool:
        threads = [threading.Thread(target=thread_main, args=(range(t, 200, 8),)) for t in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(GUARD * 3)
        assert not any(t.is_alive() for t in threads)
        assert errors == []
        assert sorted(results) == list(range(200))
        last_pids = pool.pids()
    seen = {pid for pid in results.values() if pid is not None}
    assert len(last_pids) <= 4
    assert all(reaped(pid) for pid in seen | set(last_pids))


def test_close_reaps_every_process_and_cuts_running_calls_short():
    pool = WorkerPool(4, COMMAND, timeout=GUARD, sandbox=None).start()
    pids = pool.pids()
    assert len(set(pids)) == 4 and all(running(pid) for pid in pids)
    outcome = []

    def busy():
        try:
            pool.run_inline("while True: pass")
        except BaseException as e:
            outcome.append(e)

    thread = threading.Thread(target=busy)
    thread.start()
    time.sleep(0.5)
    pool.close()
    thread.join(GUARD)
    assert [type(e) for e in outcome] == [WorkerClosed]
    assert all(reaped(pid) for pid in pids) and pool.pids() == []
    with pytest.raises(WorkerClosed):
        pool.validate("1")


def test_interpreter_exit_reaps_a_busy_worker():
    host = (
        "import sys, threading, time\n"
        "from vantor.workers.client import Worker\n"
        f"w = Worker({COMMAND!r}, sandbox=None)\n"
        "threading.Thread(target=w.run_inline, args=('while True: pass',), daemon=True).start()\n"
        "while w.pid is None: time.sleep(0.01)\n"
        "print(w.pid, flush=True)\n")
    done = subprocess.run([sys.executable, "-c", host], capture_output=True, text=True,
                          timeout=GUARD)
    pid = int(done.stdout)
    try:
        assert gone_soon(pid)
    finally:
        if running(pid):
            os.kill(pid, 9)


def test_a_forked_child_that_exits_leaves_its_parents_workers_serving():
    host = (
        "import os, sys\n"
        f"sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        "from conftest import sandbox_policy\n"
        "from vantor.workers.client import Worker\n"
        "workers = [Worker(sandbox=None), Worker(sandbox=sandbox_policy())]\n"
        "for worker in workers:\n"
        "    worker.run_inline('x = 1')\n"
        "pid = os.fork()\n"
        "if pid == 0:\n"
        "    sys.exit(0)  # a normal exit: what exit runs, runs\n"
        "pids = [w.pid for w in workers]\n"
        "os.waitpid(pid, 0)\n"
        "print([w.run_inline('result = 2')['result']['return_value'] for w in workers],\n"
        "      [w.pid for w in workers] == pids, [w.stats().restarts for w in workers])\n")
    done = subprocess.run([sys.executable, "-c", host], capture_output=True, text=True,
                          timeout=GUARD)
    assert done.stdout == "[2, 2] True [0, 0]\n", done.stderr
