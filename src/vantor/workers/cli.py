"""``vantor-workers``: the package's command line, one subcommand per tool it ships."""

from __future__ import annotations

import sys
from collections.abc import Sequence

_USAGE = """usage: vantor-workers COMMAND [ARGS...]

commands:
  mcp              an MCP server whose tools run Python code in sandboxed workers
                   (vantor-workers mcp --help)
  seccomp-profile  a container engine's default seccomp profile plus the calls that
                   build the sandbox (vantor-workers seccomp-profile --help)"""


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
    if command == "seccomp-profile":
        return _seccomp_profile(rest)
    print(f"vantor-workers: unknown command {command!r}\n{_USAGE}", file=sys.stderr)
    return 2


def _seccomp_profile(argv: Sequence[str]) -> int:
    """Print the engine's default seccomp profile with the sandbox's set-up calls allowed."""
    import argparse
    import json

    from vantor.workers.sandbox.containers import default_profile, seccomp_profile

    parser = argparse.ArgumentParser(
        prog="vantor-workers seccomp-profile",
        description="Print a container engine's default seccomp profile plus exactly the "
                    "system calls that build the sandbox (its own filter refuses them to "
                    "tools), for --security-opt seccomp=FILE.")
    parser.add_argument("--engine", choices=("docker", "podman"), required=True)
    parser.add_argument("--base", metavar="FILE", help="the engine's default profile "
                        "(default: where Debian's packages put it; '-': standard input)")
    arguments = parser.parse_args(list(argv))
    try:
        if arguments.base == "-":
            base = json.load(sys.stdin)
        else:
            base = default_profile(arguments.engine, arguments.base)
    except (OSError, ValueError) as error:
        print(f"vantor-workers seccomp-profile: {error}", file=sys.stderr)
        return 1
    json.dump(seccomp_profile(base), sys.stdout, indent=2)
    print()
    return 0
