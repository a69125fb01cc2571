"""Shared helpers: the worker driven as a host drives it, over real pipes."""
import functools
import json
import os
import subprocess
import sys
import shutil
import textwrap
import uuid

import pytest

WORKER = [sys.executable, "-m", "vantor.workers"]
TIMEOUT = 60


def child_env(**extra):
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    env.update(extra)
    return env


class Session:
    """The outcome of one worker process fed a fixed input."""

    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout
        self.stderr = completed.stderr

    @property
    def lines(self):
        return self.stdout.decode("ascii").splitlines()

    @property
    def answers(self):
        return [json.loads(line) for line in self.lines]


def run_worker(*lines, raw=None, cwd=None, env=None, timeout=TIMEOUT):
    """Feeds requests (dicts are encoded, strings sent as they are) and
    returns the finished session."""
    if raw is None:
        parts = [json.dumps(line) if isinstance(line, dict) else line for line in lines]
        raw = "".join(part + "\n" for part in parts).encode("utf-8")
    completed = subprocess.run(WORKER, input=raw, capture_output=True, cwd=cwd,
                               env=env or child_env(), timeout=timeout)
    return Session(completed)


def run_python(source, *, stdin=b"", cwd=None, timeout=TIMEOUT):
    """Runs `source` in a fresh interpreter; returns the completed process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], input=stdin,
                          capture_output=True, cwd=cwd, env=child_env(), timeout=timeout)


@pytest.fixture
def worker_module():
    import vantor.workers.custom_worker as module

    return module


_SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def sandbox_policy(**changes):
    """A default sandbox, plus what a sanitized test run needs inside: the
    sanitizer runtimes preloaded and their log directory writable."""
    from vantor.workers.sandbox import Sandbox

    env = {name: os.environ[name] for name in _SANITIZER_VARIABLES if name in os.environ}
    env.update(changes.pop("env", {}))
    write = list(changes.pop("write", ()))
    for option in os.environ.get("ASAN_OPTIONS", "").split(":"):
        if option.startswith("log_path="):
            write.append(os.path.dirname(option[len("log_path="):]))
    changes.setdefault("allow_missing", sorted(allowed_missing()))
    parent = os.environ.get("VANTOR_TEST_CGROUP_PARENT")
    if parent:
        changes.setdefault("cgroup_parent", parent)
    return Sandbox(env=env, write=write, **changes)


@functools.cache
def allowed_missing():
    """The protections this run lets sandboxes go without.

    Named by ``VANTOR_TEST_ALLOW_MISSING`` (tools/unprivileged-tests.sh says
    what its user lacks).  Otherwise a strict run (``CI`` or
    ``VANTOR_TEST_STRICT`` set) allows none, and any other run those this
    machine cannot give, found by starting one sandbox, so that the suite
    runs for whoever runs it; the run's header names them.
    """
    named = os.environ.get("VANTOR_TEST_ALLOW_MISSING")
    if named is not None:
        return frozenset(name for name in named.split(",") if name)
    if os.environ.get("CI") or os.environ.get("VANTOR_TEST_STRICT"):
        found = frozenset()
    else:  # a sandbox that cannot start at all lets nothing go: the tests say why
        found = frozenset(machine_lacks()) - {"sandbox"}
    # The hosts tests start in processes of their own decide alike, without
    # probing again (some of them could not).
    os.environ["VANTOR_TEST_ALLOW_MISSING"] = ",".join(sorted(found))
    return found


@functools.cache
def machine_lacks():
    """The protections a sandbox cannot have on this machine, with what it gets instead."""
    from vantor.workers.client import WorkerStartError
    from vantor.workers.sandbox import Sandbox, probe

    try:
        report = probe(Sandbox(allow_missing="all", cpu_seconds=60))
    except WorkerStartError as error:
        return {"sandbox": str(error)}
    return {name: state for name, state in report.items()
            if state != "in force" and not state.startswith("not available")}


def pytest_report_header(config):
    named = "VANTOR_TEST_ALLOW_MISSING" in os.environ
    lacking = allowed_missing()
    if not lacking:
        return "sandbox: every protection required"
    reasons = {} if named else machine_lacks()
    return ["sandbox: these protections are allowed missing in this run "
            "(set CI=1 or VANTOR_TEST_STRICT=1 to require them):",
            *(f"  {name}: {reasons.get(name, 'named by VANTOR_TEST_ALLOW_MISSING')}"
              for name in sorted(lacking))]


def reaped(pid):
    """Our own child is not only dead but waited for: its PID is free."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def marked_processes(marker):
    """Host PIDs of the processes whose command line holds ``marker``."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                    if marker.encode() in cmdline.read():
                        found.append(int(entry))
            except OSError:
                pass
    return found


def kernel_lacks():
    """The layers this machine does not have: Landlock's, by its ABI, and a host uid
    per sandbox (a root host's)."""
    from vantor.workers import _containment

    abi = _containment.landlock_abi()
    lacking = set() if os.getuid() == 0 else {"own_host_uid"}
    if abi < 1:
        lacking.add("landlock_filesystem")
    if abi < 4:
        lacking.add("landlock_network")
    if abi < 6:
        lacking.add("landlock_scopes")
    return lacking


def open_directory(parent):
    """A new host directory below ``parent`` that everyone may write, removed after."""
    path = os.path.join(parent, f"vantor-test-{uuid.uuid4().hex}")
    os.mkdir(path)
    os.chmod(path, 0o777)
    yield path
    shutil.rmtree(path, ignore_errors=True)
