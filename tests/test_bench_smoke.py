"""Smoke runs of the benchmark driver and checks of its comparison workers.

Nothing here judges speed: the driver runs a handful of requests per
workload and every answer is checked. The native worker joins in when it
imports.
"""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from conftest import allowed_missing

ROOT = Path(__file__).resolve().parents[1]
BENCH = ROOT / "bench"
NATIVE = [sys.executable, "-m", "vantor.workers"]


def native_available():
    probe = [sys.executable, "-c", "import vantor.workers.custom_worker"]
    return subprocess.run(probe, capture_output=True).returncode == 0


def drive(out, *args):
    cmd = [sys.executable, str(BENCH / "run.py"), "--quick", "--no-chart", "--out", str(out), *args]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=120)


def test_quick_run_answers_every_workload(tmp_path):
    workers = "plain,floor,native" if native_available() else "plain,floor"
    proc = drive(tmp_path, "--workers", workers)
    assert proc.returncode == 0, proc.stderr
    result = json.loads((tmp_path / "latest.json").read_text())
    workloads = result["config"]["workloads"]
    assert {"validate_assign", "inline_big_result", "function_kwargs", "mix"} <= set(workloads)
    for worker in workers.split(","):
        assert result["startup"][worker]["idle_rss_mib"] > 0
        for load in workloads:
            for mode in ("lockstep", "pipelined"):
                assert result["sessions"][f"{worker}|{load}|{mode}"]["cpu_us"] >= 0
    table = (tmp_path / "latest.md").read_text()
    running = f"Python: CPython {sys.version_info.major}.{sys.version_info.minor}"
    assert running in table and "Machine: " in table
    assert "| validate_assign |" in table


# Workers that break the protocol in one way each; the driver must refuse to
# report speeds for any of them.
LOOP = """\
import json, sys
for line in sys.stdin:
    if not line.strip():
        continue
    try:
        cmd = json.loads(line)
    except ValueError:
        cmd = {"action": None}
    quit = cmd.get("action") == "quit"
"""
BROKEN_WORKERS = {
    "always_succeeds": LOOP + """\
    print(json.dumps({"success": True, "result": "goodbye" if quit else None}), flush=True)
    if quit:
        break
""",
    "wrong_result": LOOP + """\
    if quit:
        print(json.dumps({"success": True, "result": "goodbye"}), flush=True)
        break
    print(json.dumps({"success": True, "result": {"valid": True, "message": "ok"}}), flush=True)
""",
    "dies_midway": LOOP + """\
    if cmd.get("code") == "x = 1":
        sys.exit(3)
    print(json.dumps({"success": True, "result": {"valid": True, "message": "x"}}), flush=True)
""",
    "talks_after_quit": LOOP + """\
    print(json.dumps({"success": not cmd.get("code") == "x = (", "result": "goodbye"}), flush=True)
    if quit:
        print("bye!", flush=True)
        break
""",
}


@pytest.mark.parametrize("name", sorted(BROKEN_WORKERS))
def test_bad_answers_void_the_run(tmp_path, name):
    script = tmp_path / f"{name}.py"
    script.write_text(BROKEN_WORKERS[name])
    out = tmp_path / "out"
    proc = drive(
        out,
        "--workers", "floor",
        "--worker", f"{name}={sys.executable} {script}",
        "--workloads", "validate_assign,invalid_json",
        "--modes", "lockstep",
    )
    assert proc.returncode == 1
    assert "BENCHMARK FAILED" in proc.stderr and f"{name} [" in proc.stderr
    assert not (out / "latest.md").exists()


# A session that the plain worker must answer as the native worker does (the
# comparison is only fair if both do the same work).
def session_lines(tmp):
    tool = tmp / "tool.py"
    tool.write_text("from pathlib import Path\n\ndef greet(name):\n    return (name, {1: None})\n\n"
                    "def _hidden():\n    pass\n")
    return [
        "",
        "   \t",
        "{abc",
        '{"a": 1} {"b": 2}',
        json.dumps({"action": "validate", "code": "x = 1"}),
        json.dumps({"action": "validate", "code": "x = ("}),
        json.dumps({"action": "run_inline", "code": "print('hé')\nresult = {2: (1, None), 'k': {3}}"}),
        json.dumps({"action": "run_inline", "code": "import sys\nsys.stderr.write('w')\nargs['seen'] = 1\nresult = args",
                    "args": {"a": 1}}),
        json.dumps({"action": "run_script", "path": str(tmp / "missing.py")}),
        json.dumps({"action": "run_function", "path": str(tool), "function": "greet", "args": {"name": "Ada"}}),
        json.dumps({"action": "run_function", "path": str(tool)}),
        json.dumps({"action": 7}),
        json.dumps({}),
        json.dumps({"action": "quit", "path": 5}),
        json.dumps({"action": "validate", "code": "never answered"}),
    ]


EXPECTED = [
    {"success": False, "error": "Invalid JSON: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"},
    {"success": False, "error": "Invalid JSON: Extra data: line 1 column 10 (char 9)"},
    {"success": True, "result": {"valid": True, "message": "Script is valid Python"}},
    {"success": True, "result": {"valid": False, "message": "Syntax error at line 1: '(' was never closed",
                                 "line": 1, "offset": 5}},
    {"success": True, "result": {"output": "hé\n", "errors": "", "return_value": {"2": [1, None], "k": "{3}"}}},
    {"success": True, "result": {"output": "", "errors": "w", "return_value": {"a": 1, "seen": 1}}},
    None,  # "Script not found: " and the path, checked below
    {"success": True, "result": {"return_value": ["Ada", {"1": None}]}},
    {"success": False, "error": "Function 'main' not found. Available: ['Path', 'greet']"},
    {"success": False, "error": "Unknown action: 7"},
    {"success": False, "error": "Unknown action: "},
    {"success": True, "result": "goodbye"},
]


@pytest.mark.parametrize("worker", ["plain", "native"])
def test_worker_session_follows_the_protocol(tmp_path, worker):
    if worker == "native":
        if not native_available():
            pytest.skip("the native worker is not built")
        cmd = NATIVE
    else:
        cmd = [sys.executable, str(BENCH / "plain_worker.py")]
    lines = session_lines(tmp_path)
    proc = subprocess.run(cmd, input="\n".join(lines) + "\n", capture_output=True, text=True,
                          timeout=60, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    raw = proc.stdout.splitlines()
    assert all(line.isascii() for line in raw)
    answers = [json.loads(line) for line in raw]
    assert len(answers) == len(EXPECTED)
    for got, want in zip(answers, EXPECTED):
        if want is not None:
            assert got == want and list(got) == list(want)
    assert answers[6] == {"success": False, "error": f"Script not found: {tmp_path / 'missing.py'}"}


def test_worker_reports_user_errors_with_a_traceback(tmp_path):
    failing = textwrap.dedent("""\
        {"action": "run_inline", "code": "print('lost')\\n1/0"}
        {"action": "run_function", "path": "%s", "function": "boom"}
        """) % (tmp_path / "tool.py")
    (tmp_path / "tool.py").write_text("def boom():\n    raise ValueError\n")
    for cmd in ([sys.executable, str(BENCH / "plain_worker.py")], NATIVE):
        if cmd is NATIVE and not native_available():
            continue
        proc = subprocess.run(cmd, input=failing, capture_output=True, text=True, timeout=60)
        first, second = (json.loads(line) for line in proc.stdout.splitlines())
        assert list(first) == ["success", "error"] and first["success"] is False
        assert first["error"].startswith("ZeroDivisionError: division by zero\nTraceback (most recent call last):")
        assert "lost" not in first["error"]
        assert second["error"].startswith("ValueError: \nTraceback (most recent call last):")
        assert second["error"].endswith("ValueError\n")


# -- pieces of the driver that the comparison depends on ---------------------

@pytest.fixture(scope="module")
def driver():
    sys.path.insert(0, str(BENCH))
    try:
        import run
        import workloads
        yield run, workloads
    finally:
        sys.path.remove(str(BENCH))


def test_answer_checks(driver):
    run, wl = driver
    valid = wl.validate_assign()
    good = b'{"success": true, "result": {"valid": true, "message": "Script is valid Python"}}\n'
    assert run.check_answer(valid, good, full=True) is None
    cases = [
        (good[:-1], "line feed"),
        (b"not json\n", "not JSON"),
        (b"[true]\n", "not a JSON object"),
        (b'{"success": false, "error": "x"}\n', '"success" is False'),
        (b'{"result": {"valid": true, "message": "Script is valid Python"}, "success": true}\n', "first member"),
        (b'{"success": true, "result": {"valid": true, "message": "Script is valid Python \xc3\xa9"}}\n', "ASCII"),
        (b'{"success": true, "result": {"valid": false}}\n', "result is"),
    ]
    for raw, problem in cases:
        assert problem in (run.check_answer(valid, raw, full=True) or ""), raw
    # The floor worker only has to get "success" right.
    assert run.check_answer(valid, b'{"success": true, "result": null}\n', full=False) is None
    assert run.check_answer(valid, b'{"success": false, "result": null}\n', full=False)


def test_mix_is_the_same_for_every_worker(driver, tmp_path):
    _, wl = driver
    mix = next(load for load in wl.build(tmp_path) if load.name == "mix")
    first, second = mix.make(300), mix.make(300)
    assert [r.line for r in first] == [r.line for r in second]
    assert first[:50] == mix.make(50)
    labels = {r.label for r in first}
    assert {"validate_assign", "invalid_json", "function_kwargs"} <= labels
    assert "inline_print_1mib" not in labels


def test_workers_start_without_interpreter_switches(driver, monkeypatch):
    run, _ = driver
    monkeypatch.setenv("PYTHONUNBUFFERED", "1")
    monkeypatch.setenv("PYTHONDONTWRITEBYTECODE", "1")
    monkeypatch.setenv("PYTHONPATH", "/elsewhere")
    env = run.worker_environment("/bench")
    assert "PYTHONUNBUFFERED" not in env and "PYTHONDONTWRITEBYTECODE" not in env
    assert env["PYTHONPATH"] == os.pathsep.join(["/bench", "/elsewhere"])
    assert run.worker_environment()["PYTHONPATH"] == "/elsewhere"


def quick_run(script, out):
    """The JSON a benchmark script writes after a quick run."""
    cmd = [sys.executable, str(BENCH / f"{script}.py"), "--quick", "--out", str(out)]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads((out / f"{script}.json").read_text())


def sandboxed_benchmark(test):
    test = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                              reason="the benchmark's sandboxes do not pass on the sanitizer "
                                     "runtime")(test)
    # Runs as an unprivileged user say what that user lacks; the benchmarks
    # measure the default sandbox, which starts only where nothing is.
    lacking = sorted(allowed_missing())
    return pytest.mark.skipif(bool(lacking), reason="the benchmarks measure the default "
                              f"sandbox, and this machine lacks {', '.join(lacking)}")(test)


@sandboxed_benchmark
def test_client_benchmark_reports_every_ratio(tmp_path):
    ratios = quick_run("client", tmp_path)["ratios"]
    assert len(ratios) == 7 and all(value > 0 for value in ratios.values())


@sandboxed_benchmark
def test_isolation_benchmark_reports_every_worker(tmp_path):
    results = quick_run("isolation", tmp_path)
    assert [len(by_mode) for by_mode in results["times"].values()] == [4, 4]
    assert all(memory["worker_kib"] > 0 for memory in results["memory"].values())


@sandboxed_benchmark
def test_usage_benchmark_reports_both_workers(tmp_path):
    results = quick_run("usage", tmp_path)
    arrangements = 2 if len(os.sched_getaffinity(0)) > 1 else 1
    assert len(results) == 2 * arrangements
    assert all(figures["ratio"] > 0 for figures in results.values())
