#!/usr/bin/env bash
# Checks the wheel in dist/ the way a user without the Debian -dev packages and without a compiler
# would meet it: a fresh virtual environment, the wheel installed from the file, the system's
# libnlopt/libyaml/libpugixml and the compilers made unreadable (a private mount namespace binds
# /dev/null over them), then the extension exercised with NumPy 1 and with NumPy 2, and the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PYTHON=${PYTHON:-python3}
WORK=$ROOT/build/wheel-check

wheels=(dist/kova_rs-*.whl)
if [ "${#wheels[@]}" -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
  echo "check_wheel: expected exactly one dist/kova_rs-*.whl, found: ${wheels[*]}" >&2
  exit 1
fi
wheel=${wheels[0]}
echo "check_wheel: $wheel"

rm -rf "$WORK"
mkdir -p "$WORK/run"
"$PYTHON" -m venv "$WORK/venv"
VPY=$WORK/venv/bin/python
"$VPY" -m pip install -q --upgrade pip
"$VPY" -m pip install -q --only-binary=:all: "$wheel" "numpy<2"

# Nothing may resolve to the system's copies of the bundled libraries.
site=$("$VPY" -c "import sysconfig; print(sysconfig.get_paths()['platlib'])")
shopt -s nullglob
objects=("$site"/kova_rs/*.so "$site"/kova_rs.libs/*.so*)
for object in "${objects[@]}"; do
  deps=$(ldd "$object")
  if grep -E "not found|/lib(/x86_64-linux-gnu)?/lib(nlopt|yaml|pugixml)" <<<"$deps"; then
    echo "check_wheel: $object depends on a system library that the wheel should carry" >&2
    exit 1
  fi
done
echo "check_wheel: ${#objects[@]} shared objects, none resolving to system nlopt/yaml/pugixml"

hidden=()
for name in libnlopt.so.0 libyaml-0.so.2 libpugixml.so.1; do
  for dir in /usr/lib/x86_64-linux-gnu /usr/lib64 /usr/lib; do
    [ -e "$dir/$name" ] && hidden+=("$(readlink -f "$dir/$name")")
  done
done
for tool in cc c++ gcc g++ clang clang++; do
  path=$(command -v "$tool" || true)
  [ -n "$path" ] && hidden+=("$(readlink -f "$path")")
done

# Runs a command with the system libraries and compilers unreadable, where that can be arranged.
without_system_libs() {
  if [ "${#hidden[@]}" -gt 0 ] && unshare --mount true 2>/dev/null; then
    unshare --mount bash -c 'for f in "${@:2:$1}"; do mount --bind /dev/null "$f"; done
                             shift $(($1 + 1)); exec "$@"' \
      bash "${#hidden[@]}" "${hidden[@]}" "$@"
  else
    echo "check_wheel: no mount namespace here; relying on the ldd check above" >&2
    "$@"
  fi
}

smoke() {
  (cd "$WORK/run" && without_system_libs "$VPY" "$ROOT/packaging/wheel_smoke.py")
  if [ -x "$WORK/venv/bin/kova" ]; then
    (cd "$WORK/run" && without_system_libs "$WORK/venv/bin/kova" demo)
  fi
}

smoke
"$VPY" -m pip install -q --only-binary=:all: "numpy>=2"
smoke
echo "check_wheel: ok"
