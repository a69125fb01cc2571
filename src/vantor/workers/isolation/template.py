"""The template of a worker that isolates its calls: one forked process per request.

With ``isolation="call"`` the worker process (init's child in a sandbox, the
process the host started without one) becomes a template: it imports the
message loop and the modules the host preloads once, greets the host, and
then reads request lines itself.  It never runs tool code.  Each request is
served by a process forked for it (ahead of it, so that the fork is not on
the call's path) with the unchanged message loop (its ``sys.stdin`` a stream
that holds the one line); it writes its answer on the answer descriptor and
exits.  A call's process starts cold, and the template makes that cheap:
before greeting it serves one fixed request itself (what the loop builds on
first use is then built once), and learns which of its pages serving a
request writes; each call's process copies those at once when it is forked,
rather than a fault at a time during its call; and it starts a keeper of
its memory that dies with it, so that its end (which the next call waits
for) is over at once, the kernel taking that memory apart in the keeper,
after the end line.  The template is the
subreaper of everything a call starts: once the call's process has ended,
it kills and reaps whatever is left under it, then writes an end line on
the answer pipe and reads the next request.  Nothing a call changed or left
running reaches the next one.

Ahead of each request the host sends on a pipe of its own (the cancel pipe,
which no call's process holds) ``"<sequence> end <token>\n"``: the call's end
line carries that token, which nothing the call started can know.  The
template is not dumpable, and keeps requests in memory a forked process sees
zeroed, so that no call reads the token or an earlier call's request.

The host cancels a call that ran out of time through the same pipe:
``"<sequence> <token>\\n"``.  The template kills the call only if that call
is still the one running (a late cancel never hits the next call), ends
what it started, and answers with an end line that carries the token,
after which nothing of the call is left in either pipe.

A request that ends the worker (``quit``, a line that is no JSON object,
``sys.exit`` in a tool, a signal) ends the template the same way: it takes
on the call's exit status.
"""

from __future__ import annotations

import gc
import importlib
import io
import json
import mmap
import os
import resource
import select
import signal
import struct
import sys
import time
import traceback
from typing import Any, NoReturn

from vantor.workers.isolation.exit_status import end_as
from vantor.workers.isolation.leftovers import Confinement, clear

#: The environment variable naming the descriptor the worker writes its answers to.
ANSWER_FD_VARIABLE = "VANTOR_WORKER_ANSWER_FD"
#: The environment variable that makes the worker a template (JSON: the
#: modules to preload and the descriptor the host's cancels come on).
TEMPLATE_VARIABLE = "VANTOR_WORKER_TEMPLATE"
#: Tells the message loop of a call's process that the host was greeted already.
GREETED_VARIABLE = "VANTOR_WORKER_GREETED"
#: The first byte of the template's own lines on the answer pipe; no answer starts so.
END_MARK = b"\x00"
#: The exit code of a template whose preloads failed, before it greeted.
PRELOAD_FAILED = 3
#: The exit code of a template that cannot find what a call leaves running.
NO_CHILDREN_LIST = 4
#: The exit code of a template that found its own state changed, or could not clear
#: what a call left: it retires rather than fork a call from it.
RETIRED = 5

#: A request of the smallest kind, served before the first call (see :func:`serve_warm_up`).
WARM_UP = b'{"action": "run_inline", "code": "result = 1"}\n'

_READ_SIZE = 1024 * 1024
#: The pid of a call's memory keeper, as its process reports it.
_KEEPER = struct.Struct("=i")
#: A call whose peak passed the template's own by more than this is not left to its
#: keeper: the memory it held counts against the sandbox's limit until it is taken
#: apart, so the next call starts only once it is.
_MEMORY_LEFT_TO_KEEPERS = 16 << 20
#: A request that comes this soon (seconds) after the last end line comes back to
#: back: the next call's process is forked while its call runs (see ``fork_next``).
_BACK_TO_BACK = 0.002
#: madvise advice (Linux 4.14): a child's copy of the range reads as zeros.
_MADV_WIPEONFORK = 18
#: What ``str.strip`` strips among ASCII bytes, and the separators it strips too.
_ASCII_SPACES = frozenset(b" \t\n\r\x0b\x0c")
_SEPARATORS = frozenset(b"\x1c\x1d\x1e\x1f")
_PAGE = os.sysconf("SC_PAGE_SIZE")
#: Bits of a ``/proc/<pid>/pagemap`` entry: the page is present, and mapped exclusively.
_PRESENT_ALONE = 1 << 63 | 1 << 56
#: Mappings larger than this (reserved address space, mostly) are not searched for pages.
_LARGEST_MAPPING = 256 * 1024 * 1024


def wanted() -> bool:
    """Whether this worker process is to be a template."""
    return TEMPLATE_VARIABLE in os.environ


def preload(names: list[str]) -> None:
    """Import the host's modules; a failure ends the process before it greets."""
    for name in names:
        try:
            importlib.import_module(name)
        except BaseException as error:  # whatever a module raises, the host hears of it
            os.write(2, f"vantor.workers: cannot preload {name!r}: "
                        f"{type(error).__name__}: {error}\n".encode())
            os._exit(PRELOAD_FAILED)


def serve(confinement: Confinement | None = None) -> NoReturn:
    """Run as the template until the input ends or a request ends the worker.

    In a sandbox, ``confinement`` says what of it the template keeps apart
    between calls (see :class:`Confinement`).
    """
    settings: dict[str, Any] = json.loads(os.environ.pop(TEMPLATE_VARIABLE))
    from vantor.workers import custom_worker  # noqa: F401  (imported once, for every call)

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # as the message loop does
    preload(list(settings.get("preload", ())))
    from vantor.workers import _containment  # here: a worker that is no template does without it

    _containment.set_child_subreaper()
    # Its memory is no call's to read (/proc/<pid>/mem): it holds the host's
    # token for the running call's end line.
    _containment.set_dumpable(False)
    Template(int(os.environ[ANSWER_FD_VARIABLE]), settings["cancel_fd"],
             confinement or Confinement()).run()


class Template:
    """The template's state: its pipes, the request buffer and the running call."""

    def __init__(self, answer_fd: int, cancel_fd: int, confinement: Confinement):
        self.answer_fd = answer_fd
        self.confinement = confinement
        self.cancel_fd = cancel_fd
        self.input = _Input()
        self.cancels = b""      # cancel pipe input not yet a whole line
        self.watched = [0, cancel_fd]  # the input, and the cancel pipe until it ends
        self.sequence = 0
        # The host's token for each call's end line, sent ahead of its request.
        self.end_tokens: dict[int, bytes] = {}
        # The process forked for the next request, its line pipe and its report pipe.
        self.next_call = (0, -1, -1)
        self.running_report = -1  # the running call's report pipe, none of the next's
        # Memory keepers of ended calls, dying or dead, and a pidfd of each: reaped
        # between calls, as each has taken its call's memory apart.
        self.keepers: dict[int, int] = {}
        self.keeper_limit_kib = 0  # a call's peak past which its keeper is waited for
        self.ended_at = 0.0  # when the last end line was written (time.monotonic)
        self.state: tuple[Any, ...] = ()  # what the template's own state must stay
        # Cancels of calls whose request has not been read yet: never run.
        self.cancelled_ahead: dict[int, bytes] = {}
        self.children = f"/proc/self/task/{os.getpid()}/children"
        self.children_fd = -1  # open on it, read again for each call
        self.encoding = sys.stdin.encoding
        self.errors = sys.stdin.errors
        self.ascii_compatible = _ascii_compatible(self.encoding)

    def run(self) -> NoReturn:
        try:
            self.children_fd = os.open(self.children, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as error:  # without it, what a call leaves running would live on
            os.write(2, f"vantor.workers: isolation per call cannot list the template's "
                        f"children ({error}); it needs a kernel built with "
                        f"CONFIG_PROC_CHILDREN\n".encode())
            os._exit(NO_CHILDREN_LIST)
        os.set_blocking(self.cancel_fd, False)
        for stream in (sys.stdout, sys.stderr):
            stream.flush()
        serve_warm_up(self.encoding, self.errors)
        os.environ[GREETED_VARIABLE] = "1"
        gc.freeze()  # what the template holds stays shared with the calls' processes
        from vantor.workers import _containment

        # Each call's process copies the pages a call writes as soon as it is forked.
        _containment.populate_after_fork(learn_hot_pages(self.encoding, self.errors))
        if self.confinement.settings_filter:
            # No call's process can set the limits, priority or scheduling of
            # another process: of the template, of init, of the next call's.
            _containment.keep_settings_to_oneself()
        self.state = own_state()
        peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        self.keeper_limit_kib = peak_kib + (_MEMORY_LEFT_TO_KEEPERS >> 10)
        self.fork_next()
        _write_all(self.answer_fd, b"\n")
        while True:
            line = self.next_request()
            if line is None:
                os.close(self.next_call[1])  # it ends, given no request
                os.waitpid(self.next_call[0], 0)
                os._exit(0)
            with line:
                # What the host sent on the cancel pipe before this request
                # (its end token, a cancel) is in the pipe now.
                self.take_cancels()
                self.sequence += 1
                end_token = self.end_tokens.pop(self.sequence, b"")
                token = self.cancelled_ahead.pop(self.sequence, None)
                if token is not None:
                    self.write_end(token)
                else:
                    self.serve_call(line, end_token)

    # -- requests -----------------------------------------------------------

    def next_request(self) -> memoryview | None:
        """The next non-blank request line, a view of the input that the caller
        releases; None at the end of the input."""
        while True:
            line = self.input.take_line()
            if line is None:
                if self.input.ended:
                    return None
                self.wait_for_input()
            elif self.blank(line):
                line.release()
            else:
                return line

    def blank(self, line: memoryview) -> bool:
        """Whether the loop would skip ``line`` unanswered (it strips it to nothing).

        Told from the bytes where the encoding allows: decoding would leave
        a copy of the request in the template's memory.
        """
        if self.ascii_compatible:
            for byte in line:
                if byte not in _ASCII_SPACES:
                    if byte < 0x80 and byte not in _SEPARATORS:
                        return False
                    break
            else:
                return True
        try:
            return not str(line, self.encoding, self.errors).strip()
        except UnicodeError:
            return False  # the call's own loop meets the error, as it would have

    def wait_for_input(self) -> None:
        """Read more input, answering cancels of calls that are over meanwhile and
        reaping memory keepers as they end."""
        ready = _ready([*self.watched, *self.keepers.values()])
        if self.keepers:
            self.reap_keepers(wait=False)
        if self.cancel_fd in ready:
            for sequence, token in self.read_cancels():
                self.take_cancel(sequence, token)
        if 0 in ready:
            self.input.read()

    def take_cancels(self) -> None:
        """Take all that waits in the cancel pipe."""
        for sequence, token in self.read_cancels():
            self.take_cancel(sequence, token)

    def read_cancels(self) -> list[tuple[int, bytes]]:
        """The cancels in all the cancel pipe holds; end tokens are kept aside."""
        while True:
            try:
                data = os.read(self.cancel_fd, 4096)
            except BlockingIOError:
                break
            if not data:  # the host let its end go: no cancel will come
                if self.cancel_fd in self.watched:
                    self.watched.remove(self.cancel_fd)
                break
            self.cancels += data
        *lines, self.cancels = self.cancels.split(b"\n")
        cancels = []
        for line in lines:
            sequence, *rest = line.split(b" ")
            token = rest[-1] if rest else b""
            if not (sequence.isdigit() and token.isalnum()):
                continue
            if rest == [token]:
                cancels.append((int(sequence), token))
            elif rest == [b"end", token] and int(sequence) > self.sequence:
                self.end_tokens[int(sequence)] = token
        return cancels

    def take_cancel(self, sequence: int, token: bytes) -> None:
        """A cancel of a call that is not running: over already, or yet to be read."""
        if sequence > self.sequence:
            self.cancelled_ahead[sequence] = token
        else:
            self.write_end(token)

    def write_end(self, token: bytes = b"") -> None:
        _write_all(self.answer_fd, END_MARK + token + b"\n")

    # -- one call -----------------------------------------------------------

    def fork_next(self) -> None:
        """Fork the next call's process ahead of its request: the fork is then off its path.

        It waits for its request on a pipe of its own.  When requests come back
        to back, it is forked as soon as the running call has its request: the
        fork and the new process's own set-up (its copies of the pages a call
        writes, its memory keeper) then take the other CPU while the call
        runs, rather than the one the call's end and the next request need.
        Otherwise it is forked once the call's process has ended, so that a
        call to an idle worker has the machine to itself until it answered.
        It is a copy of the template, which runs no tool code, not of the
        call.  The running call cannot reach it (it is in a session and
        Landlock domain of its own, not dumpable until its request comes, and
        no process sets another's limits or scheduling), and before its
        request is handed over all of the call has ended and what it left in
        the sandbox's places is gone.
        """
        self.check_state()  # what the process inherits is the template's first state
        line_r, line_w = os.pipe()
        # The call's report: the pid of its memory keeper, written before it reads
        # its request; then a byte once its loop asks for a second request (the
        # request did not end the worker).
        report_r, report_w = os.pipe()
        os.set_blocking(report_r, False)
        pid = os.fork()
        if pid == 0:
            os.close(line_w)
            os.close(report_r)
            self.become_call(line_r, report_w)
        os.close(line_r)
        os.close(report_w)
        self.next_call = (pid, line_w, report_r)

    def serve_call(self, line: memoryview, end_token: bytes) -> None:
        """Hand the request to the call's process, wait for it (or its cancel), end
        what it left, write the end line (carrying ``end_token``, or the
        cancel's token), and fork the next one (see :meth:`fork_next` for when)."""
        pid, line_w, report_r = self.next_call
        self.next_call = (0, -1, -1)
        try:
            _write_all(line_w, line)
        except OSError:
            pass  # it ended before it took its request: its status says how
        finally:
            os.close(line_w)
        self.running_report = report_r
        if time.monotonic() - self.ended_at < _BACK_TO_BACK:
            self.fork_next()
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        pidfd = os.pidfd_open(pid)
        try:
            token = self.wait_for_call(pidfd)
        finally:
            os.close(pidfd)
        if token is not None:
            os.kill(pid, signal.SIGKILL)
        elif not self.next_call[0]:
            self.fork_next()
        _, status, usage = os.wait4(pid, 0)
        keeper = _read_keeper(report_r)
        if keeper:
            try:
                self.keepers[keeper] = os.pidfd_open(keeper)
            except OSError:  # reaped by its call, or no descriptor left: waited for as a leftover
                keeper = 0
        self.end_leftovers()
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        if keeper and usage.ru_maxrss > self.keeper_limit_kib:
            self.reap_keepers(wait=True)
        # The call's CPU time is what its process, its children and all it left
        # running (reaped just now) used; its peak, its own and its children's.
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        figures = b" %d %d" % (round(cpu * 1e6), usage.ru_maxrss * 1024)
        _ready([report_r])  # a byte, or the end: all its holders have ended
        went_on = os.read(report_r, 1) == b"1"
        os.close(report_r)
        self.running_report = -1
        if token is None and not (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
                                  and went_on):
            end_as(status)
        self.check_state()
        self.write_end((end_token if token is None else token) + figures)
        self.ended_at = time.monotonic()
        if not self.next_call[0]:  # the call was cancelled
            self.fork_next()
        # Before the next request is read, off this call's path and the next one's.
        try:
            clear(self.confinement)
        except OSError as error:
            self.retire(f"cannot clear what a call left: {error}")
        self.reap_keepers(wait=False)

    def check_state(self) -> None:
        """Retire if the template's own limits, priority or scheduling changed: a call
        got past the walls that keep them, and every later call would inherit it.
        Checked before each fork and before each end line."""
        if own_state() != self.state:
            self.retire("its limits, priority or scheduling changed under it")

    @staticmethod
    def retire(reason: str) -> NoReturn:
        os.write(2, f"vantor.workers: the template retires: {reason}\n".encode())
        os._exit(RETIRED)

    def wait_for_call(self, pidfd: int) -> bytes | None:
        """Until the call's process ends (None) or its cancel comes (the cancel's token)."""
        while True:
            ready = _ready([pidfd, *self.watched[1:]])
            if pidfd in ready:
                return None
            for sequence, token in self.read_cancels():
                if sequence == self.sequence:
                    return token
                self.take_cancel(sequence, token)

    def end_leftovers(self) -> None:
        """Kill and reap every process left under the template (it is their subreaper),
        but the one forked for the next request.

        Killing a process hands its children to the template, so the walk
        repeats until no other child is left.  A memory keeper is killed and
        reaped later (:meth:`reap_keepers`) while it is as it started, one
        thread without children: killed, it can start nothing more.  One
        that is not (a call can stop its keeper, write code over the page it
        sleeps in and let it go on: they share their memory) is waited for
        like any leftover, and what it started is ended after it.
        """
        spare = self.next_call[0]
        killed: set[int] = set()
        while True:
            listed = b""
            while chunk := os.pread(self.children_fd, 65536, len(listed)):
                listed += chunk
            fresh = [pid for pid in map(int, listed.split()) if pid != spare and pid not in killed]
            if not fresh:
                return
            for pid in fresh:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            killed.update(fresh)
            for pid in fresh:
                if pid in self.keepers and _as_started(pid):
                    continue
                try:
                    os.waitpid(pid, 0)
                except ChildProcessError:
                    pass

    def reap_keepers(self, wait: bool) -> None:
        """Reap the memory keepers of ended calls: those dead already, or (``wait``) all,
        once each has taken its call's memory apart."""
        for pid, pidfd in list(self.keepers.items()):
            try:
                if os.waitpid(pid, 0 if wait else os.WNOHANG)[0] == 0:
                    continue
            except ChildProcessError:
                pass  # its call reaped it
            os.close(pidfd)
            del self.keepers[pid]

    def become_call(self, line_r: int, report_w: int) -> NoReturn:
        """In the call's process: take the request from ``line_r``, serve it with the
        message loop, then exit."""
        code = 1
        try:
            os.close(self.cancel_fd)
            os.close(self.children_fd)
            if self.running_report >= 0:
                os.close(self.running_report)
            for pidfd in self.keepers.values():
                os.close(pidfd)
            from vantor.workers import _containment

            # Out of reach of the call running meanwhile, and of every later one:
            # no signal from this call reaches the template, init or the next
            # call's process (a Landlock domain of its own), nor through a
            # process group (a session of its own).
            os.setsid()
            if self.confinement.scoped:
                _containment.landlock_restrict([], 0, 0, self.confinement.scoped)
            # The template's input is not the call's: it holds the next requests.
            null = os.open(os.devnull, os.O_RDONLY)
            os.dup2(null, 0)
            os.close(null)
            # The kernel takes this process's memory apart when the last process
            # sharing it ends: a keeper that dies with it does that instead, so
            # that this process's end, which the next call waits for, is quick.
            os.write(report_w, _KEEPER.pack(_start_keeper(_containment)))
            line = _read_all(line_r)
            if not line:
                os._exit(0)  # the template ended
            # Its /proc entries are its own from now on, as a worker's: before
            # its request, no other call could write them (oom_score_adj).
            _containment.set_dumpable(True)
            sys.stdin = _OneRequest(io.BytesIO(line), report_w, encoding=self.encoding,
                                    errors=self.errors, newline="\n")
            from vantor.workers import custom_worker
            code = _run_loop(custom_worker.main)
        finally:
            try:
                sys.stdout.flush()
                sys.stderr.flush()
            finally:
                _close_memory()
                os._exit(code)


_RLIMITS = tuple(getattr(resource, name) for name in dir(resource) if name.startswith("RLIMIT_"))


def _close_memory() -> None:
    """Make an ending call's memory, which its keeper holds a moment longer, no
    process's to read through ``/proc`` (it is no longer dumpable); nothing stops
    the end."""
    try:
        from vantor.workers import _containment

        _containment.set_dumpable(False)
    except BaseException:
        pass


def _as_started(keeper: int) -> bool:
    """Whether ``keeper`` is as a keeper starts, one thread without children (or gone:
    what it started was handed to the template as it ended)."""
    try:
        tasks = os.listdir(f"/proc/{keeper}/task")
        if len(tasks) != 1:
            return False
        with open(f"/proc/{keeper}/task/{tasks[0]}/children", "rb") as children:
            return not children.read()
    except OSError:
        return True


def _read_keeper(report_r: int) -> int:
    """The keeper's pid from an ended call's report; 0 if it had none.  The call's
    process wrote it before it read its request: no tool code wrote it."""
    try:
        record = os.read(report_r, _KEEPER.size)
    except BlockingIOError:
        return 0
    return _KEEPER.unpack(record)[0] if len(record) == _KEEPER.size else 0


def _start_keeper(containment: Any) -> int:
    """Start this process's memory keeper; 0 where it cannot be had (the process ends
    the slow way)."""
    try:
        return containment.start_memory_keeper()
    except OSError:
        return 0


def own_state() -> tuple[Any, ...]:
    """This process's limits, priority, scheduling and CPUs, to compare before each fork."""
    limits = tuple(map(resource.getrlimit, _RLIMITS))
    return (limits, os.getpriority(os.PRIO_PROCESS, 0), os.sched_getscheduler(0),
            os.sched_getparam(0), frozenset(os.sched_getaffinity(0)))


def serve_warm_up(encoding: str, errors: str) -> None:
    """Serve :data:`WARM_UP` with the message loop in this process, its answer dropped.

    In the template, what the loop builds on its first use (lookup caches,
    objects made lazily) is then built once, for every call's process.
    """
    null = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
    stdin, answer_fd = sys.stdin, os.environ[ANSWER_FD_VARIABLE]
    os.environ.update({ANSWER_FD_VARIABLE: str(null), GREETED_VARIABLE: "1"})
    sys.stdin = io.TextIOWrapper(io.BytesIO(WARM_UP), encoding=encoding, errors=errors,
                                 newline="\n")
    try:
        from vantor.workers import custom_worker
        _run_loop(custom_worker.main)
    finally:
        sys.stdin = stdin
        os.environ[ANSWER_FD_VARIABLE] = answer_fd
        os.close(null)


def learn_hot_pages(encoding: str, errors: str) -> list[tuple[int, int]]:
    """The ranges (address, length) of the template's pages that serving a request writes.

    A process forked for the purpose serves :data:`WARM_UP` and reports
    which of the template's private writable pages it holds a copy of
    (``/proc/self/pagemap``: present and mapped once).  It runs no tool
    code, so its report is the template's own.  Empty where the pages
    cannot be read.
    """
    mappings = _private_writable_mappings()
    report_r, report_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(report_r)
            from vantor.workers import _containment

            _containment.set_dumpable(True)  # for its own /proc/self/pagemap
            serve_warm_up(encoding, errors)
            _write_all(report_w, "".join(f"{address} {length}\n" for address, length
                                         in _copied_pages(mappings)).encode())
            code = 0
        finally:
            os._exit(code)
    os.close(report_w)
    report = _read_all(report_r)
    if os.waitpid(pid, 0)[1] != 0:
        return []  # a report cut short: the calls do without
    return [(int(address), int(length)) for address, length in
            (line.split() for line in report.decode().splitlines())]


def _private_writable_mappings() -> list[tuple[int, int]]:
    """(start, end) of this process's private writable mappings, the huge ones left out."""
    mappings = []
    with open("/proc/self/maps") as maps:
        for line in maps:
            span, permissions = line.split(maxsplit=2)[:2]
            start, end = (int(bound, 16) for bound in span.split("-"))
            if permissions.startswith("rw") and permissions[3] == "p" \
                    and end - start <= _LARGEST_MAPPING:
                mappings.append((start, end))
    return mappings


def _copied_pages(mappings: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """The runs of pages in ``mappings`` that are present and mapped by this process alone."""
    runs: list[tuple[int, int]] = []
    try:
        pagemap = open("/proc/self/pagemap", "rb", buffering=0)
    except OSError:
        return runs
    with pagemap:
        for start, end in mappings:
            pagemap.seek(start // _PAGE * 8)
            entries = pagemap.read((end - start) // _PAGE * 8) or b""
            for index, (entry,) in enumerate(struct.iter_unpack("=Q", entries)):
                if entry & _PRESENT_ALONE == _PRESENT_ALONE:
                    address = start + index * _PAGE
                    if runs and sum(runs[-1]) == address:
                        runs[-1] = (runs[-1][0], runs[-1][1] + _PAGE)
                    else:
                        runs.append((address, _PAGE))
    return runs


class _Input:
    """The template's input, read into memory that a forked process sees zeroed.

    Every call's process is a copy of the template: a request left anywhere
    in the template's heap (a freed bytes object, a decoded line) would be
    in the memory of every later call, another user's arguments among them.
    So requests are read into a private mapping marked ``MADV_WIPEONFORK``
    and handed on from there as views; none becomes an object of its own.
    """

    def __init__(self) -> None:
        self.buffer = _wiped_on_fork(_READ_SIZE)
        self.start = 0  # the unread input is buffer[start:end]
        self.end = 0
        self.ended = False

    def take_line(self) -> memoryview | None:
        """The next line (the rest, at the end of the input), or None until more is read."""
        newline = self.buffer.find(b"\n", self.start, self.end)
        if newline < 0 and not (self.ended and self.end > self.start):
            return None
        stop = self.end if newline < 0 else newline + 1
        line = memoryview(self.buffer)[self.start:stop]
        self.start = stop
        return line

    def read(self) -> None:
        """Read what the input holds, making room for it first."""
        if self.start:
            self.buffer.move(0, self.start, self.end - self.start)
            self.end -= self.start
            self.start = 0
        if self.end == len(self.buffer):
            self.grow()
        with memoryview(self.buffer) as view:
            count = os.readv(0, [view[self.end:]])
        self.end += count
        self.ended = count == 0

    def grow(self) -> None:
        larger = _wiped_on_fork(2 * len(self.buffer))
        with memoryview(self.buffer) as view:
            larger.write(view[:self.end])
        self.buffer.close()
        self.buffer = larger


def _wiped_on_fork(size: int) -> mmap.mmap:
    memory = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    memory.madvise(_MADV_WIPEONFORK)
    return memory


def _ascii_compatible(encoding: str) -> bool:
    """Whether ``encoding`` writes ASCII text as ASCII bytes, one byte per character."""
    text = "".join(map(chr, range(128)))
    try:
        return text.encode(encoding) == text.encode("ascii")
    except (LookupError, UnicodeError):
        return False


class _OneRequest(io.TextIOWrapper):
    """``sys.stdin`` of a call's process: its one request line, then the end.

    Asking for the line after it writes a byte to the template: the request
    did not end the worker.
    """

    def __init__(self, buffer: io.BytesIO, report_w: int, **options: Any):
        super().__init__(buffer, **options)
        self._report_w = report_w

    def __next__(self) -> str:
        try:
            return super().__next__()
        except StopIteration:
            os.write(self._report_w, b"1")
            # The answer is out, and its reader was likely woken on this CPU
            # to run once this process sleeps: let it run before this process
            # spends its last moments ending.
            os.sched_yield()
            raise


def _run_loop(main: Any) -> int:
    """Run the message loop as the interpreter runs a program: its exit code."""
    try:
        main()
    except SystemExit as exit_:
        if exit_.code is None or isinstance(exit_.code, int):
            return exit_.code or 0
        print(exit_.code, file=sys.stderr)
        return 1
    except BaseException:
        traceback.print_exc()
        return 1
    return 0


def _ready(fds: list[int]) -> list[int]:
    """Wait until some of ``fds`` are readable (or ended); poll, as the host's numbers
    for the cancel pipe may be past what select takes."""
    poller = select.poll()
    for fd in fds:
        poller.register(fd, select.POLLIN)
    return [fd for fd, _ in poller.poll()]


def _read_all(fd: int) -> bytes:
    chunks = []
    while data := os.read(fd, _READ_SIZE):
        chunks.append(data)
    os.close(fd)
    return b"".join(chunks)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]
