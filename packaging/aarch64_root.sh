#!/usr/bin/env bash
# An arm64 Debian (trixie: CPython 3.13) in a folder, run through qemu-user, to import and
# smoke-test the aarch64 wheel. Its Python headers also serve the aarch64 cross build.
# usage: packaging/aarch64_root.sh FOLDER   (as root; about 20 minutes on two cores)
set -euo pipefail
root=${1:?usage: aarch64_root.sh FOLDER}
missing=$(for p in qemu-user-static debootstrap binfmt-support; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"; done)
if [ -n "$missing" ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi
# qemu runs arm64 programs through the kernel's binfmt_misc, which a container may not mount.
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
update-binfmts --enable qemu-aarch64 2>/dev/null || true
[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || {
  echo "aarch64_root: qemu-aarch64 is not registered with binfmt_misc; cannot run arm64 code" >&2
  exit 1
}
rm -rf "$root"
debootstrap --arch arm64 --variant=minbase \
  --include=python3,python3-venv,python3-pip,ca-certificates,libpython3-dev \
  trixie "$root" http://deb.debian.org/debian
touch "$root/.ready"
