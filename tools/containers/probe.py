"""Run inside a container: start a default sandboxed worker (or one with the
given allow_missing), call it once and print one JSON line: whether it
started, the protections in force, or the refusal.  With --battery, run the
attack battery in the worker and add its outcome."""

from __future__ import annotations

import json
import os
import signal
import sys
import time
import traceback

from vantor.workers.client import Worker, WorkerStartError
from vantor.workers.sandbox import Sandbox

BATTERY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "battery.py")


MARKER = f"vantor-ct-left-{os.getpid()}"


def leave_behind(marker: str) -> str:
    """A tool that starts one process in a session of its own and leaves it running."""
    return ("import subprocess, sys\n"
            "subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(120)', "
            f"{marker!r}], start_new_session=True)\n")


def survivors(marker: str, wait: float = 5.0) -> str:
    """Whether the process the tool left still runs ``wait`` seconds after its sandbox ended."""
    deadline = time.monotonic() + wait
    while True:
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    if marker.encode() in cmdline.read():
                        found.append(pid)
            except OSError:
                pass
        if not found:
            return "stopped (ended with the sandbox)"
        if time.monotonic() > deadline:
            return f"OPEN (pids {found} still run)"
        time.sleep(0.1)


def killed_supervisor(policy: Sandbox) -> str:
    """A second sandbox whose tool leaves a process, then its supervisor (this host's own
    child, not a pid from inside a PID namespace) killed with SIGKILL."""
    marker = MARKER + "-killed"
    worker = Worker(sandbox=policy)
    try:
        worker.start()
        worker.run_inline(leave_behind(marker))
        os.kill(worker.pid, signal.SIGKILL)
        return survivors(marker)
    finally:
        try:
            worker.close()
        except Exception:
            pass


def main() -> None:
    args = sys.argv[1:]
    battery = "--battery" in args
    args = [arg for arg in args if arg != "--battery"]
    allow = args[0] if args and args[0] == "all" else args[0].split(",") if args else ()
    parent = os.environ.get("VANTOR_CT_CGROUP_PARENT")
    cgroup_parent = dict(item.split("=", 1) for item in parent.split(",")) if parent else None
    policy = Sandbox(allow_missing=allow, cgroup_parent=cgroup_parent)
    try:
        with Worker(sandbox=policy) as worker:
            worker.start()
            report: dict = {"started": True, "protections": worker.protections}
            if battery:
                with open(BATTERY) as source:
                    answer = worker.run_inline(source.read())
                output = answer["result"]["output"] or str(answer)
                report["battery"] = json.loads(output.strip().splitlines()[-1])
                worker.run_inline(leave_behind(MARKER))
        if battery:
            outcomes = report["battery"]
            outcomes["leave a process running after the worker"] = survivors(MARKER)
            outcomes["leave a process running after a SIGKILL of the supervisor"] = \
                killed_supervisor(policy)
    except WorkerStartError as error:  # the refusal is what is measured
        report = {"started": False, "error": f"{type(error).__name__}: {error}"}
    except Exception as error:
        where = traceback.format_exc(limit=-3).replace("\n", " / ")
        report = {"started": False, "error": f"{type(error).__name__}: {error} ({where})"}
    print(json.dumps(report))


main()
