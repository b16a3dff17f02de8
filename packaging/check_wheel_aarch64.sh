#!/usr/bin/env bash
# Installs the aarch64 abi3 wheel of dist/ into a fresh virtual environment inside the arm64
# chroot (packaging/aarch64_root.sh) and runs the smoke test and `kova demo` there under qemu.
# The chroot has no compiler and no NLopt, libyaml or pugixml.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${1:?usage: check_wheel_aarch64.sh CHROOT}
version=$(cat VERSION)
shopt -s nullglob
wheels=(dist/kova_rs-"$version"-cp312-abi3-*aarch64*.whl)
[ "${#wheels[@]}" -eq 1 ] || { echo "check_wheel_aarch64: expected one aarch64 abi3 wheel, found ${wheels[*]:-none}" >&2; exit 1; }
work=$root/tmp/kova-check
rm -rf "$work" && mkdir -p "$work/run"
cp "${wheels[0]}" packaging/wheel_smoke.py "$work/"
# pip inside reaches the package index as pip here does: the same certificate bundle (where one
# is configured) and index settings.
pip_env=()
if [ -n "${PIP_CERT:-}" ] && [ -f "$PIP_CERT" ]; then
  cp "$PIP_CERT" "$work/ca.crt"
  pip_env+=(PIP_CERT=/tmp/kova-check/ca.crt)
fi
for name in PIP_INDEX_URL PIP_DEFAULT_TIMEOUT; do
  [ -n "${!name:-}" ] && pip_env+=("$name=${!name}")
done
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root "${pip_env[@]}" "$@"; }
in_root uname -m
in_root python3 -m venv /tmp/kova-check/venv
in_root /tmp/kova-check/venv/bin/pip install -q --disable-pip-version-check --only-binary=:all: \
  "/tmp/kova-check/$(basename "${wheels[0]}")"
in_root sh -c 'cd /tmp/kova-check/run && /tmp/kova-check/venv/bin/python ../wheel_smoke.py &&
  /tmp/kova-check/venv/bin/kova demo --quiet'
echo "check_wheel_aarch64: ok: $(basename "${wheels[0]}") under qemu-aarch64"
