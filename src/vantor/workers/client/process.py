"""Worker processes: starting one, sandboxed or not, its pipes, and stopping it.

A :class:`Process` gives its worker a pipe of its own for answers (named by
:data:`ANSWER_FD_VARIABLE` in its environment), so standard output carries
only what tools print.  Nothing here waits for the worker, except reaping.
"""

from __future__ import annotations

import atexit
import fcntl
import json
import os
import select
import signal
import socket
import subprocess
import sys
import termios
import threading
import weakref
from collections.abc import Callable
from typing import Any

from vantor.workers.client.answers import (
    Channel,
    OutputLimitReached,
    WorkerStartError,
    with_stderr_tail,
)
from vantor.workers.client.interrupts import Deferral, bookkeeping
from vantor.workers.client.usage import CpuMeter, CpuSpan, EndFigures, parse_end_usage
from vantor.workers.isolation.template import ANSWER_FD_VARIABLE, END_MARK, TEMPLATE_VARIABLE
from vantor.workers.sandbox.host.launch import Launch

# First read size; a read that fills it is followed by bigger ones.
READ_SIZE = 64 * 1024
BIG_READ_SIZE = 1024 * 1024
# Room in the worker's pipes: a large answer then needs few wake-ups, and all
# that a worker printed before its answer fits in its standard output.
PIPE_SIZE = 1024 * 1024
# How long a worker may take to end once its input is closed or it was asked to stop.
EXIT_GRACE = 1.0
# The report that stands for none: the sandbox ended before it reported in.
_NO_REPORT = "the sandboxed worker ended before reporting in"


class _Teardown:
    """Stops and reaps a worker process, closes its descriptors and runs its cleanup.

    Runs at :meth:`Process.release`, and at garbage collection and exit; its
    steps run once each, with Ctrl-C held back (see :mod:`.interrupts`), so
    that an interrupt never leaves the process, a descriptor or the sandbox's
    cgroups behind.  One cut short anyway (by an interrupt that came as it
    began) is finished by the next teardown, or at exit.

    In a process forked from the host (``owner``) that ends or drops its copy,
    only that process's copies of the descriptors are closed: the worker,
    its sandbox and its cgroups stay the host's.
    """

    def __init__(self, owner: int, popen: subprocess.Popen, control: socket.socket | None,
                 fds: list[int], cleanup: Callable[[], None]):
        self.owner = owner
        self.popen = popen
        self.control = control
        self.fds = fds
        self.cleanup = cleanup
        self.stage = 0
        self.done = False
        self._lock = threading.Lock()

    @bookkeeping
    def __call__(self) -> None:
        if self.done:
            return
        _UNFINISHED.add(self)
        with self._lock, Deferral():
            try:
                self._run()
            finally:  # done, or failed otherwise than by an interrupt: not retried
                _UNFINISHED.discard(self)
        if _UNFINISHED:
            _finish_unfinished()

    @bookkeeping
    def _run(self) -> None:
        mine = os.getpid() == self.owner
        popen, control = self.popen, self.control
        if self.stage == 0:
            if mine and control is not None and popen.returncode is None:
                # The sandbox's supervisor stops and reaps everything inside when
                # its control socket closes; kill the group only if it does not.
                _shutdown_quietly(control)
                try:
                    popen.wait(EXIT_GRACE)
                except subprocess.TimeoutExpired:
                    pass
            self.stage = 1
        if self.stage == 1:
            if mine:
                kill_group(popen)
                popen.wait()
            self.stage = 2
        if self.stage == 2:
            for stream in (popen.stdin, popen.stdout, popen.stderr):
                if stream is not None:
                    try:
                        stream.close()
                    except OSError:
                        pass
            while self.fds:
                os.close(self.fds.pop())
            if control is not None:
                control.close()
            self.stage = 3
        if self.stage == 3:
            if mine:
                self.cleanup()
            self.stage = 4
            self.done = True


# Teardowns cut short: finished by the next one, or at exit.
_UNFINISHED: set[_Teardown] = set()


def _finish_unfinished() -> None:
    for teardown in list(_UNFINISHED):
        if teardown._lock.acquire(blocking=False):  # not one running now
            teardown._lock.release()
            teardown()


atexit.register(_finish_unfinished)


def kill_group(popen: subprocess.Popen) -> None:
    # The worker leads its own process group: this also stops what it started,
    # even once the worker itself has been reaped (its number stays taken as
    # long as the group has members).
    try:
        os.killpg(popen.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        popen.kill()  # does nothing once the process has been reaped
    except OSError:
        pass


def _shutdown_quietly(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class Process:
    """One worker process: its pipes (non-blocking), its channel and its sandbox.

    The process leads its own session and process group.  Stopping it
    (:meth:`stop`) asks a sandboxed process to tear down everything inside its
    sandbox and kills the group of an unsandboxed one; the pipes are closed
    and the process reaped by :meth:`release`, or by a finalizer at garbage
    collection and interpreter exit.

    ``preload`` not None makes the worker a template that forks a process
    per call, with those modules imported (see :mod:`vantor.workers.isolation.template`); it then
    gets a cancel pipe, and an end line follows each answer.
    """

    def __init__(self, launch: Launch, output_limit: int | None, stderr_limit: int,
                 preload: tuple[str, ...] | None = None):
        own_fds: list[int] = []
        worker_fds: list[int] = []
        self.cancel_fd = -1
        try:
            answer_fd, worker_answer_fd = os.pipe()
            own_fds.append(answer_fd)
            worker_fds.append(worker_answer_fd)
            env = dict(os.environ if launch.env is None else launch.env)
            env[ANSWER_FD_VARIABLE] = str(worker_answer_fd)
            if preload is not None:
                worker_cancel_fd, self.cancel_fd = os.pipe()
                own_fds.append(self.cancel_fd)
                worker_fds.append(worker_cancel_fd)
                env[TEMPLATE_VARIABLE] = json.dumps({"preload": list(preload),
                                                     "cancel_fd": worker_cancel_fd})
            self.popen = subprocess.Popen(
                launch.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, env=env, cwd=launch.cwd,
                pass_fds=(*launch.pass_fds, *worker_fds), start_new_session=True,
                bufsize=0)
        except BaseException:
            for fd in own_fds:
                os.close(fd)
            if launch.control is not None:
                launch.control.close()
            launch.cleanup()
            raise
        finally:
            for fd in worker_fds:
                os.close(fd)
            launch.after_spawn()
        self.launch = launch
        self.pid = self.popen.pid
        self.answer_fd = answer_fd
        self.stdin_fd = self.popen.stdin.fileno()
        self.stdout_fd = self.popen.stdout.fileno()
        self.stderr_fd = self.popen.stderr.fileno()
        for fd in (self.answer_fd, self.stdin_fd, self.stdout_fd, self.stderr_fd):
            os.set_blocking(fd, False)
        for fd in (self.answer_fd, self.stdout_fd):
            try:
                fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, PIPE_SIZE)
            except OSError:
                pass
        self._idle_check = select.poll()
        for fd in (self.answer_fd, self.stdout_fd):
            self._idle_check.register(fd, select.POLLIN | select.POLLPRI)
        self.control = launch.control
        self.control_buffer = b""
        self.network = launch.network
        self.report: dict[str, Any] | None = None if self.control is not None else {}
        # The worker's line feed on its answer pipe once it reads requests:
        # False until then, None if the pipe ended or held something else.
        self.greeting: bool | None = False
        self.channel = Channel(output_limit, stderr_limit, keep_rest=preload is not None)
        self.requests = 0
        self.calls = 0  # requests sent: the template numbers its calls alike
        self.owes_end = False  # a call is over, its template's end line not yet read
        # What the last call cost, as the template's end line tells it: (CPU s, peak RSS).
        self.end_usage: tuple[float, int] | None = None
        # The figures the last answered call's end line will bring, still to come.
        self.end_figures: EndFigures | None = None
        # What counts a shared worker's CPU time; False where nothing can.
        self.cpu_meter: CpuMeter | None | bool = None
        self.last_cpu: CpuSpan | None = None  # the last call's count, maybe not ended yet
        # The token the current call's end line carries: the host's, sent to the
        # template alone (its cancel pipe), so that nothing the call started can
        # write the line; or, once the call is cancelled, the cancel's.
        self.end_token = b""
        self.end_cancelled = False
        self.marks = b""  # answer pipe bytes read while an end line is awaited
        self.sent = 0  # bytes of the current call's request written so far
        self.write_failed = False  # the worker stopped reading during the current call
        self.stdout_open = True
        self.stderr_open = True
        self.stopping = False
        self.input_closed = False
        self._teardown = _Teardown(os.getpid(), self.popen, self.control, own_fds,
                                   launch.cleanup)
        weakref.finalize(self, self._teardown)

    @property
    def ready(self) -> bool:
        """Whether the worker greeted, and its sandbox, if any, reported in."""
        return self.greeting is True and self.report is not None

    def starting(self) -> bool:
        """Whether the start is still under way: what it waits for may yet come."""
        if self.report is None:
            return True
        return self.greeting is False and self.report.get("ready", True)

    def read_greeting(self) -> None:
        """Take the worker's greeting if it has come (see :attr:`greeting`)."""
        data = _read(self.answer_fd, 1)
        if data is not None:
            self.greeting = True if data == b"\n" else None

    @property
    def returncode(self) -> int | None:
        return self.popen.returncode

    def exited(self) -> bool:
        """Whether the process has ended (it is reaped by the next ``popen.poll()``)."""
        if self.popen.returncode is not None:
            return True
        # Every call asks this: waitid without reaping is a third of poll()'s cost.
        try:
            ended = os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT)
        except ChildProcessError:  # reaped already, elsewhere
            ended = True
        return ended is not None and self.popen.poll() is not None

    def begin(self) -> None:
        """Start a call, before its request is written (see :meth:`Channel.begin`).

        What the worker printed while it started is the first call's.
        """
        self.sent = 0
        self.write_failed = False
        self.end_usage = None
        if self.calls:
            if self.isolated and self.stderr_open:
                # What earlier calls wrote on standard error (another user's,
                # maybe) is not this caller's: its errors quote its call alone.
                self.drain_stderr()
                self.channel.forget_stderr()
            self.channel.begin()
        self.calls += 1
        if self.isolated:
            self.end_token, self.end_cancelled = os.urandom(8).hex().encode(), False
            try:
                os.write(self.cancel_fd, b"%d end %s\n" % (self.calls, self.end_token))
            except OSError:
                pass  # the template is gone: writing the request finds that out

    def cpu_span(self) -> CpuSpan | None:
        """Start counting a shared worker's CPU time for the call about to be sent (see
        :mod:`.usage`); the last call's count ends here, unless it was read already.
        None for a template, whose calls' figures come on their end lines, or where no
        counter can be read."""
        meter = self.cpu_meter
        if not meter:
            meter = self._open_cpu_meter()
            if meter is None:
                return None
        # Written out: every call of a shared worker passes here.
        try:
            reading = os.pread(meter.fd, 1024, 0)
        except OSError:  # the process has ended
            reading = b""
        last = self.last_cpu
        if last is not None and last[2] is None:
            last[2] = reading
        self.last_cpu = span = CpuSpan((meter, reading, None))
        return span

    def _open_cpu_meter(self) -> CpuMeter | None:
        if self.cpu_meter is False or self.isolated or not self.ready:
            return None
        depth = 0 if self.control is None else 2  # supervisor, init, worker
        meter = CpuMeter.open(self.pid, depth, self.launch.context.get("cgroup_procs", {})
                              .values())
        self.cpu_meter = meter if meter is not None else False
        if meter is not None:
            self._teardown.fds.append(meter.fd)
        return meter

    def end_cpu(self) -> None:
        """End the last call's CPU count now, while the process is there to read."""
        last = self.last_cpu
        if last is not None:
            last.close()
            self.last_cpu = None

    def written_since_answer(self) -> bool:
        """Whether the worker wrote anything (or ended its output) since its last answer.

        All it wrote before that answer was taken with it, so this output
        belongs to no call: what a thread a tool left running printed late.
        Asked before every request but the first.
        """
        return bool(self._idle_check.poll(0))

    def write(self, data: memoryview) -> int:
        """Write what the pipe takes now; -1 once the worker stopped reading."""
        if self.input_closed:
            self.write_failed = True
            return -1
        try:
            written = os.write(self.stdin_fd, data)
            self.sent += written
            return written
        except BlockingIOError:
            return 0
        except (BrokenPipeError, OSError):
            self.write_failed = True
            return -1

    def request_unread(self, size: int) -> bool:
        """Whether the worker, found ended, never took this call's request of ``size`` bytes.

        The evidence is the request's own: a write that failed before the
        whole line was in the pipe, or all of its bytes still lying unread
        in the worker's input.  The request can then go to a fresh worker.
        """
        if self.write_failed:
            return self.sent < size
        if self.input_closed:
            return False
        try:
            unread = int.from_bytes(fcntl.ioctl(self.stdin_fd, termios.FIONREAD, bytes(4)),
                                    sys.byteorder, signed=True)
        except OSError:
            return False
        return unread == self.sent == size

    @property
    def isolated(self) -> bool:
        """Whether the worker is a template that forks each call."""
        return self.cancel_fd >= 0

    def cancel(self, size: int) -> bytes | None:
        """Ask the template to kill the current call, whose request is ``size`` bytes.

        The token its end line will carry, which is then owed: the next call
        waits for it (:meth:`take_end`) if this one does not.  None when the
        call cannot be cancelled: the worker is no template, the request was
        not written whole (its rest would stay in the template's input), or
        the template is gone.
        """
        if not self.isolated or self.sent < size:
            return None
        token = os.urandom(8).hex().encode()
        try:
            os.write(self.cancel_fd, str(self.calls).encode() + b" " + token + b"\n")
        except OSError:
            return None
        self.marks = b""
        self.owes_end, self.end_token, self.end_cancelled = True, token, True
        return token

    def take_end(self, keep: bool = False) -> bool | None:
        """Look for the template's end line on the answer pipe, the one carrying
        :attr:`end_token`.

        After an answer the line must come next; after a cancel, whatever
        the killed call wrote before it is dropped.  True once it has come:
        nothing of the call is left running, and all it wrote is in the pipes.  Standard output is then read out, and
        kept as the call's stray output (``keep``: a call that timed out) or
        dropped (after an answer: what the call left running wrote, which
        belongs to no call).  None while the line has not come; False
        when the pipe ended, or held after an answer what the template does
        not write.
        """
        wanted = END_MARK + self.end_token
        self.marks += self.channel.rest
        self.channel.rest = b""
        while True:
            if self.end_cancelled:  # whatever the killed call wrote before the line goes
                at = self.marks.find(wanted)
                if at < 0:
                    self.marks = self.marks[-len(wanted):]
                else:
                    self.marks = self.marks[at:]
            elif not wanted.startswith(self.marks[:len(wanted)]):
                return False
            line_end = self.marks.find(b"\n", len(wanted)) if len(self.marks) > len(wanted) else -1
            if line_end >= 0 and self.marks.startswith(wanted):
                figures = self.marks[len(wanted):line_end]
                rest = self.marks[line_end + 1:]
                self.marks = b""
                self.owes_end = False
                self.end_usage = parse_end_usage(figures)
                pending, self.end_figures = self.end_figures, None
                if pending is not None:
                    pending.settle(self.end_usage)
                if figures and self.end_usage is None:
                    return False
                return not rest and self.read_out_stdout(keep)
            data = _read(self.answer_fd, READ_SIZE)
            if not data:
                return None if data is None else False
            self.marks += data

    def read_out_stdout(self, keep: bool) -> bool:
        """Read standard output until it is empty; False at its end.

        Kept as stray output (up to the output limit) or dropped.
        """
        while True:
            data = self.read_stdout()
            if not data:
                return data is None
            if keep:
                try:
                    self.channel.feed(data)
                except OutputLimitReached:
                    keep = False

    def read_stdout(self, size: int = READ_SIZE) -> bytes | None:
        """A chunk of standard output; b"" at its end, None when nothing is there yet."""
        data = _read(self.stdout_fd, size)
        if data == b"":
            self.stdout_open = False
        return data

    def read_answer(self, size: int = READ_SIZE) -> bytes | None:
        """A chunk of the answer pipe; b"" at its end, None when nothing is there yet."""
        try:  # written out: every answer passes here
            return os.read(self.answer_fd, size)
        except BlockingIOError:
            return None
        except OSError:
            return b""

    def take_stdout(self) -> bool:
        """Feed the channel what standard output holds, up to the pipe's size; False at its end.

        Reads until a read comes back short, the pipe then empty.  The
        worker flushes its output before it answers, so once the answer pipe
        is seen ready, all the call printed is in the pipe: no more than it
        holds.  Raises :class:`OutputLimitReached` past the limit.
        """
        left = PIPE_SIZE
        while left > 0:
            data = _read(self.stdout_fd, READ_SIZE)
            if data is None:
                return True
            if not data:
                self.stdout_open = False
                return False
            self.channel.feed(data)
            if len(data) < READ_SIZE:
                return True
            left -= len(data)
        return True

    def drain_stderr(self) -> bool:
        """Take what standard error holds now; False once it has ended."""
        while True:
            try:
                data = os.read(self.stderr_fd, READ_SIZE)
            except BlockingIOError:
                return True
            except OSError:
                data = b""
            if not data:
                self.stderr_open = False
                return False
            self.channel.feed_stderr(data)

    def read_control(self) -> bool:
        """Take the sandbox's report; True once it is complete (or the socket ended).

        Raises :class:`WorkerStartError` when the sandbox could not be set up.
        """
        try:
            data, fds, _, _ = socket.recv_fds(self.control, 65536, 4)
        except BlockingIOError:
            return False
        except OSError:
            data, fds = b"", []
        self._take_fds(fds)
        if data:
            self.control_buffer += data
            if not self.control_buffer.endswith(b"\n"):
                return False
        report = parse_report(self.control_buffer)
        self.report = report
        return True

    def _take_fds(self, fds: list[int]) -> None:
        """Hand the descriptors the sandbox passed to its network; close any other."""
        if self.network is not None:
            self.network.take(fds)
            return
        for fd in fds:
            os.close(fd)

    def ended_unreported(self) -> bool:
        """Whether the sandbox ended before it reported in (killed from outside, say)."""
        return self.report is not None and self.report.get("error") == _NO_REPORT

    def start_failure(self) -> WorkerStartError | None:
        """The error to raise if the sandbox's report says it could not start."""
        report = self.report
        if report is None or report.get("ready", True):
            return None
        message = report.get("error", "the sandbox could not be set up")
        # The supervisor's own words, e.g. why it could not even be imported.
        self.drain_stderr()
        return WorkerStartError(with_stderr_tail(message, self.channel.stderr_text()),
                                report.get("missing", ()))

    def stop(self) -> None:
        """Start stopping the process; safe from any thread, does not wait."""
        self.end_cpu()
        self.stopping = True
        if self.control is not None and self.popen.returncode is None:
            _shutdown_quietly(self.control)
        else:
            kill_group(self.popen)

    def kill(self) -> None:
        """Kill the whole process group at once (the sandbox's supervisor too)."""
        self.end_cpu()
        self.stopping = True
        kill_group(self.popen)

    def close_input(self) -> None:
        """Close the worker's stdin: an idle worker then ends by itself.

        The process takes no further request, and its stdin descriptor, whose
        number the system may now give to any new file, is never used again.
        """
        self.end_cpu()
        self.stopping = True
        self.input_closed = True
        try:
            self.popen.stdin.close()
        except OSError:
            pass

    def release(self) -> None:
        """Stop, reap and clean up now (blocks up to about a second for a sandbox)."""
        self.end_cpu()
        pending = self.end_figures
        if pending is not None:
            # A template that ended wrote the last call's end line before it did.
            if self.owes_end and not self._teardown.done and self._teardown.owner == os.getpid():
                self.take_end()
            pending.settle(None)
            self.end_figures = None
        self._teardown()

    def released(self) -> bool:
        return self._teardown.done

    def death_reason(self) -> str:
        return self.launch.describe_death(self.popen.returncode)

    def stray_and_stderr(self) -> tuple[bytes, str]:
        return self.channel.end(), self.channel.stderr_text()


def _read(fd: int, size: int) -> bytes | None:
    try:
        return os.read(fd, size)
    except BlockingIOError:
        return None
    except OSError:
        return b""


def parse_report(data: bytes) -> dict[str, Any]:
    """The sandbox supervisor's one-line report; a socket that closed early is a failure."""
    try:
        report = json.loads(data) if data.strip() else None
    except ValueError:
        report = None
    if not isinstance(report, dict):
        return {"ready": False, "error": _NO_REPORT}
    return report
