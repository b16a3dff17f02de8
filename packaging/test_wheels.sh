#!/usr/bin/env bash
# The Python test suite on each interpreter named, against the portable x86-64 wheel built for it
# (packaging/build_wheels.sh x86_64 ...): on 3.12 and 3.13 that is the one abi3 wheel. Each runs
# in a fresh virtual environment with the wheel and the test tools only.
# usage: packaging/test_wheels.sh PYTHON...
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
[ "$#" -gt 0 ] || { echo "test_wheels: name at least one interpreter" >&2; exit 2; }
passed=() failed=()
for python in "$@"; do
  full=$("$python" -c 'import platform; print(platform.python_version())')
  version=${full%.*}
  record=$ROOT/build/portable/$(uname -m)/wheel-$version.txt
  # the abi3 wheel serves every version from the one it was built with
  [ -f "$record" ] || record=$(ls "$ROOT"/build/portable/"$(uname -m)"/wheel-3.1[2-9].txt 2>/dev/null |
    sort -V | head -1)
  [ -n "$record" ] && [ -f "$record" ] || { echo "test_wheels: no portable wheel built for $version" >&2; exit 1; }
  wheel=$(cat "$record")
  echo "test_wheels: Python tests on CPython $full ($python) against $(basename "$wheel")"
  venv=$ROOT/build/test-wheel-$version
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" pytest matplotlib \
    tqdm 'dask[distributed]' pyzmq nanobind  # nanobind: the stub test runs its stubgen
  if "$venv/bin/python" -m pytest -q -p no:cacheprovider; then passed+=("$full"); else failed+=("$full"); fi
done
# Every interpreter runs even when one fails; the summary says which.
echo "test_wheels: passed on CPython ${passed[*]:-none}; failed on ${failed[*]:-none}"
[ "${#failed[@]}" -eq 0 ]
