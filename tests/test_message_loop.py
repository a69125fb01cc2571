"""The message loop over real pipes: framing, blank lines, undecodable lines,
quit, the errors that end the worker without an answer, and SIGINT."""
import json
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest

from conftest import WORKER, child_env, run_python, run_worker

QUIT_ANSWER = '{"success": true, "result": "goodbye"}'
VALID = {"action": "validate", "code": "x = 1"}
VALID_ANSWER = '{"success": true, "result": {"valid": true, "message": "Script is valid Python"}}'


def decoder_message(text):
    try:
        json.loads(text)
    except json.JSONDecodeError as e:
        return "Invalid JSON: " + str(e)
    raise AssertionError("decodes")


def test_empty_input_writes_nothing():
    session = run_worker(raw=b"")
    assert (session.stdout, session.stderr, session.returncode) == (b"", b"", 0)


def test_blank_lines_and_line_ends_do_not_disturb_requests():
    raw = b"\n   \n\t\n\r\n" + json.dumps(VALID).encode() + b"\r\n  \n  " + \
        json.dumps(VALID).encode() + b"  \n"
    session = run_worker(raw=raw)
    assert session.lines == [VALID_ANSWER, VALID_ANSWER]
    assert session.returncode == 0


@pytest.mark.parametrize("line, decoded", [
    ("{abc", "{abc"),
    ("   abc", "abc"),
    ('{"action": "quit"} {"action": "quit"}', '{"action": "quit"} {"action": "quit"}'),
    ("{'action': 'quit'}", "{'action': 'quit'}"),
])
def test_undecodable_lines_are_answered_and_the_loop_goes_on(line, decoded):
    session = run_worker(line, VALID)
    expected = {"success": False, "error": decoder_message(decoded)}
    assert session.answers == [expected, json.loads(VALID_ANSWER)]
    assert list(session.answers[0]) == ["success", "error"]


def test_missing_property_name_message():
    session = run_worker("{abc")
    assert session.answers[0]["error"] == (
        "Invalid JSON: Expecting property name enclosed in double quotes: "
        "line 1 column 2 (char 1)")


def test_quit_answers_then_stops_reading():
    session = run_worker(VALID, {"action": "quit", "path": 5}, "[not read]", VALID)
    assert session.lines == [VALID_ANSWER, QUIT_ANSWER]
    assert session.returncode == 0


@pytest.mark.parametrize("action", ["QUIT", " quit", "quit "])
def test_quit_is_exact(action):
    session = run_worker({"action": action}, VALID)
    assert session.answers[0] == {"success": False, "error": "Unknown action: " + action}
    assert session.lines[1] == VALID_ANSWER


@pytest.mark.parametrize("line, error", [
    ("[1, 2]", "TypeError: Argument 'cmd' has incorrect type (expected dict, got list)"),
    ("null", "TypeError: Argument 'cmd' has incorrect type (expected dict, got NoneType)"),
    ('"quit"', "TypeError: Argument 'cmd' has incorrect type (expected dict, got str)"),
    ('{"action": ["quit"]}', "TypeError: unhashable type: 'list'"),
    ('{"action": "run_script", "args": []}',
     "TypeError: Argument 'args' has incorrect type (expected dict, got list)"),
    ('{"action": "validate", "code": null}',
     "TypeError: Argument 'code' has incorrect type (expected str, got NoneType)"),
    ('{"action": "run_inline", "code": "raise SystemExit(7)"}', None),
    ("[" * 100000, "RecursionError"),
])
def test_errors_end_the_worker_without_an_answer(line, error):
    session = run_worker(VALID, line, VALID)
    assert session.lines == [VALID_ANSWER]
    if error is None:
        assert session.returncode == 7
    else:
        assert session.returncode == 1
        assert error in session.stderr.decode()


def test_undecodable_bytes_end_the_worker():
    session = run_worker(raw=b"\xff\xfe\n" + json.dumps(VALID).encode() + b"\n",
                         env=child_env(PYTHONIOENCODING="utf-8:strict"))
    assert session.lines == [] and session.returncode == 1
    assert "UnicodeDecodeError" in session.stderr.decode()


def test_answers_are_single_ascii_lines():
    session = run_worker({"action": "run_inline",
                          "code": "print('caf\\u00e9\\n\\U0001F600')\nresult = float('nan')"})
    (line,) = session.lines
    assert line.isascii()
    assert "\\u00e9\\n\\ud83d\\ude00\\n" in line and '"return_value": NaN' in line
    assert session.answers[0]["result"]["output"] == "caf\u00e9\n\U0001F600\n"


@pytest.mark.skipif(sys.version_info >= (3, 12),
                    reason="the interpreter has no legacy wide strings from 3.12")
def test_a_legacy_wide_string_line_is_read():
    completed = run_python("""
        import ctypes, sys, warnings
        warnings.simplefilter("ignore")
        api = ctypes.pythonapi
        api.PyUnicode_FromUnicode.restype = ctypes.py_object
        api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
        api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
        api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]
        text = '{"action": "quit"}'
        line = api.PyUnicode_FromUnicode(None, len(text))  # not ready until asked
        ctypes.memmove(api.PyUnicode_AsUnicode(line), ctypes.create_unicode_buffer(text),
                       len(text) * ctypes.sizeof(ctypes.c_wchar))
        import vantor.workers.custom_worker as module
        sys.stdin = [line]
        module.main()
    """)
    assert completed.stdout.decode() == QUIT_ANSWER + "\n"


def test_one_write_and_one_flush_per_answer_on_the_current_stdout():
    completed = run_python("""
        import io, sys
        import vantor.workers.custom_worker as module
        class Recorder:
            def __init__(self):
                self.calls = []
            def write(self, text):
                self.calls.append(("write", text))
            def flush(self):
                self.calls.append(("flush",))
        recorder = Recorder()
        real = sys.stdout
        sys.stdin = io.StringIO('{"action": "validate"}\\n\\n{bad\\n')
        sys.stdout = recorder
        result = module.main()
        sys.stdout = real
        print(result)
        for call in recorder.calls:
            print(call)
    """)
    lines = completed.stdout.decode().splitlines()
    assert lines[0] == "None"
    assert [line.split(",")[0] for line in lines[1:]] == ["('write'", "('flush'"] * 2
    assert lines[1].endswith('\\n\')') and lines[3].startswith("('write', '{\"success\": false")


def test_sigint_is_ignored_while_idle():
    process = subprocess.Popen(WORKER, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=child_env())
    try:
        process.stdin.write(json.dumps(VALID).encode() + b"\n")
        process.stdin.flush()
        assert process.stdout.readline().decode().strip() == VALID_ANSWER
        process.send_signal(signal.SIGINT)
        time.sleep(0.2)
        process.stdin.write(json.dumps({"action": "quit"}).encode() + b"\n")
        process.stdin.flush()
        assert process.stdout.readline().decode().strip() == QUIT_ANSWER
        assert process.wait(timeout=30) == 0
    finally:
        process.kill()
        process.wait()


def test_main_outside_the_main_thread_fails_before_reading():
    completed = run_python("""
        import threading
        import vantor.workers.custom_worker as module
        errors = []
        def serve():
            try:
                module.main()
            except ValueError as e:
                errors.append(e)
        thread = threading.Thread(target=serve)
        thread.start(); thread.join()
        print(len(errors))
    """, stdin=b'{"action": "quit"}\n')
    assert completed.stdout.decode().splitlines() == ["1"]


def test_console_script_serves_too():
    script = Path(sysconfig.get_path("scripts")) / "vantor-custom-worker"
    completed = subprocess.run([script], input=json.dumps(VALID).encode() + b"\n",
                               capture_output=True, env=child_env(), timeout=60)
    assert completed.stdout.decode().splitlines() == [VALID_ANSWER]
    assert completed.returncode == 0


def test_rebinding_takes_effect_at_the_next_answer():
    completed = run_python("""
        import io, json, sys, types
        import vantor.workers.custom_worker as module
        def serve(text):
            sys.stdin = io.StringIO(text)
            module.main()
        request = '{"action": "nope"}\\n'
        serve(request)
        real_dumps = json.dumps
        json.dumps = lambda value: "patched " + real_dumps(value)
        serve(request)
        json.dumps = real_dumps
        module.json = types.SimpleNamespace(loads=json.loads, dumps=lambda value: "shim",
                                            JSONDecodeError=json.JSONDecodeError)
        serve(request)
        module.json = json
        serve(request)
    """)
    answer = '{"success": false, "error": "Unknown action: nope"}'
    assert completed.stdout.decode().splitlines() == [answer, "patched " + answer, "shim", answer]
