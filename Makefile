# `make test` and `make demo` set up everything they need on a fresh machine.
VENV    := .venv
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
JOBS    ?= $(shell nproc)
BUILD   ?= build/native
GEN     := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

.PHONY: setup build test test-cpp test-python test-asan test-tsan test-kernel clean

setup:
	@tools/setup.sh

$(BUILD)/build.ninja: | setup
	$(CMAKE) -S . -B $(BUILD) $(GEN) -DPython_EXECUTABLE=$(abspath $(PY))

build: setup $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)
	PYTHONPATH=$(abspath $(BUILD))/python $(PY) -m pytest -q tests/python

# C++ tests under the sanitizers, each in a build directory of its own.
test-asan: setup
	$(CMAKE) -S . -B build/asan $(GEN) -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_GTEST_FROM_SOURCE=ON \
	  -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_SANITIZE=address,undefined
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

test-tsan: setup
	$(CMAKE) -S . -B build/tsan $(GEN) -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_GTEST_FROM_SOURCE=ON \
	  -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_SANITIZE=thread
	$(CMAKE) --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

# The tests/kernel/ programs inside Debian's own kernels under qemu-system
# (x86-64 and armv7l), against the real vivid and I2C drivers.
test-kernel: setup
	JOBS=$(JOBS) tools/test-kernel.sh

clean:
	rm -rf build
