# Reliability targets: fuzzing, the Python tests against a sanitized extension, the C++ tests
# under valgrind, and the soak run. Included from the Makefile; each target installs what it needs.

FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-19
FUZZ_APT_PACKAGES := clang-19 libclang-rt-19-dev
# Shares the build directory of `make sanitize` (same flags), so the core is compiled only once.
PY_ASAN_BUILD := $(ASAN_BUILD)
ROBOTS_DIR ?= tests/data/robots
# Left out under memcheck: the test reading 320 MiB from /dev/zero (slowed many times over,
# exercising nothing the other file tests do not) and the allocation-counting tests, whose
# counter interposes malloc and so cannot see allocations that memcheck serves itself. Both run
# natively in `make test`. That interposition also makes memcheck pair its own operator new with
# the binary's free, so mismatched-free reports are switched off; all other errors and definite
# leaks still fail the run.
VALGRIND_GTEST_FILTER ?= -*EndlessDevice*:ObjectiveAllocation.*
SOAK_FRAMES ?= 1000000
SOAK_BUILDS ?= 20000

.PHONY: fuzz fuzz-build fuzz-deps sanitize-python valgrind soak

define apt_ensure
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null \
	  | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
endef

fuzz-deps: system-deps
	$(call apt_ensure,$(FUZZ_APT_PACKAGES))

fuzz-build: fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKOVA_FUZZ=ON -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_EXAMPLES=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Each target runs FUZZ_SECONDS; any crash, sanitizer report, leak, hang or memory blow-up fails.
fuzz: fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh $(FUZZ_BUILD) $(ROBOTS_DIR)

# The Python tests against an ASan + UBSan build of the extension, assembled into its own package
# directory (the installed wheel is not touched). Python leaks by design, so leak detection is
# off; UBSan stops at the first report. test_leaks.py is left out: it judges memory by the
# resident set size, which ASan's quarantine of freed blocks makes grow, and its 100,000-call
# loops take many minutes under ASan; so is the live loop's memory test after a flood of bad
# datagrams, for the same reason; and the viewer's browser test, since the browser cannot start
# with ASan preloaded (the native calls behind the viewer are covered by the other tests). Two
# slow checks of shipped data run natively only: that the makers' hands are byte for byte what
# kova init makes of their files (about 110 s under ASan, the same init code the init tests run)
# and the demo motion on each left makers' hand (mirrors of the right ones, through the same
# solver code). All of these run in `make test`.
sanitize-python: system-deps python-deps
	cmake -S . -B $(PY_ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=ON \
	  -DKOVA_BUILD_PYTHON=ON -DKOVA_BUILD_EXAMPLES=OFF \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DKOVA_WERROR=$${KOVA_WERROR:-OFF}
	cmake --build $(PY_ASAN_BUILD) -j $(JOBS) --target _native _core
	rm -rf $(PY_ASAN_BUILD)/pkg && mkdir -p $(PY_ASAN_BUILD)/pkg
	cp -r python/kova_rs $(PY_ASAN_BUILD)/pkg/
	cp $(PY_ASAN_BUILD)/bindings/_native*.so $(PY_ASAN_BUILD)/bindings/_core*.so \
	  $(PY_ASAN_BUILD)/pkg/kova_rs/
	set -o pipefail; \
	export PYTHONPATH=$(abspath $(PY_ASAN_BUILD)/pkg) PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1; \
	$(PY) -c "import kova_rs._native as m, sys; \
	  sys.exit(0 if '$(PY_ASAN_BUILD)/pkg' in m.__file__ else 'sanitized module not loaded: ' + m.__file__)" \
	&& $(PY) -m pytest -q -p no:cacheprovider --ignore=tests/python/test_leaks.py \
	  --deselect tests/python/test_live.py::test_a_flood_of_huge_bad_datagrams_leaves_memory_as_it_was \
	  --deselect tests/python/test_view.py::test_browser_draws_robot_and_keypoints_and_follows_the_timeline \
	  --deselect tests/python/test_shipped_hands.py::test_the_makers_hands_are_what_kova_init_makes_of_their_files \
	  -k 'not (test_demo_motion_retargets_onto_every_hand and _left)'

# The C++ test binary of `make build` once under memcheck: any error or definite leak fails.
valgrind: build
	$(call apt_ensure,valgrind)
	valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
	  --show-leak-kinds=definite --show-mismatched-frees=no --track-origins=yes --quiet \
	  $(BUILD)/tests/cpp/kova_tests --gtest_filter='$(VALGRIND_GTEST_FILTER)' \
	  --gtest_brief=1

# Not part of CI: a million frames through one retargeter and many builds and drops, with the
# resident memory sampled and checked flat.
soak: install-python
	$(PY) tests/soak/soak.py --frames $(SOAK_FRAMES) --builds $(SOAK_BUILDS)
