"""An MCP server whose tools run Python code in the package's sandboxed workers.

``vantor-workers mcp`` (or ``python -m vantor.workers.mcp``) starts it; the
``mcp`` extra installs the official SDK it is built on.  Nothing outside this
subpackage imports the SDK, and only :mod:`.server` and :mod:`.tools` do, so
``--print-config`` works without it.
"""

from __future__ import annotations

import asyncio
import json
import sys
from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """Run the server with the command line ``argv`` (default: ``sys.argv[1:]``)."""
    from .config import in_own_words, load

    config, arguments = load(argv)
    if arguments.print_config:
        print(json.dumps(config.describe(), indent=2))
        return 0
    try:
        from .server import ListenError, serve
    except ImportError as error:
        print(f"vantor-workers mcp needs the MCP SDK: pip install 'vantor-workers[mcp]' "
              f"({error})", file=sys.stderr)
        return 2
    from vantor.workers.client import WorkerStartError

    try:
        asyncio.run(serve(config))
    except WorkerStartError as error:
        print(f"vantor-workers mcp: the workers cannot start: {in_own_words(str(error))}",
              file=sys.stderr)
        return 1
    except ListenError as error:
        print(f"vantor-workers mcp: {error}", file=sys.stderr)
        return 1
    return 0
