# The two commands a user needs: `make run` and `make test`.
BUILD_DIR ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
ifeq ($(CI),true)
CMAKE_FLAGS += -DMOLAN_WERROR=ON
endif

.PHONY: run test test-sanitize test-memcheck bench build setup setup-test clean

run: setup build
	@scripts/run $(BUILD_DIR)/molan-recorder

test: setup-test build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2 -LE memcheck

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: setup-test
	@test -f build-sanitize/CMakeCache.txt || cmake -S . -B build-sanitize -G Ninja \
		-DCMAKE_BUILD_TYPE=Debug -DMOLAN_SANITIZE=ON $(filter -DMOLAN_WERROR%,$(CMAKE_FLAGS))
	cmake --build build-sanitize -j2
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir build-sanitize --output-on-failure -j2 -LE memcheck

# The unit tests under valgrind's memcheck.
test-memcheck: setup-test build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2 -L memcheck

# Start-up, CPU, memory, timing and saving of the real program, beside their targets.
bench: setup-test build
	python3 bench/run_bench.py --build $(BUILD_DIR)

build:
	@test -f $(BUILD_DIR)/CMakeCache.txt || cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j2

setup:
	@scripts/setup

setup-test:
	@scripts/setup --test

clean:
	rm -rf $(BUILD_DIR) build-sanitize
