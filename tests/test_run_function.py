"""run_function: a script loaded as a fresh module and one function called."""
import gc
import json
import os
import subprocess
import sys
import textwrap
import threading
import traceback
from types import SimpleNamespace

import pytest

from conftest import WORKER, child_env, run_worker

ENTRY = "vantor.workers.custom_worker.run_function"


def write(directory, text, name="tool.py"):
    path = directory / name
    path.write_text(textwrap.dedent(text))
    return str(path)


def assert_caught(answer, head):
    """A caught-exception answer: `head`, then a traceback led by our entry."""
    assert list(answer) == ["success", "error"] and answer["success"] is False
    first, rest = answer["error"].split("\n", 1)
    assert first.startswith(head), first
    lines = rest.splitlines()
    assert lines[0] == "Traceback (most recent call last):"
    assert lines[1].endswith(f", in {ENTRY}"), lines[1]
    return lines


@pytest.mark.parametrize("path", ["missing.py", "~/missing.py", "./a/../missing.py", "dé/x.py"])
def test_missing_script_is_named_as_received(worker_module, tmp_path, monkeypatch, path):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("HOME", str(tmp_path))
    assert worker_module.run_function(path, "main", None) == {
        "success": False, "error": "Script not found: " + path}


def test_files_without_a_loader_are_refused_unread(tmp_path):
    (tmp_path / "notes.txt").write_text("def main(): pass\n")
    (tmp_path / "plain").mkdir()
    os.mkfifo(tmp_path / "pipe.txt")  # reading it would block the worker
    paths = ["", "notes.txt", "plain", "pipe.txt"]
    session = run_worker(*({"action": "run_function", "path": p} for p in paths),
                         cwd=tmp_path, timeout=20)
    assert session.answers == [
        {"success": False, "error": "Cannot load module from: " + p} for p in paths]


class FalseFinding:
    def __bool__(self):
        return False

    @property
    def loader(self):
        raise AssertionError("the loader of a false finding is read")


@pytest.mark.parametrize("found", [None, FalseFinding(), SimpleNamespace(loader=None),
                                   SimpleNamespace(loader=0)])
def test_false_findings_and_loaders_mean_no_loader(worker_module, tmp_path, monkeypatch, found):
    path = write(tmp_path, "def main(): return 1\n")
    requested = []
    util = SimpleNamespace(spec_from_file_location=lambda *given: requested.append(given) or found)
    monkeypatch.setattr(worker_module, "importlib", SimpleNamespace(util=util))
    assert worker_module.run_function(path, "main") == {
        "success": False, "error": "Cannot load module from: " + path}
    assert requested == [("custom_module", os.path.realpath(path))]


NAMES = """
from pathlib import Path
import os
LIMIT = 3
class Tool: pass
def helper(): pass
def _private(): pass
"""


@pytest.mark.parametrize("binding, listed", [
    ("", "['Path', 'Tool', 'helper']"),
    (None, "[]"),
    ("main = 0", "['Path', 'Tool', 'helper']"),
    ("main = ''", "['Path', 'Tool', 'helper']"),
    ("main = []", "['Path', 'Tool', 'helper']"),
    ("main = None", "['Path', 'Tool', 'helper']"),
    ("class Falsy:\n    __call__ = lambda self: 1\n    __bool__ = lambda self: False\n"
     "main = Falsy()", "['Falsy', 'Path', 'Tool', 'helper', 'main']"),
])
def test_absent_or_false_names_list_the_public_callables(worker_module, tmp_path, binding,
                                                         listed):
    path = write(tmp_path, "value = 1\n" if binding is None else NAMES + binding + "\n")
    assert worker_module.run_function(path, "main") == {
        "success": False, "error": f"Function 'main' not found. Available: {listed}"}


@pytest.mark.parametrize("binding", ["main = 'text'", "main = 5", "main = [print]"])
def test_true_non_callables_are_refused(worker_module, tmp_path, binding):
    path = write(tmp_path, binding + "\n")
    assert worker_module.run_function(path, "main") == {
        "success": False, "error": "'main' is not callable"}


ARGUMENTS = """
def main(*positional, **keywords):
    seen = dict(keywords)
    keywords["added"] = True
    keywords.pop("x", None)
    for box in seen.values():
        if isinstance(box, list):
            box.append(keywords)
    return [list(positional), seen]
"""


@pytest.mark.parametrize("args, seen", [(None, {}), ({}, {}), ({"x": 1}, {"x": 1})])
def test_arguments_are_keywords_from_a_copy(worker_module, tmp_path, args, seen):
    path = write(tmp_path, ARGUMENTS)
    before = None if args is None else dict(args)
    answer = worker_module.run_function(path, "main", args)
    assert answer == {"success": True, "result": {"return_value": [[], seen]}}
    assert args == before


def test_the_function_never_receives_the_callers_dict(worker_module, tmp_path):
    box = []
    args = {"box": box}
    worker_module.run_function(write(tmp_path, ARGUMENTS), "main", args)
    assert len(box) == 1 and box[0] is not args and args == {"box": box}


def keyword_error(keywords):
    namespace = {}
    exec("def main(): pass", namespace)
    try:
        namespace["main"](**keywords)
    except TypeError as error:
        return f"TypeError: {error}"


@pytest.mark.parametrize("name, text, args, head", [
    ("tool.py", "def main():\n    raise ValueError('boom')\n", None, "ValueError: boom"),
    ("tool.py", "raise RuntimeError('top')\ndef main(): pass\n", None, "RuntimeError: top"),
    ("tool.py", "def main(:\n", None, "SyntaxError: "),
    ("tool.py", "import no_such_module_here\n", None, "ModuleNotFoundError: "),
    ("tool.py", "def main(): pass\n", {"nope": 1}, keyword_error({"nope": 1})),
    ("tool.py", "def main(): pass\n", {1: 2}, keyword_error({1: 2})),
    ("tool.py", "class T:\n    __str__ = lambda self: 1 / 0\ndef main():\n    return T()\n",
     None, "ZeroDivisionError: "),
    ("tool.py", "def __getattr__(name):\n    raise LookupError(name)\n", None,
     "LookupError: main"),
    ("tool.py", "__dir__ = lambda: ['_ghost']\n", None, "AttributeError: "),
    ("dir.py", None, None, "IsADirectoryError: "),
    ("a\0b.py", None, None, "ValueError: "),
])
def test_failures_become_caught_exception_answers(worker_module, tmp_path, name, text, args,
                                                  head):
    if text is not None:
        write(tmp_path, text, name)
    elif "\0" not in name:
        (tmp_path / name).mkdir()
    assert_caught(worker_module.run_function(str(tmp_path / name), "main", args), head)


def test_caught_traceback_runs_from_our_entry_into_the_script(worker_module, tmp_path):
    path = write(tmp_path, "def main():\n    raise ValueError('boom')\n", "link_target.py")
    os.symlink(path, tmp_path / "link.py")
    lines = assert_caught(worker_module.run_function(str(tmp_path / "link.py"), "main"),
                          "ValueError: boom")
    assert lines[2:] == [f'  File "{os.path.realpath(path)}", line 2, in main',
                         "    raise ValueError('boom')", "ValueError: boom"]
    try:
        raise OSError("the caller's own")
    except OSError as handled:
        worker_module.run_function(str(tmp_path / "link.py"), "main")
        assert sys.exc_info()[1] is handled


@pytest.mark.parametrize("text, raised", [
    ("import sys\nsys.exit(0)\ndef main(): pass\n", SystemExit),
    ("import sys\ndef main():\n    sys.exit(7)\n", SystemExit),
    ("def main():\n    exit('bye')\n", SystemExit),
    ("def main():\n    raise KeyboardInterrupt\n", KeyboardInterrupt),
    ("class E(Exception):\n    __str__ = lambda self: {}['text']\n"
     "def main():\n    raise E()\n", KeyError),
])
def test_what_is_not_caught_propagates(worker_module, tmp_path, text, raised):
    with pytest.raises(raised) as info:
        worker_module.run_function(write(tmp_path, text), "main")
    assert ENTRY in [entry.name for entry in traceback.extract_tb(info.tb)]


@pytest.mark.parametrize("value, expected", [
    ("None", None), ("{3}", "{3}"), ("(1, {2: b'x'})", [1, {"2": "b'x'"}]),
    ("type('T', (), {'__str__': lambda self: 'text'})()", "text"),
])
def test_return_values_are_serialized(worker_module, tmp_path, value, expected):
    path = write(tmp_path, f"def main():\n    return {value}\n")
    assert worker_module.run_function(path, "main") == {
        "success": True, "result": {"return_value": expected}}


def test_each_call_loads_a_fresh_unregistered_module(tmp_path):
    (tmp_path / "real").mkdir()
    write(tmp_path / "real", """
        import builtins, sys
        builtins.tool_loads = getattr(builtins, "tool_loads", 0) + 1
        calls = 0
        guarded = False
        if __name__ == "__main__":
            guarded = True
        def main():
            global calls
            calls += 1
            return [__name__, __file__, guarded, "custom_module" in sys.modules,
                    builtins.tool_loads, calls]
    """)
    os.symlink(tmp_path / "real" / "tool.py", tmp_path / "link.py")
    real = str((tmp_path / "real" / "tool.py").resolve())
    session = run_worker({"action": "run_function", "path": "link.py"},
                         {"action": "run_function", "path": "~/link.py", "args": {}},
                         cwd=tmp_path, env=child_env(HOME=str(tmp_path)))
    assert session.answers == [
        {"success": True, "result": {"return_value": ["custom_module", real, False, False,
                                                      loads, 1]}}
        for loads in (1, 2)]


def test_a_raise_is_answered_and_an_exit_ends_the_worker(tmp_path):
    path = write(tmp_path, "import sys\ndef main():\n    sys.exit(7)\ndef fail(): 1 / 0\n")
    session = run_worker({"action": "run_function", "path": path, "function": "fail"},
                         {"action": "run_function", "path": path},
                         {"action": "validate", "code": ""})
    assert (len(session.answers), session.returncode, session.stderr) == (1, 7, b"")
    assert_caught(session.answers[0], "ZeroDivisionError: division by zero")


def test_printed_text_reaches_the_host_before_the_answer(tmp_path):
    path = write(tmp_path, "print('loading')\ndef main():\n    print('hello')\n    return 1\n")
    worker = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              env=child_env())
    watchdog = threading.Timer(30, worker.kill)
    watchdog.start()
    try:
        worker.stdin.write(json.dumps({"action": "run_function", "path": path}).encode() + b"\n")
        worker.stdin.flush()  # stdin stays open: the answer must arrive without end of input
        lines = [worker.stdout.readline() for _ in range(3)]
        worker.stdin.close()
        worker.wait()
    finally:
        watchdog.cancel()
    assert lines == [b"loading\n", b"hello\n",
                     b'{"success": true, "result": {"return_value": 1}}\n']


def test_arguments_keep_their_reference_counts(worker_module, tmp_path):
    path = "".join(write(tmp_path, """
        value = 1
        def ok(payload): return payload
        def boom(payload): raise ValueError(payload)
    """))
    names = ["".join(name) for name in (["o", "k"], ["bo", "om"], ["val", "ue"], ["no", "pe"])]
    args = {"".join(["pay", "load"]): object()}
    watched = [path, args, *args, *args.values(), *names]

    def calls(rounds):
        for _ in range(rounds):
            for name in names:
                worker_module.run_function(path, name, args)
            worker_module.run_function(path + "-missing", names[0], None)
        gc.collect()

    calls(1)
    before = [sys.getrefcount(item) for item in watched]
    calls(100)
    # Counted as before was: a zip over the items would itself hold one.
    after = [sys.getrefcount(item) for item in watched]
    # The interpreter's type attribute cache holds one reference to a name it
    # looked up, until another lookup takes its slot: a name may gain or lose
    # that one reference, whatever ran before.  A leak gains one per call.
    changes = [count - earlier for count, earlier in zip(after, before)]
    assert all(-1 <= change <= 1 for change in changes), changes
    here = os.path.realpath(tmp_path)
    assert not [namespace for namespace in gc.get_objects()  # no module outlives its call
                if type(namespace) is dict and namespace.get("__name__") == "custom_module"
                and str(namespace.get("__file__")).startswith(here)]
