#!/usr/bin/env bash
# Prints the path of a CPython VERSION (such as 3.12) to build and test with:
# pyenv's newest installed VERSION when pyenv is there, else pythonVERSION
# on PATH.
set -euo pipefail
version=${1:?usage: tools/python_for.sh VERSION}
if command -v pyenv >/dev/null && prefix=$(pyenv prefix "$version" 2>/dev/null); then
  echo "$prefix/bin/python$version"
elif command -v "python$version"; then
  :
else
  echo "python_for: no CPython $version (install it, for example with pyenv install $version)" >&2
  exit 2
fi
