"""Which script files the tools may run: only those below the server's scripts directories.

A path from the client is taken relative to a scripts directory (the first
that holds it) or, when absolute, must lie below one.  ``..`` is refused
outright, and the path is resolved through every symbolic link before the
check, so a link inside a directory that points outside it is refused too.
The worker is handed the resolved path.  Inside a sandbox this check is the
second line: the worker can only read what the sandbox binds in, and the
scripts directories are bound as they were when the worker started.
"""

from __future__ import annotations

import os
from collections.abc import Sequence


class PathRefused(ValueError):
    """A script path that is not below any scripts directory, or names no file."""


class ScriptDirectories:
    """The directories whose scripts may be run, resolved once."""

    def __init__(self, directories: Sequence[str]):
        self.roots = tuple(os.path.realpath(directory) for directory in directories)

    def __bool__(self) -> bool:
        return bool(self.roots)

    def resolve(self, path: str) -> str:
        """The real path of the script ``path`` names; :class:`PathRefused` if none may run."""
        if not self.roots:
            raise PathRefused("this server was given no scripts directory")
        if not path or "\0" in path:
            raise PathRefused("the path is empty or holds a NUL character")
        if ".." in path.replace("\\", "/").split("/"):
            raise PathRefused(f"{path}: '..' is not allowed in a script path")
        candidates = [path] if os.path.isabs(path) else [os.path.join(r, path) for r in self.roots]
        escaped = False
        for candidate in candidates:
            real = os.path.realpath(candidate)
            if not any(_within(real, root) for root in self.roots):
                escaped = escaped or os.path.lexists(candidate)
                continue
            if os.path.isfile(real):
                return real
        if escaped:
            raise PathRefused(f"{path}: resolves outside the scripts directories")
        raise PathRefused(f"{path}: no such script below the scripts directories "
                          f"({', '.join(self.roots)})")


def _within(path: str, root: str) -> bool:
    return path == root or path.startswith(root.rstrip("/") + "/")
