"""Ending a process as another one ended: a supervisor or a template passing on
the wait status of the process it stands for."""

from __future__ import annotations

import os
import signal
from typing import NoReturn


def end_as(status: int) -> NoReturn:
    """End this process by the same signal as ``status`` says, or with its exit code."""
    if os.WIFSIGNALED(status):
        number = os.WTERMSIG(status)
        if number not in (signal.SIGKILL, signal.SIGSTOP):
            signal.signal(number, signal.SIG_DFL)
            signal.pthread_sigmask(signal.SIG_UNBLOCK, [number])
        os.kill(os.getpid(), number)
    os._exit(os.waitstatus_to_exitcode(status) if os.WIFEXITED(status) else 1)
