# Front door. `make demo` sets everything up and renders the demo session;
# `make test` sets everything up, runs every test in the default,
# AddressSanitizer and ThreadSanitizer builds, then every fuzz target for
# 30 seconds.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30

.PHONY: setup build demo test test-default test-asan test-tsan fuzz-ci bench format-check fuzz benchmarks soak soak-realtime

setup:
	./scripts/setup.sh

build: setup
	cmake --preset default
	cmake --build --preset default -j$(JOBS)

# The main job: the bundled demo session rendered with the default pack to
# demo.wav in this folder, with its table of presses.
demo: setup
	cmake --preset default
	cmake --build --preset default -j$(JOBS) --target clavio-cli clavio_demo_session clavio_sound_packs
	./build/default/bin/clavio-cli render --trace demo --pack Biscuit --out demo.wav

test-default: setup
	cmake --preset default
	cmake --build --preset default -j$(JOBS)
	ctest --preset default -j$(JOBS)

test-asan: setup
	cmake --preset asan
	cmake --build --preset asan -j$(JOBS)
	ctest --preset asan -j$(JOBS)

test-tsan: setup
	cmake --preset tsan
	cmake --build --preset tsan -j$(JOBS)
	ctest --preset tsan -j$(JOBS)

test: test-default test-asan test-tsan fuzz-ci

# The short fuzzing run of CI. After test-default, so the built-in packs it
# generated seed the targets too.
fuzz-ci: setup
	./scripts/fuzz.sh 30

bench: build
	for b in build/default/bin/bench_*; do $$b; done

# Every fuzz target for FUZZ_SECONDS each (make fuzz FUZZ_SECONDS=600).
fuzz: setup
	./scripts/fuzz.sh $(FUZZ_SECONDS)

# The long soak on virtual time: an hour under AddressSanitizer (its leak
# check runs at exit), a shorter run under ThreadSanitizer.
SOAK_SECONDS ?= 3600
TSAN_SOAK_SECONDS ?= 600
soak: setup
	cmake --preset asan
	cmake --build --preset asan -j$(JOBS) --target clavio_platform_tests
	CLAVIO_SOAK_SECONDS=$(SOAK_SECONDS) ./build/asan/bin/clavio_platform_tests --gtest_filter='Soak.*'
	cmake --preset tsan
	cmake --build --preset tsan -j$(JOBS) --target clavio_platform_tests
	CLAVIO_SOAK_SECONDS=$(TSAN_SOAK_SECONDS) ./build/tsan/bin/clavio_platform_tests --gtest_filter='Soak.*'

# A few minutes of typing through the real threads and SDL's dummy driver.
soak-realtime: build
	./scripts/soak_realtime.sh

# Runs the benchmarks and the idle-cost comparison; writes BENCHMARKS.md.
benchmarks: setup
	./scripts/benchmarks.sh
