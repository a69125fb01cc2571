"""Floor worker: the least any worker of this protocol can do per request.

It decodes each line with ``json.loads``, builds an answer of constant shape
(only "success" varies: false for an undecodable line or an action it does
not know) and writes it with one ``write`` and one ``flush``. It executes
nothing, so its cost per request is the protocol's own cost: reading a line,
decoding it, encoding an answer and pushing it through the pipe.

With ``--compile`` it also compiles the "code" of a ``validate`` request as the
validate action must (``compile(code, "<validation>", "exec")``): the floor of
that action, measured in a worker process like the others.

Run it as ``python bench/floor_worker.py`` (or ``python -m floor_worker`` with
``bench/`` on the module path, as the benchmark starts it).
"""

import json
import sys

KNOWN_ACTIONS = frozenset({"run_script", "run_inline", "run_function", "validate", "quit"})


def main():
    compiles = "--compile" in sys.argv[1:]
    loads, dumps = json.loads, json.dumps
    decode_error = json.JSONDecodeError
    out = sys.stdout
    write, flush = out.write, out.flush
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            cmd = loads(line)
        except decode_error as e:
            write(dumps({"success": False, "error": f"Invalid JSON: {e}"}) + "\n")
            flush()
            continue
        action = cmd.get("action")
        if compiles and action == "validate":
            try:
                compile(cmd.get("code", ""), "<validation>", "exec")
            except SyntaxError:
                pass
        write(dumps({"success": action in KNOWN_ACTIONS, "result": None}) + "\n")
        flush()
        if action == "quit":
            break


if __name__ == "__main__":
    main()
