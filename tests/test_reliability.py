"""Reliability: reference and memory leaks of the seven functions on every
outcome, a short fixed-seed fuzz run, and the faults a host or a script can
cause (closed pipes, cut input, SIGINT, replaced or closed streams, threads
left writing, a changed working directory or import path)."""
import collections
import importlib.util
import io
import json
import queue
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import WORKER, child_env, run_python, run_worker

TESTS = Path(__file__).resolve().parent
ROOT = TESTS.parent
VALID = {"action": "validate", "code": "x = 1"}
VALID_ANSWER = {"success": True, "result": {"valid": True, "message": "Script is valid Python"}}
QUIT_ANSWER = {"success": True, "result": "goodbye"}

# ---------------------------------------------------------------- leak checks

WARMUP = 500
CALLS = 1500  # per measured round
ROUNDS = 4  # at most; a leak of one block per call grows every round by CALLS
BLOCK_BOUND = 64  # the interpreter's caches settle slowly: a traceback-heavy case takes ~5000 calls

SCRIPTS = {
    "ok.py": "import sys\nprint('out')\nprint('err', file=sys.stderr)\nresult = {'n': len(args), 't': (1, None)}\n",
    "main.py": "def main(args=None):\n    return sorted(args or {})\n",
    "raises.py": "def helper():\n    raise ValueError('boom')\n\nhelper()\n",
    "broken.py": "def f(:\n    pass\n",
    "exits.py": "import sys\nsys.exit(3)\n",
    "badstr.py": "class Bad(Exception):\n    def __str__(self):\n        raise KeyError('no text')\n\nraise Bad()\n",
    "funcs.py": (
        "VERSION = '1'\n"
        "def area(w, h):\n    return w * h\n"
        "def nothing():\n    return None\n"
        "def fails():\n    raise LookupError('gone')\n"
        "def leave():\n    raise SystemExit(2)\n"
        "def _hidden():\n    pass\n"
    ),
    "notes.txt": "not a script\n",
}


class Bad:
    def __str__(self):
        raise KeyError("no text")


class Grows:
    """A value whose text adds an entry to the dict it sits in."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target[len(self.target)] = 0
        return "grown"


class Triples(dict):
    def items(self):
        return [(1, 2, 3)]


class Text(str):
    pass


class Table(dict):
    pass


class Sink:
    def __init__(self, fails=False):
        self.fails = fails

    def write(self, text):
        if self.fails:
            raise OSError("host went away")
        return len(text)

    def flush(self):
        pass


def _cases(name, module, scripts):
    """(outcome, call, watched arguments, expected: response prefix, exception class or None)."""
    p = {key: str(scripts / key) for key in SCRIPTS}
    table, code, text, none_code = {"n": 1}, "result = 1", Text("x"), None
    makers = {"Bad": Bad}
    nested = ([1, (2.5, None)], {"k": {1: b"x"}}, {None: True})
    ordered = collections.OrderedDict(a=[1], b={2})
    frozen, triples = frozenset({1}), Triples()
    loop = []
    loop.append(loop)

    def growing():
        target = {}
        target["g"] = Grows(target)
        target["h"] = 1
        return target

    quit_cmd, unknown_cmd = {"action": "quit"}, {"action": 7}
    inline_cmd = {"action": "run_inline", "code": "result = 2", "args": {"a": 1}}
    failing_cmd = {"action": "run_inline", "code": "1 / 0"}
    list_action, bad_member = {"action": ["quit"]}, {"action": "run_script", "args": []}
    valid_cmd = {"action": "validate", "code": "x = 1"}
    session_text = '{"action": "validate"}\n\n{bad\n{"action": "nope"}\n{"action": "quit"}\nnot read\n'
    sink = Sink()

    def without(global_name, call, *args):
        saved = module.__dict__.pop(global_name)
        try:
            return call(*args)
        finally:
            setattr(module, global_name, saved)

    def replaced(global_name, value, call, *args):
        saved = getattr(module, global_name)
        setattr(module, global_name, value)
        try:
            return call(*args)
        finally:
            setattr(module, global_name, saved)

    def serve(text, out=sink):
        saved = sys.stdin, sys.stdout
        sys.stdin, sys.stdout = io.StringIO(text), out
        try:
            return module.main()
        finally:
            sys.stdin, sys.stdout = saved

    run_script, run_inline, run_function = module.run_script, module.run_inline, module.run_function
    return {
        "run_script": [
            ("success", lambda: run_script(p["ok.py"], table), [p["ok.py"], table], "success"),
            ("main", lambda: run_script(p["main.py"], table), [p["main.py"], table], "success"),
            ("not found", lambda: run_script("missing.py"), [], "Script not found: "),
            ("raises", lambda: run_script(p["raises.py"]), [p["raises.py"]], "ValueError: boom"),
            ("syntax error", lambda: run_script(p["broken.py"]), [p["broken.py"]], "SyntaxError: "),
            ("directory", lambda: run_script(str(scripts)), [], "IsADirectoryError: "),
            ("exits", lambda: run_script(p["exits.py"], table), [p["exits.py"], table], SystemExit),
            ("text fails", lambda: run_script(p["badstr.py"]), [p["badstr.py"]], KeyError),
            ("path type", lambda: run_script(5), [], TypeError),
            ("args type", lambda: run_script(p["ok.py"], [1]), [p["ok.py"]], TypeError),
            ("subclass", lambda: run_script(text), [text], TypeError),
            ("count", lambda: run_script(), [], TypeError),
            ("keyword", lambda: run_script(p["ok.py"], nope=table), [table], TypeError),
        ],
        "run_inline": [
            ("success", lambda: run_inline("print('x')\nresult = args", table), [table], "success"),
            ("raises", lambda: run_inline("1 / 0", table), [table], "ZeroDivisionError: "),
            ("syntax error", lambda: run_inline("return 1"), [], "SyntaxError: "),
            ("serialize fails", lambda: run_inline("result = [args['Bad']()]", makers), [makers], "KeyError: "),
            ("exits", lambda: run_inline("raise SystemExit(4)", table), [table], SystemExit),
            ("interrupt", lambda: run_inline("raise KeyboardInterrupt"), [], KeyboardInterrupt),
            ("text fails", lambda: run_inline("raise ValueError(args['Bad']())", makers), [makers], KeyError),
            ("code type", lambda: run_inline(none_code), [], TypeError),
            ("args subclass", lambda: run_inline(code, Table()), [code], TypeError),
            ("multiple values", lambda: run_inline(code, code=code), [code], TypeError),
        ],
        "run_function": [
            ("success", lambda: run_function(p["funcs.py"], "area", {"w": 2, "h": 3}), [p["funcs.py"]], "success"),
            ("no arguments", lambda: run_function(p["funcs.py"], "nothing", {}), [p["funcs.py"]], "success"),
            ("not found", lambda: run_function("missing.py", "area"), [], "Script not found: "),
            ("no loader", lambda: run_function(p["notes.txt"], "main"), [p["notes.txt"]], "Cannot load module"),
            ("missing", lambda: run_function(p["funcs.py"], "volume"), [p["funcs.py"]], "Function 'volume'"),
            ("not callable", lambda: run_function(p["funcs.py"], "VERSION"), [], "'VERSION' is not"),
            ("raises", lambda: run_function(p["funcs.py"], "fails"), [], "LookupError: gone"),
            ("bad keyword", lambda: run_function(p["funcs.py"], "area", table), [table], "TypeError: "),
            ("load fails", lambda: run_function(p["raises.py"], "helper"), [], "ValueError: boom"),
            ("exits", lambda: run_function(p["funcs.py"], "leave"), [], SystemExit),
            ("name type", lambda: run_function(p["funcs.py"], 3), [p["funcs.py"]], TypeError),
            ("count", lambda: run_function(path=p["funcs.py"], args=table), [table], TypeError),
        ],
        "validate_script": [
            ("valid", lambda: module.validate_script(code), [code], "success"),
            ("invalid", lambda: module.validate_script("x = ("), [], "success"),
            ("null character", lambda: module.validate_script("x\0"), [], _null_outcome()),
            ("code type", lambda: module.validate_script(none_code), [], TypeError),
            ("subclass", lambda: module.validate_script(text), [text], TypeError),
            ("count", lambda: module.validate_script(code, code), [code], TypeError),
        ],
        "_serialize": [
            ("unchanged", lambda: module._serialize(text), [text], None),
            ("nested", lambda: module._serialize(nested), [nested, *nested], None),
            ("dict subclass", lambda: module._serialize(ordered), [ordered], None),
            ("text", lambda: module._serialize(frozen), [frozen], None),
            ("text fails", lambda: module._serialize([1, Bad()]), [Bad], KeyError),
            ("changed size", lambda: module._serialize(growing()), [], RuntimeError),
            ("unpacking", lambda: module._serialize(triples), [triples], ValueError),
            ("recursion", lambda: module._serialize(loop), [loop], RecursionError),
            ("count", lambda: module._serialize(), [], TypeError),
        ],
        "handle_command": [
            ("quit", lambda: module.handle_command(quit_cmd), [quit_cmd], "success"),
            ("unknown", lambda: module.handle_command(unknown_cmd), [unknown_cmd], "Unknown action: "),
            ("route", lambda: module.handle_command(inline_cmd), [inline_cmd], "success"),
            ("route fails", lambda: module.handle_command(failing_cmd), [failing_cmd], "ZeroDivisionError"),
            ("unhashable", lambda: module.handle_command(list_action), [list_action], TypeError),
            ("member type", lambda: module.handle_command(bad_member), [bad_member], TypeError),
            ("cmd type", lambda: module.handle_command([quit_cmd]), [quit_cmd], TypeError),
            ("unbound handler", lambda: without("validate_script", module.handle_command, valid_cmd),
             [valid_cmd], NameError),
            ("result type", lambda: replaced("validate_script", lambda c: 5, module.handle_command, valid_cmd),
             [valid_cmd], TypeError),
        ],
        "main": [
            ("session", lambda: serve(session_text), [session_text, sink], None),
            ("not an object", lambda: serve("[1]\n"), [sink], TypeError),
            ("write fails", lambda: serve(session_text, Sink(fails=True)), [session_text], OSError),
            ("encoding fails", lambda: replaced("handle_command", lambda c: {"x": sink}, serve, session_text),
             [session_text, sink], TypeError),
            ("too deep", lambda: serve("[" * 100_000 + "\n"), [], RecursionError),
            ("arguments", lambda: module.main(sink), [sink], TypeError),
        ],
    }[name]


def _null_outcome():
    """What validating a NUL character gives, as this interpreter's compile() has it:
    an answer where it raises SyntaxError (3.11.4 on), ValueError where it raises that."""
    try:
        compile("x\0", "<null>", "exec")
    except SyntaxError:
        return "success"
    except ValueError:
        return ValueError


def _leak_check(name, scripts):
    """Runs in a fresh interpreter: prints one JSON line per outcome."""
    import gc
    import vantor.workers.custom_worker as module

    def attempt(call):
        try:
            return call()
        except BaseException as e:  # noqa: B036 - every propagated exception is an outcome
            return e

    for outcome, call, watched, expected in _cases(name, module, Path(scripts)):
        first = attempt(call)
        if isinstance(expected, type):
            assert type(first) is expected, (outcome, first)
        elif expected is not None:
            assert isinstance(first, dict), (outcome, first)
            shown = "success" if first.get("success") else first.get("error", "")
            assert shown.startswith(expected), (outcome, first)
        del first
        for _ in range(WARMUP):
            attempt(call)
        gc.collect()
        refs = [sys.getrefcount(value) for value in watched]
        growth = []
        while len(growth) < ROUNDS and (not growth or min(growth) > BLOCK_BOUND):
            blocks = sys.getallocatedblocks()
            for _ in range(CALLS):
                attempt(call)
            gc.collect()
            growth.append(sys.getallocatedblocks() - blocks)
        refs = [after - before for after, before in zip([sys.getrefcount(value) for value in watched], refs)]
        print(json.dumps({"outcome": outcome, "calls": 1 + WARMUP + len(growth) * CALLS, "refs": refs,
                          "blocks": min(growth)}))


@pytest.fixture(scope="module")
def leak_scripts(tmp_path_factory):
    directory = tmp_path_factory.mktemp("leak-scripts")
    for name, text in SCRIPTS.items():
        (directory / name).write_text(text)
    return directory


@pytest.mark.parametrize("name", ["run_script", "run_inline", "run_function", "validate_script",
                                  "_serialize", "handle_command", "main"])
def test_outcomes_leak_no_references_or_memory(name, leak_scripts):
    completed = run_python(f"""
        import sys
        sys.path.insert(0, {str(TESTS)!r})
        import test_reliability
        test_reliability._leak_check({name!r}, {str(leak_scripts)!r})
    """, cwd=leak_scripts, timeout=240)
    assert completed.returncode == 0, completed.stderr.decode()[-3000:]
    results = [json.loads(line) for line in completed.stdout.decode().splitlines() if line.startswith("{")]
    assert results, completed.stdout.decode()
    leaking = [r for r in results if any(r["refs"]) or r["blocks"] > BLOCK_BOUND]
    assert not leaking, leaking


# ---------------------------------------------------------------- fuzzing

def test_fixed_seed_fuzz_run_finds_nothing(tmp_path):
    spec = importlib.util.spec_from_file_location("fuzz", ROOT / "tools" / "fuzz.py")
    fuzz = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fuzz)
    fuzzer = fuzz.Fuzzer(WORKER, 20240611, big=False, batch=40, timeout=60, save=tmp_path).run(lines=300)
    assert fuzzer.lines == 300
    assert fuzzer.findings == []


# ---------------------------------------------------------------- faults

class Worker:
    """A worker driven line by line, every read bounded by a timeout."""

    def __init__(self, cwd=None):
        self.process = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, cwd=cwd, env=child_env())
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.decode("ascii").rstrip("\n"))
        self.lines.put(None)

    def send(self, *requests):
        for request in requests:
            self.process.stdin.write(json.dumps(request).encode() + b"\n")
        self.process.stdin.flush()

    def line(self, timeout=30):
        return self.lines.get(timeout=timeout)

    def answer(self, timeout=30):
        return json.loads(self.line(timeout))

    def finish(self, timeout=30):
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        return self.process.wait(timeout=timeout)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for stream in (self.process.stdin, self.process.stderr):
            try:
                stream.close()
            except OSError:
                pass


@pytest.fixture
def worker():
    started = []

    def start(cwd=None):
        started.append(Worker(cwd))
        return started[-1]

    yield start
    for each in started:
        each.close()


@pytest.mark.parametrize("code", ["", "result = 'x' * 300000"])
def test_closed_stdout_ends_the_worker_with_the_write_error(code):
    process = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=child_env())
    try:
        process.stdout.close()
        process.stdin.write(json.dumps({"action": "run_inline", "code": code}).encode() + b"\n")
        process.stdin.flush()
        # stdin stays open: only the failed write can end the worker.
        stderr = process.stderr.read().decode()
        # 120: the interpreter's own flush of the unwritten answer at exit fails too.
        assert process.wait(timeout=30) in (1, 120)
        assert "in vantor.workers.custom_worker.main\nBrokenPipeError: [Errno 32] Broken pipe" in stderr
    finally:
        process.kill()
        process.wait()


@pytest.mark.parametrize("tail, last", [
    (b'{"action": "validate", "code": "x = ("}', {"success": True, "result": {
        "valid": False, "message": "Syntax error at line 1: '(' was never closed", "line": 1, "offset": 5}}),
    (b'{"action": "validate", "co', {"success": False, "error":
                                    "Invalid JSON: Unterminated string starting at: line 1 column 24 (char 23)"}),
    (b"   \r", None),
])
def test_input_ending_mid_line(tail, last):
    session = run_worker(raw=json.dumps(VALID).encode() + b"\r\n" + tail, timeout=30)
    assert session.answers == [VALID_ANSWER] + ([last] if last else [])
    assert session.returncode == 0


def test_sigint_while_idle_and_while_a_script_runs(worker):
    w = worker()
    w.send(VALID)
    assert w.answer() == VALID_ANSWER
    w.process.send_signal(signal.SIGINT)
    w.send({"action": "run_inline", "code": "import time\ntime.sleep(0.6)\nresult = 'slept'"})
    time.sleep(0.3)
    w.process.send_signal(signal.SIGINT)
    assert w.answer()["result"] == {"output": "", "errors": "", "return_value": "slept"}
    w.send(VALID, {"action": "quit"})
    assert [w.answer(), w.answer()] == [VALID_ANSWER, QUIT_ANSWER]
    assert w.finish() == 0


def test_scripts_replacing_or_closing_the_captured_streams(tmp_path):
    session = run_worker(
        {"action": "run_inline", "code": "import sys, io\nsys.stdout = io.StringIO()\nsys.stderr = None\n"
                                         "print('kept')\nresult = 1"},
        {"action": "run_inline", "code": "import sys\nsys.stdout.close()"},
        {"action": "run_inline", "code": "import sys\nsys.stderr.close()"},
        {"action": "run_inline", "code": "print('after')"},
        VALID, timeout=30)
    first, closed_out, closed_err, after, valid = session.answers
    assert first == {"success": True, "result": {"output": "", "errors": "", "return_value": 1}}
    assert closed_out["error"].startswith("ValueError: I/O operation on closed file")
    assert closed_err["error"].startswith("ValueError: I/O operation on closed file")
    assert after["result"]["output"] == "after\n" and valid == VALID_ANSWER
    assert session.returncode == 0


def test_functions_rebinding_the_real_stdout_move_the_answers(tmp_path):
    (tmp_path / "streams.py").write_text(
        "import sys\n"
        "def to_stderr():\n    sys.stdout = sys.stderr\n"
        "def back():\n    sys.stdout = sys.__stdout__\n")
    call = {"action": "run_function", "path": "streams.py"}
    session = run_worker(dict(call, function="to_stderr"), VALID, dict(call, function="back"), VALID,
                         cwd=tmp_path, timeout=30)
    moved = [json.loads(line) for line in session.stderr.decode().splitlines() if line.startswith("{")]
    assert moved == [{"success": True, "result": {"return_value": None}}, VALID_ANSWER]
    assert session.answers == [{"success": True, "result": {"return_value": None}}, VALID_ANSWER]


@pytest.mark.parametrize("stream, ends", [("stdout", True), ("stderr", False)])
def test_scripts_closing_the_real_streams(stream, ends):
    session = run_worker({"action": "run_inline", "code": f"import sys\nsys.__{stream}__.close()"},
                         VALID, timeout=30)
    if ends:
        # The answer cannot be written: the worker ends with that error.
        assert session.stdout == b"" and session.returncode == 1
    else:
        assert session.answers == [{"success": True, "result": {"output": "", "errors": "", "return_value": None}},
                                   VALID_ANSWER]
        assert session.returncode == 0


def test_threads_left_writing_do_not_break_answers(worker):
    w = worker()
    w.send({"action": "run_inline", "code": (
        "import sys, threading, time\n"
        "def tick():\n"
        "    for _ in range(40):\n"
        "        sys.stdout.write('tick\\n')\n"
        "        sys.stderr.write('tock\\n')\n"
        "        time.sleep(0.003)\n"
        "threading.Thread(target=tick).start()\n"
        "result = 'started'")})
    requests = [{"action": "validate", "code": f"x = {n}"} for n in range(30)]
    for request in requests:
        w.send(request)
        time.sleep(0.002)
    w.send({"action": "quit"})
    lines = []
    while (line := w.line()) is not None:
        lines.append(line)
    answers = [json.loads(line) for line in lines if line != "tick"]
    assert answers[0]["result"]["return_value"] == "started"
    assert answers[1:] == [VALID_ANSWER] * len(requests) + [QUIT_ANSWER]
    assert 0 < lines.count("tick") <= 40
    assert w.finish() == 0


def test_scripts_changing_the_working_directory_or_import_path(tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (tmp_path / "here.py").write_text("result = 'here'\n")
    (elsewhere / "here.py").write_text("result = 'elsewhere'\ndef where():\n    return 'elsewhere'\n")
    (elsewhere / "helper_mod.py").write_text("VALUE = 42\n")
    session = run_worker(
        {"action": "run_script", "path": "here.py"},
        {"action": "run_inline", "code": f"import os\nos.chdir({str(elsewhere)!r})"},
        {"action": "run_script", "path": "here.py"},
        {"action": "run_function", "path": "here.py", "function": "where"},
        {"action": "run_script", "path": str(tmp_path / "here.py")},
        {"action": "run_inline", "code": f"import sys\nsys.path.insert(0, {str(elsewhere)!r})"},
        {"action": "run_inline", "code": "import helper_mod\nresult = helper_mod.VALUE"},
        # From 3.13 formatting a traceback imports tokenize on first use, which
        # a cleared path no longer finds; the interpreter then ends the worker.
        {"action": "run_inline", "code": "import sys, tokenize\nsys.path.clear()"},
        {"action": "run_inline", "code": "import json\nresult = json.dumps([1])"},
        {"action": "run_inline", "code": "import colorsys"},
        {"action": "run_inline", "code": "1 / 0"},
        {"action": "run_function", "path": "here.py", "function": "nowhere"},
        VALID, cwd=tmp_path, timeout=30)
    values = [answer["error"].split("\n")[0] if not answer["success"] else
              answer["result"].get("message", answer["result"].get("return_value")) for answer in session.answers]
    assert values == ["here", None, "elsewhere", "elsewhere", "here", None, 42, None, "[1]",
                      "ModuleNotFoundError: No module named 'colorsys'", "ZeroDivisionError: division by zero",
                      "Function 'nowhere' not found. Available: ['where']", "Script is valid Python"]
    assert session.returncode == 0
