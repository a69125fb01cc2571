"""A sandboxed worker's own start-up: confine, then become the worker.

The host starts the supervisor (see :mod:`vantor.workers.sandbox.host.launch`) with the worker's pipes as
standard streams and one end of a control socket, on which it first sends the
configuration.  Three processes follow:

* the supervisor (this process, in the host's PID namespace) opens the
  cgroups the host made (or makes them, in a scope of the user's service
  manager that it was started in); as root it claims a host uid of the
  sandbox's own and copies the new root's trees; it enters a new user and PID
  namespace (with that uid as its effective one), and stays
  behind to tie the sandbox's life to the control socket: when the host
  closes it, or dies, the whole PID namespace is killed;
* init, PID 1 of the new namespace, joins the cgroups (the supervisor stays
  out of them, out of reach of their OOM killer), builds the mount, IPC, UTS
  and network namespaces and the new root, takes the sandbox's identity, drops every
  capability, applies rlimits, Landlock and seccomp, reports what is in
  force, and then only reaps;
* the worker, init's child, which inherits all of it and runs the message
  loop (or executes the configured command).

When the worker ends, init passes on its wait status and exits, which kills
whatever the worker left running; the supervisor ends with the same status.
"""

from __future__ import annotations

import json
import os
import resource  # loaded while the host's paths can still be read
import select
import signal
import socket
import sys
from typing import Any, NoReturn

from vantor.workers import _containment as native
from vantor.workers.isolation.exit_status import end_as
from vantor.workers.isolation.leftovers import Confinement
from vantor.workers.sandbox.inside import without_namespaces
from vantor.workers.sandbox.inside.filesystem import HOSTNAME, WRITABLE_PLACES, View
from vantor.workers.sandbox.inside.identity import (
    enter_user_and_pid_namespaces,
    keep_own_uid_if_usable,
)
from vantor.workers.sandbox.inside.kernel import (
    limit_kernel_accounts,
    loopback_listener,
    socket_families,
)
from vantor.workers.sandbox.protections import CONTAINER_STANDS_IN, Protections, SetupError

SANDBOX_UID = SANDBOX_GID = 65534
_STAGE = "/tmp"




def _reason(error: OSError) -> str:
    return error.strerror or str(error)


# -- the supervisor -------------------------------------------------------------

def _open_cgroups(config: dict[str, Any], protections: Protections) -> dict[str, int]:
    """Open the host-made cgroups' ``cgroup.procs`` files for init to join.

    The supervisor itself stays out of them: in the memory cgroup it would be
    a candidate for its OOM killer, and a worker that keeps itself small
    could have the supervisor killed in its place, leaving init without the
    process that ties it to the host.  The files are opened here, with the
    host's identity; the kernel checks a write against the opener's.

    Under cgroup v1 init joins through ``tasks``, which moves one thread:
    init has only one, so that moves the process, without the process-wide
    lock whose RCU grace period made ``cgroup.procs`` cost 5 to 20 ms.
    """
    limits = {"memory_limit": config["memory"], "process_limit": config["processes"],
              "cpu_limit": config["cpu_seconds"]}
    if config["cgroup_scope"]:
        from vantor.workers.sandbox.host import cgroups as _cgroups

        try:
            config["cgroup_procs"] = _cgroups.in_own_scope(
                {"memory": config["memory"], "pids": config["processes"],
                 "cpuacct": config["cpu_seconds"]})
        except (OSError, _cgroups.CgroupError) as error:
            reason = f"cannot make a cgroup in the user manager's scope: {error}"
            config["host_missing"] = dict.fromkeys(limits, reason)
            config["cgroup_remedy"] = _cgroups.V2_REMEDY
    files: dict[str, int] = {}
    opened: dict[str, int] = {}  # on cgroup v2 one directory serves every protection
    for protection, limit in limits.items():
        procs = config["cgroup_procs"].get(protection)
        if limit is None:
            protections.skip(protection)
            continue
        if procs is None:
            reason = config["host_missing"].get(protection, "no cgroup")
            if _container_may_stand_in(config, protections, protection):
                # Replaced once the rlimits hold, else refused then.
                protections.state[protection] = f"missing: {reason}"
                config.setdefault("standing_in", {})[protection] = reason
                continue
            protections.lack(protection, reason, config["cgroup_remedy"])
            continue
        tasks = os.path.join(os.path.dirname(procs), "tasks")
        try:
            if procs not in opened:
                opened[procs] = os.open(tasks if os.path.exists(tasks) else procs,
                                        os.O_WRONLY | os.O_CLOEXEC)
            files[protection] = opened[procs]
        except OSError as error:
            protections.lack(protection, f"cannot join its cgroup: {_reason(error)}")
    return files


def _container_may_stand_in(config: dict[str, Any], protections: Protections,
                            protection: str) -> bool:
    """Whether the container's own cgroup and the rlimits may replace ``protection``'s
    missing cgroup (a policy may require the cgroup itself)."""
    if not config.get("container_stands_in") or protection not in CONTAINER_STANDS_IN or \
            protection in protections.required:
        return False
    if protection == "memory_limit" and "container_memory" not in config:
        from vantor.workers.sandbox.containers import container_memory_limit

        config["container_memory"] = container_memory_limit()  # before leaving its root
    return True


def _join_cgroups(files: dict[str, int], protections: Protections) -> None:
    """Move the calling process (and so everything it starts) into the opened cgroups."""
    if len(os.listdir("/proc/self/task")) != 1:
        raise SetupError("init must be single-threaded to join its cgroups")
    joined: dict[int, str] = {}  # descriptor -> "" once joined, else why not
    for protection, fd in files.items():
        if fd not in joined:
            try:
                os.write(fd, b"0")  # 0: the writer itself
                joined[fd] = ""
            except OSError as error:
                joined[fd] = _reason(error)
        if joined[fd]:
            protections.lack(protection, f"cannot join its cgroup: {joined[fd]}")
            continue
        protections.have(protection)


def _close_all(files: dict[str, int]) -> None:
    for fd in set(files.values()):
        os.close(fd)
    files.clear()


def _open_cpu_meter(config: dict[str, Any], cgroups: dict[str, int],
                    protections: Protections) -> "CpuMeter | None":
    """The meter of the sandbox's CPU time; without one its cgroup is not joined either."""
    meter = CpuMeter.open(config)
    if meter is None and "cpu_limit" in cgroups:
        fd = cgroups.pop("cpu_limit")
        if fd not in cgroups.values():
            os.close(fd)
        protections.lack("cpu_limit", "its cgroup has no CPU time counter to read")
    return meter


class CpuMeter:
    """The sandbox's CPU time, read by the supervisor from its accounting cgroup."""

    def __init__(self, limit: int, fd: int):
        self.limit = limit
        self.fd = fd
        self.cpus = os.cpu_count() or 1

    @classmethod
    def open(cls, config: dict[str, Any]) -> "CpuMeter | None":
        """The meter of the sandbox's cgroup, or None without a limit or a cgroup to read."""
        procs = config["cgroup_procs"].get("cpu_limit")
        if config["cpu_seconds"] is None or procs is None:
            return None
        from vantor.workers.sandbox.host import cgroups as _cgroups

        usage = _cgroups.cpu_usage_file(procs)
        try:
            return cls(config["cpu_seconds"], os.open(usage, os.O_RDONLY | os.O_CLOEXEC))
        except (OSError, TypeError):
            return None

    def wait(self) -> float | None:
        """How long the supervisor may wait (s) before the limit could be reached; None: it
        is reached.  CPU time grows at most as fast as the number of CPUs."""
        from vantor.workers.sandbox.host.cgroups import cpu_seconds_used

        remaining = self.limit - cpu_seconds_used(self.fd)
        # Not below 10 ms: the count itself moves by scheduler ticks.
        return None if remaining <= 0 else min(1.0, max(0.01, remaining / self.cpus))


def _note_container() -> None:
    """Find the container engine while its marks are in sight: remedies name its flags."""
    from vantor.workers.sandbox.containers import container_engine

    container_engine()


def _filter_remedy() -> str:
    """The remedy for a call a container's seccomp profile refused, if one runs here."""
    from vantor.workers.sandbox.containers import seccomp_remedy, under_seccomp_filter

    return seccomp_remedy() if under_seccomp_filter() else ""


def _claim_uid(config: dict[str, Any]) -> int | None:
    """For a root host, a host uid of the sandbox's own (in ``config["slot_uid"]``); returns
    the descriptor that holds it, or None."""
    if config["host_uid"] != 0:
        return None
    from vantor.workers.sandbox.host.uids import UidError, claim

    try:
        config["slot_uid"], held = claim()
    except (OSError, UidError) as error:
        # Reported once rlimits, which cover it, hold.
        config["slot_missing"] = f"no host uid could be claimed: {error}"
        return None
    return held


def _copy_trees_as_root(view: View) -> None:
    """Copy the new root's trees while this process is root, before it gives up root to
    make the user namespace; init attaches them.  Where the copy is refused, init tries
    again and reports the failure in its own step."""
    try:
        view.open_trees()
    except OSError:
        view.close_trees()


class Supervisor:
    def __init__(self, config: dict[str, Any], control: int):
        self.config = config
        self.control = control
        self.protections = Protections(config["allow_missing"], config["require"])
        self.protections.deferring = True  # one refusal names every blocker
        self.passed: list[int] = []  # descriptors init passed, for the host
        self.guard = -1  # without namespaces: closing it has the guard end the sandbox
        self.oom_score = -1

    def run(self) -> NoReturn:
        try:
            steps = self.protections
            _note_container()
            self.oom_score = without_namespaces.open_oom_score()
            steps.at("opening the cgroups")
            cgroups = _open_cgroups(self.config, self.protections)
            meter = _open_cpu_meter(self.config, cgroups, self.protections)
            steps.at("claiming a host uid of the sandbox's own", "own_host_uid")
            uid_claim = keep_own_uid_if_usable(self.config, _claim_uid(self.config))
            steps.at("gathering the paths of the new root", "mount_namespace")
            view = View.build(self.config, self.config.get("slot_uid") or SANDBOX_UID)
            if uid_claim is not None:
                _copy_trees_as_root(view)
            if self.config["command"] is None:
                steps.at("loading the worker")
                # Loaded once, shared by fork: a worker without a new root may
                # not be able to read the package's files once it is uid 65534.
                import vantor.workers.custom_worker  # noqa: F401
                import vantor.workers.isolation.template  # noqa: F401
            steps.at("entering the user and PID namespaces", "user_namespace")
            user_namespace = enter_user_and_pid_namespaces(self.config, self.protections)
            if self.config.get("without_namespaces"):
                # A sandbox that held this uid before and lost its supervisor may
                # have left processes: none may share the new one's identity.
                without_namespaces.kill_every_process_of(self.config["slot_uid"])
                self.config["scratch"] = without_namespaces.scratch_directory(
                    self.config["slot_uid"], SANDBOX_GID)
                self.guard = without_namespaces.start_guard(
                    self.config["slot_uid"], self.config["scratch"],
                    (uid_claim,) if uid_claim is not None else ())
        except Exception as error:  # whatever it is, the host hears of it
            self.fail(error)
        # A socket pair, not a pipe: init passes the proxy's listener on it.
        report_r, report_w = (end.detach() for end in socket.socketpair())
        lifeline_r, lifeline_w = os.pipe()
        if self.config.get("without_namespaces") or "memory_limit" in self.config.get(
                "standing_in", {}):
            init, self.config["oom_first"] = without_namespaces.fork_first_for_the_oom_killer(
                self.oom_score)
        else:
            init = os.fork()
        if self.oom_score >= 0:
            os.close(self.oom_score)
        if init == 0:
            os.close(self.control)
            if "oom_fd" in self.config:
                os.close(self.config["oom_fd"])
            os.close(report_r)
            os.close(lifeline_w)
            if meter is not None:
                os.close(meter.fd)
            if uid_claim is not None:
                os.close(uid_claim)
            if self.guard >= 0:
                os.close(self.guard)  # the supervisor's alone: its end ends the sandbox
            Init(self.config, self.protections, view, user_namespace,
                 report_w, lifeline_r, cgroups).run()
        os.close(report_w)
        os.close(lifeline_r)
        view.close_trees()
        _close_all(cgroups)
        self._detach_streams()
        self.watch(init, report_r, meter)

    def fail(self, error: BaseException) -> NoReturn:
        self.send(self.protections.failure(error))
        os._exit(1)

    def send(self, report: dict[str, Any], fds: list[int] | None = None) -> None:
        try:
            _send_line(self.control, report, fds or [])
        except OSError:
            pass

    @staticmethod
    def _detach_streams() -> None:
        """Leave the worker the only holder of its stdin and stdout."""
        null = os.open(os.devnull, os.O_RDWR)
        os.dup2(null, 0)
        os.dup2(null, 1)
        os.close(null)
        # The same for the descriptor the worker's answers go to (client hook).
        answer_fd = os.environ.get("VANTOR_WORKER_ANSWER_FD")
        if answer_fd is not None:
            os.close(int(answer_fd))

    def watch(self, init: int, report_r: int, meter: CpuMeter | None) -> NoReturn:
        poller = select.poll()
        poller.register(self.control, select.POLLIN)
        poller.register(report_r, select.POLLIN)
        received = b""
        while True:
            wait = meter.wait() if meter is not None else -1.0
            if wait is None:
                # Ended as the per-process limit would end it, so the host says why.
                self._end(init, signal.SIGKILL, signal.SIGXCPU)
            for fd, _ in poller.poll(wait * 1000 if wait >= 0 else None):
                if fd == report_r:
                    data = self._receive(report_r)
                    if not data:
                        self._end(init, None)
                    received += data
                    while b"\n" in received:
                        line, received = received.split(b"\n", 1)
                        self._take(init, json.loads(line))
                elif not self._control_open():
                    self._end(init, signal.SIGKILL)

    def _control_open(self) -> bool:
        try:
            return os.read(self.control, 4096) != b""
        except OSError:
            return False

    def _receive(self, report_r: int) -> bytes:
        """Read init's report, keeping what descriptors it passes along for the host."""
        with socket.socket(fileno=report_r) as report:
            try:
                data, fds, _, _ = socket.recv_fds(report, 65536, 4)
            finally:
                report.detach()
        self.passed += fds
        return data

    def _take(self, init: int, message: dict[str, Any]) -> None:
        if "exit" in message:
            self._end(init, None, message["exit"])
        passed, self.passed = self.passed, []
        self.send(message, passed)
        for fd in passed:
            os.close(fd)
        if not message.get("ready", False):
            self._end(init, signal.SIGKILL)

    def _end(self, init: int, kill: int | None, status: int | None = None) -> NoReturn:
        if kill is not None:
            os.kill(init, kill)
        _, init_status = os.waitpid(init, 0)
        if self.config.get("without_namespaces"):
            # What the end of a PID namespace would do: nothing of the sandbox outlives it.
            without_namespaces.kill_every_process_of(self.config["slot_uid"])
            without_namespaces.remove_scratch(self.config["scratch"])
        self._tell_oom_kills()
        _mirror(status if status is not None else init_status)

    def _tell_oom_kills(self) -> None:
        """In a user manager's scope, tell the host what its memory cgroup saw: the
        manager removes the scope, and with it the count, once this process ends."""
        procs = self.config["cgroup_procs"].get("memory_limit")
        if not self.config["cgroup_scope"] or procs is None:
            return
        from vantor.workers.sandbox.host.cgroups import oom_kills

        kills = oom_kills(os.path.join(os.path.dirname(procs), "memory.events"))
        try:
            os.write(self.config["oom_fd"], str(kills).encode())
        except OSError:
            pass


def _send_line(fd: int, message: dict[str, Any], fds: list[int]) -> None:
    """Write ``message`` as a JSON line to ``fd``, passing ``fds`` with it (a Unix socket)."""
    data = memoryview(json.dumps(message).encode() + b"\n")
    if fds:
        with socket.socket(fileno=fd) as sock:
            try:
                data = data[socket.send_fds(sock, [data], fds):]
            finally:
                sock.detach()
    while data:
        data = data[os.write(fd, data):]


def _mirror(status: int) -> NoReturn:
    """End this process as the worker ended: by the same signal, or with its exit code."""
    if os.WIFSIGNALED(status):
        # Many signals dump core by default (SIGXCPU, SIGQUIT, SIGSEGV...):
        # a worker must not be able to have the kernel write the host-side
        # supervisor's memory to the host's disk, or hand it to a crash handler.
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        native.set_dumpable(False)
    end_as(status)


# -- init, PID 1 of the sandbox ---------------------------------------------------

class Init:
    def __init__(self, config: dict[str, Any], protections: Protections, view: View,
                 user_namespace: bool, report_w: int, lifeline_r: int,
                 cgroups: dict[str, int]):
        self.config = config
        self.cgroups = cgroups
        self.protections = protections
        self.view = view
        self.user_namespace = user_namespace
        self.report_w = report_w
        self.lifeline_r = lifeline_r
        self.listener = -1  # the proxy's, on the sandbox's loopback, until sent to the host
        self.new_root = False
        # The sandbox goes first when memory runs out (set by the supervisor's fork).
        self.oom_first = bool(config.get("oom_first"))

    def run(self) -> NoReturn:
        steps = self.protections
        try:
            steps.at("tying init to its supervisor")
            self.tie_to_supervisor()
            steps.at("joining the cgroups")
            _join_cgroups(self.cgroups, self.protections)
            _close_all(self.cgroups)
            new_root = self.new_root = self.namespaces()
            self.listen_for_proxy()
            self.confine(new_root)
            without_namespaces.check_replacements(steps)
            steps.check()
            steps.at("tying init to its supervisor")
            # A change of user or group ID clears the parent-death signal,
            # and confine() made one: without it again, init and everything
            # inside would outlive a supervisor that is killed.
            self.tie_to_supervisor()
            # Not dumpable before the worker exists: /proc/1 is then closed to
            # it, and with it init's end of the report pipe.
            native.set_dumpable(False)
        except Exception as error:  # whatever it is, the host hears of it
            self.send(steps.failure(error))
            os._exit(1)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        worker = os.fork()
        if worker == 0:
            self.become_worker()
        self.send({"ready": True, "protections": self.protections.state,
                   "bound": self.view.beyond_policy(self.config)})
        if self.listener >= 0:
            os.close(self.listener)
        self.reap(worker)

    def tie_to_supervisor(self) -> None:
        native.set_parent_death_signal(signal.SIGKILL)
        if select.select([self.lifeline_r], [], [], 0)[0]:
            os._exit(1)  # the supervisor ended before the tie was made

    def send(self, message: dict[str, Any]) -> None:
        passed = [self.listener] if message.get("ready") and self.listener >= 0 else []
        _send_line(self.report_w, message, passed)

    def listen_for_proxy(self) -> None:
        """With a network, make the proxy's listener on this namespace's loopback.

        It is the sandbox's only way out, so it exists only in a network
        namespace of the sandbox's own, and before the worker does: no tool
        can take its port first.
        """
        if not self.config["network"]:
            return
        self.protections.at("listening for the host's proxy", "network_namespace")
        if not self.protections.holds("network_namespace"):
            raise SetupError("a sandbox with a network needs a network namespace of its own: "
                             "its proxy's listener would otherwise be on the host's loopback",
                             ("network_namespace",))
        self.listener = loopback_listener(self.config["proxy_port"])

    def namespaces(self) -> bool:
        """Enter the remaining namespaces; returns whether a new root can be built."""
        kinds = [("mount_namespace", native.CLONE_NEWNS), ("ipc_namespace", native.CLONE_NEWIPC),
                 ("uts_namespace", native.CLONE_NEWUTS), ("network_namespace", native.CLONE_NEWNET)]
        for name, flag in kinds:
            self.protections.at("entering a new namespace", name)
            try:
                native.unshare(flag)
                self.protections.have(name)
            except OSError as error:
                if self.config.get("without_namespaces"):
                    without_namespaces.replace(self.protections, name, _reason(error))
                    continue
                self.protections.lack(name, _reason(error), _filter_remedy())
        try:
            native.unshare(native.CLONE_NEWCGROUP)
        except OSError:
            pass  # hides only the host's cgroup paths
        if self.protections.holds("uts_namespace"):
            self.protections.at("setting the host name", "uts_namespace")
            self.name_host()
        return self.protections.holds("mount_namespace")

    def name_host(self) -> None:
        """Name this UTS namespace's host.  A container's seccomp profile may refuse
        ``sethostname`` (Podman's without CAP_SYS_ADMIN): the namespace is private all the
        same, so the name is the container's, and changing it would reach no one else."""
        try:
            native.set_host_name(HOSTNAME.encode())
        except OSError as error:
            self.protections.have("uts_namespace",
                                  f"the host name stays the container's: {_reason(error)}")

    def confine(self, new_root: bool) -> None:
        # The host's paths are opened with the host's identity.  In a user
        # namespace the new root is then built as the sandbox's user, the only
        # one mapped there, keeping the namespace's capabilities; as plain root
        # it is built before the change of user takes them away.
        steps = self.protections
        binds = None
        steps.at("building the new root", "mount_namespace")
        if new_root:
            native.mount(None, "/", None, native.MS_REC | native.MS_PRIVATE)
            binds = self.view.open_trees()
        else:
            self.view.close_trees()
        if not self.user_namespace:
            self.assemble(binds)
        if not self.user_namespace:
            # Giving up root takes CAP_SETPCAP with it: the bounding set goes first.
            steps.at("emptying the capability bounding set", "no_capabilities")
            self.drop_bounding_set()
        steps.at("taking the sandbox's user and group", "user_namespace")
        self.take_identity()
        steps.at("building the new root", "mount_namespace")
        if self.user_namespace:
            self.assemble(binds)
        scratch = self.config.get("scratch")
        if scratch:
            os.environ.update(TMPDIR=scratch, HOME=scratch)
        os.chdir(self.config["cwd"] or ("/tmp" if new_root else scratch or "/"))
        steps.at("setting the rlimits", "rlimits")
        self.limit_resources()
        steps.at("bounding the kernel's per-user accounts", "rlimits")
        limit_kernel_accounts(self.user_namespace)
        self.report_host_uid()
        steps.at("dropping the capabilities", "no_capabilities")
        self.drop_capabilities()
        steps.at("applying Landlock", "landlock_filesystem")
        self.landlock(new_root)
        steps.at("installing the seccomp filter", "seccomp")
        families = socket_families()
        if self.config.get("without_namespaces"):
            families = without_namespaces.without_ip(families)
        native.install_seccomp_filter(*families)
        self.protections.have("seccomp")

    def report_host_uid(self) -> None:
        if (self.user_namespace or self.config.get("without_namespaces")) and \
                self.config.get("slot_uid"):
            self.protections.have("own_host_uid")
        elif self.config["host_uid"] != 0:
            self.protections.unavailable("own_host_uid", "a host that is not root has one uid",
                                         "for a host that is not root")
        elif "slot_missing" in self.config:
            reason = self.config["slot_missing"]
            self.protections.unavailable("own_host_uid", reason, f"here ({reason})")
        else:
            self.protections.unavailable("own_host_uid", "no user namespace",
                                         "without a user namespace")

    def assemble(self, binds: list | None) -> None:
        if binds is not None:
            self.view.assemble(_STAGE, binds, self.config["tmp_size"], SANDBOX_UID, SANDBOX_GID)
            if self.view.proc_refused:
                from vantor.workers.sandbox.containers import masked_proc_remedy

                self.protections.have("pid_namespace", "no /proc: a fresh one is refused over "
                                      f"the container's masked /proc ({self.view.proc_refused}"
                                      f"); {masked_proc_remedy()}")

    def drop_bounding_set(self) -> None:
        try:
            native.drop_bounding_set()
        except OSError as error:
            self.protections.lack("no_capabilities", _reason(error))

    def drop_capabilities(self) -> None:
        try:
            native.drop_capabilities()
        except (OSError, RuntimeError) as error:
            self.protections.lack("no_capabilities", f"{error}")
            return
        caps = native.capabilities()
        if any(caps[name] for name in ("effective", "permitted", "inheritable", "bounding",
                                       "ambient")) or not caps["no_new_privs"]:
            raise SetupError("capabilities remain after dropping them", ("no_capabilities",))
        self.protections.have("no_capabilities")

    def take_identity(self) -> None:
        if self.config["host_uid"] == 0:
            os.setgroups([])
        # Without a user namespace the sandbox's own host uid is its identity itself.
        uid = self.config["slot_uid"] if self.config.get("without_namespaces") else SANDBOX_UID
        os.setresgid(SANDBOX_GID, SANDBOX_GID, SANDBOX_GID)
        os.setresuid(uid, uid, uid)

    def limit_resources(self) -> None:
        limits = [(resource.RLIMIT_CORE, 0),
                  (resource.RLIMIT_NOFILE, self.config["open_files"]),
                  (resource.RLIMIT_FSIZE, self.config["file_size"]),
                  (resource.RLIMIT_CPU, self.config["cpu_seconds"])]
        # Without their cgroups (as the policy allows), the limits that
        # rlimits can approach: processes counted in the sandbox's own user
        # namespace (per sandbox since Linux 5.14), memory per process.
        fallbacks = []
        # Per sandbox in its own user namespace, or as the sandbox's own host uid.
        own_count = self.user_namespace or self.config.get("without_namespaces")
        if self.config["processes"] is not None and own_count:
            fallbacks.append(("process_limit", resource.RLIMIT_NPROC, self.config["processes"],
                              "RLIMIT_NPROC per sandbox"))
        if self.config["memory"] is not None:
            first = ", the sandbox first for the OOM killer" if self.oom_first else ""
            fallbacks.append(("memory_limit", resource.RLIMIT_AS, self.config["memory"],
                              f"RLIMIT_AS per process{first}"))
        if self.config["cpu_seconds"] is not None:
            fallbacks.append(("cpu_limit", resource.RLIMIT_CPU, self.config["cpu_seconds"],
                              "RLIMIT_CPU per process"))
        standing_in = self.config.get("standing_in", {})
        for protection, kind, value, substitute in fallbacks:
            if not self.protections.holds(protection):
                limits.append((kind, value))
                if protection in standing_in:
                    self.stand_in(protection, standing_in.pop(protection))
                else:
                    self.protections.replace(protection, substitute)
        for protection, reason in standing_in.items():  # no rlimit could stand in
            self.protections.lack(protection, reason, self.config["cgroup_remedy"])
        for kind, value in limits:
            if value is not None:
                # Past the soft CPU limit comes SIGXCPU, which names the cause;
                # SIGKILL follows a second later for a process that ignores it.
                hard = value + 1 if kind == resource.RLIMIT_CPU else value
                resource.setrlimit(kind, (value, hard))
        self.protections.have("rlimits")

    def stand_in(self, protection: str, reason: str) -> None:
        """Report a cgroup the container's own and the rlimits replace; memory only with the
        sandbox first for the OOM killer (else it is missing)."""
        from vantor.workers.sandbox.containers import PROCESS_STAND_IN, memory_stand_in

        if protection == "memory_limit" and not self.oom_first:
            self.protections.lack(protection, f"{reason}; oom_score_adj could not be raised",
                                  self.config["cgroup_remedy"])
            return
        substitute = (memory_stand_in(self.config.get("container_memory"))
                      if protection == "memory_limit" else PROCESS_STAND_IN)
        self.protections.state[protection] = f"replaced by {substitute} (missing: {reason})"

    def landlock(self, new_root: bool) -> None:
        abi = native.landlock_abi()
        if abi < 1:
            reason = "Landlock is not enabled in this kernel"
            self.protections.unavailable("landlock_filesystem", reason)
            self.protections.unavailable("landlock_network", reason)
            self.protections.unavailable("landlock_scopes", reason)
            return
        handled_fs = _fs_rights(abi)
        handled_net = 0
        # No TCP bind; TCP connect only to the proxy's port, when there is one.
        ports = [self.config["proxy_port"]] if self.config["network"] else []
        if abi >= 4:
            handled_net = (native.LANDLOCK_ACCESS_NET_BIND_TCP |
                           native.LANDLOCK_ACCESS_NET_CONNECT_TCP)
        else:
            self.protections.unavailable("landlock_network", f"Landlock ABI {abi} lacks it")
        scoped = 0
        if abi >= 6:
            scoped = native.LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | native.LANDLOCK_SCOPE_SIGNAL
        else:
            self.protections.unavailable("landlock_scopes", f"Landlock ABI {abi} lacks them")
        native.landlock_restrict(self._rules(new_root, handled_fs), handled_fs, handled_net,
                                 scoped, connect_ports=ports if handled_net else [])
        self.protections.have("landlock_filesystem")
        if handled_net:
            self.protections.have("landlock_network")
        if scoped:
            self.protections.have("landlock_scopes")

    def _rules(self, new_root: bool, everything: int) -> list[tuple[str, int]]:
        read = (native.LANDLOCK_ACCESS_FS_EXECUTE | native.LANDLOCK_ACCESS_FS_READ_FILE |
                native.LANDLOCK_ACCESS_FS_READ_DIR)
        devices = (native.LANDLOCK_ACCESS_FS_READ_FILE | native.LANDLOCK_ACCESS_FS_WRITE_FILE |
                   native.LANDLOCK_ACCESS_FS_READ_DIR)
        devices |= everything & (native.LANDLOCK_ACCESS_FS_TRUNCATE |
                                 native.LANDLOCK_ACCESS_FS_IOCTL_DEV)
        if new_root:
            rules = [("/", read), ("/proc", read), ("/dev", devices)]
            writable = list(WRITABLE_PLACES)
        else:
            # The host's own tree, as far as the sandbox's user can reach it.
            rules = [(path, read) for path in self.view.readable_paths()
                     if os.access(path, os.F_OK)]
            scratch = self.config.get("scratch")
            # Without namespaces: no /proc (the container's processes), a scratch
            # directory of the sandbox's own in place of the container's /tmp.
            rules += [] if scratch else [("/proc", read)]
            rules += [(device, devices) for device in ("/dev/null", "/dev/zero", "/dev/urandom")]
            writable = [scratch] if scratch else ["/tmp"]
        writable += self.view.writable_paths()
        rules += [(path, everything) for path in writable]
        return rules

    def take_worker_env(self) -> None:
        """The policy's variables the supervisor started without, in force as at an
        interpreter's start (``sys.path`` is set where the worker's is)."""
        worker_env = self.config.get("worker_env", {})
        os.environ.update(worker_env)
        if "PYTHONPYCACHEPREFIX" in worker_env:
            sys.pycache_prefix = os.path.abspath(worker_env["PYTHONPYCACHEPREFIX"])

    def become_worker(self) -> NoReturn:
        os.close(self.report_w)
        os.close(self.lifeline_r)
        if self.listener >= 0:
            os.close(self.listener)  # the proxy's alone: no tool may accept on it
        # Init stays closed to the worker; the worker's own /proc entries
        # stay its own, as in any process.
        native.set_dumpable(True)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        _forget_boot_source()
        self.take_worker_env()
        command = self.config["command"]
        if command is not None:
            program = self.view.program
            try:
                os.execve(program, command, os.environ)
            except OSError as error:
                os.write(2, f"cannot execute {program}: {error.strerror}\n".encode())
                os._exit(127)
        from vantor.workers import custom_worker

        sys.argv = [custom_worker.__file__]
        python_path = os.environ.get("PYTHONPATH", "").split(os.pathsep)
        # The working directory only where no tool can plant a module in it:
        # not /tmp, not a writable one.
        cwd = [os.getcwd()] if not os.access(os.getcwd(), os.W_OK) else []
        sys.path[:0] = [*cwd, *(os.path.abspath(entry) for entry in python_path if entry)]
        # isolation="call": this process becomes the template that forks each call.
        from vantor.workers.isolation import template
        if template.wanted():
            template.serve(self.confinement())
        code = 0
        try:
            custom_worker.main()
        except SystemExit as exit_:
            code = exit_.code if isinstance(exit_.code, int) else 1
        except BaseException:
            import traceback
            traceback.print_exc()
            code = 1
        try:
            sys.stdout.flush()
            sys.stderr.flush()
        finally:
            os._exit(code)

    def confinement(self) -> Confinement:
        """What a template that isolates calls keeps apart in this sandbox."""
        held = self.protections.holds
        scoped = 0
        if held("landlock_scopes"):
            scoped = native.LANDLOCK_SCOPE_SIGNAL | native.LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
        queues = "/dev/mqueue" if self.new_root and os.path.ismount("/dev/mqueue") else None
        # Only the sandbox's own tmpfs: not where a host path of the policy is bound over it.
        scratch = {place: 0o1777 for place in WRITABLE_PLACES
                   if self.new_root and not self.view.bound_over(place)}
        return Confinement(scratch=scratch, queues=queues, ipc=held("ipc_namespace"),
                           scoped=scoped, settings_filter=held("seccomp"))

    def reap(self, worker: int) -> NoReturn:
        while True:
            try:
                pid, status = os.waitpid(-1, 0)
            except ChildProcessError:
                os._exit(1)
            if pid == worker:
                try:
                    self.send({"exit": status})
                finally:
                    os._exit(0)


def _forget_boot_source() -> None:
    """Drop what the interpreter keeps of the supervisor's ``-c`` start-up code.

    Python 3.13 keeps ``-c`` source in :mod:`linecache` as ``<string>``, the
    name of a tool's ``exec`` and ``eval`` code too: a traceback through
    those would quote the start-up code under them.  The worker's answers are
    then what an unsandboxed worker's are, whatever the launch.
    """
    linecache = sys.modules.get("linecache")
    if linecache is None:
        return
    for key in [key for key in linecache.cache
                if key == "<string>" or getattr(key, "co_filename", None) == "<string>"]:
        linecache.cache.pop(key, None)


def _fs_rights(abi: int) -> int:
    rights = 0
    for name in dir(native):
        if name.startswith("LANDLOCK_ACCESS_FS_"):
            rights |= getattr(native, name)
    if abi < 2:
        rights &= ~native.LANDLOCK_ACCESS_FS_REFER
    if abi < 3:
        rights &= ~native.LANDLOCK_ACCESS_FS_TRUNCATE
    if abi < 5:
        rights &= ~native.LANDLOCK_ACCESS_FS_IOCTL_DEV
    return rights


def main(config: dict[str, Any]) -> NoReturn:
    """Run the supervisor, given the configuration the host sent on the control socket."""
    os.environ.pop("XDG_RUNTIME_DIR", None)  # only systemd-run needed it
    Supervisor(config, int(sys.argv[1])).run()
