"""The benchmark's workloads: request lines and what their answers must hold.

Each workload yields a list of ``Request`` objects. A request carries the
exact line sent to the worker, the "success" value its answer must have, and
an optional deeper check of the answer's content. The deeper check is applied
to workers that implement the whole protocol; the floor worker only has to
get "success" right.
"""

from __future__ import annotations

import json
import math
import random
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

Check = Callable[[dict], Optional[str]]


@dataclass(frozen=True)
class Request:
    line: bytes
    success: bool
    check: Optional[Check] = None
    label: str = ""


@dataclass(frozen=True)
class Workload:
    name: str
    description: str
    count: int  # requests per pipelined session at scale 1
    make: Callable[[int], list]  # n -> list of Request


def _line(obj) -> bytes:
    return (json.dumps(obj) + "\n").encode("ascii")


def _expect_result(expected_value) -> Check:
    """Check of a run_inline / run_script success answer."""

    def check(answer):
        result = answer.get("result")
        if not isinstance(result, dict):
            return f"'result' is not an object: {result!r:.200}"
        if list(result) != ["output", "errors", "return_value"]:
            return f"'result' members are {list(result)}"
        return expected_value(result)

    return check


def _equal(field, expected) -> Callable[[dict], Optional[str]]:
    def probe(result):
        if result.get(field) != expected:
            return f"{field} is {result.get(field)!r:.200}, expected {expected!r:.200}"
        return None

    return probe


def _all(*probes):
    def probe(result):
        for p in probes:
            problem = p(result)
            if problem:
                return problem
        return None

    return probe


# -- request builders -----------------------------------------------------

ASSIGN = "x = 1"
BROKEN = "x = ("


def validate_assign() -> Request:
    def check(answer):
        expected = {"valid": True, "message": "Script is valid Python"}
        if answer.get("result") != expected:
            return f"result is {answer.get('result')!r:.200}"
        return None

    return Request(_line({"action": "validate", "code": ASSIGN}), True, check, "validate_assign")


def validate_syntax_error() -> Request:
    def check(answer):
        result = answer.get("result") or {}
        if result.get("valid") is not False or result.get("line") != 1:
            return f"result is {result!r:.200}"
        if not str(result.get("message", "")).startswith("Syntax error at line 1: "):
            return f"message is {result.get('message')!r:.200}"
        if not isinstance(result.get("offset"), int):
            return f"offset is {result.get('offset')!r}"
        return None

    return Request(
        _line({"action": "validate", "code": BROKEN}), True, check, "validate_syntax_error"
    )


def inline_const() -> Request:
    check = _expect_result(
        _all(_equal("output", ""), _equal("errors", ""), _equal("return_value", 42))
    )
    return Request(_line({"action": "run_inline", "code": "result = 42"}), True, check, "inline_const")


PRINT20 = "for i in range(20):\n    print('line', i)\n"
PRINT20_OUT = "".join(f"line {i}\n" for i in range(20))


def inline_print20() -> Request:
    check = _expect_result(_all(_equal("output", PRINT20_OUT), _equal("return_value", None)))
    return Request(_line({"action": "run_inline", "code": PRINT20}), True, check, "inline_print20")


LOOP1000 = "total = 0\nfor i in range(1000):\n    total += i * i\nresult = total\n"


def inline_loop1000() -> Request:
    expected = sum(i * i for i in range(1000))
    check = _expect_result(_equal("return_value", expected))
    return Request(_line({"action": "run_inline", "code": LOOP1000}), True, check, "inline_loop1000")


# 4 distinct rows of 12 leaf values each (ints, strings, None, floats, a
# tuple and a small dict), repeated by reference to 1000 rows: 12 000 values
# that cost almost nothing to build and a full walk to convert.
BIG_RESULT = """\
rows = [
    [1, "alpha", None, 2.5, (3, "x", None), {"id": 7, "tag": "t", "w": 0.25}, -4, "omega"],
    [2, "beta", None, -1.5, (4, "y", None), {"id": 8, "tag": "u", "w": 0.5}, 9, "psi"],
    [3, "gamma", None, 0.125, (5, "z", None), {"id": 9, "tag": "v", "w": 1.0}, 16, "chi"],
    [4, "delta", None, 1e-3, (6, "w", None), {"id": 10, "tag": "s", "w": 2.0}, 25, "phi"],
]
result = {"rows": rows * 250, "count": 1000}
"""
BIG_ROW_LAST = [4, "delta", None, 1e-3, [6, "w", None], {"id": 10, "tag": "s", "w": 2.0}, 25, "phi"]


def inline_big_result() -> Request:
    def probe(result):
        value = result.get("return_value")
        if not isinstance(value, dict) or value.get("count") != 1000:
            return f"return_value is {str(value):.200}"
        rows = value.get("rows")
        if not isinstance(rows, list) or len(rows) != 1000:
            return "return_value.rows does not hold 1000 rows"
        if rows[-1] != BIG_ROW_LAST:
            return f"last row is {rows[-1]!r:.200}"
        return None

    return Request(
        _line({"action": "run_inline", "code": BIG_RESULT}), True, _expect_result(probe), "inline_big_result"
    )


MIB = 1 << 20
PRINT_1MIB = 'print(("x" * 63 + "\\n") * 16383 + "x" * 63)\n'


def inline_print_1mib() -> Request:
    def probe(result):
        output = result.get("output")
        if not isinstance(output, str) or len(output) != MIB or output.count("\n") != 16384:
            return f"output has {len(output) if isinstance(output, str) else output!r} characters"
        return None

    return Request(
        _line({"action": "run_inline", "code": PRINT_1MIB}), True, _expect_result(probe), "inline_print_1mib"
    )


SCRIPT_SOURCE = '''\
"""Tool: sum of squares below n."""
import math

LIMIT = 10_000


def main(args):
    n = min(args.get("n", 10), LIMIT)
    total = sum(i * i for i in range(n))
    return {"n": n, "total": total, "root": math.isqrt(total)}
'''


def script_main(files: Path) -> Request:
    total = sum(i * i for i in range(12))
    expected = {"n": 12, "total": total, "root": math.isqrt(total)}
    check = _expect_result(_all(_equal("output", ""), _equal("return_value", expected)))
    line = _line({"action": "run_script", "path": str(files / "tool_script.py"), "args": {"n": 12}})
    return Request(line, True, check, "script_main")


FUNCTION_SOURCE = '''\
"""Tool: a greeting."""


def greet(name, times):
    return {"text": ("Hello, " + name + "! ") * times, "times": times}


def _helper():
    return None
'''


def function_kwargs(files: Path) -> Request:
    expected = {"text": "Hello, Ada! Hello, Ada! ", "times": 2}

    def check(answer):
        if answer.get("result") != {"return_value": expected}:
            return f"result is {answer.get('result')!r:.200}"
        return None

    line = _line(
        {
            "action": "run_function",
            "path": str(files / "tool_function.py"),
            "function": "greet",
            "args": {"name": "Ada", "times": 2},
        }
    )
    return Request(line, True, check, "function_kwargs")


BAD_JSON = b"{abc\n"
BAD_JSON_ERROR = "Invalid JSON: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"


def invalid_json() -> Request:
    def check(answer):
        if answer != {"success": False, "error": BAD_JSON_ERROR}:
            return f"answer is {answer!r:.200}"
        return None

    return Request(BAD_JSON, False, check, "invalid_json")


def unknown_action() -> Request:
    def check(answer):
        if answer != {"success": False, "error": "Unknown action: frobnicate"}:
            return f"answer is {answer!r:.200}"
        return None

    return Request(_line({"action": "frobnicate", "code": ASSIGN}), False, check, "unknown_action")


def write_files(directory: Path) -> None:
    """Write the script files that the run_script and run_function workloads use."""
    (directory / "tool_script.py").write_text(SCRIPT_SOURCE, encoding="utf-8")
    (directory / "tool_function.py").write_text(FUNCTION_SOURCE, encoding="utf-8")


MIX_SEED = 20240611


def build(files: Path) -> list:
    """All workloads, in report order. ``files`` holds the scripts of ``write_files``."""
    singles = [
        ("validate_assign", "validate of a one-line assignment", 8000, validate_assign()),
        ("validate_syntax_error", "validate of a syntax error", 8000, validate_syntax_error()),
        ("inline_const", "run_inline assigning a constant result", 8000, inline_const()),
        ("inline_print20", "run_inline printing 20 lines", 4000, inline_print20()),
        ("inline_loop1000", "run_inline with a 1000-step loop", 4000, inline_loop1000()),
        ("inline_big_result", "run_inline returning 12 000 shared values", 300, inline_big_result()),
        ("inline_print_1mib", "run_inline printing 1 MiB", 80, inline_print_1mib()),
        ("script_main", "run_script of a 10-line file with main(args)", 2000, script_main(files)),
        ("function_kwargs", "run_function with two keyword arguments", 2000, function_kwargs(files)),
        ("invalid_json", "undecodable lines", 8000, invalid_json()),
        ("unknown_action", "unknown actions", 8000, unknown_action()),
    ]
    workloads = [
        Workload(name, text, count, (lambda n, r=req: [r] * n)) for name, text, count, req in singles
    ]

    # The mix draws from every single workload but the 1 MiB print, weighted
    # towards the cheap requests a host sends most often.
    weights = {name: 10 for name, *_ in singles}
    weights["inline_big_result"] = 1
    weights["script_main"] = 4
    weights["function_kwargs"] = 4
    del weights["inline_print_1mib"]
    pool = {name: req for name, _, _, req in singles if name in weights}
    names = list(weights)

    def make_mix(n):
        rng = random.Random(MIX_SEED)
        return [pool[name] for name in rng.choices(names, [weights[k] for k in names], k=n)]

    workloads.append(Workload("mix", "fixed-seed mix of the above (no 1 MiB print)", 4000, make_mix))
    return workloads
