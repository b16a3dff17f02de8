#!/usr/bin/env bash
# Checks the wheels in dist/ (or the ones named) the way a user without the Debian -dev packages
# and without a compiler meets them. For each wheel: its extension modules need nothing outside
# the wheel but glibc, no newer than its manylinux tag promises. Then for each interpreter that
# can take it (3.11, 3.12, 3.13 where present): a fresh virtual environment, the wheel installed
# from the file, the system's libnlopt/libyaml/libpugixml and the compilers made unreadable (a
# private mount namespace binds /dev/null over them), and the smoke test and `kova demo` run
# with NumPy 1 (where a NumPy 1 wheel exists for that Python) and with NumPy 2.
#
# usage: packaging/check_wheel.sh [WHEEL...]
# KOVA_CHECK_PYTHONS overrides the interpreters (default: python3 and pyenv's 3.11 and later).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
WORK=$ROOT/build/wheel-check
say() { echo "check_wheel: $*"; }
fail() { echo "check_wheel: FAIL: $*" >&2; exit 1; }

if [ "$#" -gt 0 ]; then wheels=("$@"); else
  shopt -s nullglob
  wheels=(dist/kova_rs-"$(cat VERSION)"-*.whl)
  shopt -u nullglob
fi
[ "${#wheels[@]}" -gt 0 ] || fail "no wheel in dist/ (make wheel or make wheel-portable first)"

# One interpreter per Python version.
declare -A by_version=()
for candidate in ${KOVA_CHECK_PYTHONS:-python3 /root/.pyenv/versions/3.1[1-9]*/bin/python3}; do
  command -v "$candidate" >/dev/null || continue
  version=$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  [ -n "${by_version[$version]:-}" ] || by_version[$version]=$candidate
done
versions=$(printf '%s\n' "${!by_version[@]}" | sort -V)
say "interpreters: $(for v in $versions; do printf '%s=%s ' "$v" "${by_version[$v]}"; done)"

# Libraries an extension module may load from the system: glibc's. Everything else is inside.
ALLOWED_NEEDED='^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|ld-linux-(x86-64|aarch64)\.so\.[12])$'

# Static checks of one wheel's shared objects: needed libraries and glibc symbol versions.
check_objects() {
  local wheel=$1 unpacked=$WORK/unpacked
  rm -rf "$unpacked" && mkdir -p "$unpacked"
  python3 -m zipfile -e "$wheel" "$unpacked"
  local glibc_limit
  glibc_limit=$(grep -oE 'manylinux_[0-9]+_[0-9]+' <<<"$(basename "$wheel")" | sed -E 's/manylinux_([0-9]+)_([0-9]+)/\1.\2/' |
    sort -V | head -1)  # the oldest glibc the tags promise
  [ -n "$glibc_limit" ] || glibc_limit=$(ldd --version | head -1 | grep -oE '[0-9]+\.[0-9]+$')
  local bundled object newest count=0
  bundled=$(cd "$unpacked" && ls kova_rs.libs 2>/dev/null || true)
  while IFS= read -r object; do
    count=$((count + 1))
    while IFS= read -r needed; do
      grep -qE "$ALLOWED_NEEDED" <<<"$needed" || grep -qxF "$needed" <<<"$bundled" ||
        fail "$(basename "$object") needs $needed, which is neither glibc's nor in the wheel"
    done < <(readelf -d "$object" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    newest=$(readelf --version-info -W "$object" | grep -oE 'GLIBC_[0-9.]+' | sed 's/GLIBC_//' |
      sort -uV | tail -1)
    if [ -n "$newest" ] && [ "$(printf '%s\n%s\n' "$newest" "$glibc_limit" | sort -V | tail -1)" != "$glibc_limit" ]; then
      fail "$(basename "$object") needs GLIBC_$newest, newer than the tag's $glibc_limit"
    fi
    say "  $(basename "$object"): newest GLIBC_${newest:-none} (limit $glibc_limit), needs only glibc and the wheel"
  done < <(find "$unpacked" -name '*.so*' -type f)
  [ "$count" -gt 0 ] || fail "$wheel carries no shared object"
}

# True when the wheel's tags admit CPython `version` (cp311: 3.11 only; cp312-abi3: 3.12 on).
fits() {
  local tags python abi
  tags=$(basename "$1" .whl | cut -d- -f3,4)
  python=${tags%%-*} abi=${tags##*-}
  local wanted=${python#cp3} have=${2#3.}
  if [ "$abi" = abi3 ]; then [ "$have" -ge "$wanted" ]; else [ "$have" -eq "$wanted" ]; fi
}

hidden=()
for name in libnlopt.so.0 libyaml-0.so.2 libpugixml.so.1; do
  for dir in /usr/lib/x86_64-linux-gnu /usr/lib/aarch64-linux-gnu /usr/lib64 /usr/lib; do
    [ -e "$dir/$name" ] && hidden+=("$(readlink -f "$dir/$name")")
  done
done
for tool in cc c++ gcc g++ clang clang++; do
  path=$(command -v "$tool" || true)
  [ -n "$path" ] && hidden+=("$(readlink -f "$path")")
done
mapfile -t hidden < <(printf '%s\n' "${hidden[@]}" | sort -u)

# Runs a command with the system libraries and compilers unreadable, where that can be arranged.
without_system_libs() {
  if [ "${#hidden[@]}" -gt 0 ] && unshare --mount true 2>/dev/null; then
    unshare --mount bash -c 'for f in "${@:2:$1}"; do mount --bind /dev/null "$f"; done
                             shift $(($1 + 1)); exec "$@"' \
      bash "${#hidden[@]}" "${hidden[@]}" "$@"
  else
    say "no mount namespace here; relying on the library checks above" >&2
    "$@"
  fi
}

# One wheel on one interpreter, in a fresh virtual environment.
check_install() {
  local wheel=$1 version=$2 env=$WORK/venv
  rm -rf "$env" "$WORK/run" && mkdir -p "$WORK/run"
  "${by_version[$version]}" -m venv "$env"
  local vpy=$env/bin/python
  "$vpy" -m pip install -q --disable-pip-version-check --only-binary=:all: "$wheel"
  site=$("$vpy" -c "import sysconfig; print(sysconfig.get_paths()['platlib'])")
  while IFS= read -r object; do
    if ldd "$object" | grep -E "not found|/lib(/[a-z0-9_]+-linux-gnu)?/lib(nlopt|yaml|pugixml)"; then
      fail "$object resolves a library to the system's copy"
    fi
  done < <(find "$site/kova_rs" "$site/kova_rs.libs" -name '*.so*' -type f 2>/dev/null)
  local numpys=()
  if "$vpy" -m pip install -q --disable-pip-version-check --only-binary=:all: "numpy<2" 2>/dev/null; then
    numpys+=("numpy<2")
  else
    say "  Python $version: no NumPy 1 wheel exists; NumPy 2 only"
  fi
  numpys+=("numpy>=2")
  for numpy in "${numpys[@]}"; do
    "$vpy" -m pip install -q --disable-pip-version-check --only-binary=:all: "$numpy"
    (cd "$WORK/run" && without_system_libs "$vpy" "$ROOT/packaging/wheel_smoke.py") ||
      fail "smoke test of $(basename "$wheel") on Python $version with $numpy"
    (cd "$WORK/run" && without_system_libs "$env/bin/kova" demo --quiet >demo.log) ||
      fail "kova demo from $(basename "$wheel") on Python $version with $numpy (see $WORK/run/demo.log)"
    say "  Python $version, $numpy: smoke test and kova demo passed"
  done
}

checked=0
for wheel in "${wheels[@]}"; do
  say "$wheel"
  check_objects "$wheel"
  if [[ "$(basename "$wheel")" != *"_$(uname -m)."* && "$(basename "$wheel")" != *"_$(uname -m).whl" ]]; then
    say "  built for another machine: checked statically only here"
    continue
  fi
  for version in $versions; do
    fits "$wheel" "$version" || continue
    check_install "$wheel" "$version"
    checked=$((checked + 1))
  done
done
[ "$checked" -gt 0 ] || fail "no interpreter here can take any of the wheels"
say "ok: ${#wheels[@]} wheels, $checked installations"
