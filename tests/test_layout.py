"""The host side's layout: every name the docs give resolves, and no module needs
another that needs it back."""
import ast
import glob
import importlib
import os
import re
import subprocess
import sys

import pytest

import vantor.workers

ROOT = os.path.join(os.path.dirname(__file__), "..")
PACKAGE = os.path.dirname(vantor.workers.__file__)
OPTIONAL = {"vantor.workers.ray": "ray", "vantor.workers.mcp": "mcp"}
LOGGERS = {"vantor.workers.proxy", "vantor.workers.mcp.calls"}  # loggers' names, not modules
# OpenTelemetry's names: the instrumentation scope, span attributes and instruments.
TELEMETRY = re.compile(r"vantor\.workers(\.(action|outcome|isolation|sandboxed|state|pool|usage|call|worker)\b.*)?\Z")


def _modules():
    for path in sorted(glob.glob(os.path.join(PACKAGE, "**", "*.py"), recursive=True)):
        relative = os.path.relpath(path, os.path.dirname(os.path.dirname(PACKAGE)))
        name = relative[:-3].replace(os.sep, ".")
        yield name.removesuffix(".__init__"), path


def _documented_names():
    found = set()
    for page in [os.path.join(ROOT, "README.md"), *glob.glob(os.path.join(ROOT, "docs", "*.md"))]:
        with open(page, encoding="utf-8") as text:
            found.update(re.findall(r"`(vantor\.workers[\w.]*)`", text.read()))
            text.seek(0)
            for module, names in re.findall(r"from (vantor\.workers[\w.]*) import ([\w, ]+)",
                                            text.read()):
                found.update(f"{module}.{name.strip()}" for name in names.split(","))
    return sorted(name for name in found - LOGGERS
                  if name == "vantor.workers" or not TELEMETRY.match(name))


def _resolve(dotted):
    for module_name, dependency in OPTIONAL.items():
        if dotted == module_name or dotted.startswith(module_name + "."):
            pytest.importorskip(dependency)
    parts = dotted.split(".")
    for cut in range(len(parts), 0, -1):
        module_name = ".".join(parts[:cut])
        try:
            target = importlib.import_module(module_name)
        except ModuleNotFoundError as error:
            if error.name != module_name:
                raise
            continue
        for attribute in parts[cut:]:
            target = getattr(target, attribute)
        return target
    raise ImportError(dotted)


@pytest.mark.parametrize("dotted", _documented_names())
def test_every_name_the_docs_give_resolves(dotted):
    _resolve(dotted)


def test_public_modules_export_what_they_list():
    for name in ("vantor.workers.client", "vantor.workers.sandbox"):
        module = importlib.import_module(name)
        for exported in module.__all__:
            assert getattr(module, exported) is not None, (name, exported)


def _imports(path):
    """The package's modules that ``path`` imports when it is loaded (not inside functions)."""
    tree = ast.parse(open(path, encoding="utf-8").read())
    found = set()
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and (node.module or "").startswith("vantor.workers"):
            found.add(node.module)
            found.update(f"{node.module}.{alias.name}" for alias in node.names)
        elif isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names
                         if alias.name.startswith("vantor.workers"))
    return found


def test_no_module_needs_one_that_needs_it_back():
    modules = dict(_modules())
    edges = {name: {target for target in _imports(path) if target in modules and target != name}
             for name, path in modules.items()}
    state = {}

    def visit(name, trail):
        if state.get(name) == "done":
            return
        assert state.get(name) != "open", " -> ".join([*trail, name])
        state[name] = "open"
        for target in sorted(edges[name]):
            visit(target, [*trail, name])
        state[name] = "done"

    for name in sorted(modules):
        visit(name, [])


def test_each_module_imports_first_in_a_fresh_interpreter():
    # A __main__ module runs its program when imported: not here.
    names = [name for name, _ in _modules()
             if name not in OPTIONAL and not name.startswith("vantor.workers.mcp")
             and not name.endswith(".__main__")]
    program = ("import importlib, subprocess, sys\n"
               "for name in sys.argv[1:]:\n"
               "    done = subprocess.run([sys.executable, '-c', 'import ' + name])\n"
               "    assert done.returncode == 0, name\n")
    subprocess.run([sys.executable, "-c", program, *names], check=True, timeout=120)
