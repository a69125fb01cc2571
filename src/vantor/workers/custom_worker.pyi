"""Custom Worker — executes dynamically-created tool scripts in a subprocess.

Protocol: JSON over stdin/stdout (one line per message).

This worker is used when Orsela creates new tools at runtime. It:
  1. Receives a script path or inline code
  2. Executes it in an isolated namespace
  3. Returns the result

Supported actions:
  - run_script: Execute a Python script file
  - run_inline: Execute inline Python code
  - run_function: Execute a specific function from a script
  - validate: Check if a script is valid Python
  - quit: Shut down the worker
"""

import importlib as importlib
import json as json
import os as os
import signal as signal
import sys as sys
import traceback as traceback
from io import StringIO as StringIO
from pathlib import Path as Path
from typing import Any

__test__: dict[str, Any]

def run_script(path: str, args: dict | None = None) -> dict:
    """Execute a Python script file and capture its output."""

def run_inline(code: str, args: dict | None = None) -> dict:
    """Execute inline Python code."""

def run_function(path: str, function_name: str, args: dict | None = None) -> dict:
    """Execute a specific function from a Python script."""

def validate_script(code: str) -> dict:
    """Validate that code is syntactically correct Python."""

def _serialize(obj): ...

def handle_command(cmd: dict) -> dict:
    """Route a command to the appropriate handler."""

def main(): ...
