# Set-up, build, test and demo. Every target installs what it needs and is safe to run twice.
SHELL := /bin/bash
JOBS ?= 2
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/cpp
ASAN_BUILD := build/asan
BENCH_BUILD := build/bench

APT_PACKAGES := g++ make cmake pkg-config git python3 python3-venv python3-dev \
	libnlopt-dev libyaml-dev libpugixml-dev libeigen3-dev libgtest-dev libbenchmark-dev
PY_PACKAGES := scikit-build-core numpy pytest matplotlib tqdm

.PHONY: all deps system-deps python-deps build test test-cpp test-python install-python \
	demo sanitize bench-build bench bench-smoke clean

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

# Micro benchmarks, built optimised in their own directory.
bench-build: system-deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKOVA_BUILD_BENCH=ON \
	  -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_EXAMPLES=OFF -DKOVA_WERROR=$${KOVA_WERROR:-OFF}
	cmake --build $(BENCH_BUILD) -j $(JOBS)

bench: bench-build
	@for b in $(BENCH_BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

# A few iterations of every benchmark: checks that they run, measures nothing.
bench-smoke: bench-build
	@for b in $(BENCH_BUILD)/bench/*_bench; do echo "== $$b"; \
	  $$b --benchmark_min_time=0.0001 >/dev/null || exit 1; done

# Retargets the shipped demo motion onto a shipped hand with each method; plots and
# trajectories land in kova-demo-output/.
demo: install-python
	$(VENV)/bin/kova demo

clean:
	rm -rf build

include reliability.mk
