"""The host's side of a sandbox's network: the process's one proxy, and each
sandbox's place in it.

Init makes the proxy's listening socket on the loopback of the sandbox's own
network namespace and hands it, through the supervisor, to the host with its
ready report.  The host serves it with the one :class:`~vantor.workers.network.proxy.Proxy` of
this process, made when the first sandbox with a network starts and closed
at exit, under a label of the host's choosing: which sandbox a connection
comes from is the socket it arrived on, never something the tool says.
"""

from __future__ import annotations

import atexit
import itertools
import os
import socket
import threading
from collections.abc import Callable
from typing import Any

from vantor.workers.network.policy import NetworkPolicy
from vantor.workers.network.proxy import Decision, Proxy
from vantor.workers.network.relay import ProxyLimits, ProxyStats

_lock = threading.Lock()
_proxy: Proxy | None = None
_labels = itertools.count(1)
_listeners: list[Callable[[Decision], Any]] = []


def _decided(decision: Decision) -> None:
    for listener in list(_listeners):
        try:
            listener(decision)
        except Exception:  # one listener's fault must not stop the proxy's thread
            pass


def add_decision_listener(listener: Callable[[Decision], Any]) -> None:
    """Have ``listener`` called with every decision the proxy makes, for every
    sandbox (on the proxy's thread: it should return quickly and must not call
    the proxy).  ``Decision.sandbox`` is the label of :attr:`SandboxNetwork.label`."""
    _listeners.append(listener)


def remove_decision_listener(listener: Callable[[Decision], Any]) -> None:
    """Stop calling ``listener``."""
    _listeners.remove(listener)


def shared_proxy() -> Proxy:
    """The process's proxy, made on first use."""
    global _proxy
    with _lock:
        if _proxy is None:
            _proxy = Proxy(on_decision=_decided)
            atexit.register(_close)
        return _proxy


def _forget_in_child() -> None:
    """A forked child's copy of the proxy runs no thread: the proxy stays the parent's."""
    global _lock, _proxy
    _lock, _proxy = threading.Lock(), None


os.register_at_fork(after_in_child=_forget_in_child)


def _close() -> None:
    global _proxy
    with _lock:
        proxy, _proxy = _proxy, None
    if proxy is not None:
        proxy.close()


class SandboxNetwork:
    """One sandbox's registration with the proxy: its label, policy and limits."""

    def __init__(self, policy: NetworkPolicy, limits: ProxyLimits):
        self.label = f"sandbox-{os.getpid()}-{next(_labels)}"
        self.policy = policy
        self.limits = limits
        self._served: Proxy | None = None
        self._final: ProxyStats | None = None

    def take(self, fds: list[int]) -> None:
        """Serve the first descriptor the sandbox passed (its listener); close the rest."""
        for fd in fds[1:]:
            os.close(fd)
        if not fds:
            return
        listener = socket.socket(fileno=fds[0])
        if self._served is not None or listener.type != socket.SOCK_STREAM:
            listener.close()
            return
        proxy = shared_proxy()
        proxy.add(listener, self.label, self.policy, self.limits)
        self._served = proxy

    def _live(self) -> Proxy | None:
        """The proxy serving this sandbox, unless it was closed at exit (with every sandbox)."""
        return self._served if self._served is not None and self._served is _proxy else None

    def stats(self) -> ProxyStats | None:
        """The counts of this sandbox's traffic so far (None before it reported in)."""
        proxy = self._live()
        return proxy.stats().get(self.label, self._final) if proxy is not None else self._final

    def close(self) -> None:
        """Stop serving the sandbox; keeps its final counts."""
        proxy, self._served = self._live(), None
        if proxy is not None:
            self._final = proxy.remove(self.label)
