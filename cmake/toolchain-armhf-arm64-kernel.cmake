# The armhf cross build as a 32-bit userland under a 64-bit kernel sees it
# (32-bit Raspberry Pi OS on a Pi 4 or 5): the armhf compiler, while the
# system reports aarch64 as `uname -m` would. The build must still come out
# armhf, with the NEON kernels and armhf packages.
#   cmake -S . -B build/armhf-time64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf-arm64-kernel.cmake
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-armhf.cmake)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
