"""``vantor-workers``: the package's command line, one subcommand per tool it ships."""

from __future__ import annotations

import sys
from collections.abc import Sequence

_USAGE = """usage: vantor-workers COMMAND [ARGS...]

commands:
  mcp    an MCP server whose tools run Python code in sandboxed workers
         (vantor-workers mcp --help)"""


def main(argv: Sequence[str] | None = None) -> int:
    """Dispatch to the subcommand named by the first argument."""
    args = list(sys.argv[1:] if argv is None else argv)
    if not args or args[0] in ("-h", "--help"):
        print(_USAGE)
        return 0 if args else 2
    command, rest = args[0], args[1:]
    if command == "mcp":
        from .mcp import main as mcp_main

        return mcp_main(rest)
    print(f"vantor-workers: unknown command {command!r}\n{_USAGE}", file=sys.stderr)
    return 2
