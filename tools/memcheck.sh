#!/usr/bin/env bash
# Runs the worker under valgrind's memcheck (PYTHONMALLOC=malloc) through a
# protocol session that exercises every action and every failure answer
# (tools/session.py), then through one short session for each way a request
# ends the worker. Reports whether the module's own code had invalid reads or
# writes, uses of uninitialised values or definite leaks.
#
#   tools/memcheck.sh                       build a debug-info worker into build/memcheck-venv and check it
#   MEMCHECK_SKIP_BUILD=1 tools/memcheck.sh reuse the last build
#   MEMCHECK_PYTHON=/path/to/python tools/memcheck.sh   check the worker that interpreter imports
#
# Exit status: 0 when the module is clean and every session went as
# expected, 1 otherwise. Logs and XML in build/memcheck-logs/.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/build/memcheck-venv
LOGS=$ROOT/build/memcheck-logs

if [[ -n "${MEMCHECK_PYTHON:-}" ]]; then
  PY=$MEMCHECK_PYTHON
else
  PY=$VENV/bin/python
  if [[ "${MEMCHECK_SKIP_BUILD:-0}" != 1 ]]; then
    [[ -x $PY ]] || python3 -m venv --system-site-packages "$VENV" || exit 2
    "$PY" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall . \
      -C cmake.build-type=RelWithDebInfo -C build-dir="$ROOT/build/memcheck" || exit 2
  fi
fi
# valgrind must start the interpreter itself, not a wrapper script around it.
PY=$("$PY" -c 'import sys; print(sys.executable)')
so=$("$PY" -c 'import importlib.util as u; print(u.find_spec("vantor.workers.custom_worker").origin)') || exit 2
echo "memcheck: worker module $so"

rm -rf "$LOGS" && mkdir -p "$LOGS"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

run() {  # run NAME INPUT: the worker under valgrind in $WORK, answers in $LOGS/NAME.out
  local name=$1 input=$2
  (cd "$WORK" && env -u PYTHONUNBUFFERED PYTHONMALLOC=malloc \
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
      --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
      --num-callers=40 ${MEMCHECK_VALGRIND_ARGS:-} --suppressions="$ROOT/tools/valgrind-python.supp" \
      --xml=yes --xml-file="$LOGS/$name.xml" \
      "$PY" -m vantor.workers <"$input" >"$LOGS/$name.out" 2>"$LOGS/$name.err")
  echo $?
}

status=0
python3 tools/session.py "$WORK" >"$WORK/session.in" || exit 2
rc=$(run session "$WORK/session.in")
echo "memcheck: session exit status $rc (99 = valgrind errors)"
python3 tools/session.py "$WORK" --check "$LOGS/session.out" || status=1
[[ $rc == 0 || $rc == 99 ]] || status=1

endings=$(python3 -c 'import sys; sys.path.insert(0, "tools"); import session; print(len(session.ENDINGS))')
for ((i = 0; i < endings; i++)); do
  python3 tools/session.py "$WORK" --ending "$i" >"$WORK/ending.in"
  rc=$(run "ending-$i" "$WORK/ending.in")
  answers=$(wc -l <"$LOGS/ending-$i.out")
  last=$(tail -n 1 "$LOGS/ending-$i.err")
  echo "memcheck: ending $i: exit status $rc, $answers answer(s), ${last:0:100}"
  # Each ending session answers its first request only, then ends with a
  # Python exception (status 1) or SystemExit(4).
  [[ $answers == 1 && ( $rc == 1 || $rc == 4 || $rc == 99 ) ]] || status=1
done

python3 tools/valgrind_report.py "$LOGS"/*.xml || status=1
if (( status == 0 )); then
  echo "memcheck: PASS (module code clean, every session as expected)"
else
  echo "memcheck: FAIL (see above and $LOGS/)"
fi
exit $status
