# Front door. `make demo` sets everything up and renders the demo session;
# `make test` sets everything up and runs every test in the default,
# AddressSanitizer and ThreadSanitizer builds.
JOBS ?= $(shell nproc)

.PHONY: setup build test test-default test-asan test-tsan bench format-check

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

test: test-default test-asan test-tsan

bench: build
	for b in build/default/bin/bench_*; do $$b; done
