# Front door. `make demo` sets everything up and renders the demo session;
# `make test` sets everything up, runs every test in the default,
# AddressSanitizer and ThreadSanitizer builds, then every fuzz target for
# 30 seconds, then checks the installation and the Debian package.
# `make install` / `make uninstall` (PREFIX, DESTDIR) and `make deb` use the
# release build (build/release), which holds only what is installed.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: setup build demo test test-default test-asan test-tsan fuzz-ci check-install bench format-check fuzz benchmarks soak soak-realtime release install uninstall deb

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

test: test-default test-asan test-tsan fuzz-ci check-install

# The short fuzzing run of CI. After test-default, so the built-in packs it
# generated seed the targets too.
fuzz-ci: setup
	./scripts/fuzz.sh 30

# The installation: make install and uninstall into a staging folder, the
# desktop entry, AppStream metadata and manual pages validated, and, as root,
# the Debian package installed, used and purged.
check-install: setup
	./scripts/check-install.sh

# The release build: Release, stripped at install, no tests or benchmarks.
release: setup
	cmake --preset release
	cmake --build --preset release -j$(JOBS)

install: release
	./scripts/install.sh build/release "$(PREFIX)" "$(DESTDIR)"

# Removes exactly what the last `make install` wrote (build/release/install_manifest.txt).
uninstall:
	./scripts/uninstall.sh build/release

# build/release/clavio_<version>_amd64.deb
deb: release
	cd build/release && cpack -G DEB

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
