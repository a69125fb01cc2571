"""The containment primitives, each run in a forked child (never in the test
process): the seccomp filter, Landlock, dropping capabilities, and the mount
calls that build a new root."""
import ctypes
import errno
import json
import os
import platform
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import traceback

import pytest

containment = pytest.importorskip("vantor.workers._containment")

libc = ctypes.CDLL(None, use_errno=True)
PR_SET_NO_NEW_PRIVS = 38
PR_GET_SECUREBITS = 27
# noroot, no_setuid_fixup and no_cap_ambient_raise, each locked; keep_caps locked off
ALL_SECUREBITS_LOCKED = 0xEF
root_only = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")


def run_child(body):
    """Runs `body` in a forked child; returns (its JSON report, its wait status)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        os.setpgid(0, 0)  # its own group: whatever it leaves behind is killed with it
        signal.alarm(60)  # a child that hangs dies rather than hanging the suite
        try:
            report = {"value": body()}
        except BaseException:
            report = {"error": traceback.format_exc()}
        try:
            with os.fdopen(write_end, "w") as pipe:
                pipe.write(json.dumps(report))
        finally:
            os._exit(0)
    os.close(write_end)
    chunks = []
    deadline = time.monotonic() + 90
    with os.fdopen(read_end, "rb") as pipe:
        # A grandchild stuck with the pipe open (fork copies no alarm) must
        # not hang the suite either.
        while select.select([pipe], [], [], max(0, deadline - time.monotonic()))[0]:
            chunk = os.read(pipe.fileno(), 65536)
            if not chunk:
                break
            chunks.append(chunk)
    try:
        os.killpg(pid, signal.SIGKILL)  # the group outlives its reaped leader's stragglers
    except ProcessLookupError:
        pass
    _, status = os.waitpid(pid, 0)
    text = b"".join(chunks).decode()
    return (json.loads(text) if text else None), status


def in_child(body):
    report, status = run_child(body)
    if report is None:
        pytest.fail(f"the child reported nothing (wait status {status:#x})")
    if "error" in report:
        pytest.fail(report["error"])
    return report["value"]


def outcome(call, *args):
    """None when `call(*args)` succeeds; otherwise the errno of the OSError it
    raises, or the name of the RuntimeError or ValueError."""
    try:
        call(*args)
    except OSError as error:
        return error.errno
    except (RuntimeError, ValueError) as error:
        return type(error).__name__
    return None


def c_outcome(result):
    return ctypes.get_errno() if result == -1 else None


def exit_code_of(body):
    """The exit status of a forked child that exits with `body()` (None: 0)."""
    pid = os.fork()
    if pid == 0:
        signal.alarm(60)  # alarms are not inherited
        os._exit(body() or 0)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def connect(address):
    # A plain connect: create_connection() would import the IDNA codec, a
    # file the confined child may not read.
    with socket.socket() as client:
        client.connect(address)


def set_no_new_privs():
    assert libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0


class Emptier:
    """Read as a path or an int, stands for `value` and empties `items` (the
    caller's list that holds it), as any __fspath__ or __index__ may."""

    def __init__(self, items, value):
        self.items, self.value = items, value

    def __fspath__(self):
        self.items.clear()
        return self.value

    __index__ = __fspath__


CLONE_NUMBER = {"x86_64": 56, "aarch64": 220}.get(platform.machine())
CLONE3, IO_URING_SETUP = 435, 425  # the same on every architecture
TIOCSTI, TIOCLINUX = 0x5412, 0x541C


@pytest.mark.skipif(CLONE_NUMBER is None, reason="x86_64 and aarch64 only")
def test_seccomp_filter_refuses_its_calls_and_lets_ordinary_work_go_on():
    def body():
        emptied = []
        emptied += [Emptier(emptied, socket.AF_UNIX), socket.AF_INET]
        without_nnp = outcome(containment.install_seccomp_filter, emptied)
        set_no_new_privs()
        containment.install_seccomp_filter((socket.AF_UNIX, socket.AF_INET, socket.AF_INET6))
        read_end, _ = os.pipe()
        params = ctypes.create_string_buffer(120)
        clone_flags = containment.CLONE_NEWUSER | signal.SIGCHLD
        clone_pid = libc.syscall(CLONE_NUMBER, clone_flags, 0, 0, 0, 0)
        if clone_pid == 0:
            os._exit(0)
        clone_failure = c_outcome(clone_pid)
        if clone_pid > 0:
            os.waitpid(clone_pid, 0)
        outcomes = {
            "without nnp": without_nnp,
            # In a grandchild that ends at once: a process that did become
            # traceable would stop at its next signal and hang the test.
            "ptrace": exit_code_of(lambda: c_outcome(libc.ptrace(0, 0, None, None))),
            "process_vm_readv": c_outcome(libc.process_vm_readv(os.getpid(), None, 0, None, 0, 0)),
            "clone3": c_outcome(libc.syscall(CLONE3, None, 0)),
            "clone new user": clone_failure,
            "io_uring_setup": c_outcome(libc.syscall(IO_URING_SETUP, 1, params)),
            "unshare": outcome(containment.unshare, containment.CLONE_NEWUSER),
            # A missing target: a mount that got through would fail, not land.
            "mount": outcome(containment.mount, "tmpfs", "/nonexistent/target", "tmpfs"),
            # The kernel reads only the low 32 bits of the request; so must the filter.
            "TIOCSTI": c_outcome(libc.ioctl(read_end, ctypes.c_ulong(TIOCSTI | 1 << 32), b"x")),
            "TIOCLINUX": c_outcome(libc.ioctl(read_end, ctypes.c_ulong(TIOCLINUX), b"x")),
            "personality query": c_outcome(libc.personality(ctypes.c_ulong(0xFFFFFFFF))),
            "personality change": c_outcome(libc.personality(ctypes.c_ulong(0x0040000))),
            "vsock": outcome(socket.socket, socket.AF_VSOCK, socket.SOCK_STREAM),
            "netlink": outcome(socket.socket, socket.AF_NETLINK, socket.SOCK_RAW),
            "unix": outcome(lambda: socket.socket(socket.AF_UNIX).close()),
            "socketpair": outcome(lambda: [end.close() for end in socket.socketpair()]),
            "fork": exit_code_of(lambda: 7),
            "exec": subprocess.run(["/bin/true"]).returncode,
        }
        # Last: a fork while a thread is still ending can copy a lock it holds.
        ran = []
        thread = threading.Thread(target=ran.append, args=("thread",))
        thread.start()
        thread.join()
        return {**outcomes, "thread": ran}

    assert in_child(body) == {
        "without nnp": "RuntimeError",
        "ptrace": errno.EPERM, "process_vm_readv": errno.EPERM, "clone3": errno.ENOSYS,
        "clone new user": errno.EPERM, "io_uring_setup": errno.ENOSYS,
        "unshare": errno.EPERM, "mount": errno.EPERM,
        "TIOCSTI": errno.EPERM, "TIOCLINUX": errno.EPERM,
        "personality query": None, "personality change": errno.EPERM,
        "vsock": errno.EAFNOSUPPORT, "netlink": errno.EAFNOSUPPORT, "unix": None,
        "socketpair": None, "thread": ["thread"], "fork": 7, "exec": 0,
    }


@pytest.mark.skipif(platform.machine() != "x86_64", reason="x32 is an x86_64 ABI")
def test_seccomp_filter_kills_an_x32_system_call():
    def body():
        set_no_new_privs()
        containment.install_seccomp_filter(())
        libc.syscall(0x40000000 | 39)  # getpid through the x32 ABI
        return "survived"

    report, status = run_child(body)
    assert report is None and os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGSYS


@pytest.mark.skipif(containment.landlock_abi() < 6, reason="needs Landlock ABI 6")
def test_landlock_confines_files_tcp_and_signals(tmp_path):
    readable, writable, outside = (tmp_path / name for name in ("readable", "writable", "outside"))
    for directory in (readable, writable, outside):
        directory.mkdir()
        (directory / "file").write_text(directory.name)
    c = containment
    every_fs_right = (c.LANDLOCK_ACCESS_FS_IOCTL_DEV << 1) - 1
    read = c.LANDLOCK_ACCESS_FS_READ_FILE | c.LANDLOCK_ACCESS_FS_READ_DIR
    write = (c.LANDLOCK_ACCESS_FS_WRITE_FILE | c.LANDLOCK_ACCESS_FS_MAKE_REG
             | c.LANDLOCK_ACCESS_FS_TRUNCATE)
    listener, opened = (socket.create_server(("127.0.0.1", 0)) for _ in range(2))

    def probe(handled_net, scoped, ports=()):
        def body():
            refusals = [outcome(c.landlock_restrict, [], every_fs_right)]
            set_no_new_privs()
            emptied = []
            emptied += [(Emptier(emptied, str(readable)), read), (str(readable), write)]
            refusals += [outcome(c.landlock_restrict, [], 1 << 40),
                         outcome(c.landlock_restrict, emptied, read)]
            c.landlock_restrict(
                [(str(readable), read), (str(writable), read | write),
                 # A file keeps its file rights; the directory right is dropped, not refused.
                 (str(outside / "file"), read)],
                every_fs_right, handled_net, scoped, connect_ports=ports)
            return {
                "refusals": refusals,
                "read inside": outcome(lambda: (readable / "file").read_text()),
                "list inside": outcome(os.listdir, readable),
                "write inside": outcome(lambda: (writable / "new").write_text("x")),
                "write read-only": outcome(lambda: (readable / "new").write_text("x")),
                "read listed file": outcome(lambda: (outside / "file").read_text()),
                "list outside": outcome(os.listdir, outside),
                "list parent": outcome(os.listdir, tmp_path),
                "connect": outcome(connect, listener.getsockname()),
                "connect to a port allowed": outcome(connect, opened.getsockname()),
                "signal parent": outcome(os.kill, os.getppid(), 0),
            }
        return in_child(body)

    with listener, opened:
        confined = probe(c.LANDLOCK_ACCESS_NET_CONNECT_TCP, c.LANDLOCK_SCOPE_SIGNAL,
                         [opened.getsockname()[1]])
        files_only = probe(0, 0)
    fs_outcome = {"refusals": ["RuntimeError", "ValueError", "ValueError"],
                  "read inside": None, "list inside": None, "write inside": None,
                  "write read-only": errno.EACCES, "read listed file": None,
                  "list outside": errno.EACCES, "list parent": errno.EACCES,
                  "connect to a port allowed": None}
    assert confined == {**fs_outcome, "connect": errno.EACCES, "signal parent": errno.EPERM}
    assert files_only == {**fs_outcome, "connect": None, "signal parent": None}


@root_only
def test_drop_capabilities_leaves_nothing_to_regain():
    status_lines = "import sys; sys.stdout.write(open('/proc/self/status').read())"

    def body():
        before = containment.capabilities()
        containment.drop_capabilities()
        after = containment.capabilities()
        executed = subprocess.run([sys.executable, "-c", status_lines], capture_output=True,
                                  text=True).stdout.splitlines()
        return {
            "held before": before["effective"] != 0 and before["bounding"] != 0,
            "after": after,
            "securebits": libc.prctl(PR_GET_SECUREBITS, 0, 0, 0, 0),
            "setresuid": outcome(os.setresuid, 65534, 65534, 65534),
            "setgroups": outcome(os.setgroups, []),
            "executed": sorted(line.split()[1] for line in executed if line.startswith("Cap")),
            "second drop": outcome(containment.drop_capabilities),
        }

    assert in_child(body) == {
        "held before": True,
        "after": {"effective": 0, "permitted": 0, "inheritable": 0, "bounding": 0,
                  "ambient": 0, "no_new_privs": True},
        "securebits": ALL_SECUREBITS_LOCKED,
        "setresuid": errno.EPERM, "setgroups": errno.EPERM,
        "executed": ["0000000000000000"] * 5,
        "second drop": None,
    }

    def without_setpcap():
        os.seteuid(65534)  # empties the effective set; the permitted one stays
        failure = outcome(containment.drop_capabilities)
        os.seteuid(0)  # would make whatever is still permitted effective again
        return [failure, {name: bool(mask) for name, mask in containment.capabilities().items()}]

    # The bounding set cannot be emptied, but nothing else is left for a
    # caller that goes on after the error.
    assert in_child(without_setpcap) == ["RuntimeError", {
        "effective": False, "permitted": False, "inheritable": False, "bounding": True,
        "ambient": False, "no_new_privs": True}]


@root_only
def test_mounts_build_a_read_only_tree_and_pivot_into_it(tmp_path):
    source, stage = tmp_path / "source", tmp_path / "stage"
    source.mkdir()
    stage.mkdir()
    (source / "data").write_text("kept")
    c = containment
    host_namespace = os.readlink("/proc/self/ns/mnt")

    def body():
        c.unshare(c.CLONE_NEWNS)
        # Nothing below may touch the host's mounts, however unshare fails.
        assert os.readlink("/proc/self/ns/mnt") != host_namespace
        c.mount(None, "/", None, c.MS_REC | c.MS_PRIVATE)
        c.mount("tmpfs", str(stage), "tmpfs", c.MS_NOSUID | c.MS_NODEV, "size=1m,mode=0755")
        os.mkdir(stage / "bound")
        tree = c.open_tree(str(source), c.OPEN_TREE_CLONE | c.AT_RECURSIVE)
        c.mount_setattr(tree, c.MOUNT_ATTR_RDONLY | c.MOUNT_ATTR_NOSUID, 0, True)
        c.move_mount(tree, str(stage / "bound"))
        inheritable = os.get_inheritable(tree)
        os.close(tree)
        missing = None
        try:
            c.mount_setattr(str(stage / "missing"), c.MOUNT_ATTR_RDONLY)
        except OSError as error:
            missing = [error.errno, error.filename, error.strerror.split(":")[0]]
        os.chdir(stage)
        c.pivot_root(".", ".")
        c.umount(".", c.MNT_DETACH)
        os.chdir("/")
        c.mount_setattr("/", c.MOUNT_ATTR_RDONLY)
        return {
            "inheritable": inheritable,
            "missing": missing,
            "root": os.listdir("/"),
            "read": open("/bound/data").read(),
            "write bound": outcome(lambda: open("/bound/new", "w")),
            "write root": outcome(lambda: open("/new", "w")),
        }

    assert in_child(body) == {
        "inheritable": False,
        "missing": [errno.ENOENT, str(stage / "missing"), "mount_setattr"],
        "root": ["bound"], "read": "kept",
        "write bound": errno.EROFS, "write root": errno.EROFS,
    }
    assert not os.path.ismount(stage) and (source / "data").read_text() == "kept"


def test_populate_after_fork_copies_pages_unchanged_in_the_next_generation_only():
    def body():
        import mmap
        import struct

        page = mmap.PAGESIZE
        memory = mmap.mmap(-1, 8 * page, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
        pattern = bytes(range(256)) * (8 * page // 256)
        memory[:] = pattern
        address = ctypes.addressof(ctypes.c_char.from_buffer(memory))

        def copied():
            """Per page: present and mapped by this process alone."""
            with open("/proc/self/pagemap", "rb") as pagemap:
                pagemap.seek(address // page * 8)
                entries = struct.unpack("=8Q", pagemap.read(64))
            return [entry >> 63 & 1 and entry >> 56 & 1 for entry in entries]

        def in_fork(body):
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.write(write_end, json.dumps(body()).encode())
                os._exit(0)
            os.close(write_end)
            report = b"".join(iter(lambda: os.read(read_end, 65536), b""))
            os.waitpid(pid, 0)
            return json.loads(report)

        # The first four pages, and a range with nothing mapped (skipped).
        containment.populate_after_fork([(address, 4 * page), (page, page)])
        return in_fork(lambda: {"copied": copied(), "same": memory[:] == pattern,
                                "grandchild": in_fork(copied)})

    report = in_child(body)
    assert report == {"copied": [1] * 4 + [0] * 4, "same": True, "grandchild": [0] * 8}
