"""One setup's probe output, summarized for the table; exits 1 when it is not
what was expected ("starts" or "starts:N", N protections in force at least, with no
attack of the battery open; or "refused:SUBSTRING" of the refusal)."""

from __future__ import annotations

import json
import sys


def summary(report: dict) -> str:
    if not report.get("started"):
        return "refused: " + report.get("error", "?")[:400].replace("|", "/")
    state = report["protections"]
    held = [name for name, value in state.items() if value.startswith("in force")]
    other = [f"{name}: {value}" for name, value in state.items()
             if value not in ("in force", "not required")]
    text = f"starts, {len(held)} in force; " + "; ".join(other)
    battery = report.get("battery")
    if battery is not None:
        open_ = [name for name, outcome in battery.items() if outcome.startswith("OPEN")]
        text += f"; battery: {len(battery) - len(open_)}/{len(battery)} stopped"
        text += f" (open: {', '.join(open_)})" if open_ else ""
    return text.replace("|", "/")


def main() -> int:
    expect, output = sys.argv[1], sys.argv[2]
    try:
        report = json.loads(output)
    except ValueError:
        print(f"no report: {output[:300]}")
        return 1
    print(summary(report))
    if expect.startswith("starts"):
        battery = report.get("battery", {})
        if not report.get("started") or any(o.startswith("OPEN") for o in battery.values()):
            return 1
        wanted = int(expect.partition(":")[2] or 0)  # protections in force, at least
        held = sum(value.startswith("in force") for value in report["protections"].values())
        return 0 if held >= wanted else 1
    wanted = expect.partition(":")[2]
    return 0 if not report.get("started") and wanted in report.get("error", "") else 1


sys.exit(main())
