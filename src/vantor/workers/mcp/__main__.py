"""``python -m vantor.workers.mcp``: the MCP server."""
import sys

from vantor.workers.mcp import main

if __name__ == "__main__":
    sys.exit(main())
