# The two commands a user needs: `make run` and `make test`.
BUILD_DIR ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
ifeq ($(CI),true)
CMAKE_FLAGS += -DMOLAN_WERROR=ON
endif

.PHONY: run test build setup setup-test clean

run: setup build
	@scripts/run $(BUILD_DIR)/molan-recorder

test: setup-test build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2

build:
	@test -f $(BUILD_DIR)/CMakeCache.txt || cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j2

setup:
	@scripts/setup

setup-test:
	@scripts/setup --test

clean:
	rm -rf $(BUILD_DIR)
