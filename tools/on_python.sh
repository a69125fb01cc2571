#!/usr/bin/env bash
# Installs the package with its test extras into a virtual environment of a
# given CPython version and runs the test suite there: the README's test
# command on an interpreter other than the one on PATH.
#
#   tools/on_python.sh 3.12              build, install, run the whole suite
#   tools/on_python.sh 3.13 -k sandbox   extra arguments go to pytest
#
# The interpreter is the one tools/python_for.sh finds. The environment,
# build/venv-VERSION, is kept between runs; the package is built afresh
# against that interpreter's headers each time.
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:?usage: tools/on_python.sh VERSION [pytest arguments]}
shift

python=$(tools/python_for.sh "$version")

venv=build/venv-$version
[[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet ".[test,ray,mcp]" -C build-dir="build/cp${version/./}"
"$venv/bin/python" -m pytest -p no:cacheprovider "$@"
