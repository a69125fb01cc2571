"""Plain-Python worker speaking the same JSON-lines protocol as the native one.

This is the comparison point of the benchmark: the worker a Python developer
would write for this protocol without a native extension. It answers the four
actions, ``quit`` and undecodable lines the way the native worker does, but it
does not check argument types (a wrong type fails inside the handler and is
reported like any other error instead of ending the loop).

Run it as ``python bench/plain_worker.py`` (or ``python -m plain_worker`` with
``bench/`` on the module path, as the benchmark starts it).
"""

import builtins
import importlib.util
import json
import signal
import sys
import traceback
from io import StringIO
from pathlib import Path


def _error_response(e):
    return {"success": False, "error": f"{type(e).__name__}: {e}\n{traceback.format_exc()}"}


def _serialize(obj):
    if obj is None:
        return None
    if isinstance(obj, (str, int, float, bool)):
        return obj
    if isinstance(obj, (list, tuple)):
        return [_serialize(item) for item in obj]
    if isinstance(obj, dict):
        return {str(key): _serialize(value) for key, value in obj.items()}
    return str(obj)


def _new_namespace(args, extra=None):
    namespace = {"__name__": "__main__"}
    if extra:
        namespace.update(extra)
    namespace["__builtins__"] = builtins
    namespace["args"] = args if args else {}
    return namespace


def run_script(path, args=None):
    try:
        p = Path(path).expanduser().resolve()
        if not p.exists():
            return {"success": False, "error": f"Script not found: {path}"}
        old_stdout, old_stderr = sys.stdout, sys.stderr
        captured_out, captured_err = StringIO(), StringIO()
        sys.stdout, sys.stderr = captured_out, captured_err
        try:
            namespace = _new_namespace(args, {"__file__": str(p)})
            code = p.read_text(encoding="utf-8")
            exec(compile(code, str(p), "exec"), namespace)
            main_func = namespace.get("main")
            if "main" in namespace and callable(main_func):
                result = main_func(args) if args else main_func()
            else:
                result = namespace.get("result")
            return {
                "success": True,
                "result": {
                    "output": captured_out.getvalue(),
                    "errors": captured_err.getvalue(),
                    "return_value": _serialize(result),
                },
            }
        finally:
            sys.stdout, sys.stderr = old_stdout, old_stderr
    except Exception as e:
        return _error_response(e)


def run_inline(code, args=None):
    try:
        old_stdout, old_stderr = sys.stdout, sys.stderr
        captured_out, captured_err = StringIO(), StringIO()
        sys.stdout, sys.stderr = captured_out, captured_err
        try:
            namespace = _new_namespace(args)
            exec(compile(code, "<inline>", "exec"), namespace)
            result = namespace.get("result")
            return {
                "success": True,
                "result": {
                    "output": captured_out.getvalue(),
                    "errors": captured_err.getvalue(),
                    "return_value": _serialize(result),
                },
            }
        finally:
            sys.stdout, sys.stderr = old_stdout, old_stderr
    except Exception as e:
        return _error_response(e)


def run_function(path, function_name, args=None):
    try:
        p = Path(path).expanduser().resolve()
        if not p.exists():
            return {"success": False, "error": f"Script not found: {path}"}
        loader_info = importlib.util.spec_from_file_location("custom_module", str(p))
        if not loader_info or not loader_info.loader:
            return {"success": False, "error": f"Cannot load module from: {path}"}
        module = importlib.util.module_from_spec(loader_info)
        loader_info.loader.exec_module(module)
        func = getattr(module, function_name, None)
        if not func:
            available = [
                name
                for name in dir(module)
                if callable(getattr(module, name)) and not name.startswith("_")
            ]
            return {
                "success": False,
                "error": f"Function '{function_name}' not found. Available: {available}",
            }
        if not callable(func):
            return {"success": False, "error": f"'{function_name}' is not callable"}
        result = func(**args) if args else func()
        return {"success": True, "result": {"return_value": _serialize(result)}}
    except Exception as e:
        return _error_response(e)


def validate_script(code):
    try:
        compile(code, "<validation>", "exec")
        return {"success": True, "result": {"valid": True, "message": "Script is valid Python"}}
    except SyntaxError as e:
        return {
            "success": True,
            "result": {
                "valid": False,
                "message": f"Syntax error at line {e.lineno}: {e.msg}",
                "line": e.lineno,
                "offset": e.offset,
            },
        }


def handle_command(cmd):
    action = cmd.get("action", "")
    if action == "quit":
        return {"success": True, "result": "goodbye"}
    handlers = {
        "run_script": lambda: run_script(cmd.get("path", ""), cmd.get("args")),
        "run_inline": lambda: run_inline(cmd.get("code", ""), cmd.get("args")),
        "run_function": lambda: run_function(
            cmd.get("path", ""), cmd.get("function", "main"), cmd.get("args")
        ),
        "validate": lambda: validate_script(cmd.get("code", "")),
    }
    handler = handlers.get(action)
    if handler is None:
        return {"success": False, "error": f"Unknown action: {action}"}
    return handler()


def main():
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            cmd = json.loads(line)
        except json.JSONDecodeError as e:
            response = {"success": False, "error": f"Invalid JSON: {e}"}
            sys.stdout.write(json.dumps(response) + "\n")
            sys.stdout.flush()
            continue
        response = handle_command(cmd)
        sys.stdout.write(json.dumps(response) + "\n")
        sys.stdout.flush()
        if cmd.get("action") == "quit":
            break


if __name__ == "__main__":
    main()
