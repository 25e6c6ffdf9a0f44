# The two commands a user needs: `make run` and `make test`.
BUILD_DIR ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
ifeq ($(CI),true)
CMAKE_FLAGS += -DMOLAN_WERROR=ON
endif

.PHONY: run test test-sanitize test-memcheck fuzz campaign test-debian13 bench build setup setup-test clean windows \
	test-windows deb deb-check

run: setup build
	@scripts/run $(BUILD_DIR)/molan-recorder

test: setup-test build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2 -LE memcheck

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer,
# but for the checks of the package, which is built without them, and the
# whole program on PipeWire: the sound layer's own tests cover both servers,
# and the window's code is the same on either.
test-sanitize: setup-test
	@test -f build-sanitize/CMakeCache.txt || cmake -S . -B build-sanitize -G Ninja \
		-DCMAKE_BUILD_TYPE=Debug -DMOLAN_SANITIZE=ON $(filter -DMOLAN_WERROR%,$(CMAKE_FLAGS))
	cmake --build build-sanitize -j2
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir build-sanitize --output-on-failure -j2 -LE "memcheck|packaging" \
		-E "^e2e_.*_pipewire$$"

# The recovery reader fed files made up by libFuzzer for FUZZ_SECONDS, built
# with clang, AddressSanitizer and UndefinedBehaviorSanitizer; fails on any
# finding, whose input is left in build-fuzz/ (crash-*, leak-*, timeout-*).
# New inputs go to build-fuzz/corpus; the seeds in tests/fuzz/corpus stay.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/setup --fuzz
	@test -f build-fuzz/CMakeCache.txt || CXX=clang++ cmake -S tests/fuzz -B build-fuzz -G Ninja \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j2
	mkdir -p build-fuzz/corpus
	build-fuzz/fuzz_recovery -max_total_time=$(FUZZ_SECONDS) -timeout=1 -print_final_stats=1 \
		-artifact_prefix=build-fuzz/ build-fuzz/corpus tests/fuzz/corpus

# Take after take of the real program, on each sound server in a private
# session, with seeded faults at random moments (tests/campaign); fails on any
# take lost or gap not told, naming the seed and the take. The seed is fresh
# unless given, and printed.
CAMPAIGN_TAKES ?= 150
ifeq ($(CAMPAIGN_SEED),)
CAMPAIGN_SEED := $(shell od -An -N4 -tu4 /dev/urandom | tr -d ' ')
endif
campaign: setup-test build
	@echo "campaign: seed $(CAMPAIGN_SEED), $(CAMPAIGN_TAKES) takes on each server"
	@status=0; for server in pulseaudio pipewire; do \
		MOLAN_PROGRAM=$(abspath $(BUILD_DIR))/molan-recorder MOLAN_SOUND_SERVER=$$server PYTHONDONTWRITEBYTECODE=1 \
		CAMPAIGN_SEED=$(CAMPAIGN_SEED) CAMPAIGN_TAKES=$(CAMPAIGN_TAKES) \
		/usr/bin/python3 -m pytest -q -s -p no:cacheprovider tests/campaign || status=1; \
	done; exit $$status

# The unit tests under valgrind's memcheck.
test-memcheck: setup-test build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2 -L memcheck

# `make test` from a fresh clone of HEAD inside a Debian 13 root, made once
# from this system's Debian mirrors and kept in the user's cache (needs root).
test-debian13:
	@scripts/debian13 make test

# The Debian package from debian/, built in clean roots of Debian 12 and 13
# holding only its Build-Depends (made once, kept in the user's cache; needs
# root): dist/deb/bookworm and dist/deb/trixie. deb-check also builds each a
# second time elsewhere and compares the bytes, then runs lintian,
# hardening-check and the autopkgtest in a fresh root of that release.
deb:
	@scripts/build-deb

deb-check:
	@scripts/build-deb --twice --check

# Start-up, CPU, memory, timing and saving of the real program, beside their targets.
bench: setup-test build
	python3 bench/run_bench.py --build $(BUILD_DIR)

# The Windows version, cross-built: dist/molan-recorder-1.0-win64.zip and
# dist/molan-recorder-1.0-setup.exe. Qt for Windows is built once into the
# user's cache (see scripts/windows-deps).
WIN_BUILD_DIR ?= build-windows
windows:
	@scripts/setup --windows
	@deps=$$(scripts/windows-deps) && cmake -S . -B $(WIN_BUILD_DIR) -G Ninja --log-level=WARNING \
		$(if $(wildcard $(WIN_BUILD_DIR)/CMakeCache.txt),,--toolchain cmake/mingw-w64-x86_64.cmake) \
		-DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$$deps" \
		-DMOLAN_DIST_DIR="$(CURDIR)/dist" $(filter -DMOLAN_WERROR%,$(CMAKE_FLAGS))
	cmake --build $(WIN_BUILD_DIR) -j2 --target windows-package

# The unit tests under Wine, and the installer tried on a fresh Wine prefix.
test-windows:
	@scripts/setup --windows --test
	@$(MAKE) --no-print-directory windows
	cmake --build $(WIN_BUILD_DIR) -j2
	ctest --test-dir $(WIN_BUILD_DIR) --output-on-failure -j2

build:
	@test -f $(BUILD_DIR)/CMakeCache.txt || cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j2

setup:
	@scripts/setup

setup-test:
	@scripts/setup --test

clean:
	rm -rf $(BUILD_DIR) build-sanitize build-fuzz $(WIN_BUILD_DIR) dist
