"""A host as a container leaves it, for tests/test_containers.py: started as root in a mount
namespace of its own whose cgroup file systems are read-only (as engines mount them), with
``--no-unshare`` under a seccomp filter that refuses ``unshare`` as Docker's default profile
does.  Starts a default sandbox, has its tool leave one process (MARKER on its command line)
in a session of its own (MARKER from the environment), prints the report and that process's pid and oom_score_adj, then
waits for a line on stdin before closing the worker.  With ``--require-cgroups``, prints the
refusal of a policy that requires the sandbox's own cgroups."""
import ctypes
import json
import os
import platform
import struct
import sys
import time

from vantor.workers.client import Worker, WorkerStartError
from vantor.workers.sandbox import Sandbox

UNSHARE = {"x86_64": 272, "aarch64": 97}


def refuse_unshare() -> None:
    """A filter of four instructions: unshare gets EPERM, every other call goes through."""
    code = [(0x20, 0, 0, 0),  # load the call's number
            (0x15, 0, 1, UNSHARE[platform.machine()]),  # unshare?
            (0x06, 0, 0, 0x00050000 | 1),  # SECCOMP_RET_ERRNO | EPERM
            (0x06, 0, 0, 0x7FFF0000)]  # SECCOMP_RET_ALLOW
    program = b"".join(struct.pack("HBBI", *op) for op in code)
    buffer = ctypes.create_string_buffer(program)
    fprog = struct.pack("HxxxxxxQ", len(code), ctypes.addressof(buffer))
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(22, 2, ctypes.c_char_p(fprog), 0, 0) != 0:  # PR_SET_SECCOMP, FILTER
        raise OSError(ctypes.get_errno(), "seccomp")


def find(marker: str) -> list[int]:
    """The pids (of this host's PID namespace) whose command line holds ``marker``."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if marker.encode() in cmdline.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def leave_behind(marker: str) -> str:
    # No module beyond the worker's own: a root host's interpreter may be unreadable to the
    # sandbox's uid.  The shell keeps the marker as its $0.
    return ("import os\n"
            "os.posix_spawn('/bin/sh', ['/bin/sh', '-c', 'sleep 60; :', "
            f"{marker!r}], {{}}, setsid=True)\n")


def main() -> None:
    marker = os.environ.get("VANTOR_TEST_MARKER", "")  # not on this process's command line
    if "--no-unshare" in sys.argv:
        refuse_unshare()
    if "--require-cgroups" in sys.argv:
        try:
            Worker(sandbox=Sandbox(require=["memory_limit", "process_limit"])).start()
        except WorkerStartError as error:
            print(json.dumps({"refused": str(error)}), flush=True)
        return
    with Worker() as worker:
        worker.start()
        answer = worker.run_inline(leave_behind(marker))
        assert answer["success"], answer
        time.sleep(0.3)
        left = find(marker)
        score = open(f"/proc/{left[0]}/oom_score_adj").read().strip() if left else None
        own = open(f"/proc/{worker.pid}/oom_score_adj").read().strip()
        print(json.dumps({"protections": worker.protections, "left": left, "score": score,
                          "supervisor_score": own, "supervisor": worker.pid}), flush=True)
        sys.stdin.readline()


main()
