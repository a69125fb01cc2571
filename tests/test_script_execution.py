"""run_script and run_inline: direct calls, fresh interpreters and the worker protocol."""
import gc
import io
import json
import os
import re
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import child_env, run_python, run_worker
from vantor.workers.custom_worker import run_inline, run_script

TRACEBACK = "Traceback (most recent call last):\n"
ENTRY = r'  File "[^"\n]*", line \d+, in vantor\.workers\.custom_worker\.{}\n'


@pytest.fixture(autouse=True)
def streams_left_alone():
    saved = sys.stdout, sys.stderr
    yield
    now = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = saved
    assert now[0] is saved[0] and now[1] is saved[1]


def success(output="", errors="", value=None):
    return {"success": True, "result": {"output": output, "errors": errors, "return_value": value}}


def assert_answer(response, expected):
    """Equal, including member order and JSON types."""
    assert json.dumps(response) == json.dumps(expected)


def raised(function, *args):
    try:
        function(*args)
    except BaseException as e:  # noqa: B902 - the tests want whatever is raised
        return type(e).__name__, str(e)
    raise AssertionError("nothing raised")


def check_caught(response, handler, kind, text=None):
    """The caught-exception answer; returns its traceback block."""
    assert list(response) == ["success", "error"] and response["success"] is False
    head, _, block = response["error"].partition("\n")
    if text is None:
        assert head.startswith(kind + ": ")
    else:
        assert head == f"{kind}: {text}"
    assert block.startswith(TRACEBACK)
    # The handler's entry comes first in the caught exception's own block (the last one).
    assert re.match(ENTRY.format(handler), block.rpartition(TRACEBACK)[2])
    assert block.endswith("\n") and block.splitlines()[-1].split(":")[0].endswith(kind)
    return block


def write(tmp_path, source, name="tool.py"):
    path = tmp_path / name
    path.write_bytes(source if isinstance(source, bytes) else source.encode())
    return os.path.realpath(path)


# What is printed while the result is converted is lost: neither output nor the wire.
LATE_PRINT = ("print('early')\nclass Late:\n    def __str__(self):\n        print('late')\n"
              "        return 'text'\nresult = Late()")


@pytest.mark.parametrize("code, args, expected", [
    ("", None, success()),
    (LATE_PRINT, None, success("early\n", "", "text")),
    ("print('hi')\nresult = 42", None, success("hi\n", "", 42)),
    ("import sys\nsys.stderr.write('e')", None, success("", "e")),
    ("def main():\n    print('called')\n    return 1", {"k": 1}, success()),
    ("result = list(globals())", None, success(value=["__name__", "__builtins__", "args"])),
    ("import builtins\nresult = [__name__, __builtins__ is builtins, args]", {"k": [1]},
     success(value=["__main__", True, {"k": [1]}])),
    ("result = (1, {2: {3}})", {}, success(value=[1, {"2": "{3}"}])),
])
def test_inline_answers(code, args, expected):
    assert_answer(run_inline(code, args), expected)


@pytest.mark.parametrize("source, args, expected", [
    ("print('line')\nresult = 5", None, success("line\n", "", 5)),
    ("def main():\n    return 'main'\nresult = 'ignored'", None, success(value="main")),
    ("def main(a):\n    a['seen'] = 1\n    return sorted(a)", {"x": 0}, success(value=["seen", "x"])),
    ("def main(*a):\n    return len(a)", {}, success(value=0)),
    ("def main(*a):\n    return len(a)", {"k": 1}, success(value=1)),
    ("main = 3\nresult = 'global'", {"k": 1}, success(value="global")),
    ("main = 3", None, success()),
    ("def main():\n    print('m')\nif __name__ == '__main__':\n    main()", None, success("m\nm\n")),
    ("result = list(globals())", None,
     success(value=["__name__", "__file__", "__builtins__", "args"])),
    (b'result = """a\r\nb"""\r\n', None, success(value="a\nb")),
])
def test_script_answers(tmp_path, source, args, expected):
    assert_answer(run_script(write(tmp_path, source), args), expected)


@pytest.mark.parametrize("handler", ["inline", "script"])
def test_args_is_the_callers_dict_only_when_not_empty(tmp_path, handler):
    code = "args['added'] = 1\nresult = id(args)"
    call = run_inline if handler == "inline" else run_script
    target = code if handler == "inline" else write(tmp_path, code)
    given = {"k": 0}
    assert call(target, given)["result"]["return_value"] == id(given)
    assert given == {"k": 0, "added": 1}
    for given in ({}, None):
        assert call(target, given)["result"]["return_value"] != id(given)
        assert given in ({}, None)


def compile_error(source, filename="<inline>"):
    return raised(compile, source, filename, "exec")


def closed_buffer_error():
    buffer = io.StringIO()
    buffer.close()
    return raised(buffer.getvalue)[1]


@pytest.mark.parametrize("code, kind, text", [
    ("print('lost')\nraise ValueError('boom')", "ValueError", "boom"),
    ("raise ValueError", "ValueError", ""),
    ("result = __file__", "NameError", "name '__file__' is not defined"),
    ("return", *compile_error("return")),
    ("x = 1\n\0", *compile_error("x = 1\n\0")),
    ("import sys\nsys.stdout.buffer.write(b'x')", "AttributeError", None),
    ("import sys\nsys.stdout.fileno()", "UnsupportedOperation", None),
    ("import sys\nsys.stdout.close()", "ValueError", closed_buffer_error()),
    ("result = {'k': [10**5000]}", "ValueError", raised(str, 10**5000)[1]),
    ("result = []\nresult.append(result)", "RecursionError", None),
    ("result = {}\nresult[1] = result", "RecursionError", None),
])
def test_inline_caught_exceptions(code, kind, text):
    check_caught(run_inline(code), "run_inline", kind, text)


def test_caught_exception_traceback_block(tmp_path):
    block = check_caught(run_inline("x = 1\nraise KeyError('k')"), "run_inline", "KeyError", "'k'")
    assert re.fullmatch(r"Traceback \(most recent call last\):\n" + ENTRY.format("run_inline")
                        + r'  File "<inline>", line 2, in <module>\nKeyError: \'k\'\n', block)
    path = write(tmp_path, "def main():\n    raise KeyError('k')\n")
    block = check_caught(run_script(path), "run_script", "KeyError", "'k'")
    assert block.endswith(f'  File "{path}", line 2, in main\n'
                          "    raise KeyError('k')\nKeyError: 'k'\n")


def symlink_loop(tmp_path):
    os.symlink(tmp_path / "b", tmp_path / "a")
    os.symlink(tmp_path / "a", tmp_path / "b")
    return str(tmp_path / "a")


@pytest.mark.parametrize("make, kind", [
    (lambda tmp: "", "IsADirectoryError"),
    (lambda tmp: str(tmp), "IsADirectoryError"),
    (lambda tmp: write(tmp, b"x = '\xff'\n"), "UnicodeDecodeError"),
    (lambda tmp: write(tmp, "def main():\n    pass\n"), "TypeError"),  # args given, none taken
    (lambda tmp: "~no_such_user_for_worker_tests/tool.py", "RuntimeError"),
])
def test_script_caught_exceptions(tmp_path, make, kind):
    check_caught(run_script(make(tmp_path), {"k": 1}), "run_script", kind)


def test_symlink_loop_answers_as_resolving_it_does(tmp_path):
    # 3.11 refuses to resolve a loop; from 3.13 resolve() returns a path that does not exist.
    path = symlink_loop(tmp_path)
    try:
        Path(path).expanduser().resolve()
    except RuntimeError as e:
        check_caught(run_script(path, {"k": 1}), "run_script", type(e).__name__, str(e))
    else:
        assert_answer(run_script(path), {"success": False, "error": "Script not found: " + path})


def test_script_syntax_error_names_the_file(tmp_path):
    path = write(tmp_path, "x = 1\nx = (\n")
    kind, text = compile_error("x = 1\nx = (\n", path)
    block = check_caught(run_script(path), "run_script", kind, text)
    assert f'  File "{path}", line 2\n' in block


@pytest.mark.parametrize("path", [
    "~/no_such_dir_for_worker_tests/tool.py", "no/such/tool.py", "/no_such_dir/../tool.py"])
def test_script_not_found_names_the_path_as_given(path):
    assert_answer(run_script(path), {"success": False, "error": "Script not found: " + path})


class Formatted(Exception):
    def __format__(self, how):
        return "formatted"

    def __str__(self):
        return "plain"


def test_exception_text_is_its_format_with_no_options():
    block = check_caught(run_inline("raise args['e']", {"e": Formatted()}),
                         "run_inline", "Formatted", "formatted")
    assert block.endswith("Formatted: plain\n")


@pytest.mark.parametrize("handler", ["inline", "script"])
def test_exception_raised_while_answering_propagates(tmp_path, handler):
    code = ("class Broken(Exception):\n    def __str__(self):\n        raise LookupError('str')\n"
            "print('lost')\nraise Broken()\n")
    call = run_inline if handler == "inline" else run_script
    with pytest.raises(LookupError, match="str") as info:
        call(code if handler == "inline" else write(tmp_path, code))
    assert type(info.value.__context__).__name__ == "Broken"


def test_previously_handled_exception_is_restored():
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert run_inline("1 / 0")["error"].startswith("ZeroDivisionError: division by zero\n")
        assert sys.exc_info()[1] is outer


def test_reference_counts_unchanged(tmp_path):
    value = object()
    args = {"value": value}
    path = write(tmp_path, "def main(a):\n    return [a, a['value']]\n")
    failing = write(tmp_path, "raise ValueError(args)\n", "failing.py")
    missing = str(tmp_path / "missing.py")
    codes = [" ".join(parts) for parts in (
        ["result", "=", "args"], ["print(args)\nraise", "KeyError(args)"],
        ["result", "=", "[args, 10**5000]"], ["result", "=", "(args,)", "*", "3"], ["return"])]
    watched = [args, value, path, failing, missing, *codes]
    gc.collect()  # a script's functions and its namespace form a cycle
    before = [sys.getrefcount(item) for item in watched]
    for _ in range(100):
        for code in codes:
            run_inline(code, args)
        for target in (path, failing, missing):
            run_script(target, args)
    del code, target
    gc.collect()
    assert [sys.getrefcount(item) for item in watched] == before


def run_fresh(body, cwd=None):
    """Runs `body` in a new interpreter (with sys, json and the module as m imported);
    returns the JSON value that it writes last to the real standard output."""
    prelude = "import json, sys\nimport vantor.workers.custom_worker as m\n"
    completed = run_python(prelude + textwrap.dedent(body), cwd=cwd)
    assert completed.returncode == 0, completed.stderr.decode()
    return json.loads(completed.stdout.decode().splitlines()[-1])


STREAMS = """
    saved = sys.stdout, sys.stderr
    try:
        answer = {call}
        outcome = answer if answer["success"] else answer["error"].split("\\n")[0]
    except BaseException as e:
        outcome = ["raised", type(e).__name__, getattr(e, "code", None)]
    restored = sys.stdout is saved[0] and sys.stderr is saved[1]
    sys.__stdout__.write(json.dumps([outcome, restored]) + "\\n")
"""


@pytest.mark.parametrize("handler, code, outcome", [
    ("inline", "import io, sys\nsys.stdout = io.StringIO()\nprint('hidden')\n"
               "sys.stderr = io.StringIO()\nresult = 1", success(value=1)),
    ("inline", "import sys\nprint('x')\nsys.stdout = None\ndel sys.stderr\nresult = 2",
     success("x\n", "", 2)),
    ("inline", "import sys\nsys.stdout.close()", "ValueError: " + closed_buffer_error()),
    ("inline", "import sys\nsys.stdout = 1\nsys.exit(3)", ["raised", "SystemExit", 3]),
    ("inline", "print('x')\nraise KeyboardInterrupt", ["raised", "KeyboardInterrupt", None]),
    ("script", "import sys\ndef main():\n    sys.stderr = None\n    sys.exit(4)",
     ["raised", "SystemExit", 4]),
    ("script", "import sys\nsys.stdout = sys.stderr = None\nraise ValueError('v')", "ValueError: v"),
])
def test_streams_restored_whatever_the_code_did(tmp_path, handler, code, outcome):
    write(tmp_path, code)
    call = f"m.run_inline({code!r})" if handler == "inline" else "m.run_script('tool.py')"
    assert run_fresh(STREAMS.format(call=call), cwd=tmp_path) == [outcome, True]


def test_nested_run_inline_restores_what_it_found():
    inner = "print('inner')\nimport sys\nsys.stdout = None\nresult = 1"
    outer = textwrap.dedent(f"""
        import sys
        import vantor.workers.custom_worker as m
        print('before')
        mine = sys.stdout, sys.stderr
        first = m.run_inline({inner!r})
        back = sys.stdout is mine[0] and sys.stderr is mine[1]
        try:
            m.run_inline("print('lost')\\nraise SystemExit(5)")
        except SystemExit:
            pass
        print('after')
        result = [first, back, sys.stdout is mine[0] and sys.stderr is mine[1]]
    """)
    outcome = run_fresh(STREAMS.format(call=f"m.run_inline({outer!r})"))
    assert outcome == [success("before\nafter\n", "", [success("inner\n", "", 1), True, True]), True]


def test_capture_order_and_kept_compile():
    log = run_fresh("""
        import builtins, io
        log = []
        class FakeSys:
            def __init__(self):
                self.__dict__.update(stdout="OUT", stderr="ERR")
            def __getattribute__(self, name):
                if name in ("stdout", "stderr"):
                    log.append("get " + name)
                return object.__getattribute__(self, name)
            def __setattr__(self, name, value):
                log.append(f"set {name} {getattr(value, 'tag', value)}")
                object.__setattr__(self, name, value)
        def buffers(fail_at=None):
            made = []
            def factory():
                made.append(1)
                log.append(f"new {len(made)}")
                if len(made) == fail_at:
                    raise RuntimeError("no buffer")
                buffer = io.StringIO()
                buffer.tag = len(made)
                return buffer
            return factory
        # Formatting a traceback may compile (3.13 does, to place its carets);
        # only a compile of the worker's own source would be one it looked up again.
        kept = builtins.compile
        def watched(source, filename, *rest, **options):
            if filename == "<inline>":
                log.append("compile looked up again")
            return kept(source, filename, *rest, **options)
        builtins.compile = watched
        m.sys = FakeSys()
        outcome = []
        for code, fail_at in (("result = 1", None), ("1 / 0", None), ("result = 1", 2)):
            m.StringIO = buffers(fail_at)
            answer = m.run_inline(code)
            outcome.append([answer.get("result") or answer["error"].split("\\n")[0], log[:]])
            log.clear()
        outcome.append([m.run_script("no_such_tool.py"), log])
        sys.__stdout__.write(json.dumps(outcome) + "\\n")
    """)
    full = ["get stdout", "get stderr", "new 1", "new 2",
            "set stdout 1", "set stderr 2", "set stdout OUT", "set stderr ERR"]
    assert log == [
        [{"output": "", "errors": "", "return_value": 1}, full],
        ["ZeroDivisionError: division by zero", full],
        ["RuntimeError: no buffer", ["get stdout", "get stderr", "new 1", "new 2"]],
        [{"success": False, "error": "Script not found: no_such_tool.py"}, []],
    ]


def test_protocol_answers_and_goes_on(tmp_path):
    write(tmp_path, b"x = '\xff'\n", "latin.py")
    deep = "x = None\nfor _ in range(100_000):\n    x = {wrap}\nresult = x"
    inline = [
        "print('hi')\nresult = 6", "result = 10**5000", "result = [1, 10**5000]",
        "result = []\nresult.append(result)", deep.format(wrap="[x]"),
        deep.format(wrap="{'k': x}"), "import warnings\nwarnings.warn('careful')",
        "import sys\nsys.__stdout__.write('raw\\n')\nsys.__stdout__.flush()",
    ]
    session = run_worker(
        *({"action": "run_inline", "code": code} for code in inline),
        {"action": "run_script", "path": "~/no_such_dir_for_worker_tests/t.py"},
        {"action": "run_script"},
        {"action": "run_script", "path": "latin.py"},
        {"action": "run_inline"},
        {"action": "run_inline", "code": "result = args", "args": {"a": [1]}},
        {"action": "run_inline", "code": LATE_PRINT},
        cwd=tmp_path)
    assert session.returncode == 0, session.stderr
    lines = session.lines
    assert lines.index("raw") == 7
    answers = [json.loads(line) for line in lines if line != "raw"]
    assert len(answers) == 14
    assert_answer(answers[0], success("hi\n", "", 6))
    too_long = "ValueError: " + raised(str, 10**5000)[1] + "\n"
    assert answers[1]["error"].startswith(too_long) and answers[2]["error"].startswith(too_long)
    for answer in answers[3:6]:
        assert answer["error"].startswith("RecursionError: ")
    assert_answer(answers[6], success("", "<inline>:2: UserWarning: careful\n"))
    assert_answer(answers[7], success())
    assert_answer(answers[8], {"success": False,
                               "error": "Script not found: ~/no_such_dir_for_worker_tests/t.py"})
    assert answers[9]["error"].startswith("IsADirectoryError: ")
    assert answers[10]["error"].startswith("UnicodeDecodeError: ")
    assert_answer(answers[11], success())
    assert_answer(answers[12], success(value={"a": [1]}))
    assert_answer(answers[13], success("early\n", "", "text"))


def test_protocol_script_paths_are_resolved(tmp_path):
    (tmp_path / "real").mkdir()
    real = write(tmp_path / "real", "def main():\n    raise ValueError(__file__)\n")
    os.symlink(real, tmp_path / "link.py")
    paths = ["real/tool.py", "link.py", "./real/../link.py", "~/link.py"]
    session = run_worker(*({"action": "run_script", "path": path} for path in paths),
                         cwd=tmp_path, env=child_env(HOME=str(tmp_path)))
    for answer in session.answers:
        assert answer["error"].startswith(f"ValueError: {real}\n")
        assert f'  File "{real}", line 2, in main\n' in answer["error"]
    assert len(session.answers) == 4


def test_protocol_exit_ends_the_worker_unanswered():
    session = run_worker(
        {"action": "run_inline", "code": "result = 1"},
        {"action": "run_inline", "code": "print('lost')\nimport sys\nsys.exit(3)"},
        {"action": "run_inline", "code": "result = 2"})
    assert session.lines == ['{"success": true, "result": '
                             '{"output": "", "errors": "", "return_value": 1}}']
    assert session.returncode == 3
