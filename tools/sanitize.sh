#!/usr/bin/env bash
# Builds the extensions with AddressSanitizer and UndefinedBehaviorSanitizer
# into a virtual environment of their own and runs the test suite against them
# with the stock interpreter (the sanitizer runtimes preloaded).
#
#   tools/sanitize.sh                    build, then run the whole test suite
#   tools/sanitize.sh -k reliability     extra arguments go to pytest
#   tools/sanitize.sh --fuzz 600         build, then fuzz the sanitized worker for 600 s
#   tools/sanitize.sh --run CMD...       build, then run CMD in the sanitized environment
#   SANITIZE_SKIP_BUILD=1 tools/sanitize.sh   reuse the last build
#
# Every process of the run (pytest, the workers the tests start) inherits the
# sanitizer environment. Reports go to files in build/sanitize-logs/, one per
# reporting process, so that tests that capture a worker's standard error
# cannot hide them; the script ends with the number of findings, prints the
# reports, and fails when there is any finding or when the tests fail.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/build/sanitize-venv
BUILD_DIR=$ROOT/build/sanitize
LOGS=$ROOT/build/sanitize-logs
SANITIZERS=${SANITIZERS:-address,undefined}
PY=$VENV/bin/python

if [[ "${SANITIZE_SKIP_BUILD:-0}" != 1 ]]; then
  # The venv sees the system site-packages for pytest, hypothesis and the
  # build backend; its own site-packages, searched first, holds the
  # sanitized build of the worker.
  [[ -x $PY ]] || python3 -m venv --system-site-packages "$VENV" || exit 2
  "$PY" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall . \
    -C cmake.define.VANTOR_SANITIZE="$SANITIZERS" \
    -C cmake.build-type=RelWithDebInfo \
    -C build-dir="$BUILD_DIR" || exit 2
fi

for module in custom_worker _containment; do
  so=$("$PY" -c "import importlib.util as u; print(u.find_spec('vantor.workers.$module').origin)")
  case $so in
    "$VENV"/*) ;;
    *) echo "sanitize: the venv imports $so, not its own build" >&2; exit 2 ;;
  esac
  if [[ $(nm -D "$so" | grep -c __asan_init) == 0 ]]; then
    echo "sanitize: $so is not instrumented" >&2; exit 2
  fi
done

rm -rf "$LOGS" && mkdir -p "$LOGS" && chmod 1777 "$LOGS"  # sandboxed workers write as nobody
preload="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so):$(gcc -print-file-name=libstdc++.so)"
export LD_PRELOAD=$preload
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:log_path=$LOGS/asan:log_exe_name=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/ubsan:log_exe_name=1"
export PATH=$VENV/bin:$PATH
export VIRTUAL_ENV=$VENV

status=0
case "${1:-}" in
  --fuzz)
    seconds=${2:-600}; shift $(( $# >= 2 ? 2 : $# ))
    "$PY" tools/fuzz.py --seconds "$seconds" --worker "$PY -m vantor.workers" "$@" || status=$?
    ;;
  --run)
    shift; "$@" || status=$?
    ;;
  *)
    "$PY" -m pytest -p no:cacheprovider "$@" || status=$?
    ;;
esac
unset LD_PRELOAD

findings=$(cat "$LOGS"/* 2>/dev/null | grep -c '^SUMMARY: [A-Za-z]*Sanitizer')
echo "sanitize: $findings sanitizer finding(s); reports in ${LOGS#$ROOT/}/" >&2
if (( findings > 0 )); then
  cat "$LOGS"/* >&2
  exit 1
fi
exit $status
