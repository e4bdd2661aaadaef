# `make test` and `make demo` set up everything they need on a fresh machine.
# Build directories and their options are CMake presets (CMakePresets.json):
# build/<preset>, and BUILD for the native one.
VENV    := .venv
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest
JOBS    ?= $(shell nproc)
BUILD   ?= build/native
NINJA   := -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

# Configure, build and run the C++ tests of a preset (sanitizers, ARM).
preset_ctest = $(CMAKE) --preset $(1) $(NINJA) && $(CMAKE) --build --preset $(1) -j $(JOBS) && \
  $(CTEST) --preset $(1) -j $(JOBS)

.PHONY: setup
setup:
	@tools/setup.sh

$(BUILD)/build.ninja: | setup
	$(CMAKE) --preset native -B $(BUILD) $(NINJA) -DPython_EXECUTABLE=$(abspath $(PY))

.PHONY: build
build: setup $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# The pure-Python package from its source folder, its native half from the build.
PYPATH  = $(abspath package):$(abspath $(BUILD))/python

.PHONY: test test-cpp test-python
test: test-cpp test-python

test-cpp: build
	$(CTEST) --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-python: build
	PYTHONPATH=$(PYPATH) $(PY) -m pytest -q tests/python

# The web viewer in a real headless Chromium (Debian's chromium and
# chromium-driver, installed when missing); screenshots in build/test-artifacts/.
BROWSER_APT := chromium chromium-driver
.PHONY: test-browser
test-browser: build
	@tools/setup.sh $(BROWSER_APT)
	QUORVEX_REQUIRE_BROWSER=1 PYTHONPATH=$(PYPATH) $(PY) -m pytest -q tests/python/test_viewer_browser.py

# ROS 2: Debian's Cyclone DDS C library (what --transport ros2 loads; its
# package is named per release) and Fast DDS with its IDL compiler, the
# tests' independent peer and its message types, installed when missing; the
# tests then run in a network namespace of their own with only the loopback
# interface up, where one is allowed.
DDS_PACKAGE = $(shell apt-cache show libddsc0t64 >/dev/null 2>&1 && echo libddsc0t64 || echo libddsc0debian)
ROS2_APT = $(DDS_PACKAGE) libfastrtps-dev fastddsgen ccache
.PHONY: test-ros2
test-ros2: build
	@tools/setup.sh $(ROS2_APT)
	QUORVEX_REQUIRE_ROS2=1 PYTHONPATH=$(PYPATH) tools/loopback-only.sh $(PY) -m pytest -q tests/python/test_ros2.py

# C++ tests under the sanitizers, each in a build directory of its own; the
# sanitizers' run-time options are the test presets'.
.PHONY: test-asan test-tsan
test-asan: setup
	$(call preset_ctest,asan)

test-tsan: setup
	$(call preset_ctest,tsan)

# libFuzzer runs over the parsers of kernel texts (clang only), a while each,
# and atheris over the recording reader, from real recordings.
FUZZ_SECONDS ?= 20
FUZZ_APT := clang libclang-rt-14-dev
.PHONY: fuzz fuzz-recording
fuzz: setup fuzz-recording
	@tools/setup.sh $(FUZZ_APT)
	$(CMAKE) --preset fuzz $(NINJA) && $(CMAKE) --build --preset fuzz -j $(JOBS)
	set -e; for t in build/fuzz/tests/fuzz/*_fuzz; do \
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
# the default 32-bit time_t and once with the 64-bit time_t layout, that one
# configured as a 32-bit userland under a 64-bit kernel sees itself (the
# system reports aarch64).
ARMHF_APT := g++-arm-linux-gnueabihf qemu-user
ARM64_APT := g++-aarch64-linux-gnu qemu-user
.PHONY: setup-armhf test-armhf setup-arm64 test-arm64
setup-armhf: setup
	@tools/setup.sh $(ARMHF_APT)

test-armhf: setup-armhf
	$(call preset_ctest,armhf)
	$(call preset_ctest,armhf-time64)

# 64-bit ARM (aarch64: Jetson, 64-bit Raspberry Pi OS): cross-built with
# Debian's aarch64-linux-gnu compiler, every C++ test run under qemu-aarch64.
# time_t is 64 bits wide there already, so one build covers it.
setup-arm64: setup
	@tools/setup.sh $(ARM64_APT)

test-arm64: setup-arm64
	$(call preset_ctest,arm64)

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

.PHONY: wheel-armhf test-armhf-python wheel-arm64 test-arm64-python wheel-trixie test-trixie-python
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
# Each bench also writes its figures as a JSON object of its own into
# BENCH_FIGURES; they are joined into build/bench/results.json.
BENCH_FIGURES := $(CURDIR)/build/bench/figures
.PHONY: bench
bench: build
	@rm -rf $(BENCH_FIGURES) && mkdir -p $(BENCH_FIGURES)
	@QUORVEX_BENCH_FIGURES=$(BENCH_FIGURES) $(CMAKE) --build $(BUILD) --target run_benchmarks
	@set -e; for p in bench/*_bench.py; do echo "== $$(basename $$p)"; \
	  QUORVEX_BENCH_FIGURES=$(BENCH_FIGURES) PYTHONPATH=$(PYPATH) $(PY) $$p $(BUILD); done
	@echo "== ARM instruction counts (make setup-armhf, make setup-arm64 install the cross tools)"
	@QUORVEX_BENCH_FIGURES=$(BENCH_FIGURES) tools/count-instructions.sh
	@$(PY) tools/merge_bench_figures.py $(BENCH_FIGURES) build/bench/results.json

# ROS 2 across a veth pair with Ethernet's MTU between two network
# namespaces made for the run (as root; net.core.rmem_max, which is the whole
# machine's, is changed for the run and put back): some four minutes, so on
# its own rather than in `make bench`.
.PHONY: bench-ros2-network
bench-ros2-network: build-python
	@tools/setup.sh $(DDS_PACKAGE) iproute2
	PYTHONPATH=$(PYPATH) $(PY) bench/ros2_network.py

# The tests/kernel/ programs inside Debian's own kernels under qemu-system
# (x86-64, armv7l and aarch64), against the real vivid and I2C drivers.
# (tools/test-kernel.sh installs its host tools itself; the list here is for
# setup-all.)
KERNEL_APT := qemu-system-x86 qemu-system-arm kmod cpio g++-arm-linux-gnueabihf g++-aarch64-linux-gnu
.PHONY: test-kernel
test-kernel: setup
	JOBS=$(JOBS) tools/test-kernel.sh

.PHONY: clean
clean:
	rm -rf build

# The main job: stream the box scene of the built-in simulated module
# through the quorvex package and save pictures and a point cloud. Builds
# only the two extension modules and what they link or load (the stand-in
# vendor libraries).
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

# Every Debian package the targets above install, in one apt run: CI then
# runs targets side by side, and only one apt can hold dpkg's lock.
.PHONY: setup-all
setup-all: setup
	@tools/setup.sh $(sort $(BROWSER_APT) $(ROS2_APT) $(FUZZ_APT) $(ARMHF_APT) $(ARM64_APT) $(SDK_APT) $(KERNEL_APT))
