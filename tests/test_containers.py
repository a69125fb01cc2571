"""What a host in a container is told and given: the seccomp profile built from the engines'
own default profiles, the one refusal naming every blocker, and the MCP server's wording.
The containers themselves are exercised by tools/containers/run."""
import glob
import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from vantor.workers import _containment as native
from vantor.workers.mcp.config import in_own_words, load
from vantor.workers.sandbox.containers import (
    DEFAULT_PROFILES,
    NATIVE_CALLS,
    PROFILE_VARIABLES,
    missing_calls,
    sandbox_calls,
    seccomp_profile,
)
from vantor.workers.sandbox.protections import Blocker, refusal_of_all

from conftest import child_env, marked_processes

SOURCES = os.path.join(os.path.dirname(__file__), "..", "src", "vantor", "workers",
                       "_containment")


def _engine_profile(engine):
    path = os.environ.get(PROFILE_VARIABLES[engine]) or DEFAULT_PROFILES[engine][0]
    if not os.path.exists(path):
        pytest.skip(f"{engine}'s default profile is not installed ({DEFAULT_PROFILES[engine][1]}"
                    f"; tools/containers/run fetches it)")
    with open(path) as file:
        return json.load(file)


def test_the_table_of_calls_matches_the_native_sources():
    # Every callable of the native module is in the table, and every system call
    # its sources make (besides the tool's filter itself) is in the table.
    functions = {name for name in dir(native) if callable(getattr(native, name))
                 and not name.startswith("_")}
    assert functions == set(NATIVE_CALLS)
    with open(os.path.join(SOURCES, "seccomp.cpp")) as file:
        known = set(re.findall(r"SYS_(\w+)", file.read()))
    made = set()
    for path in glob.glob(os.path.join(SOURCES, "*.cpp")):
        if path.endswith("seccomp.cpp"):
            continue
        with open(path) as file:
            text = re.sub(r"//[^\n]*|\"[^\"\n]*\"", "", file.read())
        made |= set(re.findall(r"SYS_(\w+)", text))
        made |= {name for name in known if re.search(rf"(?<![\w.>:]){name}\(", text)}
        made |= {"prctl"} if "process_control(" in text else set()
    made = {"openat" if name == "open" else name for name in made}  # glibc's open is openat
    assert made <= set(sandbox_calls()), made - set(sandbox_calls())
    with open(os.path.join(SOURCES, "seccomp.cpp")) as file:
        text = file.read()
    assert "SYS_seccomp" in text or "seccomp(" in text


@pytest.mark.parametrize("engine, expected", [
    ("docker", ["mount", "mount_setattr", "move_mount", "open_tree", "pivot_root",
                "sethostname", "setns", "umount2", "unshare"]),
    ("podman", ["sethostname"]),
])
def test_the_profile_is_the_engines_default_plus_exactly_the_calls_it_refuses(engine, expected):
    base = _engine_profile(engine)
    assert missing_calls(base) == expected
    profile = seccomp_profile(base)
    added = profile["syscalls"][-1]
    assert added["names"] == expected and added["action"] == "SCMP_ACT_ALLOW"
    # The rest is the engine's own, less the rules refusing those calls (Podman's
    # refuses sethostname to a container without CAP_SYS_ADMIN, and would win).
    kept = [dict(rule, names=[n for n in rule["names"] if n not in expected])
            if rule["action"] != "SCMP_ACT_ALLOW" else rule for rule in base["syscalls"]]
    assert profile["syscalls"][:-1] == [rule for rule in kept if rule["names"]]
    assert not any(set(rule["names"]) & set(expected) for rule in profile["syscalls"][:-1]
                   if rule["action"] != "SCMP_ACT_ALLOW")
    assert profile["defaultAction"] == base["defaultAction"]
    assert missing_calls(profile) == []
    # Nothing is widened beyond those calls: clone keeps its argument rule (no
    # namespace flags without CAP_SYS_ADMIN), and so do the rest.
    assert "clone" not in added["names"] and set(added["names"]) <= set(sandbox_calls())


def test_one_refusal_names_every_blocker_with_each_remedy_once():
    blockers = [Blocker("memory_limit", "read-only", "Bind the cgroups in"),
                Blocker("process_limit", "read-only", "Bind the cgroups in"),
                Blocker("user_namespace", "unshare: Operation not permitted", "Use the profile",
                        allowable=False),
                Blocker("mount_namespace", "unshare: Operation not permitted", "Use the profile")]
    message = refusal_of_all(blockers)
    assert "memory_limit, process_limit are missing (read-only)" in message
    assert ("user_namespace, mount_namespace are missing (unshare: Operation not permitted)"
            in message)
    assert message.count("Bind the cgroups in") == message.count("Use the profile") == 1
    assert "user_namespace cannot be done without." in message
    assert "list 'memory_limit', 'process_limit', 'mount_namespace' in Sandbox(" in message
    # The MCP server names its own flags instead of the Python API's.
    own = in_own_words(message + " Name it in Sandbox(cgroup_parent=...).")
    assert "Sandbox(" not in own and "sandbox=None" not in own
    assert "--allow-missing NAME" in own and "--cgroup-parent" in own and "--no-sandbox" in own


def test_the_mcp_server_takes_a_cgroup_parent_from_its_flags_or_its_file(tmp_path):
    config, _ = load(["--cgroup-parent", "memory=/cg/memory", "--cgroup-parent",
                      "pids=/cg/pids"])
    assert config.describe()["sandbox"]["cgroup_parent"] == {"memory": "/cg/memory",
                                                             "pids": "/cg/pids"}
    settings = tmp_path / "server.toml"
    settings.write_text('[sandbox]\ncgroup_parent = "/sys/fs/cgroup/delegated"\n')
    config, _ = load(["--config", str(settings)])
    assert config.sandbox().cgroup_parent == "/sys/fs/cgroup/delegated"


HOST = os.path.join(os.path.dirname(__file__), "container_host.py")
# The host's cgroup file systems read-only, as an engine mounts them, in a namespace of its own.
READ_ONLY_CGROUPS = ('for m in $(awk \'$3 == "cgroup" || $3 == "cgroup2" {print $2}\' '
                     '/proc/mounts); do mount -o remount,bind,ro "$m" || exit 1; done; '
                     'exec "$0" "$@"')


root_host_in_a_container = pytest.mark.skipif(
    os.getuid() != 0 or "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="a host as root in a container, whose default policy passes a worker no "
           "sanitizer runtime")


@root_host_in_a_container
@pytest.mark.parametrize("unshare", ["allowed", "refused"])
def test_a_default_worker_in_a_container_without_cgroups_starts_and_leaves_nothing(unshare):
    # Without cgroups of its own, the container's stand in: the sandbox first for the OOM
    # killer (not its supervisor), RLIMIT_NPROC per sandbox uid.  Whatever the tool left
    # in a session of its own ends with a supervisor killed with SIGKILL: with the PID
    # namespace, or (unshare refused) by the guard that kills the sandbox's uid.
    marker = f"vantor-test-left-{os.getpid()}-{unshare}"
    flags = ["--no-unshare"] if unshare == "refused" else []
    host = subprocess.Popen(["unshare", "-m", "sh", "-c", READ_ONLY_CGROUPS, sys.executable,
                             HOST, *flags], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True,
                            env=child_env(container="vantor-test", VANTOR_TEST_MARKER=marker))
    try:
        report = json.loads(host.stdout.readline() or "{}")
        state = report["protections"]
        assert state["memory_limit"].startswith("replaced by the container's memory cgroup")
        assert state["process_limit"].startswith("replaced by RLIMIT_NPROC per sandbox uid")
        assert state["user_namespace"].startswith(
            "in force" if unshare == "allowed" else "replaced by")
        assert len(report["left"]) == 1 and report["score"] == "1000"
        assert report["supervisor_score"] != "1000"
        os.kill(report["supervisor"], signal.SIGKILL)  # the host's child, in its namespace
        deadline = time.monotonic() + 10
        while marked_processes(marker) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not marked_processes(marker)
    finally:
        for pid in marked_processes(marker):  # at most the one left
            os.kill(pid, signal.SIGKILL)
        host.kill()
        host.wait()


@root_host_in_a_container
def test_a_policy_requiring_the_sandboxs_own_cgroups_is_refused_in_a_container_without():
    host = subprocess.run(["unshare", "-m", "sh", "-c", READ_ONLY_CGROUPS, sys.executable,
                           HOST, "--require-cgroups"], stdout=subprocess.PIPE, text=True,
                          env=child_env(container="vantor-test"), timeout=60)
    refusal = json.loads(host.stdout.splitlines()[-1])["refused"]
    assert "memory_limit, process_limit are missing" in refusal
    assert "bind it in" in refusal  # the container's remedy

