# `make test` and `make demo` set up everything they need on a fresh machine.
VENV    := .venv
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
JOBS    ?= $(shell nproc)
BUILD   ?= build/native
GEN     := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

.PHONY: setup build test demo test-cpp test-python test-asan test-tsan fuzz bench clean \
        setup-armhf test-armhf test-armhf-python wheel-armhf test-kernel

setup:
	@tools/setup.sh

$(BUILD)/build.ninja: | setup
	$(CMAKE) -S . -B $(BUILD) $(GEN) -DPython_EXECUTABLE=$(abspath $(PY))

build: setup $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# The pure-Python package from its source folder, its native half from the build.
PYPATH  = $(abspath package):$(abspath $(BUILD))/python

test: build
	cd $(BUILD) && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)
	PYTHONPATH=$(PYPATH) $(PY) -m pytest -q tests/python

# The web viewer in a real headless Chromium (Debian's chromium and
# chromium-driver, installed when missing); screenshots in build/test-artifacts/.
.PHONY: test-browser
test-browser: build
	@tools/setup.sh chromium chromium-driver
	QUORVEX_REQUIRE_BROWSER=1 PYTHONPATH=$(PYPATH) $(PY) -m pytest -q tests/python/test_viewer_browser.py

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

# libFuzzer runs over the parsers of kernel texts (clang only), a while each.
FUZZ_SECONDS ?= 20
fuzz: setup
	@tools/setup.sh clang libclang-rt-14-dev
	$(CMAKE) -S . -B build/fuzz $(GEN) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_GTEST_FROM_SOURCE=ON -DQUORVEX_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DQUORVEX_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
	$(CMAKE) --build build/fuzz -j $(JOBS) --target quorvex_fuzzers
	set -e; for t in build/fuzz/tests/*_fuzz; do \
	  echo "fuzz: $$t"; mkdir -p build/fuzz/corpus/$$(basename $$t); \
	  $$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build/fuzz/corpus/$$(basename $$t); \
	done

# 32-bit ARM (armv7l, hard-float): cross-built with Debian's
# arm-linux-gnueabihf compiler, every C++ test run under qemu-arm; once with
# the default 32-bit time_t and once with the 64-bit time_t layout.
ARMHF_CMAKE := $(CMAKE) $(GEN) -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/toolchain-armhf.cmake) \
  -DQUORVEX_BUILD_PYTHON=OFF

setup-armhf: setup
	@tools/setup.sh g++-arm-linux-gnueabihf qemu-user

define armhf_ctest
	$(ARMHF_CMAKE) -S . -B $(1) -DCMAKE_C_FLAGS="$(2)" -DCMAKE_CXX_FLAGS="$(2)"
	$(CMAKE) --build $(1) -j $(JOBS)
	cd $(1) && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)
endef

test-armhf: setup-armhf
	$(call armhf_ctest,build/armhf,)
	$(call armhf_ctest,build/armhf-time64,-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64)

# The armv7l wheel, cross-built against Debian's armhf CPython headers, and
# the Python tests run against it by Debian's armhf CPython under qemu-arm.
# Downloaded packages are kept in build/armhf-debs.
wheel-armhf: setup-armhf
	tools/armhf-sysroot.sh build/armhf-sysroot build/armhf-debs
	$(PY) tools/build_wheel_armhf.py --sysroot build/armhf-sysroot --build-dir build/wheel-armhf \
	  --dist-dir build/dist --jobs $(JOBS)

test-armhf-python: wheel-armhf
	tools/armhf-python-tests.sh build/armhf-sysroot build/dist

# Speed, never pass/fail: every bench executable, the Python benches, then
# instructions per frame of the armv7 build when the cross tools are there.
bench: build
	@$(CMAKE) --build $(BUILD) --target run_benchmarks
	@set -e; for p in bench/*_bench.py; do echo "== $$(basename $$p)"; \
	  PYTHONPATH=$(PYPATH) $(PY) $$p $(BUILD); done
	@if command -v arm-linux-gnueabihf-g++ >/dev/null && command -v qemu-arm >/dev/null; then \
	  echo "== armv7 instruction counts"; tools/count-instructions.sh; \
	else echo "== armv7 instruction counts skipped (make setup-armhf installs the cross tools)"; fi

# The tests/kernel/ programs inside Debian's own kernels under qemu-system
# (x86-64 and armv7l), against the real vivid and I2C drivers.
test-kernel: setup
	JOBS=$(JOBS) tools/test-kernel.sh

clean:
	rm -rf build

# The main job: stream from the built-in simulated module and save pictures.
DEMO_SECONDS ?= 5
.PHONY: demo
demo: build
	PYTHONPATH=$(PYPATH) $(PY) examples/depth_example.py --seconds $(DEMO_SECONDS) --out demo-output

# The C++ library for programs that link it: installed tree, CMake package,
# pkg-config file and Debian packages (amd64, armhf, and arm64 once its
# toolchain file exists), each built against and run (tools/test-sdk.sh).
# `make deb` only builds the packages, into build/deb.
SDK_APT := pkg-config $(if $(wildcard cmake/toolchain-arm64.cmake),g++-aarch64-linux-gnu)
.PHONY: sdk-test deb
sdk-test: setup-armhf
	@tools/setup.sh $(SDK_APT)
	JOBS=$(JOBS) tools/test-sdk.sh

deb: setup-armhf
	@tools/setup.sh $(SDK_APT)
	JOBS=$(JOBS) tools/test-sdk.sh deb
