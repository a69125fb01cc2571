"""Sandboxed workers: real escape attempts from inside, and ordinary tools.

Every attempt is bounded: allocations of a few hundred MiB at most, a few
sleeping children that carry a marker in their command line and are found
and killed through the host's own /proc, never a signal sent to a PID that
was read inside the sandbox.
"""
import ctypes
import errno
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
import uuid

import pytest

from conftest import (allowed_missing, child_env, kernel_lacks, marked_processes, open_directory,
                      sandbox_policy)
from vantor.workers.client import (Worker, WorkerDied, WorkerOutputLimit, WorkerStartError,
                                   WorkerTimeout)
from vantor.workers.sandbox import PROTECTIONS, probe

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux sandbox")
GUARD = 60


@pytest.fixture
def marker():
    """A marker for sleepers a test starts; any left over are killed from the host."""
    tag = f"vantor-sleeper-{uuid.uuid4().hex}"
    yield tag
    leftovers = marked_processes(tag)
    for pid in leftovers:
        os.kill(pid, signal.SIGKILL)
    assert not leftovers, "a sandboxed process outlived its worker"


@pytest.fixture
def shared_dir():
    """A host directory open to everyone, outside the sandbox's view by default."""
    yield from open_directory("/var/tmp")


def children_of(pid):
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as children:
            found += [int(child) for child in children.read().split()]
    return found


def state_of(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rpartition(")")[2].split()[0]


@pytest.fixture
def adopted():
    """This process as the reaper of orphaned descendants for one test.

    A sandbox whose supervisor dies is reparented to it instead of to a
    machine init that may never reap it.  Yields a function listing the
    adopted processes with their states; at the end they are killed (by
    their host PIDs) and reaped.
    """
    libc = ctypes.CDLL(None, use_errno=True)
    before = set(children_of(os.getpid()))
    assert libc.prctl(36, 1, 0, 0, 0) == 0  # PR_SET_CHILD_SUBREAPER

    def listing():
        return [(pid, state_of(pid)) for pid in children_of(os.getpid()) if pid not in before]

    try:
        yield listing
    finally:
        libc.prctl(36, 0, 0, 0, 0)
        for pid, _ in listing():
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)


PROBE = """
import errno, os
def attempt(call, *args):
    try:
        call(*args)
    except OSError as error:
        return errno.errorcode.get(error.errno, error.errno)
    return "allowed"
"""


def run(worker, code, **kwargs):
    """The return value of ``code``, which may call ``attempt``, run in ``worker``."""
    answer = worker.run_inline(PROBE + textwrap.dedent(code), timeout=GUARD, **kwargs)
    assert answer["success"], answer
    return answer["result"]["return_value"]




def gone_soon(marker, within=10.0):
    deadline = time.monotonic() + within
    while marked_processes(marker) and time.monotonic() < deadline:
        time.sleep(0.05)
    return not marked_processes(marker)


def started_soon(marker, count=1, within=10.0):
    """Whether ``count`` marked processes were seen running at once.  Seen once
    is enough: a shell forks before it executes a command, and a second look
    may count its child, which carries the marker until it executes."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if len(marked_processes(marker)) == count:
            return True
        time.sleep(0.02)
    return False


def test_every_protection_is_reported_in_force_and_secrets_stay_outside(shared_dir,
                                                                        monkeypatch):
    monkeypatch.setenv("VANTOR_TEST_SECRET", "hunter2")
    secret = os.path.join(shared_dir, "secret.txt")
    with open(secret, "w") as file:
        file.write("hunter2")
    os.chmod(secret, 0o644)
    policy = sandbox_policy(cpu_seconds=600)  # with a CPU limit every protection applies
    with Worker(sandbox=policy) as worker:
        worker.start()
        protections = worker.protections
        strict = policy.replace(require="all") if not kernel_lacks() else policy
        assert probe(strict) == protections
        assert set(protections) == set(PROTECTIONS)
        lacking = {name for name, state in protections.items() if state != "in force"}
        assert lacking == allowed_missing() | kernel_lacks(), protections
        seen = run(worker, f"""
            status = dict(line.split(":", 1) for line in open("/proc/self/status"))
            result = {{
                "env": "".join(os.environ.values()),
                "ids": [os.getuid(), os.geteuid(), os.getgid()],
                "caps": [status[k].strip() for k in ("CapEff", "CapPrm", "CapBnd", "CapAmb")],
                "nnp": status["NoNewPrivs"].strip(), "seccomp": status["Seccomp"].strip(),
                "pids": sorted(int(p) for p in os.listdir("/proc") if p.isdigit()),
                "secret": attempt(open, {secret!r}),
                "root_home": os.listdir("/root") if os.path.isdir("/root") else [],
                "shadow": attempt(open, "/etc/shadow"),
                "host_mounts": {shared_dir!r} in open("/proc/self/mountinfo").read(),
            }}
        """)
    assert "hunter2" not in seen["env"]
    assert seen["ids"] == [65534, 65534, 65534]
    assert seen["caps"] == ["0000000000000000"] * 4 and seen["nnp"] == "1"
    assert seen["seccomp"] == "2"
    assert seen["pids"] == [1, 2]  # the sandbox's init and the worker: nothing of the host
    assert seen["secret"] == "ENOENT" and seen["shadow"] == "ENOENT"
    assert set(seen["root_home"]) <= {".pyenv"}  # only the way to the interpreter
    assert not seen["host_mounts"]


def test_writes_reach_only_tmp_and_the_declared_places(shared_dir):
    readable = os.path.join(shared_dir, "readable")
    writable = os.path.join(shared_dir, "writable")
    for path in (readable, writable):
        os.mkdir(path)
        os.chmod(path, 0o777)
    policy = sandbox_policy(read=[readable], write=[writable], file_size=1 << 20)
    with Worker(sandbox=policy) as worker:
        seen = run(worker, f"""
            def write(path, size=1):
                with open(path, "wb") as file:
                    file.write(b"x" * size)
            result = {{
                place: attempt(write, place + "/probe")
                for place in ("/", "/dev", "/usr", "/etc", {readable!r},
                              {writable!r}, "/tmp", "/dev/shm")}}
            result["sysctl"] = attempt(write, "/proc/sys/kernel/hostname")
            result["big"] = attempt(write, "/tmp/big", 2 << 20)
            result["devnull"] = attempt(write, "/dev/null")
            result["mknod"] = attempt(os.mknod, "/tmp/fifo", 0o600 | 0o10000)
        """)
    assert seen.pop("/tmp") == seen.pop("/dev/shm") == seen.pop("devnull") == "allowed"
    assert seen.pop(writable) == "allowed" and os.path.exists(writable + "/probe")
    assert seen.pop("big") == "EFBIG"
    assert seen.pop("mknod") in ("allowed", "EACCES", "EPERM")
    assert all(outcome in ("EROFS", "EACCES", "EPERM") for outcome in seen.values()), seen
    assert not os.path.exists(readable + "/probe")


def test_no_network_mode_reaches_the_hosts_own_network():
    with socket.create_server(("127.0.0.1", 0)) as server:
        port = server.getsockname()[1]
        abstract = f"\0vantor-test-{uuid.uuid4().hex}"
        with socket.socket(socket.AF_UNIX) as unix_server:
            unix_server.bind(abstract)
            unix_server.listen()
            code = f"""
                import socket
                def tcp(): socket.create_connection(("127.0.0.1", {port}), timeout=5).close()
                def udp(): socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(
                    b"x", ("1.1.1.1", 53))
                def unix():
                    with socket.socket(socket.AF_UNIX) as s:
                        s.connect({abstract!r})
                result = {{
                    "tcp": attempt(tcp), "udp": attempt(udp), "unix": attempt(unix),
                    "vsock": attempt(socket.socket, 40, socket.SOCK_STREAM),
                    "packet": attempt(socket.socket, 17, socket.SOCK_RAW),
                    "interfaces": [name for _, name in socket.if_nameindex()],
                }}
            """
            for network in (False, True):  # True: through the proxy only
                with Worker(sandbox=sandbox_policy(network=network)) as worker:
                    seen = run(worker, code)
                assert seen["tcp"] in ("EACCES", "ENETUNREACH", "ECONNREFUSED")
                assert seen["udp"] in ("ENETUNREACH", "EACCES")
                assert seen["unix"] in ("ECONNREFUSED", "EPERM", "EAFNOSUPPORT")
                assert seen["interfaces"] == ["lo"]
                assert seen["vsock"] == seen["packet"] == "EAFNOSUPPORT"


@pytest.mark.skipif(os.uname().machine != "x86_64", reason="x86_64 system call numbers")
def test_kernel_interfaces_for_escaping_are_refused():
    with Worker(sandbox=sandbox_policy()) as worker:
        seen = run(worker, """
        import ctypes, fcntl, termios
        libc = ctypes.CDLL(None, use_errno=True)
        def syscall(number, *args):
            if libc.syscall(number, *args) == -1:
                raise OSError(ctypes.get_errno(), "")
        # x86_64 numbers; the filter refuses these whatever the arguments.
        result = {
            "ptrace_attach_init": attempt(syscall, 101, 16, 1, 0, 0),
            "process_vm_readv": attempt(syscall, 310, 1, 0, 0, 0, 0, 0),
            "unshare_user": attempt(syscall, 272, 0x10000000),
            "mount": attempt(syscall, 165, 0, 0, 0, 0, 0),
            "keyctl": attempt(syscall, 250, 0, 0, 0, 0, 0),
            "bpf": attempt(syscall, 321, 0, 0, 0),
            "io_uring_setup": attempt(syscall, 425, 8, 0),
            "chroot": attempt(os.chroot, "/tmp"),
            # SIGKILL to PID 1: harmless even with a broken PID namespace,
            # since the machine's own init drops it from user space too.
            "kill_init": attempt(os.kill, 1, 9),
            "move_pages": attempt(syscall, 279, 1, 0, None, None, None, 0),
            # A length past the limit: the kernel checks the capability first
            # (EPERM), and a capable caller the filter missed gets EINVAL with
            # the host name unchanged.
            "sethostname": attempt(syscall, 170, b"x" * 65, 65),
            # Not on the filter's list: callers are told the call does not exist.
            "unknown": attempt(syscall, 1000),  # a number no kernel has used yet
            "openat2": attempt(syscall, 437, -100, b"/tmp", None, 0),
            "io_setup": attempt(syscall, 206, 1, ctypes.byref(ctypes.c_ulong())),
            "modify_ldt": attempt(syscall, 154, 0, None, 0),
            "memfd_secret": attempt(syscall, 447, 0),
        }
    """)
    for call in ("io_uring_setup", "unknown", "openat2", "io_setup", "modify_ldt",
                 "memfd_secret"):
        assert seen.pop(call) == "ENOSYS", call
    assert seen.pop("kill_init") == "allowed"  # init ignores it: the call after still works
    assert all(outcome == "EPERM" for outcome in seen.values()), seen


def test_limits_stop_memory_processes_and_cpu_time(marker):
    fill = "chunks = []\nfor _ in range(40): chunks.append(bytearray(8 << 20))\n"
    with Worker(sandbox=sandbox_policy(memory=160 << 20), timeout=GUARD) as worker:
        if "memory_limit" in allowed_missing():  # RLIMIT_AS in its place: the tool fails
            answer = worker.run_inline(fill)
            assert not answer["success"] and "MemoryError" in json.dumps(answer), answer
        else:
            with pytest.raises(WorkerDied) as died:
                worker.run_inline(fill)
            assert "memory limit" in str(died.value)
    policy = sandbox_policy(processes=12, cpu_seconds=3)
    # SIGXCPU dumps core by default: ending as its worker did, the supervisor
    # must not leave a core file of itself (as root) on the host.
    with open("/proc/sys/kernel/core_pattern") as pattern:
        core = pattern.read().strip()
    core = None if core.startswith("|") or "%" in core else os.path.join("/", core)
    had_core = core is not None and os.path.exists(core)
    worker = Worker(sandbox=policy, timeout=GUARD)
    core_limit = resource.getrlimit(resource.RLIMIT_CORE)
    resource.setrlimit(resource.RLIMIT_CORE, (core_limit[1], core_limit[1]))
    try:
        worker.start()  # the supervisor inherits the raised limit
    finally:
        resource.setrlimit(resource.RLIMIT_CORE, core_limit)
    with worker:
        spawned = run(worker, f"""
            import subprocess
            children = []
            def spawn():
                children.append(subprocess.Popen(
                    ["sh", "-c", "sleep 300; exit", {marker!r}], stdin=subprocess.DEVNULL))
            outcomes = [attempt(spawn) for _ in range(20)]
            result = [len(children), outcomes[-1]]
        """)
        assert spawned == [spawned[0], "EAGAIN"] and spawned[0] < 12
        with pytest.raises(WorkerDied) as died:
            worker.run_inline("while True: pass")
        assert died.value.returncode == -signal.SIGXCPU and "CPU time" in str(died.value)
        leaked = not had_core and core is not None and os.path.exists(core)
        if leaked:
            os.remove(core)
        assert not leaked
        assert run(worker, "result = 6 * 7") == 42
    assert gone_soon(marker)


def test_what_a_tool_starts_ends_with_its_worker(marker):
    escape = f"""
        import os, sys, time
        if os.fork() == 0:
            os.setsid()
            if os.fork() == 0:
                os.execv(sys.executable, [sys.executable, "-c", "import time; time.sleep(300)",
                                          {marker!r}])
            os._exit(0)
        os.wait()
        def started():
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    if {marker!r} in open(f"/proc/{{pid}}/cmdline").read():
                        return True
                except OSError:
                    pass
        while not started():
            time.sleep(0.01)
    """
    with Worker(sandbox=sandbox_policy()) as worker:
        run(worker, escape)
        assert len(marked_processes(marker)) == 1
        with pytest.raises(WorkerTimeout):
            worker.run_inline("while True: pass", timeout=1)
        assert gone_soon(marker)
        run(worker, escape)
    assert gone_soon(marker)


def test_the_sandbox_ends_with_its_supervisor(marker, adopted):
    # Killed from outside (or by the OOM killer), the supervisor takes init
    # and everything inside with it, whatever user init became.
    with Worker(sandbox=sandbox_policy(), timeout=GUARD) as worker:
        run(worker, f"""
            import subprocess
            subprocess.Popen(["sh", "-c", "sleep 300; exit", {marker!r}],
                             start_new_session=True)
        """)
        assert started_soon(marker), marked_processes(marker)
        os.kill(worker.pid, signal.SIGKILL)  # our own child, a host PID
        assert gone_soon(marker)
        deadline = time.monotonic() + 10
        while any(state != "Z" for _, state in adopted()) and time.monotonic() < deadline:
            time.sleep(0.02)  # init ends just after the last process inside it
        orphans = adopted()
        assert all(state == "Z" for _, state in orphans), orphans
        for pid, _ in orphans:
            os.waitpid(pid, 0)
    # So does a host that dies without closing its worker.
    host = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, sys, time
        sys.path[:0] = {sys.path!r}
        from conftest import allowed_missing, child_env, kernel_lacks, sandbox_policy
        from vantor.workers.client import Worker
        worker = Worker(sandbox=sandbox_policy())
        worker.run_inline("import subprocess; subprocess.Popen(['sh', '-c', 'sleep 300; exit', "
                          "args['marker']], start_new_session=True)",
                          {{"marker": os.environ["MARKER"]}})
        print("started", flush=True)
        time.sleep(300)
    """)], stdout=subprocess.PIPE, cwd=os.path.dirname(__file__),
        env=dict(os.environ, MARKER=marker))  # not in its command line
    assert host.stdout.readline() == b"started\n"
    assert started_soon(marker), marked_processes(marker)
    host.kill()
    host.wait()
    assert gone_soon(marker)
    for pid, _ in adopted():
        os.waitpid(pid, 0)
    # A worker that keeps itself small while filling its memory cgroup must
    # not get the supervisor chosen by the OOM killer in its place.
    if "memory_limit" in allowed_missing():
        return
    with Worker(sandbox=sandbox_policy(memory=96 << 20), timeout=GUARD) as worker:
        with pytest.raises(WorkerDied) as died:
            worker.run_inline("import os\nos.execv('/bin/sh', ['sh', '-c', "
                              "'head -c 200000000 /dev/zero > /tmp/fill; sleep 5'])")
        assert "memory limit" in str(died.value)
        assert adopted() == []


def test_ordinary_tools_run_as_usual(shared_dir):
    tools = os.path.join(shared_dir, "tools")
    os.mkdir(tools)
    with open(os.path.join(tools, "helper.py"), "w") as file:
        file.write("def double(x):\n    return 2 * x\n")
    with open(os.path.join(tools, "script.py"), "w") as file:
        file.write("import helper\nresult = helper.double(21)\n")
    with open(os.path.join(tools, "tool.py"), "w") as file:
        file.write(textwrap.dedent("""
            import helper, sqlite3, tempfile, threading, subprocess, sys, json
            def main(n):
                db = sqlite3.connect(tempfile.mktemp(suffix=".db"))
                db.execute("create table t (x)")
                db.executemany("insert into t values (?)", [(i,) for i in range(n)])
                total = db.execute("select sum(x) from t").fetchone()[0]
                results = []
                threads = [threading.Thread(target=lambda: results.append(helper.double(1)))
                           for _ in range(4)]
                for t in threads: t.start()
                for t in threads: t.join()
                child = subprocess.run([sys.executable, "-c", "print(6 * 7)"],
                                       capture_output=True, text=True, check=True)
                return [total, sum(results), child.stdout.strip()]
        """))
    os.chmod(tools, 0o755)
    with Worker(sandbox=sandbox_policy(), cwd=tools, timeout=GUARD) as worker:
        answer = worker.run_function(os.path.join(tools, "tool.py"), "main", {"n": 10})
        assert answer["success"], answer
        assert answer["result"]["return_value"] == [45, 8, "42"]
        script = worker.run_script(os.path.join(tools, "script.py"))
        assert script["result"]["return_value"] == 42, script
        assert worker.validate("x = (")["result"]["valid"] is False


def cgroup_dirs(pid):
    """The cgroup directories (memory, pids) of the host process ``pid``."""
    from vantor.workers.sandbox.host.cgroups import layout

    version, mounts = layout()
    found = set()
    with open(f"/proc/{pid}/cgroup") as table:
        for line in table:
            _, controllers, path = line.rstrip("\n").split(":", 2)
            for controller in controllers.split(",") if version == "v1" else ["memory"]:
                if controller in mounts and path != "/":
                    found.add(mounts[controller] + path)
    return found


def absent_soon(directories, within):
    """Whether the directories are gone, now or (``within`` > 0) soon."""
    deadline = time.monotonic() + within
    while any(os.path.exists(d) for d in directories) and time.monotonic() < deadline:
        time.sleep(0.05)
    return not any(os.path.exists(d) for d in directories)


def empty_soon(directories, within=10.0):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if all(not os.path.exists(d) or not open(f"{d}/cgroup.procs").read()
               for d in directories):
            return True
        time.sleep(0.05)
    return False


@pytest.mark.skipif("memory_limit" in allowed_missing(), reason="no cgroups in this run")
def test_cgroups_go_with_their_worker_and_with_a_host_that_dies():
    worker = Worker(sandbox=sandbox_policy(), timeout=GUARD)
    worker.start()
    ours = cgroup_dirs(children_of(worker.pid)[0])  # of init, a host PID
    assert ours and all(os.path.isdir(d) for d in ours)
    # Made by the host, they are gone when close() returns; made in a scope
    # of the user's service manager, that manager removes them soon after.
    wait = 0.0 if all("/host-" in d for d in ours) else 10.0
    os.kill(worker.pid, signal.SIGKILL)  # killed from outside, then closed
    worker.close()
    assert absent_soon(ours, wait)
    host = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import sys, time
        sys.path[:0] = {sys.path!r}
        from conftest import sandbox_policy
        from vantor.workers.client import Worker
        worker = Worker(sandbox=sandbox_policy())
        worker.start()
        print(worker.pid, flush=True)
        time.sleep(300)
    """)], stdout=subprocess.PIPE, cwd=os.path.dirname(__file__))
    supervisor = int(host.stdout.readline())
    theirs = cgroup_dirs(children_of(supervisor)[0])
    host.kill()
    host.wait()
    assert empty_soon(theirs)
    with Worker(sandbox=sandbox_policy()) as worker:
        worker.start()  # the next start anywhere removes what a dead host left
    left = theirs | {os.path.dirname(d) for d in theirs if wait == 0.0}
    assert absent_soon(left, wait), left


@pytest.mark.skipif("memory_limit" in allowed_missing(), reason="no cgroups in this run")
def test_a_forked_host_keeps_its_cgroups_apart_from_its_parents():
    # A host that forks (multiprocessing's default on Linux) after its first
    # worker: parent and child start workers at once, the child exits.
    program = textwrap.dedent(f"""
        import os, sys
        sys.path[:0] = {sys.path!r}
        from conftest import sandbox_policy
        from vantor.workers.client import Worker
        def started():
            worker = Worker(sandbox=sandbox_policy(), timeout={GUARD})
            worker.start()
            return worker
        started().close()
        (child_up, tell_parent), (parent_up, tell_child) = os.pipe(), os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(child_up)
            os.close(tell_child)
            with started():
                os.write(tell_parent, b"up")
                os.read(parent_up, 2)
            sys.exit(0)  # runs the child's exit handlers
        os.close(tell_parent)
        os.close(parent_up)
        assert os.read(child_up, 2) == b"up", "the child's worker did not start"
        started().close()
        os.write(tell_child, b"up")
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        started().close()  # the parent's directories outlived the child
    """)
    host = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                          cwd=os.path.dirname(__file__), timeout=4 * GUARD)
    assert host.returncode == 0, host.stderr


def test_a_flood_of_output_is_cut_at_the_limit():
    with Worker(sandbox=sandbox_policy(), output_limit=1 << 20, timeout=GUARD) as worker:
        worker.run_inline("import os")
        flood = "import os\nwhile True: os.write(1, b'y' * 65536 + b'\\n')\n"
        with pytest.raises(WorkerOutputLimit):
            worker.run_inline(flood)
        assert run(worker, "result = 1") == 1


def test_a_machine_without_a_protection_refuses_to_start_unless_allowed(tmp_path):
    # A host process whose own seccomp filter refuses namespaces (as a container's
    # default profile does): one refusal names every blocker; a root host with no
    # network to proxy goes on without namespaces, each replaced by another layer.
    program = textwrap.dedent(f"""
        import ctypes, json, os, socket, sys
        sys.path[:0] = {sys.path!r}
        from conftest import allowed_missing, child_env, kernel_lacks, sandbox_policy
        from vantor.workers import _containment
        from vantor.workers.client import Worker, WorkerStartError
        ctypes.CDLL(None).prctl(38, 1, 0, 0, 0)  # no_new_privs, which the filter needs
        _containment.install_seccomp_filter((socket.AF_UNIX, socket.AF_INET, socket.AF_INET6))
        try:
            Worker(sandbox=sandbox_policy(network=True)).start()
            print(json.dumps("started"), flush=True)
        except WorkerStartError as error:
            print(json.dumps([str(error), list(error.missing)]), flush=True)
        if os.getuid() != 0:
            sys.exit()
        probe = ("import os, socket\\n"
                 "try:\\n    os.listdir('/proc')\\nexcept OSError as e:\\n    proc = e.errno\\n"
                 "try:\\n    socket.socket()\\nexcept OSError as e:\\n    inet = e.errno\\n"
                 "result = [os.getuid(), proc, inet, os.environ['TMPDIR']]")
        try:
            with Worker(sandbox=sandbox_policy()) as worker:
                answer = worker.run_inline(probe)
                print(json.dumps([answer["result"]["return_value"], worker.protections]))
        except WorkerStartError as error:
            print(json.dumps(str(error)))
    """)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__file__))
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                          timeout=GUARD, env=env, cwd=tmp_path)
    refused, *allowed = map(json.loads, done.stdout.splitlines())
    message, missing = refused
    assert missing[0] == "user_namespace" and "seccomp" in message
    assert {"pid_namespace", "mount_namespace", "network_namespace"} <= set(missing)
    assert all(name in message for name in missing)
    if os.getuid() != 0:
        # Nothing confines a non-root host's worker without one: no advice
        # to run without it, only the way to get it.
        assert "user_namespace cannot be done without" in message and not allowed
        return
    assert "allow_missing" in message
    if isinstance(allowed[0], str):
        # Without the newer Landlock layers (Linux 6.1: no TCP rules, no scopes) the
        # mode without namespaces is refused, saying why; with them it must start.
        assert kernel_lacks() & {"landlock_network", "landlock_scopes"}, allowed[0]
        assert "missing" in allowed[0]
        return
    (uid, proc, inet, scratch), protections = allowed[0]
    assert uid != 65534 and protections["own_host_uid"] == "in force"  # a uid of its own
    assert proc == errno.EACCES and inet == errno.EAFNOSUPPORT  # Landlock, seccomp
    assert scratch.startswith(tempfile.gettempdir()) and not os.path.exists(scratch)
    for name in ("user_namespace", "pid_namespace", "mount_namespace", "network_namespace"):
        assert protections[name].startswith("replaced by "), protections[name]
    assert protections["seccomp"] == protections["no_capabilities"] == "in force"
    assert protections["landlock_filesystem"] == "in force"


@pytest.mark.skipif(not kernel_lacks(), reason="this kernel has every layer")
def test_a_layer_the_kernel_lacks_is_covered_by_another_unless_required():
    lacking = kernel_lacks()
    with Worker(sandbox=sandbox_policy()) as worker:
        worker.start()
        states = {name: worker.protections[name] for name in lacking}
    assert all(state.startswith("not available ") and " (covered by " in state
               for state in states.values()), states
    with pytest.raises(WorkerStartError) as error:
        Worker(sandbox=sandbox_policy(require="all")).start()
    assert set(error.value.missing) <= lacking and " comes with " in str(error.value)


def test_the_package_is_found_wherever_it_was_imported_from(tmp_path):
    # A copy of the package outside any site directory, found through
    # sys.path alone (as with PYTHONPATH or pip install --target); a second
    # copy whose supervisor cannot start, which must say why.
    import vantor

    source = os.path.dirname(vantor.__file__)
    places = []
    for name in ("whole", "broken"):
        place = f"/var/tmp/vantor-layout-{uuid.uuid4().hex}"
        shutil.copytree(source, os.path.join(place, "vantor"))
        os.chmod(place, 0o755)
        places.append(place)
    os.remove(os.path.join(places[1], "vantor", "workers", "sandbox", "inside", "supervisor.py"))
    program = textwrap.dedent(f"""
        import json, sys
        sys.path[:0] = [sys.argv[1], {os.path.dirname(__file__)!r}]
        from conftest import sandbox_policy
        from vantor.workers.client import Worker, WorkerStartError
        try:
            with Worker(sandbox=sandbox_policy()) as worker:
                answer = worker.run_inline("import vantor; result = vantor.__file__")
                print(json.dumps(answer["result"]["return_value"]))
        except WorkerStartError as error:
            print(json.dumps(str(error)))
    """)
    try:
        seen = [json.loads(subprocess.run(
            [sys.executable, "-s", "-c", program, place], capture_output=True, text=True,
            timeout=GUARD, cwd=tmp_path, env=child_env()).stdout) for place in places]
    finally:
        for place in places:
            shutil.rmtree(place)
    assert seen[0] == os.path.join(places[0], "vantor", "__init__.py")
    assert "No module named 'vantor.workers.sandbox.inside.supervisor'" in seen[1], seen[1]


def test_the_policys_python_path_is_read_only_by_the_confined_worker(shared_dir):
    # A tool may be able to write where PYTHONPATH points: the host side,
    # unconfined (root, on a root host), must never import from there.
    lib = os.path.join(shared_dir, "lib")
    os.mkdir(lib)
    os.chmod(lib, 0o755)
    ran = os.path.join(shared_dir, "ran-on-the-host")
    with open(os.path.join(lib, "sitecustomize.py"), "w") as planted:
        planted.write(f"open({ran!r}, 'w').close()\n")
    with Worker(sandbox=sandbox_policy(read=[lib], env={"PYTHONPATH": lib})) as worker:
        # First on sys.path: the working directory, /tmp, is writable and left out.
        answer = worker.run_inline("import os, sys\nresult = [os.environ['PYTHONPATH'], sys.path[0]]")
    assert answer["result"]["return_value"] == [lib, lib]
    assert not os.path.exists(ran)


def test_the_policy_is_checked_before_anything_starts(shared_dir):
    with pytest.raises(ValueError):
        Worker(sandbox=sandbox_policy(allow_missing=["no_such_protection"]))
    with pytest.raises(ValueError):
        Worker(sandbox=sandbox_policy(require=["seccomp"]))  # required always
    with pytest.raises(ValueError):
        Worker(sandbox=sandbox_policy(require="all", allow_missing=["landlock_scopes"]))
    with pytest.raises(ValueError):
        Worker(env={"A": "b"})  # the sandbox's environment is the policy's
    with pytest.raises(WorkerStartError) as error:
        Worker(sandbox=sandbox_policy(read=[shared_dir + "/missing"])).start()
    assert "missing" in str(error.value)
