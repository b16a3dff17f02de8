# Set-up, build, test and demo. Every target installs what it needs and is safe to run twice.
SHELL := /bin/bash
JOBS ?= 2
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/cpp
ASAN_BUILD := build/asan
BENCH_BUILD := build/bench
BENCH_VENV := build/bench-venv
BENCH_PY := $(BENCH_VENV)/bin/python

APT_PACKAGES := g++ make cmake pkg-config git python3 python3-venv python3-dev \
	libnlopt-dev libyaml-dev libpugixml-dev libeigen3-dev libgtest-dev libbenchmark-dev openssl
PY_PACKAGES := scikit-build-core nanobind numpy pytest matplotlib tqdm 'dask[distributed]' mypy ruff \
	viser trimesh
# The benchmark's yardstick (pinocchio, NLopt's Python binding), pinocchio's C++ headers, and the
# solvers the solver table measures kova against (mink on MuJoCo with the daqp QP solver, scipy).
BENCH_PY_PACKAGES := scikit-build-core nanobind numpy pin nlopt cmeel-urdfdom-headers \
	scipy mink mujoco daqp
# ZeroMQ for `kova live` (the optional extra kova_rs[live]), so that its tests run too.
PY_PACKAGES += pyzmq

.PHONY: all deps system-deps python-deps browser-deps build test test-cpp test-python install-python typecheck \
	stubs demo sanitize bench-build bench bench-micro bench-smoke clean wheel wheel-check \
	wheel-portable wheel-aarch64 sdist test-python-wheels cpp-package-check

all: build

# Debian packages, installed only when one is missing.
system-deps:
	@missing=$$(for p in $(APT_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null \
	  | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PY_PACKAGES)
	touch $@

python-deps: $(VENV)/.ready

# The viewer's browser test: Debian's chromium driven by playwright (playwright's own browser
# download is not used). `make test` installs them, so that test runs too.
browser-deps: python-deps
	@dpkg-query -W -f='$${Status}\n' chromium 2>/dev/null | grep -q 'install ok installed' || \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium)
	$(PY) -m pip install -q playwright

deps: system-deps python-deps

build: system-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_BUILD_BENCH=ON \
	  -DKOVA_WERROR=$${KOVA_WERROR:-OFF}
	cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

install-python: deps
	$(PY) -m pip install -q --no-build-isolation .

test-python: install-python browser-deps
	$(PY) -m pytest -q

test: test-cpp test-python typecheck

# The Python package under mypy --strict (settings in pyproject.toml), with the native modules'
# stubs (_core.pyi from nanobind's stubgen, committed; `make stubs` writes it anew).
typecheck: python-deps
	$(VENV)/bin/mypy

stubs: install-python
	$(PY) -m nanobind.stubgen -q -m kova_rs._core -o python/kova_rs/_core.pyi

sanitize: system-deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=ON \
	  -DKOVA_BUILD_EXAMPLES=OFF -DKOVA_WERROR=$${KOVA_WERROR:-OFF}
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Benchmarks, built optimised in their own directory. With the bench virtual environment present
# the build also compares the kinematics with pinocchio's C++ (from the `pin` wheel).
bench-build: system-deps
	prefix=""; if [ -x $(BENCH_PY) ]; then \
	  prefix=$$($(BENCH_PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/cmeel.prefix; \
	fi; \
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKOVA_BUILD_BENCH=ON \
	  -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_EXAMPLES=OFF -DKOVA_WERROR=$${KOVA_WERROR:-OFF} \
	  -DKOVA_BENCH_PINOCCHIO=$$([ -n "$$prefix" ] && echo ON || echo OFF) -DCMAKE_PREFIX_PATH="$$prefix"
	cmake --build $(BENCH_BUILD) -j $(JOBS)

# The benchmark's own virtual environment: the Python baseline's packages and kova_rs.
$(BENCH_VENV)/.ready: Makefile
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install -q --upgrade pip
	$(BENCH_PY) -m pip install -q $(BENCH_PY_PACKAGES)
	touch $@

# kova (Python and C++ API) against the solver's floor and the Python baseline: one table; then
# kova's two solvers against mink and scipy on pinocchio: another.
bench: system-deps $(BENCH_VENV)/.ready
	$(MAKE) bench-build
	$(BENCH_PY) -m pip install -q --no-build-isolation . pyzmq
	$(BENCH_PY) bench/run_bench.py --build $(BENCH_BUILD) --baseline-repetitions 1
	$(BENCH_PY) bench/solver_table.py --build $(BENCH_BUILD)

# Every Google Benchmark binary of the bench build, one after the other.
bench-micro: bench-build
	@for b in $(BENCH_BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

# A few iterations of every benchmark and a few frames of the table: checks that they run,
# measures nothing. Runs the benchmarks of the test build (no optimised build of its own) and
# uses the test set-up only; the baseline is skipped without pinocchio/nlopt.
bench-smoke: build install-python
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; \
	  $$b --benchmark_min_time=0.0001 >/dev/null || exit 1; done
	$(BUILD)/bench/lm_compare 3 >/dev/null
	$(PY) bench/run_bench.py --build $(BUILD) --smoke
	$(PY) bench/solver_table.py --build $(BUILD) --smoke
	$(PY) bench/core_sequence_bench.py --frames 20 --repeat 1

# Retargets the shipped demo motion onto a shipped hand with each method; plots and
# trajectories land in kova-demo-output/.
demo: install-python
	$(VENV)/bin/kova demo

# Wheels in dist/, one per interpreter of WHEEL_PYTHONS: python3 (3.11) and the oldest pyenv
# 3.12+, whose abi3 wheel serves every later CPython. `make wheel PYTHON=...` builds for that
# interpreter only. Other wheels already in dist/ stay.
# pyenv's CPython 3.12 and later; the first (oldest) builds the abi3 wheel.
STABLE_ABI_PYTHONS := $(wildcard /root/.pyenv/versions/3.1[2-9]*/bin/python3)
ifeq ($(origin PYTHON),command line)
WHEEL_PYTHONS := $(PYTHON)
else
WHEEL_PYTHONS := $(PYTHON) $(firstword $(STABLE_ABI_PYTHONS))
endif

# The fast local path: Debian's toolchain; libyaml, pugixml and the C++ runtime linked
# statically, NLopt's shared object bundled by auditwheel (tagged for this machine's glibc).
wheel: system-deps
	bash packaging/build_wheels.sh debian $(WHEEL_PYTHONS)

# Portable wheels (manylinux_2_28 or older), built with zig from PyPI; NLopt, libyaml and pugixml
# from Debian's source packages, which need deb-src lines for apt-get source.
DEB_SRC_LIST := /etc/apt/sources.list.d/kova-deb-src.sources
$(DEB_SRC_LIST):
	printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' >$@
	apt-get update -qq

wheel-portable: system-deps $(DEB_SRC_LIST)
	bash packaging/build_wheels.sh x86_64 $(WHEEL_PYTHONS)

# The aarch64 abi3 wheel (cross-compiled), then imported and smoke-tested under qemu-user in an
# arm64 Debian chroot (made once by debootstrap, about 20 minutes; kept under build/aarch64).
AARCH64_ROOT := build/aarch64/root
AARCH64_PYTHON := 3.13# the chroot's Python; the build runs on this machine's interpreter of that version
$(AARCH64_ROOT)/.ready:
	bash packaging/aarch64_root.sh $(AARCH64_ROOT)

wheel-aarch64: system-deps $(DEB_SRC_LIST) $(AARCH64_ROOT)/.ready
	bash packaging/build_wheels.sh aarch64 \
	  $(firstword $(wildcard /root/.pyenv/versions/$(AARCH64_PYTHON)*/bin/python3) python$(AARCH64_PYTHON))
	bash packaging/check_wheel_aarch64.sh $(AARCH64_ROOT)

# The source distribution in dist/ (a build from it needs the -dev packages; CMake names them).
sdist: python-deps
	$(PY) -m pip install -q build
	$(PY) -m build --sdist --no-isolation --outdir dist .

# The Python tests on the interpreters beyond python3 (pyenv's 3.12 and later here; another list
# with TEST_PYTHONS=...), each against the portable wheel it installs: the abi3 wheel on 3.12+.
# TEST_PYTHONS=oldest: the oldest only, the interpreter the abi3 wheel is built with (CI's choice).
TEST_PYTHONS ?= $(STABLE_ABI_PYTHONS)
ifeq ($(TEST_PYTHONS),oldest)
override TEST_PYTHONS := $(firstword $(STABLE_ABI_PYTHONS))
endif
test-python-wheels: wheel-portable
	@[ -n "$(TEST_PYTHONS)" ] || { echo "no CPython 3.12 or later found; set TEST_PYTHONS"; exit 1; }
	bash packaging/test_wheels.sh $(TEST_PYTHONS)

# Installs each wheel of dist/ into a fresh virtual environment of every interpreter that can
# take it, with the system libraries and compilers out of reach, and runs the smoke test and the
# demo with NumPy 1 and 2.
wheel-check: wheel wheel-portable
	bash packaging/check_wheel.sh

# The C++ package as another project sees it: the test build installed under build/, and the
# consumer in examples/cpp/ configured, built and run from a directory of its own.
PACKAGE_PREFIX := $(abspath build/kova-install)
CONSUMER_BUILD := build/cpp-consumer
cpp-package-check: build
	rm -rf $(PACKAGE_PREFIX) $(CONSUMER_BUILD)
	cmake --install $(BUILD) --prefix $(PACKAGE_PREFIX)
	cmake -S examples/cpp -B $(CONSUMER_BUILD) -DCMAKE_PREFIX_PATH=$(PACKAGE_PREFIX) \
	  -DCMAKE_COMPILE_WARNING_AS_ERROR=$${KOVA_WERROR:-OFF}
	cmake --build $(CONSUMER_BUILD) -j $(JOBS)
	$(CONSUMER_BUILD)/kova_retarget_motion \
	  python/kova_rs/resources/configs/vector/kova_compact_10dof.yml \
	  python/kova_rs/resources/motions/demo_motion.npy

clean:
	rm -rf build

include reliability.mk
