"""Run inside a container: start a default sandboxed worker (or one with the
given allow_missing), call it once and print one JSON line: whether it
started, the protections in force, or the refusal.  With --battery, run the
attack battery in the worker and add its outcome."""

from __future__ import annotations

import json
import os
import sys
import time
import traceback

from vantor.workers.client import Worker, WorkerStartError
from vantor.workers.sandbox import Sandbox

BATTERY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "battery.py")


MARKER = f"vantor-ct-left-{os.getpid()}"
# A tool that starts one process in a session of its own and leaves it running.
LEAVE_BEHIND = ("import subprocess, sys\n"
                "subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(120)', "
                f"{MARKER!r}], start_new_session=True)\n")


def survivors() -> str:
    """Whether the process the tool left is still running once the worker is closed."""
    time.sleep(0.5)
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if MARKER.encode() in cmdline.read():
                    found.append(pid)
        except OSError:
            pass
    return f"OPEN (pids {found} still run)" if found else "stopped (ended with the sandbox)"


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
                worker.run_inline(LEAVE_BEHIND)
        if battery:
            report["battery"]["leave a process running after the worker"] = survivors()
    except WorkerStartError as error:  # the refusal is what is measured
        report = {"started": False, "error": f"{type(error).__name__}: {error}"}
    except Exception as error:
        where = traceback.format_exc(limit=-3).replace("\n", " / ")
        report = {"started": False, "error": f"{type(error).__name__}: {error} ({where})"}
    print(json.dumps(report))


main()
