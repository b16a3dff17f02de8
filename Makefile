# Set-up, build, test and demo. Every target installs what it needs and is safe to run twice.
SHELL := /bin/bash
JOBS ?= 2
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/cpp
ASAN_BUILD := build/asan
BENCH_BUILD := build/bench
BENCH_SMOKE_BUILD := build/bench-smoke
BENCH_VENV := build/bench-venv
BENCH_PY := $(BENCH_VENV)/bin/python

APT_PACKAGES := g++ make cmake pkg-config git python3 python3-venv python3-dev \
	libnlopt-dev libyaml-dev libpugixml-dev libeigen3-dev libgtest-dev libbenchmark-dev
PY_PACKAGES := scikit-build-core numpy pytest
# The benchmark's yardstick (pinocchio, NLopt's Python binding) and pinocchio's C++ headers.
BENCH_PY_PACKAGES := scikit-build-core numpy pin nlopt cmeel-urdfdom-headers

.PHONY: all deps system-deps python-deps build test test-cpp test-python install-python \
	demo sanitize bench bench-smoke clean

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
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_WERROR=$${KOVA_WERROR:-OFF}
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

demo: build
	$(BUILD)/examples/print_dof

# The benchmark: release build, its own virtual environment with the Python baseline, one table.
$(BENCH_VENV)/.ready:
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install -q --upgrade pip
	$(BENCH_PY) -m pip install -q $(BENCH_PY_PACKAGES)
	touch $@

bench: system-deps $(BENCH_VENV)/.ready
	prefix=$$($(BENCH_PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/cmeel.prefix; \
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKOVA_BUILD_BENCH=ON \
	  -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_EXAMPLES=OFF -DKOVA_BENCH_PINOCCHIO=ON \
	  -DCMAKE_PREFIX_PATH=$$prefix -DKOVA_WERROR=$${KOVA_WERROR:-OFF}
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_PY) -m pip install -q --no-build-isolation .
	$(BENCH_PY) bench/run_bench.py --build $(BENCH_BUILD)

# A few frames of every case, nothing asserted about time. Uses the test set-up only: the
# baseline is skipped when pinocchio or nlopt are not installed there.
bench-smoke: install-python
	cmake -S . -B $(BENCH_SMOKE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_BUILD_BENCH=ON \
	  -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_EXAMPLES=OFF -DKOVA_WERROR=$${KOVA_WERROR:-OFF}
	cmake --build $(BENCH_SMOKE_BUILD) -j $(JOBS) --target kova_frame_timing
	$(PY) bench/run_bench.py --build $(BENCH_SMOKE_BUILD) --smoke

clean:
	rm -rf build
