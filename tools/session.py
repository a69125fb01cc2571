"""A protocol session that takes the worker through every action and every
failure answer: the scripts it needs, the request lines, and what each
answer must look like. Shared by tools/memcheck.sh and tools/soak.py.

    python tools/session.py DIR            write the scripts into DIR and print the lines
    python tools/session.py DIR --check F  check the answers in file F against the session
"""
import argparse
import json
import sys
from pathlib import Path

SCRIPTS = {
    "greet.py": (
        "import sys\n"
        "print('hello', args.get('name', 'world'))\n"
        "print('careful', file=sys.stderr)\n"
        "result = {'keys': sorted(args), 'pair': (1, 2.5), 'none': None, 'set': {3}}\n"
    ),
    "add.py": (
        "def main(args=None):\n"
        "    args = args or {}\n"
        "    return args.get('a', 0) + args.get('b', 0)\n"
    ),
    "boom.py": "def helper():\n    raise ValueError('boom')\n\nhelper()\n",
    "broken.py": "def f(:\n    pass\n",
    "latin1.py": b"name = '\xe9t\xe9'\n",
    "geo.py": (
        "from pathlib import Path\n"
        "VERSION = '1.0'\n"
        "ZERO = 0\n"
        "\n"
        "def area(w, h):\n"
        "    return w * h\n"
        "\n"
        "def shapes():\n"
        "    return {1: frozenset(), (2, 3): [b'x', 1.5, float('inf')], None: Path('/p')}\n"
        "\n"
        "def fails(x=1):\n"
        "    return 1 / (x - 1)\n"
        "\n"
        "def _private():\n"
        "    return 'hidden'\n"
    ),
    "notes.txt": "not a script\n",
}

INLINE_VALUES = (
    "import collections, enum\n"
    "class Color(enum.IntEnum):\n"
    "    RED = 1\n"
    "Point = collections.namedtuple('Point', 'x y')\n"
    "class Thing:\n"
    "    def __str__(self):\n"
    "        return 'a thing'\n"
    "def gen():\n"
    "    yield 1\n"
    "result = {'nan': float('nan'), 'big': 10 ** 40, 'color': Color.RED, 'point': Point(1, 2),\n"
    "          'bytes': b'\\x00\\xff', 'thing': Thing(), 'gen': gen() is not None,\n"
    "          'nested': {1: {2: (3, [None, True])}}, 'text': 'caf\\u00e9 \\U0001F600\\n',\n"
    "          'ordered': collections.OrderedDict(a=1), 'keys': {None: 1, True: 2, (1, 2): 3}}\n"
)

BAD_STR = (
    "class Bad:\n"
    "    def __str__(self):\n"
    "        raise KeyError('no text')\n"
)


def ok(result=None):
    """The answer is a success; `result`, when given, must equal its "result"."""
    return {"success": True, "result": result}


def fails(prefix, *, exact=False):
    """The answer is a failure whose "error" starts with (or equals) `prefix`."""
    return {"success": False, "error": prefix, "exact": exact}


# Each entry: the request (a dict, or a raw line) and what its answer must be.
# None as the expectation means the line gets no answer (it is blank).
REQUESTS = [
    ("", None),
    ("  \t\r", None),
    ('{"action": "validate", "code": "x = 1"}\r', ok({"valid": True, "message": "Script is valid Python"})),
    ("{abc", fails("Invalid JSON: Expecting property name enclosed in double quotes")),
    ('{"action": "quit"} {"action": "quit"}', fails("Invalid JSON: Extra data")),
    ({}, fails("Unknown action: ", exact=True)),
    ({"action": None}, fails("Unknown action: None", exact=True)),
    ({"action": 7}, fails("Unknown action: 7", exact=True)),
    ({"action": 1.5}, fails("Unknown action: 1.5", exact=True)),
    ({"action": True}, fails("Unknown action: True", exact=True)),
    ({"action": "QUIT"}, fails("Unknown action: QUIT", exact=True)),
    # validate
    ({"action": "validate"}, ok({"valid": True, "message": "Script is valid Python"})),
    ({"action": "validate", "code": "x = ("},
     ok({"valid": False, "message": "Syntax error at line 1: '(' was never closed", "line": 1, "offset": 5})),
    ({"action": "validate", "code": "if x:\npass"},
     ok({"valid": False, "message": "Syntax error at line 2: expected an indented block after 'if' statement on line 1",
         "line": 2, "offset": 1})),
    ({"action": "validate", "code": "return 1", "args": [1]},
     ok({"valid": False, "message": "Syntax error at line 1: 'return' outside function", "line": 1, "offset": 1})),
    # run_inline
    ({"action": "run_inline"}, ok({"output": "", "errors": "", "return_value": None})),
    ({"action": "run_inline", "code": "import sys\nprint('out')\nprint('err', file=sys.stderr)\nresult = args",
      "args": {"k": [1, {"x": None}]}},
     ok({"output": "out\n", "errors": "err\n", "return_value": {"k": [1, {"x": None}]}})),
    ({"action": "run_inline", "code": INLINE_VALUES}, ok()),
    ({"action": "run_inline", "code": "print('lost')\n1 / 0"}, fails("ZeroDivisionError: division by zero\nTraceback")),
    ({"action": "run_inline", "code": "return 5"}, fails("SyntaxError: 'return' outside function (<inline>, line 1)")),
    ({"action": "run_inline", "code": "x = 1\0"}, fails("SyntaxError: source code string cannot contain null bytes")),
    ({"action": "run_inline", "code": "result = __file__"}, fails("NameError: name '__file__' is not defined")),
    ({"action": "run_inline", "code": "try:\n    {}['k']\nexcept KeyError as e:\n    raise RuntimeError('wrapped') from e"},
     fails("RuntimeError: wrapped\nTraceback")),
    ({"action": "run_inline", "code": "import sys\nsys.stdout.close()"}, fails("ValueError: I/O operation on closed file")),
    ({"action": "run_inline", "code": "import sys\nsys.stdout.buffer.write(b'x')"},
     fails("AttributeError: '_io.StringIO' object has no attribute 'buffer'")),
    ({"action": "run_inline", "code": "import sys, io\nsys.stdout = io.StringIO()\nprint('elsewhere')\nresult = 1"},
     ok({"output": "", "errors": "", "return_value": 1})),
    ({"action": "run_inline", "code": "result = []\nresult.append(result)"}, fails("RecursionError: maximum recursion depth exceeded")),
    ({"action": "run_inline", "code": BAD_STR + "result = [Bad()]"}, fails("KeyError: 'no text'\nTraceback")),
    ({"action": "run_inline", "code": "result = 10 ** 5000"}, fails("ValueError: Exceeds the limit")),
    # run_script
    ({"action": "run_script", "path": "greet.py", "args": {"name": "ada"}},
     ok({"output": "hello ada\n", "errors": "careful\n",
         "return_value": {"keys": ["name"], "pair": [1, 2.5], "none": None, "set": "{3}"}})),
    ({"action": "run_script", "path": "add.py", "args": {"a": 2, "b": 3}}, ok({"output": "", "errors": "", "return_value": 5})),
    ({"action": "run_script", "path": "add.py"}, ok({"output": "", "errors": "", "return_value": 0})),
    ({"action": "run_script", "path": "missing.py"}, fails("Script not found: missing.py", exact=True)),
    ({"action": "run_script", "path": "~/surely/missing.py"}, fails("Script not found: ~/surely/missing.py", exact=True)),
    ({"action": "run_script"}, fails("IsADirectoryError: ")),
    ({"action": "run_script", "path": "boom.py"}, fails("ValueError: boom\nTraceback")),
    ({"action": "run_script", "path": "broken.py"}, fails("SyntaxError: ")),
    ({"action": "run_script", "path": "latin1.py"}, fails("UnicodeDecodeError: 'utf-8' codec can't decode")),
    # run_function
    ({"action": "run_function", "path": "geo.py", "function": "area", "args": {"w": 2, "h": 3}}, ok({"return_value": 6})),
    ({"action": "run_function", "path": "geo.py", "function": "shapes"},
     ok({"return_value": {"1": "frozenset()", "(2, 3)": ["b'x'", 1.5, float("inf")], "None": "/p"}})),
    ({"action": "run_function", "path": "nowhere.py", "function": "area"}, fails("Script not found: nowhere.py", exact=True)),
    ({"action": "run_function", "path": "notes.txt"}, fails("Cannot load module from: notes.txt", exact=True)),
    ({"action": "run_function"}, fails("Cannot load module from: ", exact=True)),
    ({"action": "run_function", "path": "geo.py", "function": "volume"},
     fails("Function 'volume' not found. Available: ['Path', 'area', 'fails', 'shapes']", exact=True)),
    ({"action": "run_function", "path": "geo.py", "function": "ZERO"},
     fails("Function 'ZERO' not found. Available: ['Path', 'area', 'fails', 'shapes']", exact=True)),
    ({"action": "run_function", "path": "geo.py", "function": "VERSION"}, fails("'VERSION' is not callable", exact=True)),
    ({"action": "run_function", "path": "geo.py", "function": "fails"}, fails("ZeroDivisionError: division by zero\nTraceback")),
    ({"action": "run_function", "path": "geo.py", "function": "area", "args": {"w": 1}},
     fails("TypeError: area() missing 1 required positional argument: 'h'")),
    ({"action": "run_function", "path": "boom.py", "function": "helper"}, fails("ValueError: boom\nTraceback")),
    ({"action": "run_function", "path": "broken.py"}, fails("SyntaxError: ")),
]

QUIT = ({"action": "quit", "path": 5}, ok("goodbye"))

# Lines that end the worker without an answer, and the exception it ends with.
ENDINGS = [
    ("[1, 2]", "TypeError: Argument 'cmd' has incorrect type (expected dict, got list)"),
    ('{"action": "run_script", "args": []}', "TypeError: Argument 'args' has incorrect type (expected dict, got list)"),
    ('{"action": "run_function", "function": 3}', "TypeError: Argument 'function_name' has incorrect type (expected str, got int)"),
    ('{"action": {}}', "TypeError: unhashable type: 'dict'"),
    ('{"action": "run_inline", "code": "raise SystemExit(4)"}', None),
    (json.dumps({"action": "run_inline", "code": BAD_STR + "raise ValueError(Bad())"}), "KeyError: 'no text'"),
    ("[" * 50000, "RecursionError: maximum recursion depth exceeded"),
]


def encode(request):
    return request if isinstance(request, str) else json.dumps(request)


def write_scripts(directory):
    directory = Path(directory)
    for name, text in SCRIPTS.items():
        target = directory / name
        if isinstance(text, bytes):
            target.write_bytes(text)
        else:
            target.write_text(text)


def answered():
    """The requests that get an answer, with their expectations."""
    return [(request, expected) for request, expected in REQUESTS if expected is not None]


def input_bytes(requests):
    return "".join(encode(request) + "\n" for request in requests).encode("utf-8", "surrogateescape")


def check_answer(line, expected):
    """Returns None when `line` is the answer `expected` describes, else a description."""
    if not line.isascii():
        return "not ASCII"
    try:
        answer = json.loads(line)
    except ValueError as e:
        return f"not JSON: {e}"
    if not isinstance(answer, dict) or list(answer)[:1] != ["success"]:
        return "not an object led by success"
    if answer["success"] is not expected["success"]:
        return f"success is {answer['success']!r}: {answer.get('error', '')[:300]!r}"
    if expected["success"]:
        if list(answer) != ["success", "result"]:
            return f"members {list(answer)}"
        want = expected["result"]
        if want is not None and not same(answer["result"], want):
            return f"result {answer['result']!r}"
        return None
    if list(answer) != ["success", "error"] or not isinstance(answer["error"], str):
        return f"members {list(answer)}"
    error = answer["error"]
    if expected["exact"] and error != expected["error"]:
        return f"error {error!r}"
    if not error.startswith(expected["error"]):
        return f"error {error[:300]!r}"
    if "\nTraceback (most recent call last):\n" in error and not error.endswith("\n"):
        return "traceback text does not end in a line feed"
    return None


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and a != a and b != b:
        return True
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def check_session(lines, requests):
    """Checks answer lines against the expectations; returns a list of problems."""
    problems = []
    if len(lines) != len(requests):
        problems.append(f"{len(lines)} answers for {len(requests)} requests")
    for index, (line, (request, expected)) in enumerate(zip(lines, requests)):
        problem = check_answer(line, expected)
        if problem:
            problems.append(f"request {index} {encode(request)[:120]!r}: {problem}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("directory")
    parser.add_argument("--check", metavar="ANSWERS")
    parser.add_argument("--ending", type=int, metavar="N",
                        help="print the lines of the session that ends with ending N instead")
    options = parser.parse_args()
    write_scripts(options.directory)
    if options.ending is not None:
        line, _ = ENDINGS[options.ending]
        sys.stdout.buffer.write(input_bytes([REQUESTS[2][0], line, REQUESTS[2][0]]))
        return 0
    if options.check:
        lines = Path(options.check).read_text(encoding="ascii", errors="replace").splitlines()
        problems = check_session(lines, answered() + [QUIT])
        for problem in problems:
            print("session:", problem, file=sys.stderr)
        return 1 if problems else 0
    sys.stdout.buffer.write(input_bytes([request for request, _ in REQUESTS] + [QUIT[0], REQUESTS[2][0]]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
