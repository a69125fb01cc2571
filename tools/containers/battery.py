# Run as a tool inside the sandbox: each attack says "stopped" (with what
# stopped it) or "OPEN".  Harmless even if the sandbox were broken: nothing
# is signalled, forked in a loop or allocated without bound.
import ctypes
import json
import os
import socket

results = {}


def attempt(name, action):
    try:
        got = action()
    except OSError as error:
        results[name] = f"stopped ({error.strerror or error})"
        return
    results[name] = f"OPEN ({got})" if got is not None else "OPEN"


def read_secret():
    with open("/secret/token") as file:  # in the image, not in the policy's read
        return file.read(8)


def write_outside():
    with open("/opt/vantor/planted", "w") as file:
        file.write("x")
    return "wrote /opt/vantor/planted"


def other_processes():
    pids = [name for name in os.listdir("/proc") if name.isdigit()]
    foreign = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/environ", "rb") as file:
                if b"VANTOR_CT_SECRET" in file.read():
                    foreign.append(pid)
        except OSError:
            pass
    if foreign:
        return f"environ of pids {foreign} readable"
    raise OSError(0, f"no process with the host's secret visible ({len(pids)} pids)")


def tcp_out():
    with socket.create_connection(("10.0.2.2", 9), timeout=2):
        return "connected"


def unix_socket():
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM):
        return "made an AF_UNIX socket"


def libc_call(name, *args):
    libc = ctypes.CDLL(None, use_errno=True)

    def call():
        if getattr(libc, name)(*args) != 0:
            errno = ctypes.get_errno()
            raise OSError(errno, os.strerror(errno))
        return f"{name} succeeded"
    return call


def capabilities():
    libc = ctypes.CDLL(None, use_errno=True)
    bounding = [cap for cap in range(41) if libc.prctl(23, cap, 0, 0, 0) == 1]  # CAPBSET_READ
    header = (ctypes.c_uint32 * 2)(0x20080522, 0)  # version 3, this process
    data = (ctypes.c_uint32 * 6)()
    libc.capget(header, data)
    held = {"effective": data[0] | data[3], "permitted": data[1] | data[4]}
    if bounding or any(held.values()):
        return f"capabilities held {held}, bounding {bounding}"
    raise OSError(0, "no capability held, bounding set empty")


def root_uid():
    if os.getuid() == 0 or os.geteuid() == 0:
        return "uid 0"
    raise OSError(0, f"uid {os.getuid()}")


attempt("read a file outside the policy", read_secret)
attempt("write outside the scratch space", write_outside)
attempt("read other processes' environment", other_processes)
attempt("TCP out of the sandbox", tcp_out)
attempt("make a Unix socket", unix_socket)
attempt("unshare a user namespace", libc_call("unshare", 0x10000000))
attempt("mount a tmpfs", libc_call("mount", b"none", b"/tmp", b"tmpfs", 0, None))
attempt("ptrace attach to pid 1", libc_call("ptrace", 16, 1, None, None))
attempt("keep capabilities", capabilities)
attempt("be root", root_uid)
print(json.dumps(results))
