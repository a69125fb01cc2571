"""Reads valgrind's XML output and splits its reports into those that involve
the worker module's own code (a frame in the custom_worker shared object, in
any stack of the report) and the interpreter's own.

    python tools/valgrind_report.py RUN.xml [RUN.xml ...]

Prints a summary per file and the stacks of the module's own reports; exits
1 when the module had invalid reads or writes, bad frees, uses of
uninitialised values or definite leaks.
"""
import sys
import xml.etree.ElementTree as ET
from collections import Counter

MODULE = "custom_worker"
INVALID = {"InvalidRead", "InvalidWrite", "InvalidFree", "MismatchedFree", "InvalidJump",
           "InvalidMemPool", "Overlap", "FishyValue"}
UNINIT = {"UninitValue", "UninitCondition", "SyscallParam", "ClientCheck"}
LEAKS = {"Leak_DefinitelyLost", "Leak_IndirectlyLost"}


def frames(error):
    for stack in error.iter("stack"):
        for frame in stack.iter("frame"):
            yield {child.tag: child.text or "" for child in frame}


def is_own(error):
    return any(MODULE in frame.get("obj", "") for frame in frames(error))


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or error.findtext("kind")
    lines = [f"  {error.findtext('kind')}: {what}"]
    for frame in frames(error):
        where = frame.get("fn") or frame.get("ip", "?")
        if frame.get("file"):
            where += f" ({frame['file']}:{frame.get('line', '?')})"
        else:
            where += f" [{frame.get('obj', '?')}]"
        lines.append(f"      {where}")
    return "\n".join(lines)


def analyse(path):
    root = ET.parse(path).getroot()
    own, others = [], Counter()
    for error in root.iter("error"):
        kind = error.findtext("kind")
        if kind not in INVALID | UNINIT | LEAKS:
            continue
        if is_own(error):
            own.append(error)
        else:
            others[kind] += int(error.findtext("xwhat/leakedblocks") or 1) if kind in LEAKS else 1
    counts = root.find("suppcounts")
    suppressed = sum(int(pair.findtext("count") or 0) for pair in counts.iter("pair")) if counts is not None else 0
    return own, others, suppressed


def main(paths):
    failed = False
    totals = Counter()
    for path in paths:
        own, others, suppressed = analyse(path)
        kinds = Counter(error.findtext("kind") for error in own)
        totals.update(kinds)
        interpreter = ", ".join(f"{n} {k}" for k, n in sorted(others.items())) or "none"
        print(f"{path}: module reports {len(own)}; interpreter reports left: {interpreter}; "
              f"suppressed {suppressed}")
        for error in own:
            print(describe(error))
        failed |= bool(own)
    invalid = sum(n for k, n in totals.items() if k in INVALID)
    uninit = sum(n for k, n in totals.items() if k in UNINIT)
    leaks = sum(n for k, n in totals.items() if k in LEAKS)
    print(f"memcheck: module code: {invalid} invalid reads/writes/frees, {uninit} uses of "
          f"uninitialised values, {leaks} definite leaks")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
