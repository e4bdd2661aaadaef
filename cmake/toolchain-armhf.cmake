# Cross build for 32-bit ARM Linux, hard-float (armv7l: Raspberry Pi OS and
# Debian armhf), with Debian's arm-linux-gnueabihf cross compiler. Test
# programs run through qemu-arm, which finds the target's C and C++ runtime
# under /usr/arm-linux-gnueabihf.
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(QUORVEX_ARMHF_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${QUORVEX_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVEX_ARMHF_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QUORVEX_ARMHF_TRIPLE})

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEX_ARMHF_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${QUORVEX_ARMHF_TRIPLE})
