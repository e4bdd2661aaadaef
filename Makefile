# `make test` and `make demo` set up everything they need on a fresh machine.
VENV    := .venv
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
JOBS    ?= $(shell nproc)
BUILD   ?= build/native
GEN     := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

.PHONY: setup build test demo test-cpp test-python test-asan test-tsan fuzz bench clean \
        setup-armhf test-armhf test-armhf-python wheel-armhf test-kernel \
        setup-arm64 test-arm64 wheel-arm64 test-arm64-python wheel-trixie test-trixie-python

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

# libFuzzer runs over the parsers of kernel texts (clang only), a while each,
# and atheris over the recording reader, from real recordings.
FUZZ_SECONDS ?= 20
.PHONY: fuzz-recording
fuzz: setup fuzz-recording
	@tools/setup.sh clang libclang-rt-14-dev
	$(CMAKE) -S . -B build/fuzz $(GEN) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_GTEST_FROM_SOURCE=ON -DQUORVEX_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DQUORVEX_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
	$(CMAKE) --build build/fuzz -j $(JOBS) --target quorvex_fuzzers
	set -e; for t in build/fuzz/tests/*_fuzz; do \
	  echo "fuzz: $$t"; mkdir -p build/fuzz/corpus/$$(basename $$t); \
	  $$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build/fuzz/corpus/$$(basename $$t); \
	done

# A hostile file must be refused in well under a second and a few MB: the
# limits are the interpreter's own size plus a margin, and seconds.
fuzz-recording: build-python
	@echo "fuzz: tests/fuzz/recording_fuzz.py"
	PYTHONPATH=$(PYPATH) $(PY) tests/fuzz/recording_fuzz.py --corpus build/fuzz/corpus/recording_fuzz
	PYTHONPATH=$(PYPATH) $(PY) tests/fuzz/recording_fuzz.py -max_total_time=$(FUZZ_SECONDS) -timeout=3 \
	  -rss_limit_mb=256 -print_final_stats=1 build/fuzz/corpus/recording_fuzz

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

# 64-bit ARM (aarch64: Jetson, 64-bit Raspberry Pi OS): cross-built with
# Debian's aarch64-linux-gnu compiler, every C++ test run under qemu-aarch64.
# time_t is 64 bits wide there already, so one build covers it.
setup-arm64: setup
	@tools/setup.sh g++-aarch64-linux-gnu qemu-user

test-arm64: setup-arm64
	$(CMAKE) $(GEN) -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/toolchain-arm64.cmake) \
	  -DQUORVEX_BUILD_PYTHON=OFF
	$(CMAKE) --build build/arm64 -j $(JOBS)
	cd build/arm64 && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

# Wheels for ARM boards, cross-built against a Debian release's own CPython
# headers (bookworm: 3.11, trixie: 3.13; Raspberry Pi OS follows them) for
# armv7l (armhf) and aarch64 (arm64), and the Python tests run against each
# by that release's CPython, numpy and pytest under qemu-user. Packages come
# through a private apt state; downloads are kept in build/debs-ARCH-RELEASE.
define arm_wheel
	tools/debian-sysroot.sh $(1) $(2) build/sysroot-$(1)-$(2) build/debs-$(1)-$(2)
	$(PY) tools/build_wheel.py --arch $(1) --sysroot build/sysroot-$(1)-$(2) \
	  --build-dir build/wheel-$(1)-$(2) --dist-dir build/dist --jobs $(JOBS)
endef
arm_python_tests = tools/qemu-python-tests.sh $(1) build/sysroot-$(1)-$(2) build/dist

wheel-armhf: setup-armhf
	$(call arm_wheel,armhf,bookworm)

test-armhf-python: wheel-armhf
	$(call arm_python_tests,armhf,bookworm)

wheel-arm64: setup-arm64
	$(call arm_wheel,arm64,bookworm)

test-arm64-python: wheel-arm64
	$(call arm_python_tests,arm64,bookworm)

wheel-trixie: setup-armhf setup-arm64
	$(call arm_wheel,armhf,trixie)
	$(call arm_wheel,arm64,trixie)

test-trixie-python: wheel-trixie
	$(call arm_python_tests,armhf,trixie)
	$(call arm_python_tests,arm64,trixie)

# Speed, never pass/fail: every bench executable, the Python benches, then
# instructions per frame of the armv7 and aarch64 builds where the cross
# tools are there.
bench: build
	@$(CMAKE) --build $(BUILD) --target run_benchmarks
	@set -e; for p in bench/*_bench.py; do echo "== $$(basename $$p)"; \
	  PYTHONPATH=$(PYPATH) $(PY) $$p $(BUILD); done
	@echo "== ARM instruction counts (make setup-armhf, make setup-arm64 install the cross tools)"
	@tools/count-instructions.sh

# The tests/kernel/ programs inside Debian's own kernels under qemu-system
# (x86-64, armv7l and aarch64), against the real vivid and I2C drivers.
test-kernel: setup
	JOBS=$(JOBS) tools/test-kernel.sh

clean:
	rm -rf build

# The main job: stream the box scene of the built-in simulated module
# through the quorvex package and save pictures and a point cloud. Builds
# only the two extension modules and what they link.
DEMO_SECONDS ?= 5
.PHONY: demo build-python
build-python: setup $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target QuorvexDepthCamera quorvex_native

demo: build-python
	PYTHONPATH=$(PYPATH) $(PY) examples/demo.py --seconds $(DEMO_SECONDS) --out demo-output

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
