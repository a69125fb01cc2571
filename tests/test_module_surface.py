"""Importing the module: docstring, globals, the seven functions and their
argument checks, and the once-per-process initialisation rules."""
import ast
import builtins
import importlib
import inspect
import io
import json
import pathlib
import sys

import pytest

from conftest import run_python

DOC = (
    "Custom Worker \u2014 executes dynamically-created tool scripts in a subprocess.\n\n"
    "Protocol: JSON over stdin/stdout (one line per message).\n\n"
    "This worker is used when Orsela creates new tools at runtime. It:\n"
    "  1. Receives a script path or inline code\n"
    "  2. Executes it in an isolated namespace\n"
    "  3. Returns the result\n\n"
    "Supported actions:\n"
    "  - run_script: Execute a Python script file\n"
    "  - run_inline: Execute inline Python code\n"
    "  - run_function: Execute a specific function from a script\n"
    "  - validate: Check if a script is valid Python\n"
    "  - quit: Shut down the worker\n"
)

GLOBALS = ["__builtins__", "importlib", "json", "os", "signal", "sys", "traceback", "StringIO",
           "Path", "run_script", "run_inline", "run_function", "validate_script", "_serialize",
           "handle_command", "main", "__test__"]

FUNCTIONS = {
    "run_script": ("Execute a Python script file and capture its output.",
                   "(path: 'str', args: 'dict | None' = None) -> 'dict'"),
    "run_inline": ("Execute inline Python code.",
                   "(code: 'str', args: 'dict | None' = None) -> 'dict'"),
    "run_function": ("Execute a specific function from a Python script.",
                     "(path: 'str', function_name: 'str', args: 'dict | None' = None) -> 'dict'"),
    "validate_script": ("Validate that code is syntactically correct Python.",
                        "(code: 'str') -> 'dict'"),
    "_serialize": ("Attempt to serialize an object to JSON-compatible format.", "(obj)"),
    "handle_command": ("Route a command to the appropriate handler.", "(cmd: 'dict') -> 'dict'"),
    "main": (None, "()"),
}


def test_docstring_and_globals_in_order(worker_module):
    assert worker_module.__doc__ == DOC
    names = list(vars(worker_module))
    assert names[names.index("__builtins__"):] == GLOBALS
    assert worker_module.__builtins__ is builtins
    assert worker_module.importlib is importlib and hasattr(importlib, "util")
    assert (worker_module.json, worker_module.sys) == (json, sys)
    assert worker_module.StringIO is io.StringIO and worker_module.Path is pathlib.Path
    assert worker_module.__test__ == {}
    assert sys.modules["vantor.workers.custom_worker"] is worker_module
    own = [v for v in vars(worker_module).values()
           if isinstance(v, type) and v.__module__ == worker_module.__name__]
    assert not own


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_look_like_python_functions(worker_module, name):
    function = getattr(worker_module, name)
    doc, signature = FUNCTIONS[name]
    assert (function.__name__, function.__qualname__) == (name, name)
    assert function.__module__ == "vantor.workers.custom_worker"
    assert function.__doc__ == doc
    assert str(inspect.signature(function)) == signature
    parameters = inspect.signature(function).parameters.values()
    assert function.__annotations__ == {
        **{p.name: p.annotation for p in parameters if p.annotation is not p.empty},
        **({"return": "dict"} if "->" in signature else {}),
    }
    assert function.__defaults__ == ((None,) if "args" in signature else None)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in parameters)


def test_stub_agrees_with_the_module(worker_module):
    stub_path = pathlib.Path(worker_module.__file__).with_name("custom_worker.pyi")
    assert stub_path.with_name("py.typed").exists()
    tree = ast.parse(stub_path.read_text(encoding="utf-8"))
    assert ast.get_docstring(tree, clean=False) == DOC
    stubbed = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert list(stubbed) == list(FUNCTIONS)
    for name, node in stubbed.items():
        signature = inspect.signature(getattr(worker_module, name))
        assert [a.arg for a in node.args.args] == list(signature.parameters)
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        assert defaults == [p.default for p in signature.parameters.values()
                            if p.default is not p.empty]
        annotations = {a.arg: ast.unparse(a.annotation) for a in node.args.args if a.annotation}
        if node.returns is not None:
            annotations["return"] = ast.unparse(node.returns)
        assert annotations == getattr(worker_module, name).__annotations__


class StrSub(str):
    pass


class DictSub(dict):
    pass


class UnequalHashStr(str):
    def __hash__(self):
        return hash(str(self)) ^ 1


NOTE = ". Subclasses of built-in types are not accepted."


@pytest.mark.parametrize("call, message", [
    (lambda m: m.run_script(), "run_script() takes at least 1 positional argument (0 given)"),
    (lambda m: m.run_script("a", None, 3),
     "run_script() takes at most 2 positional arguments (3 given)"),
    (lambda m: m.run_inline(), "run_inline() takes at least 1 positional argument (0 given)"),
    (lambda m: m.run_function("p"),
     "run_function() takes at least 2 positional arguments (1 given)"),
    (lambda m: m.run_function(path="p", args={}),
     "run_function() takes at least 2 positional arguments (1 given)"),
    (lambda m: m.run_function("p", "f", None, 4),
     "run_function() takes at most 3 positional arguments (4 given)"),
    (lambda m: m.validate_script(), "validate_script() takes exactly 1 positional argument (0 given)"),
    (lambda m: m.handle_command({}, {}),
     "handle_command() takes exactly 1 positional argument (2 given)"),
    (lambda m: m._serialize(), "_serialize() takes exactly 1 positional argument (0 given)"),
    (lambda m: m.run_script(args=None), "run_script() takes at least 1 positional argument (0 given)"),
    (lambda m: m.main(1), "main() takes no arguments (1 given)"),
    (lambda m: m.main(x=1), "main() takes no keyword arguments"),
    (lambda m: m.run_inline("x", code="y"),
     "run_inline() got multiple values for keyword argument 'code'"),
    (lambda m: m.run_inline(**{"code": "x", UnequalHashStr("code"): "y"}),
     "run_inline() got multiple values for keyword argument 'code'"),
    (lambda m: m.run_inline("x", bogus=1), "run_inline() got an unexpected keyword argument 'bogus'"),
    (lambda m: m.run_script("a", []),
     "Argument 'args' has incorrect type (expected dict, got list)"),
    (lambda m: m.run_script(5), "Argument 'path' has incorrect type (expected str, got int)"),
    (lambda m: m.run_function(1, 2, []),
     "Argument 'path' has incorrect type (expected str, got int)"),
    (lambda m: m.run_function("p", 3), "Argument 'function_name' has incorrect type (expected str, got int)"),
    (lambda m: m.handle_command(None),
     "Argument 'cmd' has incorrect type (expected dict, got NoneType)"),
    (lambda m: m.validate_script(code=1.5),
     "Argument 'code' has incorrect type (expected str, got float)"),
    (lambda m: m.validate_script(StrSub("x")),
     "Argument 'code' has incorrect type (expected str, got StrSub)" + NOTE),
    (lambda m: m.run_inline("x", DictSub()),
     "Argument 'args' has incorrect type (expected dict, got DictSub)" + NOTE),
    (lambda m: m.handle_command(DictSub(action="quit")),
     "Argument 'cmd' has incorrect type (expected dict, got DictSub)" + NOTE),
])
def test_argument_errors(worker_module, call, message):
    with pytest.raises(TypeError) as caught:
        call(worker_module)
    assert str(caught.value) == message
    entries = [entry.name for entry in __import__("traceback").extract_tb(caught.tb)]
    assert entries[-1].startswith("vantor.workers.custom_worker.")


def test_accepted_argument_forms(worker_module):
    assert worker_module.run_inline(code="result = 1", args=None)["success"] is True
    assert worker_module.run_script("/nonexistent/x.py")["success"] is False
    assert worker_module.validate_script(code="x")["success"] is True
    assert worker_module._serialize(obj=None) is None
    assert worker_module._serialize(None) is None
    assert worker_module.handle_command(cmd={"action": "quit"})["result"] == "goodbye"


def check(source):
    completed = run_python(source)
    assert completed.returncode == 0, completed.stderr.decode()
    return completed.stdout.decode()


def test_module_object_is_created_and_executed_once():
    check("""
        import importlib, sys
        import vantor.workers.custom_worker as first
        first.json = "rebound"
        del sys.modules["vantor.workers.custom_worker"]
        import vantor.workers.custom_worker as again
        assert again is first
        assert importlib.reload(first) is first and first.json == "rebound"
    """)


def test_second_module_object_is_refused():
    check("""
        import importlib.util, sys
        spec = importlib.util.find_spec("vantor.workers.custom_worker")
        a = importlib.util.module_from_spec(spec)
        b = importlib.util.module_from_spec(spec)
        assert a is not b
        spec.loader.exec_module(a)
        try:
            spec.loader.exec_module(b)
        except RuntimeError as e:
            assert str(e) == ("Module 'custom_worker' has already been imported. "
                              "Re-initialisation is not supported."), e
        else:
            raise AssertionError("second execution accepted")
        assert sys.modules["vantor.workers.custom_worker"] is a
    """)


def test_no_version_warning_on_the_interpreter_built_for():
    # The check compares the running version with the build's, whichever it is.
    check("""
        import warnings
        warnings.filterwarnings("error", category=RuntimeWarning)
        import vantor.workers.custom_worker
    """)


def test_second_interpreter_is_refused():
    # From 3.12 a new interpreter is isolated unless asked otherwise, and an
    # isolated one refuses the module before its own check runs.
    check("""
        import sys
        import vantor.workers.custom_worker as module
        source = "import vantor.workers.custom_worker"
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            failure = interpreters.run_string(interpreters.create("legacy"), source)
            text = failure.formatted if failure else None
        else:
            import _xxsubinterpreters as interpreters
            shared = {"isolated": False} if sys.version_info >= (3, 12) else {}
            try:
                interpreters.run_string(interpreters.create(**shared), source)
                text = None
            except interpreters.RunFailedError as e:
                text = str(e)
        assert text is not None, "second interpreter accepted"
        assert "ImportError" in text
        assert ("Interpreter change detected - this module can only be loaded into one "
                "interpreter per process.") in text
        assert module.validate_script("x")["success"]
    """)


def test_failed_execution_is_forgotten():
    check("""
        import sys
        sys.modules["json"] = None
        try:
            import vantor.workers.custom_worker
        except ImportError:
            pass
        else:
            raise AssertionError("import should fail")
        del sys.modules["json"]
        sys.modules.pop("vantor.workers.custom_worker", None)
        import vantor.workers.custom_worker as module
        assert module.validate_script("x")["success"]
    """)


def test_functions_of_a_failed_execution_stay_safe_and_the_next_import_is_fresh():
    out = check("""
        import gc, importlib.util, io, sys
        spec = importlib.util.find_spec("vantor.workers.custom_worker")
        module = importlib.util.module_from_spec(spec)
        module.__name__ = "__main__"
        sys.stdin = io.StringIO("[]\\n")  # main() ends with TypeError
        try:
            spec.loader.exec_module(module)
        except TypeError:
            pass
        else:
            raise AssertionError("execution should fail")
        assert "vantor.workers.custom_worker" not in sys.modules
        kept = module.run_inline
        del module
        gc.collect()
        junk = [{"k%d" % i: i} for i in range(200000)]
        print(kept("result = 1")["result"]["return_value"])
        import vantor.workers.custom_worker as fresh
        print(hasattr(fresh, "__test__"), fresh.run_inline is kept)
    """)
    assert out.splitlines() == ["1", "True False"]


def test_compile_is_looked_up_once():
    out = check("""
        import builtins
        real = builtins.compile
        calls = []
        def counting(*args):
            calls.append(args[1:])
            return real(*args)
        builtins.compile = counting
        import vantor.workers.custom_worker as module
        builtins.compile = real
        module.validate_script("x = 1")
        module.run_inline("y = 2")
        builtins.compile = None
        assert module.validate_script("x = 1")["success"]
        print(calls)
    """)
    assert out.strip() == str([("<validation>", "exec"), ("<inline>", "exec")] +
                              [("<validation>", "exec")])


def test_run_as_main_hook_serves_before_test_is_bound():
    completed = run_python("""
        import importlib.util
        spec = importlib.util.find_spec("vantor.workers.custom_worker")
        module = importlib.util.module_from_spec(spec)
        module.__name__ = "__main__"
        spec.loader.exec_module(module)
        print("bound", module.__test__)
    """, stdin=b'{"action": "quit"}\n')
    assert completed.stdout.decode().splitlines() == [
        '{"success": true, "result": "goodbye"}', "bound {}"]


def test_globals_are_read_at_each_use():
    out = check("""
        import builtins, json
        import vantor.workers.custom_worker as module
        del module.json
        builtins.json = json
        module.validate_script = lambda code: {"rebound": code}
        print(module.handle_command({"action": "validate", "code": "c"}))
        del module.validate_script
        try:
            module.handle_command({"action": "validate"})
        except NameError as e:
            print(e)
    """)
    assert out.splitlines() == ["{'rebound': 'c'}", "name 'validate_script' is not defined"]


def test_traceback_entries_follow_the_call_order():
    out = check("""
        import traceback
        import vantor.workers.custom_worker as module
        try:
            module.handle_command({"action": "run_inline", "code": "raise SystemExit(4)"})
        except SystemExit as e:
            print([entry.name for entry in traceback.extract_tb(e.__traceback__)][1:])
    """)
    prefix = "vantor.workers.custom_worker."
    assert out.strip() == str([prefix + "handle_command", prefix + "handle_command.lambda1",
                               prefix + "run_inline", "<module>"])
