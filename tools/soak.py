"""Soak: many mixed requests through one worker, with its resident memory
sampled after a warm-up and at the end.

    python tools/soak.py                       100 000 requests through `python -m vantor.workers`
    python tools/soak.py --requests 20000 --warmup 2000
    python tools/soak.py --worker "build/sanitize-venv/bin/python -m vantor.workers"

The requests cycle through the session of tools/session.py: every action,
every failure answer, blank and undecodable lines; each answer is checked.
Prints the resident set size (VmRSS of /proc/PID/status) at the samples and
its growth from the end of the warm-up to the end. Exits 1 when an answer
was wrong or missing, or when the growth reaches --limit-kib (default 1024).
"""
import argparse
import json
import os
import shlex
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import session  # noqa: E402


def rss_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def soak(worker, requests, warmup, samples):
    plan = session.answered()
    blank_lines = [request for request, expected in session.REQUESTS if expected is None]
    with tempfile.TemporaryDirectory() as directory:
        session.write_scripts(directory)
        env = dict(os.environ)
        env.pop("PYTHONUNBUFFERED", None)
        process = subprocess.Popen(worker, cwd=directory, env=env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        problems, rss = [], []
        sample_every = max(1, (requests - warmup) // max(1, samples))
        started = time.monotonic()
        try:
            for index in range(requests):
                request, expected = plan[index % len(plan)]
                if index % len(plan) == 0:
                    # Blank lines between rounds: they must stay unanswered.
                    process.stdin.write(session.input_bytes(blank_lines))
                process.stdin.write(session.input_bytes([request]))
                process.stdin.flush()
                line = process.stdout.readline()
                if not line:
                    problems.append(f"request {index}: worker ended: "
                                    f"{process.stderr.read().decode(errors='replace')[-500:]}")
                    break
                problem = session.check_answer(line.decode("ascii", "replace").rstrip("\n"), expected)
                if problem:
                    problems.append(f"request {index} {session.encode(request)[:80]!r}: {problem}")
                done = index + 1
                if done == warmup or (done > warmup and (done - warmup) % sample_every == 0) \
                        or done == requests:
                    rss.append((done, rss_kib(process.pid)))
            process.stdin.write(session.input_bytes([session.QUIT[0]]))
            process.stdin.close()
            tail = process.stdout.read().decode("ascii", "replace").splitlines()
            if tail != ['{"success": true, "result": "goodbye"}']:
                problems.append(f"after the last request: {tail[:3]!r}")
            process.wait(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
    return problems, rss, time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--requests", type=int, default=100_000)
    parser.add_argument("--warmup", type=int, default=5_000)
    parser.add_argument("--samples", type=int, default=10)
    parser.add_argument("--worker", default=f"{shlex.quote(sys.executable)} -m vantor.workers",
                        help="command that starts the worker (default: %(default)s)")
    parser.add_argument("--limit-kib", type=int, default=1024)
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON object")
    options = parser.parse_args()
    if not 0 < options.warmup < options.requests:
        parser.error("--warmup must be positive and below --requests")

    problems, rss, seconds = soak(shlex.split(options.worker), options.requests, options.warmup,
                                  options.samples)
    for problem in problems[:20]:
        print("soak:", problem, file=sys.stderr)
    if not rss:
        print("soak: no RSS samples: the worker ended during the warm-up", file=sys.stderr)
        return 1
    growth = rss[-1][1] - rss[0][1]
    figures = {"requests": rss[-1][0], "seconds": round(seconds, 1), "wrong_answers": len(problems),
               "rss_after_warmup_kib": rss[0][1], "rss_end_kib": rss[-1][1], "rss_growth_kib": growth,
               "samples": rss}
    if options.json:
        print(json.dumps(figures))
    else:
        for done, kib in rss:
            print(f"  after {done:>7} requests: RSS {kib} KiB")
        print(f"soak: {figures['requests']} requests in {seconds:.1f} s, {len(problems)} wrong answers; "
              f"RSS {rss[0][1]} KiB after {options.warmup} warm-up requests, {rss[-1][1]} KiB at the end: "
              f"growth {growth} KiB ({growth / 1024:.2f} MiB)")
    return 1 if problems or growth >= options.limit_kib else 0


if __name__ == "__main__":
    sys.exit(main())
