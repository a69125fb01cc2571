"""Fuzzer for the worker's request lines.

    python tools/fuzz.py --seconds 600                 fuzz `python -m vantor.workers` for ten minutes
    python tools/fuzz.py --seed 7 --lines 5000         a fixed amount, reproducible
    python tools/fuzz.py --worker "build/sanitize-venv/bin/python -m vantor.workers"
    tools/sanitize.sh --fuzz 600                       the same against the sanitized build

A seeded generator writes request lines (random member types and values,
every action, nesting from a few levels to tens of thousands, huge strings,
lone surrogates, NUL characters, undecodable bytes, very long lines, CRLF
ends, blank lines) and mutates earlier lines byte by byte. The lines go to
workers in batches, one worker process per batch, half of them with standard
input decoded strictly. A model of the protocol, written here in Python from
the worker's documented behaviour, says for every line what must happen:
no answer (blank), one answer (compared exactly, or by type, text and
traceback for a caught exception), or the end of the worker with a given
Python exception. The property checked: every line is answered as the model
says, or the worker ends with the exception that ends it; never a signal,
never a hang, never an output line that is not one JSON object.

Only code that this file wrote itself is ever run: a mutated request whose
code would compile, or whose path names an existing file that is not one of
the fixtures, is dropped before it is sent.

Prints the lines tried and the findings; the input of every failing batch is
kept under --save (default build/fuzz-findings/). Exits 1 on findings.
"""
import argparse
import builtins
import importlib.util
import io
import json
import os
import random
import shlex
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
QUALIFIED = "vantor.workers.custom_worker."

FIXTURES = {
    "greet.py": (
        "import sys\n"
        "print('hello', args.get('name', 'world'))\n"
        "print('careful', file=sys.stderr)\n"
        "result = {'keys': sorted(map(str, args)), 'pair': (1, 2.5), 'set': {3}}\n"
    ),
    "add.py": (
        "def main(args=None):\n"
        "    args = args or {}\n"
        "    return args.get('a', 0) + args.get('b', 0)\n"
    ),
    "boom.py": "def helper():\n    raise ValueError('boom')\n\nhelper()\n",
    "broken.py": "def f(:\n    pass\n",
    "latin1.py": b"name = '\xe9t\xe9'\n",
    "exits.py": "import sys\nsys.exit(3)\n",
    "loud.py": (
        "print('loading')\n"
        "def shout(text='hey'):\n"
        "    print(str(text)[:40].upper())\n"
        "    return len(str(text))\n"
    ),
    "geo.py": (
        "from pathlib import Path\n"
        "VERSION = '1.0'\n"
        "ZERO = 0\n"
        "EMPTY = []\n"
        "\n"
        "def area(w=1, h=1):\n"
        "    return float(w) * float(h)\n"
        "\n"
        "def echo(**kwargs):\n"
        "    return kwargs\n"
        "\n"
        "def shapes():\n"
        "    return {1: frozenset(), (2, 3): [b'x', 1.5, float('inf')], None: Path('/p')}\n"
        "\n"
        "def fails(x=1):\n"
        "    return 1 / (x - 1)\n"
        "\n"
        "def leave():\n"
        "    raise SystemExit(5)\n"
        "\n"
        "def _private():\n"
        "    return 'hidden'\n"
    ),
    "notes.txt": "not a script\n",
}
FIXTURE_DIRS = ["sub", "pkg.py"]

BAD_STR = "class Bad:\n    def __str__(self):\n        raise KeyError('no text')\n"

# Inline code that the model runs in-process to know the answer.
INLINE_CORPUS = [
    "",
    "result = 1",
    "print('hi')\nresult = 1",
    "result = args",
    "result = sorted(map(str, args))",
    "result = len(args)",
    "import sys\nsys.stderr.write('warn\\n')",
    "print('caf\\u00e9 \\U0001F600 \\ud800 \\x00')",
    "result = '\\x00\\ud800' * 3",
    "1 / 0",
    "raise ValueError('bad \\n value')",
    "raise KeyError(('t', 1))",
    "undefined_name",
    "result = []\nresult.append(result)",
    "result = {1: 2, None: 3, (1, 2): [b'x', {4}], 'f': 1.5, 'n': float('nan'), True: -0.0}",
    "result = {3, 1, 2}",
    "result = (frozenset(), b'\\xff\\x00', 10 ** 300, 2.5e-300, float('inf'))",
    "import sys\nsys.stdout.close()",
    "import sys\nsys.stderr.close()",
    "import sys, io\nsys.stdout = io.StringIO()\nprint('elsewhere')\nresult = 2",
    "import sys\nsys.stdout.buffer",
    BAD_STR + "result = Bad()",
    BAD_STR + "raise ValueError(Bad())",
    "raise SystemExit(3)",
    "raise SystemExit('bye')",
    "raise SystemExit",
    "raise KeyboardInterrupt",
    "raise GeneratorExit",
    "def main():\n    return 5\nresult = 1",
    "import json\nresult = json.loads('[1, {\"a\": null}]')",
    "exec('x = 1')\nresult = x",
    "result = 10 ** 5000",
    "print('a' * 100000)",
    "result = 'x' * 1000000",
    "return 5",
    "x = (",
    "try:\n    {}['k']\nexcept KeyError as e:\n    raise RuntimeError('wrapped') from e",
]

VALIDATE_CORPUS = [
    "", "x = 1", "x = (", "if x:\npass", "return 1", "await x", "def f(:\n    pass",
    "x = 1\n\ty = 2", "\tx = 1", "f'{'", "x = '\\N{nope}'", "x = 1 if 2", "lambda: (yield)",
    "class C:\n    def f(self):\n        return [i for i in range(3)]", "x = 1\0", "print('\\ud800')",
    "x = 0777", "del f()", "nonlocal x", "x: int = 'a'", "async def f():\n    await g()",
]

PATHS = ["greet.py", "./add.py", "boom.py", "broken.py", "latin1.py", "exits.py", "loud.py",
         "geo.py", "notes.txt", "sub", "pkg.py", "", ".", "..", "/", "missing.py", "~/surely/missing.py",
         "~nosuchuser7/x.py", "sub/../geo.py", "a\0b.py", "\ud800.py", "x" * 5000, "\udcff.py"]
FUNCTIONS = ["main", "area", "echo", "shapes", "fails", "leave", "shout", "VERSION", "ZERO", "EMPTY",
             "_private", "helper", "Path", "nope", "", "__name__", "__init__", "__class__", "\0", "\ud800"]
ACTIONS = ["run_script", "run_inline", "run_function", "validate"]
ROUTES = dict.fromkeys(ACTIONS)


# ---------------------------------------------------------------- outcomes

class Answer:
    """The line gets one answer, checked by `check` (a dict to compare or a
    function returning a problem); `preamble` is raw output that comes first."""

    def __init__(self, check, preamble=b""):
        self.check, self.preamble = check, preamble

    def problem(self, answer, line):
        if isinstance(self.check, dict):
            # Compared on the wire: the answer must be exactly what encoding
            # the expected response gives.
            expected = json.dumps(self.check)
            return None if line == expected else f"expected {short(expected)}"
        return self.check(answer)


class End:
    """The worker ends on this line with no answer: exit status in `codes`
    and, when `last` is given, the last line of its standard error starting so."""

    def __init__(self, codes, last=None):
        self.codes, self.last = tuple(codes), last
        self.preamble = b""

    def problem(self, returncode, stderr):
        lines = [line for line in stderr.decode("utf-8", "replace").splitlines() if line.strip()]
        tail = lines[-1] if lines else ""
        if returncode not in self.codes:
            return f"{status_text(returncode)}, expected exit status {self.codes}; stderr ends {tail[:300]!r}"
        if self.last is not None and not tail.startswith(self.last):
            return f"stderr ends {tail[:300]!r}, expected {self.last[:200]!r}"
        return None


class Either:
    """Near an interpreter limit whose exact place depends on stack depth: a
    well-formed answer, or the end given."""

    def __init__(self, end):
        self.end = end
        self.answer = Answer(lambda answer: None)


class Quit:
    pass


SKIP, UNSAFE = "skip", "unsafe"


def short(value, limit=300):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def exception_end(exc):
    name = type(exc).__name__
    text = safe_str(exc)
    if isinstance(exc, (RecursionError, MemoryError)) or text is None:
        return End([1], name)
    return End([1], f"{name}: {text}" if text else name)


def safe_str(value):
    try:
        return str(value)
    except Exception:
        return None


def caught(exc, handler):
    """The caught-exception response for `exc`, raised inside `handler`."""
    name = type(exc).__name__
    text = safe_str(exc)
    if text is None:
        # Building the text raises: that exception ends the worker instead.
        try:
            str(exc)
        except Exception as inner:
            return exception_end(inner)
    loose = isinstance(exc, (RecursionError, MemoryError))
    head = f"{name}: " if loose else f"{name}: {text}\n"
    entry = f", in {QUALIFIED}{handler}"
    # Decoding the answer joins a lone high surrogate and a lone low one that
    # follow each other into one character: compare texts that went the same way.
    head = json.loads(json.dumps(head))

    def check(answer):
        if list(answer) != ["success", "error"] or answer["success"] is not False:
            return "not a failure answer"
        error = answer["error"]
        if not isinstance(error, str) or not error.startswith(head):
            return f"error {short(error)} does not start with {short(head)}"
        body = error[len(head):] if not loose else error.split("\n", 1)[-1]
        if not body.startswith("Traceback (most recent call last):\n"):
            return f"traceback {short(body)} does not follow the exception's text"
        # The handler's own entry leads the traceback of the exception it caught.
        last_block = body[body.rfind("Traceback (most recent call last):\n"):].split("\n")
        if not (last_block[1].startswith('  File "') and last_block[1].endswith(entry)):
            return f"traceback {short(body)} does not start with an entry for {handler}"
        if not error.endswith("\n"):
            return "traceback text does not end in a line feed"
        return None

    return Answer(check)


def success(result):
    return {"success": True, "result": result}


def failure(error):
    return {"success": False, "error": error}


# ---------------------------------------------------------------- the model

def serialize(obj):
    if obj is None or isinstance(obj, (str, int, float, bool)):
        return obj
    if isinstance(obj, (list, tuple)):
        return [serialize(item) for item in obj]
    if isinstance(obj, dict):
        converted = {}
        for key, value in obj.items():
            converted[key if type(key) is str else str(key)] = serialize(value)
        return converted
    return str(obj)


def nesting(text):
    """Deepest bracket nesting outside JSON strings."""
    depth = deepest = 0
    in_string = escaped = False
    for char in text:
        if in_string:
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == '"':
                in_string = False
        elif char == '"':
            in_string = True
        elif char in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif char in "]}":
            depth -= 1
    return deepest


class Model:
    """What the worker must do with one line, decided in this process."""

    def __init__(self, directory, streams):
        self.directory = Path(directory).resolve()
        self.streams = streams  # (encoding, errors) of stdin, stdout and stderr
        self.encoding, self.errors = streams[0]
        self.fixtures = {self.directory / name for name in FIXTURES}
        self.safe_code = set(INLINE_CORPUS)

    def outcome(self, raw):
        try:
            text = raw.decode(self.encoding, self.errors)
        except UnicodeDecodeError:
            return End([1], "UnicodeDecodeError: ")
        line = text.strip()
        if not line:
            return SKIP
        depth = nesting(line)
        band = 600 <= depth <= 1500
        try:
            cmd = json.loads(line)
        except json.JSONDecodeError as e:
            return Answer(failure("Invalid JSON: " + str(e)))
        except RecursionError:
            return Either(End([1], "RecursionError")) if band else End([1], "RecursionError")
        except Exception as e:
            return exception_end(e)
        outcome = self.command(cmd)
        if band and outcome not in (SKIP, UNSAFE):
            return Either(End([1], "RecursionError"))
        if depth > 150 and isinstance(outcome, Answer) and type(cmd) is dict and cmd.get("code") == "result = args":
            return Either(End([1], "RecursionError"))
        return outcome

    def command(self, cmd):
        if type(cmd) is not dict:
            return End([1], "TypeError: Argument 'cmd' has incorrect type "
                            f"(expected dict, got {type(cmd).__name__})")
        action = cmd.get("action", "")
        if action == "quit":
            return Quit()
        try:
            known = action in ROUTES
        except TypeError as e:
            return End([1], f"TypeError: {e}")
        if not known:
            shown = action if isinstance(action, str) else format(action, "")
            return Answer(failure("Unknown action: " + shown))
        if action == "run_script":
            members = [("path", cmd.get("path", ""), str), ("args", cmd.get("args"), dict)]
        elif action == "run_inline":
            members = [("code", cmd.get("code", ""), str), ("args", cmd.get("args"), dict)]
        elif action == "run_function":
            members = [("path", cmd.get("path", ""), str),
                       ("function_name", cmd.get("function", "main"), str),
                       ("args", cmd.get("args"), dict)]
        else:
            members = [("code", cmd.get("code", ""), str)]
        for name, value, kind in members:
            if type(value) is not kind and not (kind is dict and value is None):
                return End([1], f"TypeError: Argument '{name}' has incorrect type "
                                f"(expected {kind.__name__}, got {type(value).__name__})")
        values = [value for _, value, _ in members]
        return getattr(self, action)(*values)

    # The four handlers, as the worker documents them.

    def validate(self, code):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                compile(code, "<validation>", "exec")
            except SyntaxError as e:
                return Answer(success({"valid": False, "message": f"Syntax error at line {e.lineno}: {e.msg}",
                                       "line": e.lineno, "offset": e.offset}))
            except RecursionError:
                return Either(End([1], "RecursionError"))
            except Exception as e:
                return exception_end(e)
        return Answer(success({"valid": True, "message": "Script is valid Python"}))

    def run_inline(self, code, args):
        if code not in self.safe_code:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    compile(code, "<inline>", "exec")
                except RecursionError:
                    return Either(End([1], "RecursionError"))
                except Exception:
                    pass
                else:
                    return UNSAFE
        return self.execute(code, "<inline>", args, None, "run_inline")

    def run_script(self, path, args):
        try:
            p = Path(path).expanduser().resolve()
            if not p.exists():
                return Answer(failure("Script not found: " + path))
            if p not in self.fixtures and not p.is_dir():
                return UNSAFE
        except Exception as e:
            return caught(e, "run_script")
        return self.execute(None, str(p), args, p, "run_script")

    def execute(self, code, filename, args, path, handler):
        saved = sys.stdout, sys.stderr
        sys.stdout, sys.stderr = out, err = io.StringIO(), io.StringIO()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                namespace = {"__name__": "__main__"}
                if path is not None:
                    namespace["__file__"] = str(path)
                namespace["__builtins__"] = builtins
                namespace["args"] = args if args else {}
                if path is not None:
                    code = path.read_text(encoding="utf-8")
                exec(compile(code, filename, "exec"), namespace)
                if path is not None and "main" in namespace and callable(namespace["main"]):
                    result = namespace["main"](args) if args else namespace["main"]()
                else:
                    result = namespace.get("result")
                response = success({"output": out.getvalue(), "errors": err.getvalue(),
                                    "return_value": serialize(result)})
        except Exception as e:
            sys.stdout, sys.stderr = saved
            return caught(e, handler)
        except BaseException as e:
            sys.stdout, sys.stderr = saved
            return self.base_exception_end(e)
        finally:
            sys.stdout, sys.stderr = saved
        return self.encoded(response)

    def stream(self, index):
        encoding, errors = self.streams[index]
        return io.TextIOWrapper(io.BytesIO(), encoding=encoding, errors=errors, write_through=True)

    def run_function(self, path, function_name, args):
        saved = sys.stdout, sys.stderr
        out = self.stream(1)
        try:
            p = Path(path).expanduser().resolve()
            if not p.exists():
                return Answer(failure("Script not found: " + path))
            if p not in self.fixtures and not p.is_dir():
                return UNSAFE
            spec = importlib.util.spec_from_file_location("custom_module", str(p))
            if not spec or not spec.loader:
                return Answer(failure("Cannot load module from: " + path))
            module = importlib.util.module_from_spec(spec)
            sys.stdout, sys.stderr = out, self.stream(2)
            spec.loader.exec_module(module)
            func = getattr(module, function_name, None)
            if not func:
                available = [n for n in dir(module) if callable(getattr(module, n)) and not n.startswith("_")]
                answer = failure(f"Function '{function_name}' not found. Available: {available}")
            elif not callable(func):
                answer = failure(f"'{function_name}' is not callable")
            else:
                result = func(**args) if args else func()
                answer = success({"return_value": serialize(result)})
                if function_name.startswith("__"):
                    answer = lambda a: None if a.get("success") is True else "not a success"  # noqa: E731
        except Exception as e:
            outcome = caught(e, "run_function")
        except BaseException as e:
            outcome = self.base_exception_end(e)
        else:
            outcome = self.encoded(answer) if isinstance(answer, dict) else Answer(answer)
        finally:
            sys.stdout, sys.stderr = saved
        out.flush()
        preamble = out.buffer.getvalue()
        if isinstance(outcome, Either):
            outcome.answer.preamble = outcome.end.preamble = preamble
        else:
            outcome.preamble = preamble
        return outcome

    @staticmethod
    def base_exception_end(e):
        if isinstance(e, SystemExit):
            code = e.code
            if code is None:
                return End([0])
            if isinstance(code, int):
                return End([code & 0xFF])
            return End([1], str(code))
        if isinstance(e, KeyboardInterrupt):
            return End([1, 130, -2], "KeyboardInterrupt")
        return End([1], type(e).__name__)

    @staticmethod
    def encoded(response):
        try:
            json.dumps(response)
        except ValueError as e:
            # An int without a decimal text: the answer's encoding fails
            # (or the worker reports it while converting the result).
            return Either(End([1], f"ValueError: {e}"))
        return Answer(response)


# ---------------------------------------------------------------- generation

class Generator:
    def __init__(self, rng, model, big=True):
        self.rng, self.model, self.big = rng, model, big
        self.pool = []

    def text(self, limit=12):
        rng = self.rng
        pick = rng.random()
        if pick < 0.3:
            return rng.choice(["", "a", "main", "quit", "QUIT", " quit", "run_inline", "validate", "x = 1",
                               "\0", "\ud800", "\udcff", "caf\u00e9", "\U0001F600", "\r\n", "\u2028", "\\"])
        if pick < 0.35 and self.big:
            return rng.choice(["a", "\u00e9", "\ud800", " ", "\\", '"']) * rng.choice([10 ** 4, 10 ** 5, 10 ** 6])
        alphabet = "abc xyz_019\"'\\\n\r\t\0{}[]:,()\u00e9\u2028\u00a0\ud800\udfff\U0001F600\x7f\x1c"
        return "".join(rng.choice(alphabet) for _ in range(rng.randrange(limit)))

    def number(self):
        rng = self.rng
        return rng.choice([0, 1, -1, 7, 2 ** 63, -2 ** 64, 10 ** rng.randrange(1, 4200), 1.5, -0.0, 1e308,
                           float("inf"), float("-inf"), float("nan"), 5e-324])

    def value(self, depth=0):
        rng = self.rng
        pick = rng.random()
        if depth > 3 or pick < 0.45:
            return rng.choice([None, True, False, self.number(), self.text()])
        if pick < 0.7:
            return [self.value(depth + 1) for _ in range(rng.randrange(4))]
        return {self.text(6): self.value(depth + 1) for _ in range(rng.randrange(4))}

    def deep(self, inner="1"):
        depth = self.rng.choice([2, 50, 300, 2000, 20000, 60000])
        kind = self.rng.random()
        if kind < 0.5:
            return "[" * depth + inner + "]" * depth
        return '{"a": ' * depth + inner + "}" * depth

    def code(self):
        rng = self.rng
        pick = rng.random()
        if pick < 0.55:
            return rng.choice(INLINE_CORPUS)
        if pick < 0.7:
            n = rng.choice([10, 199, 201, 1000, 10000, 50000])
            builder = rng.choice(["({}" + ")", "[{}]", "-{}", "not {}", "1 + {}"])
            code = "x = " + builder.split("{}")[0] * n + "1" + builder.split("{}")[1] * n
            self.model.safe_code.add(code)
            return code
        if pick < 0.8 and self.big:
            code = rng.choice(INLINE_CORPUS[:6]) + "\n# " + "z" * rng.choice([10 ** 5, 10 ** 6, 3 * 10 ** 6])
            self.model.safe_code.add(code)
            return code
        return rng.choice(VALIDATE_CORPUS) if pick < 0.9 else self.text(40)

    def request(self):
        rng = self.rng
        action = rng.choice(ACTIONS * 6 + ["quit"] + ["unknown"] * 3)
        cmd = {}
        if action == "unknown":
            if rng.random() < 0.8:
                cmd["action"] = rng.choice([self.text(), self.number(), None, True, False]) \
                    if rng.random() < 0.9 else rng.choice([[], {}, ["quit"]])
        else:
            cmd["action"] = action
        odd = rng.random() < 0.04  # a member of the wrong type: ends the worker
        if action in ("run_script", "run_function"):
            if rng.random() < 0.9:
                cmd["path"] = rng.choice(PATHS) if not odd else self.value()
        if action == "run_function" and rng.random() < 0.85:
            cmd["function"] = rng.choice(FUNCTIONS) if rng.random() < 0.9 else self.text()
        if action in ("run_inline", "validate") and rng.random() < 0.95:
            cmd["code"] = (self.code() if action == "run_inline" else
                           rng.choice([self.code(), rng.choice(VALIDATE_CORPUS)])) if not odd else self.value()
        if action != "validate" and rng.random() < 0.6:
            cmd["args"] = self.args() if not odd or rng.random() < 0.5 else rng.choice([[], 1, "a"])
        for _ in range(rng.choice([0, 0, 0, 1, 2])):
            cmd[self.text(8)] = self.value()
        if rng.random() < 0.5:
            keys = list(cmd)
            rng.shuffle(keys)
            cmd = {key: cmd[key] for key in keys}
        return cmd

    def args(self):
        rng = self.rng
        pick = rng.random()
        if pick < 0.2:
            return rng.choice([None, {}])
        if pick < 0.5:
            return rng.choice([{"name": "ada"}, {"a": 2, "b": 3}, {"w": 2, "h": 3.5}, {"text": "loud"},
                               {"x": 1}, {"x": 2}, {"nope": 1}, {"a": "s", "b": 1}])
        if pick < 0.57:
            return {"n": self.value(), "name": self.text()}
        return {self.text(6): self.value() for _ in range(rng.randrange(1, 4))}

    def encode(self, cmd):
        rng = self.rng
        ascii_only = rng.random() < 0.6
        separators = rng.choice([None, (",", ":"), (" , ", " :  ")])
        try:
            text = json.dumps(cmd, ensure_ascii=ascii_only, separators=separators)
            data = text.encode("utf-8")
        except (UnicodeEncodeError, ValueError):
            data = json.dumps(cmd, separators=separators).encode("ascii")
        if rng.random() < 0.2:
            data = rng.choice([b" ", b"\t", b"\r", b"\xc2\xa0", b"\xe2\x80\xa8", b"\x1c"]) * rng.randrange(1, 4) + data
        if rng.random() < 0.2:
            data += rng.choice([b" ", b"\t", b"\r", b"\x0b", b"\xe3\x80\x80"]) * rng.randrange(1, 4)
        return data

    def raw_line(self):
        rng = self.rng
        pick = rng.random()
        if pick < 0.08:
            return rng.choice([b"", b"   ", b"\t", b"\r", b" \r", b"\x0c", b"\xc2\x85"])
        if pick < 0.24:
            return rng.choice([b"{abc", b"   abc", b"{'action': 'quit'}", b'{"action": "quit"} {}', b"{",
                               b'{"action": "validate", "code": "x', b"\x00", b'{"a":1}\x00', b"nul\x00l",
                               b'{"action": "run_inline", "code": "print(1)"}\r{"action": "quit"}',
                               b'{"action": NaN}', b'{"action": Infinity}', b"[1, 2]", b"null", b'"quit"',
                               b"3", b"true", b'{"action": "run_inline", "code": "\\ud800"}',
                               b'{"action": "validate", "code": "x = \\u0000"}', b"1" * 5000,
                               b'{"action": ' + b"9" * 4400 + b"}", b'{"action": ' + b"9" * 4000 + b"}"])
        if pick < 0.32:
            body = self.encode(self.request())
            cut = rng.randrange(len(body) + 1)
            insert = rng.choice([b"\xff", b"\xfe\xff", b"\xc3", b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80",
                                 b"\x80", b"\xe2\x82"])
            return body[:cut] + insert + body[cut:]
        if pick < 0.36:
            inner = rng.choice(["1", '"x"', "null", "{}", '{"action": "quit"}'])
            deep = self.deep(inner).encode()
            if rng.random() < 0.5:
                return b'{"action": "run_inline", "code": "result = len(args)", "args": {"d": ' + deep + b"}}"
            return deep
        if pick < 0.39 and self.big:
            padding = rng.choice([b" ", b"\t", b"\r"]) * rng.choice([10 ** 5, 10 ** 6, 4 * 10 ** 6])
            return padding + self.encode(self.request()) + padding
        return self.encode(self.request())

    def mutate(self, data):
        rng = self.rng
        data = bytearray(data)
        for _ in range(rng.randrange(1, 5)):
            op = rng.random()
            position = rng.randrange(len(data) + 1)
            if op < 0.3 and data:
                data[min(position, len(data) - 1)] = rng.randrange(256)
            elif op < 0.55:
                data[position:position] = rng.choice([b"\x00", b"\\", b'"', b"{", b"[", b"]", b"}", b",", b":",
                                                      b"\xff", b"\\u0000", b"\\ud800", b"\r", b" ", b"1e999", b"null"])
            elif op < 0.75 and data:
                end = min(len(data), position + rng.randrange(1, 16))
                del data[position:end]
            elif op < 0.85 and data:
                end = min(len(data), position + rng.randrange(1, 32))
                data[position:position] = data[position:end] * rng.randrange(1, 4)
            elif op < 0.95 and self.pool:
                other = rng.choice(self.pool)
                data = data[:position] + other[rng.randrange(len(other) + 1):]
            else:
                del data[position:]
        return bytes(data.replace(b"\n", b" "))

    def line(self):
        if self.pool and self.rng.random() < 0.3:
            data = self.mutate(self.rng.choice(self.pool))
        else:
            data = self.raw_line()
        if len(data) < 4096:
            self.pool.append(data)
            if len(self.pool) > 500:
                self.pool.pop(self.rng.randrange(len(self.pool)))
        return data


# ---------------------------------------------------------------- running

def status_text(returncode):
    return f"killed by signal {-returncode}" if returncode < 0 else f"exit status {returncode}"


def well_formed(line):
    if not line.isascii():
        return None, "not ASCII"
    try:
        answer = json.loads(line)
    except ValueError as e:
        return None, f"not one JSON text ({e})"
    if type(answer) is not dict or list(answer)[:1] != ["success"] or type(answer["success"]) is not bool:
        return None, "not a JSON object led by a boolean success"
    if answer["success"] and list(answer) != ["success", "result"] or \
            not answer["success"] and (list(answer) != ["success", "error"] or type(answer["error"]) is not str):
        return None, f"members {list(answer)}"
    return answer, None


def check_batch(items, completed, lenient):
    """Walks the expected outcomes along the worker's output; returns problems."""
    out, pos = completed.stdout, 0
    returncode, stderr = completed.returncode, completed.stderr
    for index, (raw, outcome) in enumerate(items):
        where = f"line {index} {short(raw[:200])}"
        if outcome is SKIP:
            continue
        if isinstance(outcome, End):
            if outcome.preamble and out.startswith(outcome.preamble, pos):
                pos += len(outcome.preamble)
            if pos != len(out):
                return [f"{where}: output after the last answer: {short(out[pos:pos + 200])}"]
            problem = outcome.problem(returncode, stderr)
            return [f"{where}: {problem}"] if problem else []
        if lenient and pos == len(out):
            problem = lenient.problem(returncode, stderr)
            return [f"{where}: {problem}"] if problem else []
        answer_outcome = outcome.answer if isinstance(outcome, Either) else outcome
        if isinstance(outcome, Quit):
            answer_outcome = Answer(success("goodbye"))
        if answer_outcome.preamble:
            preamble = answer_outcome.preamble
            if not out.startswith(preamble, pos):
                return [f"{where}: expected the raw output {short(preamble)} before the answer, "
                        f"got {short(out[pos:pos + 200])}"]
            pos += len(preamble)
        newline = out.find(b"\n", pos)
        if newline < 0:
            if pos < len(out):
                return [f"{where}: unterminated output {short(out[pos:pos + 200])}"]
            if isinstance(outcome, Either):
                problem = outcome.end.problem(returncode, stderr)
                return [f"{where}: {problem}"] if problem else []
            tail = stderr.decode("utf-8", "replace").strip().splitlines()[-1:]
            return [f"{where}: no answer; worker {status_text(returncode)}, stderr ends {short(tail)}"]
        line = out[pos:newline].decode("latin-1")
        pos = newline + 1
        answer, problem = well_formed(line)
        if problem is None:
            problem = answer_outcome.problem(answer, line)
        if problem:
            return [f"{where}: answer {short(line)}: {problem}"]
        if isinstance(outcome, Quit):
            if pos != len(out) or returncode != 0:
                return [f"{where}: after quit: exit status {returncode}, output {short(out[pos:pos + 200])}"]
            return []
    if pos != len(out):
        return [f"end of input: output after the last answer: {short(out[pos:pos + 200])}"]
    if returncode != 0:
        tail = stderr.decode("utf-8", "replace").strip().splitlines()[-1:]
        return [f"end of input: worker {status_text(returncode)}, stderr ends {short(tail)}"]
    return []


def stream_modes(worker_env):
    """(encoding, errors) of the standard streams of an interpreter started with `worker_env`."""
    probe = subprocess.run(
        [sys.executable, "-c", "import sys\nfor s in sys.stdin, sys.stdout, sys.stderr: print(s.encoding, s.errors)"],
        capture_output=True, text=True, env=worker_env, stdin=subprocess.DEVNULL, check=True)
    return [tuple(line.split()) for line in probe.stdout.splitlines()]


class Fuzzer:
    def __init__(self, worker, seed, *, big=True, batch=40, timeout=120, save=None, log=None):
        self.worker, self.seed, self.batch, self.timeout = worker, seed, batch, timeout
        self.rng = random.Random(seed)
        self.big, self.save, self.log = big, save, log
        self.lines = self.batches = self.dropped = 0
        self.findings, self.pool = [], []

    def run(self, *, lines=None, seconds=None, replay=None):
        """Fuzzes until `lines` were sent or `seconds` passed; or, given
        `replay` (a saved .in file), sends that input once and checks it."""
        deadline = time.monotonic() + seconds if seconds else None
        saved_cwd = os.getcwd()
        with tempfile.TemporaryDirectory() as directory:
            for name, text in FIXTURES.items():
                target = Path(directory, name)
                target.write_bytes(text if isinstance(text, bytes) else text.encode())
            for name in FIXTURE_DIRS:
                Path(directory, name).mkdir()
            base_env = dict(os.environ)
            base_env.pop("PYTHONUNBUFFERED", None)
            base_env.pop("PYTHONIOENCODING", None)
            strict_env = dict(base_env, PYTHONIOENCODING="utf-8:strict")
            models = {}
            os.chdir(directory)
            try:
                for env in (base_env, strict_env):
                    models[id(env)] = Model(directory, stream_modes(env))
                if replay is not None:
                    mode = replay.with_suffix(".txt")
                    env = strict_env if mode.exists() and "strict" in mode.read_text() else base_env
                    data = replay.read_bytes()
                    raws = data.split(b"\n")
                    if raws[-1] == b"":
                        raws.pop()
                    items = [(raw, models[id(env)].outcome(raw)) for raw in raws]
                    self.send(items, data, env, directory)
                    return self
                while (lines is None or self.lines < lines) and (deadline is None or time.monotonic() < deadline):
                    env = self.rng.choice([base_env, strict_env])
                    model = models[id(env)]
                    generator = Generator(self.rng, model, self.big)
                    generator.pool = self.pool
                    self.one_batch(generator, model, env, directory, lines)
            finally:
                os.chdir(saved_cwd)
        return self

    def one_batch(self, generator, model, env, directory, limit):
        items, size = [], 0
        while len(items) < self.batch and size < 24 * 2 ** 20:
            if limit is not None and self.lines + len(items) >= limit:
                break
            raw = generator.line()
            outcome = model.outcome(raw)
            if outcome is UNSAFE:
                self.dropped += 1
                continue
            items.append((raw, outcome))
            size += len(raw)
            if not isinstance(outcome, Answer) and outcome is not SKIP:
                break
        if not items:
            return
        endings = [self.rng.choice([b"\n", b"\n", b"\n", b"\r\n"]) for _ in items]
        if self.rng.random() < 0.2 and not items[-1][0].endswith(b"\r"):
            endings[-1] = b""  # input ends mid-line
        data = b"".join(raw + ending for (raw, _), ending in zip(items, endings))
        # With CRLF the carriage return stays in the line and is stripped
        # with the other blanks: the outcome is the same.
        self.send(items, data, env, directory)

    def send(self, items, data, env, directory):
        self.batches += 1
        self.lines += len(items)
        lenient = None
        last = items[-1][1]
        if isinstance(last, End) and last.last == "UnicodeDecodeError: ":
            # The text stream decodes ahead: lines before the undecodable
            # bytes may be lost with them.
            lenient = last
        try:
            completed = subprocess.run(self.worker, input=data, capture_output=True, cwd=directory, env=env,
                                       timeout=self.timeout + len(data) / 2 ** 20)
        except subprocess.TimeoutExpired:
            problems = [f"hang: no exit within {self.timeout} s"]
        else:
            problems = check_batch(items, completed, lenient)
        for problem in problems:
            self.record(problem, data, env)

    def record(self, problem, data, env):
        self.findings.append(problem)
        if self.log:
            print(f"fuzz: finding: {problem}", file=self.log)
        if self.save:
            self.save.mkdir(parents=True, exist_ok=True)
            stem = self.save / f"seed{self.seed}-{len(self.findings)}"
            stem.with_suffix(".in").write_bytes(data)
            mode = env.get("PYTHONIOENCODING", "")
            stem.with_suffix(".txt").write_text(f"{problem}\nPYTHONIOENCODING={mode}\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=None, help="default: from the clock (printed)")
    parser.add_argument("--seconds", type=float, default=None)
    parser.add_argument("--lines", type=int, default=None)
    parser.add_argument("--batch", type=int, default=40, help="lines per worker process")
    parser.add_argument("--timeout", type=float, default=120, help="seconds a batch may take")
    parser.add_argument("--small", action="store_true", help="no huge strings or very long lines")
    parser.add_argument("--worker", default=f"{shlex.quote(sys.executable)} -m vantor.workers")
    parser.add_argument("--save", type=Path, default=ROOT / "build" / "fuzz-findings")
    parser.add_argument("--replay", type=Path, metavar="FILE.in", help="send one saved input again and check it")
    options = parser.parse_args()
    if options.seconds is None and options.lines is None:
        options.seconds = 60
    seed = options.seed if options.seed is not None else int(time.time())
    started = time.monotonic()
    fuzzer = Fuzzer(shlex.split(options.worker), seed, big=not options.small, batch=options.batch,
                    timeout=options.timeout, save=options.save, log=sys.stderr)
    if options.replay:
        fuzzer.save = None
        fuzzer.run(replay=options.replay.resolve())
        print(f"fuzz: replayed {options.replay}: {len(fuzzer.findings)} findings")
        return 1 if fuzzer.findings else 0
    fuzzer.run(lines=options.lines, seconds=options.seconds)
    print(f"fuzz: seed {seed}: {fuzzer.lines} lines tried in {fuzzer.batches} worker runs "
          f"({time.monotonic() - started:.0f} s, {fuzzer.dropped} unsafe mutations dropped); "
          f"{len(fuzzer.findings)} findings")
    return 1 if fuzzer.findings else 0


if __name__ == "__main__":
    sys.exit(main())
