# Front door. `make demo` sets everything up and renders the demo session;
# `make test` sets everything up, runs every test in the default,
# AddressSanitizer and ThreadSanitizer builds, then every fuzz target for
# 30 seconds.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30

.PHONY: setup build test test-default test-asan test-tsan fuzz-ci bench format-check fuzz benchmarks

setup:
	./scripts/setup.sh

build: setup
	cmake --preset default
	cmake --build --preset default -j$(JOBS)

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

# Runs the benchmarks and the idle-cost comparison; writes BENCHMARKS.md.
benchmarks: setup
	./scripts/benchmarks.sh
