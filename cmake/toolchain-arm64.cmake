# Cross build for 64-bit ARM Linux (aarch64: Jetson, 64-bit Raspberry Pi OS,
# Debian arm64), with Debian's aarch64-linux-gnu cross compiler. Test
# programs run through qemu-aarch64, which finds the target's C and C++
# runtime under /usr/aarch64-linux-gnu.
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QUORVEX_ARM64_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QUORVEX_ARM64_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVEX_ARM64_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QUORVEX_ARM64_TRIPLE})

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEX_ARM64_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${QUORVEX_ARM64_TRIPLE})
