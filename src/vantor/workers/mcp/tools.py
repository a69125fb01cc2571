"""The tools the MCP server offers: what a model reads about them, the worker request
each call becomes, and the tool result made of the worker's answer or failure.

Every failure of the code or of its worker is a tool result with ``isError``
set, never a protocol error, so that the model sees what happened and can
try again: its structured content is ``{"error": {...}}`` with the kind of
failure, the exception's type, message and traceback where there is one,
and what the worker printed before it failed.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import mcp.types as types

from vantor.workers.client import (
    Answer,
    WorkerClosed,
    WorkerDied,
    WorkerError,
    WorkerOutputLimit,
    WorkerStartError,
    WorkerTimeout,
)

from .config import Config
from .scripts import PathRefused, ScriptDirectories

_TRACEBACK = "Traceback (most recent call last):\n"
_EXCEPTION_HEAD = re.compile(r"([A-Za-z_][\w.]*): ")

# The kind named in a failed call's result, by the client error that ended it.
_FAILURE_KINDS: tuple[tuple[type[WorkerError], str], ...] = (
    (WorkerTimeout, "timeout"), (WorkerDied, "died"), (WorkerOutputLimit, "output_limit"),
    (WorkerClosed, "closed"), (WorkerStartError, "start_failed"))

_ARGS = {"type": "object", "description": "Values handed to the code as the dict `args` "
         "(JSON: strings, numbers, booleans, null, lists, objects).", "default": {}}

_USAGE = {
    "type": ["object", "null"],
    "description": "What the call cost: wall_seconds (from request to answer), cpu_seconds "
                   "(user and system time of all it ran, children included; null where it "
                   "could not be read) and max_rss_bytes (its peak memory, with isolation per "
                   "call only; else null).",
    "properties": {"wall_seconds": {"type": "number"},
                   "cpu_seconds": {"type": ["number", "null"]},
                   "max_rss_bytes": {"type": ["integer", "null"]}},
}

_RUN_OUTPUT = {
    "type": "object",
    "properties": {
        "usage": _USAGE,
        "output": {"type": "string", "description": "What the code printed to standard output."},
        "errors": {"type": "string", "description": "What the code printed to standard error."},
        "return_value": {"description": "The code's result made JSON-safe (objects that JSON "
                         "cannot hold become their str())."},
        "stray": {"type": "array", "items": {"type": "string"},
                  "description": "Lines printed outside the captured output (run_function)."},
    },
    "required": ["output", "errors", "return_value", "stray"],
}

_VALIDATE_OUTPUT = {
    "type": "object",
    "properties": {
        "usage": _USAGE,
        "valid": {"type": "boolean"},
        "message": {"type": "string"},
        "line": {"type": ["integer", "null"]},
        "offset": {"type": ["integer", "null"]},
    },
    "required": ["valid", "message", "line", "offset"],
}


class ArgumentsRefused(ValueError):
    """Tool arguments that do not match the tool's input schema."""


@dataclass(frozen=True)
class ToolSpec:
    """One tool: its listing and the worker request a call becomes."""

    name: str
    title: str
    description: str
    properties: dict[str, Any]
    required: tuple[str, ...]
    request: Callable[[dict[str, Any], ScriptDirectories], dict[str, Any]]
    output_schema: dict[str, Any] | None = None
    read_only: bool = False

    def listing(self, network: bool) -> types.Tool:
        schema = {"type": "object", "properties": self.properties,
                  "required": list(self.required), "additionalProperties": False}
        hints = types.ToolAnnotations(title=self.title, read_only_hint=self.read_only,
                                      destructive_hint=False, idempotent_hint=self.read_only,
                                      open_world_hint=network and not self.read_only)
        return types.Tool(name=self.name, title=self.title, description=self.description,
                          input_schema=schema, output_schema=self.output_schema,
                          annotations=hints)

    def checked(self, arguments: Mapping[str, Any] | None) -> dict[str, Any]:
        """The arguments, checked against the input schema."""
        arguments = dict(arguments or {})
        unknown = sorted(set(arguments) - set(self.properties))
        if unknown:
            raise ArgumentsRefused(f"unknown arguments: {', '.join(unknown)}")
        for name in self.required:
            if name not in arguments:
                raise ArgumentsRefused(f"missing argument: {name}")
        for name, value in arguments.items():
            expected = self.properties[name].get("type")
            if expected == "string" and not isinstance(value, str):
                raise ArgumentsRefused(f"{name} must be a string")
            if expected == "object" and value is not None and not isinstance(value, dict):
                raise ArgumentsRefused(f"{name} must be an object")
            if expected == "number" and (isinstance(value, bool) or not isinstance(
                    value, (int, float)) or not value > 0):
                raise ArgumentsRefused(f"{name} must be a number above 0")
        return arguments


def call_timeout(arguments: Mapping[str, Any], limit: float | None) -> float | None:
    """The time limit of one call: the one it asks for, within the server's."""
    asked = arguments.get("timeout")
    if asked is None:
        return limit
    return asked if limit is None else min(asked, limit)


def tool_specs(config: Config) -> list[ToolSpec]:
    """The tools this server offers: run_script and run_function only with scripts directories."""
    where = _environment_sentence(config)
    code = {"type": "string", "description": "Python 3.11 source code."}
    limit = config.section("pool")["timeout"]
    timeout = {"type": "number", "exclusiveMinimum": 0, "description": "Seconds this call may "
               "run before it is stopped" + (f" (at most {limit:g})." if limit else ".")}
    specs = [
        ToolSpec("run_inline", "Run Python code",
                 "Run Python 3.11 code in a fresh namespace and return what it printed and its "
                 "result: the value the code assigns to the global `result`. The dict `args` "
                 "holds the `args` argument. Nothing persists between calls. " + where,
                 {"code": code, "args": _ARGS, "timeout": timeout}, ("code",),
                 _inline_request, _RUN_OUTPUT),
        ToolSpec("validate", "Check Python syntax",
                 "Check that Python 3.11 code compiles, without running it. Returns `valid` "
                 "and, for invalid code, the message, line and column of the syntax error.",
                 {"code": code}, ("code",), _validate_request, _VALIDATE_OUTPUT, read_only=True),
    ]
    if config.scripts:
        path = {"type": "string", "description": "The script's path, relative to a scripts "
                "directory (" + ", ".join(config.scripts) + ") or absolute below one."}
        specs[1:1] = [
            ToolSpec("run_script", "Run a script",
                     "Run a Python script file from the scripts directories. If it defines "
                     "`main`, the result is `main(args)`; otherwise the value of its global "
                     "`result`. Its output is captured. " + where,
                     {"path": path, "args": _ARGS, "timeout": timeout}, ("path",),
                     _script_request, _RUN_OUTPUT),
            ToolSpec("run_function", "Call a function of a script",
                     "Load a Python script file from the scripts directories as a module and "
                     "call one of its functions with `args` as keyword arguments; the result "
                     "is its return value. What it prints comes back as `stray` lines. " + where,
                     {"path": path, "function": {"type": "string", "default": "main",
                                                 "description": "The function to call."},
                      "args": _ARGS, "timeout": timeout}, ("path",), _function_request,
                     _RUN_OUTPUT),
        ]
    return specs


def _environment_sentence(config: Config) -> str:
    pool = config.section("pool")
    limit = (f"Each call may run {pool['timeout']:g} s"
             if pool["timeout"] is not None else "Calls have no time limit")
    if pool["isolation"] == "call":
        limit += ", in a fresh process: nothing a call leaves behind reaches the next"
    sandbox = config.sandbox()
    if sandbox is None:
        return f"{limit}. The code runs unsandboxed, with this server's powers."
    net = "has the network" if sandbox.network else "has no network"
    reads = ", ".join(sandbox.read + sandbox.write) or "only the interpreter and packages"
    writes = "".join(path + ", " for path in sandbox.write)
    return (f"{limit}. The code runs in a sandbox: it {net}, may read {reads}, and may write "
            f"{writes}its private /tmp (gone with its worker).")


def _inline_request(arguments: dict[str, Any], scripts: ScriptDirectories) -> dict[str, Any]:
    return {"action": "run_inline", "code": arguments["code"], "args": arguments.get("args")}


def _validate_request(arguments: dict[str, Any], scripts: ScriptDirectories) -> dict[str, Any]:
    return {"action": "validate", "code": arguments["code"]}


def _script_request(arguments: dict[str, Any], scripts: ScriptDirectories) -> dict[str, Any]:
    return {"action": "run_script", "path": scripts.resolve(arguments["path"]),
            "args": arguments.get("args")}


def _function_request(arguments: dict[str, Any], scripts: ScriptDirectories) -> dict[str, Any]:
    return {"action": "run_function", "path": scripts.resolve(arguments["path"]),
            "function": arguments.get("function", "main"), "args": arguments.get("args")}


# -- results


def answered(answer: Answer) -> types.CallToolResult:
    """The tool result of the worker's answer, success or failure."""
    stray = answer.stray
    usage = usage_of(answer)
    if answer.get("success") is not True:
        return failed({**_worker_failure(str(answer.get("error", "")), stray), "usage": usage})
    result = answer["result"]
    if "valid" in result:
        checked = {**result, "line": result.get("line"), "offset": result.get("offset"),
                   "usage": usage}
        return _result(checked, checked["message"])
    run = {"output": result.get("output", ""), "errors": result.get("errors", ""),
           "return_value": result.get("return_value"), "stray": stray, "usage": usage}
    return _result(run, _run_text(run))


def failed(error: dict[str, Any]) -> types.CallToolResult:
    """A tool error: ``{"error": error}`` and its text (the traceback, which ends with the
    exception's type and message, or else the message)."""
    text = (error.get("traceback") or error["message"]).rstrip("\n")
    if error.get("stray"):
        text += "\nPrinted before it failed:\n" + "\n".join(error["stray"])
    return types.CallToolResult(content=[types.TextContent(text=text)],
                                structured_content={"error": error}, is_error=True)


def client_failure(error: Exception) -> dict[str, Any]:
    """The error of a call that got no answer: timeout, death, output limit, refused input."""
    kind = next((kind for cls, kind in _FAILURE_KINDS if isinstance(error, cls)), None)
    if kind is None:
        kind = "path_refused" if isinstance(error, PathRefused) else "invalid_arguments"
    return {"kind": kind, "type": type(error).__name__, "message": str(error),
            "traceback": None, "stray": list(getattr(error, "stray", [])),
            "stderr": getattr(error, "stderr", ""), "usage": usage_of(error)}


def usage_of(outcome: Any) -> dict[str, Any] | None:
    """What the call of an answer or error cost, as the structured results give it."""
    usage = getattr(outcome, "usage", None)
    return usage.as_dict() if usage is not None else None


def _worker_failure(text: str, stray: list[str]) -> dict[str, Any]:
    """The error of a failure answer: an exception (type, message, traceback) or a refusal."""
    head, marker, rest = text.partition("\n" + _TRACEBACK)
    match = _EXCEPTION_HEAD.match(head) if marker else None
    if match is None:
        return {"kind": "refused", "type": None, "message": text, "traceback": None,
                "stray": stray, "stderr": ""}
    return {"kind": "exception", "type": match[1], "message": head[match.end():],
            "traceback": _TRACEBACK + rest, "stray": stray, "stderr": ""}


def _result(structured: dict[str, Any], text: str) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(text=text)],
                                structured_content=structured)


def _run_text(run: dict[str, Any]) -> str:
    parts = []
    if run["output"]:
        parts.append(run["output"].rstrip("\n"))
    if run["errors"]:
        parts.append("[stderr]\n" + run["errors"].rstrip("\n"))
    if run["stray"]:
        parts.append("[printed]\n" + "\n".join(run["stray"]))
    parts.append("result: " + json.dumps(run["return_value"]))
    return "\n".join(parts)
