"""validate_script: whether source compiles, and where it does not."""
import gc
import json
import sys
import warnings

import pytest

from conftest import run_worker

VALID = {"success": True, "result": {"valid": True, "message": "Script is valid Python"}}


def verdict(code):
    """The answer the running compiler calls for, or the exception it raises."""
    try:
        compile(code, "<validation>", "exec")
    except SyntaxError as error:
        return {"success": True, "result": {
            "valid": False, "message": f"Syntax error at line {error.lineno}: {error.msg}",
            "line": error.lineno, "offset": error.offset}}
    except Exception as error:
        return type(error)
    return VALID


VALID_CODE = ["", "x = 1 / 0", "undefined()", "print('ran')\nraise SystemExit(3)",
              "import no_such_module_here", "async def f():\n    await g()\n"]
INVALID_CODE = ["x = (", "if True:\nx = 1\n", "return 1", "await x", "def f(:\n    pass",
                "a = 1\nb = 2 +\n", "if 1:\n\tx = 1\n        y = 2\n", "print 'hi'",
                "s = 'open\n", "f(**a, *b)", "x = 1\n" * 3 + "  y = 2\n"]
ODD_CODE = ["\0", "x = 1\0", "x = '\ud800'", pytest.param("x" + ".y" * 100000, id="deep")]


@pytest.mark.parametrize("code", VALID_CODE)
def test_compilable_code_is_valid_and_not_run(worker_module, capsys, code):
    assert worker_module.validate_script(code) == VALID
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("code", INVALID_CODE)
def test_syntax_errors_carry_the_compilers_position(worker_module, code):
    expected = verdict(code)
    assert expected["result"]["valid"] is False
    answer = worker_module.validate_script(code)
    assert answer == expected
    assert [list(answer), list(answer["result"])] == [
        ["success", "result"], ["valid", "message", "line", "offset"]]


@pytest.mark.parametrize("code, line", [("x = (", 1), ("if True:\nx = 1\n", 2)])
def test_positions_of_known_errors(worker_module, code, line):
    result = worker_module.validate_script(code)["result"]
    assert (result["line"], type(result["offset"])) == (line, int)
    assert result["message"].startswith(f"Syntax error at line {line}: ")


def test_the_protocol_answers_in_request_order():
    codes = VALID_CODE + INVALID_CODE
    session = run_worker(*({"action": "validate", "code": code} for code in codes),
                         {"action": "validate"})
    assert session.lines == [json.dumps(verdict(code)) for code in codes + [""]]
    assert session.returncode == 0


@pytest.mark.parametrize("code", ODD_CODE)
def test_the_running_compiler_decides_odd_text(worker_module, code):
    expected = verdict(code)
    session = run_worker({"action": "validate", "code": code}, {"action": "validate", "code": ""})
    if isinstance(expected, dict):
        assert worker_module.validate_script(code) == expected
        assert session.answers == [expected, VALID]
    else:
        with pytest.raises(expected):
            worker_module.validate_script(code)
        assert (session.lines, session.returncode) == ([], 1)
        assert session.stderr.decode().splitlines()[-1].startswith(expected.__name__ + ": ")


def test_compiler_warnings_follow_the_warning_filters(worker_module):
    code = "assert (1, 'always true')"
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        assert worker_module.validate_script(code) == VALID
    assert [warning.category for warning in seen] == [SyntaxWarning]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        expected = verdict(code)
        assert worker_module.validate_script(code) == expected
    assert expected["result"]["valid"] is False


@pytest.mark.parametrize("code, got", [("null", "NoneType"), ("5", "int"), ("1.5", "float")])
def test_code_that_is_not_text_ends_the_worker(code, got):
    session = run_worker({"action": "validate", "code": "x = 1"},
                         '{"action": "validate", "code": %s}' % code,
                         {"action": "validate", "code": "x = 1"})
    assert (session.answers, session.returncode) == ([VALID], 1)
    assert session.stderr.decode().splitlines()[-1] == (
        f"TypeError: Argument 'code' has incorrect type (expected str, got {got})")


def test_handled_exception_and_reference_counts_are_left_alone(worker_module):
    codes = ["".join(["x = ", str(n), " + (" * n]) for n in range(3)]
    try:
        raise OSError("the caller's own")
    except OSError as handled:
        for code in codes:
            worker_module.validate_script(code)
        assert sys.exc_info()[1] is handled
    gc.collect()
    before = [sys.getrefcount(code) for code in codes]
    for _ in range(200):
        for code in codes:
            worker_module.validate_script(code)
    gc.collect()
    assert [sys.getrefcount(code) for code in codes] == before
