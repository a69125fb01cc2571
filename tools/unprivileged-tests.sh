#!/usr/bin/env bash
# The sandbox, containment and isolation tests as an unprivileged user, set up
# as a new user would be: Debian's own python3.11, a virtual environment of the
# user's, the cp311 wheel built here.  Run as root (as CI is): first without a
# cgroup of the user's own (the cgroup protections allowed missing, replaced by
# rlimits), then with cgroups an administrator delegated to the user.
#
#   tools/unprivileged-tests.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
user=${VANTOR_TEST_USER:-vantor-ci}
python=/usr/bin/python3.11
tests=(tests/test_sandbox.py tests/test_containment_primitives.py tests/test_sandbox_network.py
       tests/test_isolation.py
       tests/test_hardening.py::test_links_planted_by_a_tool_redirect_no_later_policy
       tests/test_hardening.py::test_the_sandboxes_of_a_host_that_is_not_root_leave_it_its_own_kernel_accounts)
[ $# -gt 0 ] && tests=("$@")

[ "$(id -u)" = 0 ] || { echo "run as root: it makes the user and delegates its cgroups" >&2; exit 2; }
id -u "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/bash "$user"
uid=$(id -u "$user")
home=$(getent passwd "$user" | cut -d: -f6)
if ! "$python" -c "import ensurepip, venv" 2>/dev/null; then
    apt-get update -q < /dev/null &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3.11-venv < /dev/null
fi

work=$(mktemp -d /var/tmp/vantor-unprivileged.XXXXXX)
delegated=()
cleanup() {
    for dir in "${delegated[@]}"; do rmdir "$dir"/* 2>/dev/null || true; rmdir "$dir" || true; done
    rm -rf "$work"
}
trap cleanup EXIT
python -m pip wheel -q --no-deps --no-build-isolation -C build-dir=build/unprivileged -w "$work" .
cp -r tests "$work/tests"
cp -r bench "$work/bench"  # the network benchmark's smoke run
chmod -R a+rX "$work"

as_user() { (cd "$work" && runuser -u "$user" -- env -u PYTHONUNBUFFERED HOME="$home" "$@"); }
venv=$home/vantor-venv
rm -rf "$venv"
as_user "$python" -m venv "$venv"
as_user "$venv/bin/pip" install -q "$work"/vantor_workers-*.whl pytest
as_user "$venv/bin/python" -m vantor.workers.sandbox

echo "== as uid $uid, without a cgroup of its own"
as_user env VANTOR_TEST_ALLOW_MISSING=memory_limit,process_limit,cpu_limit \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}"

echo "== as uid $uid, with cgroups delegated by an administrator"
if [ -e /sys/fs/cgroup/cgroup.controllers ]; then
    # cgroup v2: one directory, named to the sandbox by Sandbox(cgroup_parent=...).
    # A process moves only within a subtree it can write: the host runs in it.
    dir=/sys/fs/cgroup/vantor-workers-$uid
    mkdir -p "$dir"
    echo "+memory +pids" > /sys/fs/cgroup/cgroup.subtree_control
    chown "$user" "$dir" "$dir/cgroup.procs" "$dir/cgroup.subtree_control"
    delegated+=("$dir")
    parent=(env VANTOR_TEST_CGROUP_PARENT="$dir")
    inside=$dir
else
    # cgroup v1: the directory each hierarchy has for the user, found by name.
    for controller in memory pids cpuacct; do
        dir=/sys/fs/cgroup/$controller/vantor-workers-$uid
        mkdir -p "$dir" && chown "$user" "$dir"
        delegated+=("$dir")
    done
    parent=() inside=""
fi
(
    [ -z "$inside" ] || echo "$BASHPID" > "$inside/cgroup.procs"
    as_user "${parent[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}"
)
