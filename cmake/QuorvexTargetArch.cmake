# The architecture the compiler generates code for, asked of the compiler.
#
# CMAKE_SYSTEM_PROCESSOR is the kernel's `uname -m` in a native build, and a
# 32-bit ARM userland very often runs under a 64-bit kernel (a Raspberry Pi 4
# or 5 with the 32-bit OS): the kernel says aarch64 while every program built
# there is armhf. Only the compiler's own predefined macros and pointer size
# say what the objects will be.
#
# Sets, cached for later configures:
#   QUORVEX_TARGET_ARCH  arm (32-bit), aarch64, x86_64, x86, or
#                        CMAKE_SYSTEM_PROCESSOR for anything else
#   QUORVEX_DEB_ARCH     the Debian architecture of the packages
#   QUORVEX_NEON_FLAGS   what the NEON kernels need on top of the target's
#                        baseline (empty where NEON is part of the baseline)

include_guard(GLOBAL)
include(CheckCXXSourceCompiles)

function(_quorvex_compiler_defines result macro)
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles("
#if !(${macro})
#error not this target
#endif
int main() { return 0; }" ${result})
endfunction()

if(NOT DEFINED CACHE{QUORVEX_TARGET_ARCH})
  _quorvex_compiler_defines(QUORVEX_CC_AARCH64 "defined(__aarch64__)")
  _quorvex_compiler_defines(QUORVEX_CC_ARM32 "defined(__arm__) && !defined(__aarch64__)")
  _quorvex_compiler_defines(QUORVEX_CC_X86_64 "defined(__x86_64__) && !defined(__ILP32__)")
  _quorvex_compiler_defines(QUORVEX_CC_X86 "defined(__i386__)")
  # The calling convention decides between Debian's two 32-bit ARM ports.
  _quorvex_compiler_defines(QUORVEX_CC_ARM_HARDFLOAT "defined(__ARM_PCS_VFP)")

  # The macros and the pointer size must tell the same story; a mismatch
  # means a broken toolchain file, better reported now than as a wrong
  # package later.
  if(QUORVEX_CC_AARCH64)
    set(_arch aarch64)
    set(_deb arm64)
    set(_pointer 8)
  elseif(QUORVEX_CC_ARM32)
    set(_arch arm)
    if(QUORVEX_CC_ARM_HARDFLOAT)
      set(_deb armhf)
    else()
      set(_deb armel)
    endif()
    set(_pointer 4)
  elseif(QUORVEX_CC_X86_64)
    set(_arch x86_64)
    set(_deb amd64)
    set(_pointer 8)
  elseif(QUORVEX_CC_X86)
    set(_arch x86)
    set(_deb i386)
    set(_pointer 4)
  else()
    set(_arch ${CMAKE_SYSTEM_PROCESSOR})
    set(_deb ${CMAKE_SYSTEM_PROCESSOR})
    set(_pointer ${CMAKE_SIZEOF_VOID_P})
  endif()
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL _pointer)
    message(FATAL_ERROR "The C++ compiler targets ${_arch} but its pointers are "
      "${CMAKE_SIZEOF_VOID_P} bytes wide; check the compiler and toolchain file.")
  endif()

  set(QUORVEX_TARGET_ARCH ${_arch} CACHE INTERNAL "Architecture the compiler targets")
  set(QUORVEX_DEB_ARCH ${_deb} CACHE INTERNAL "Debian architecture of the packages")
  if(_arch STREQUAL "arm")
    # The armhf baseline (VFPv3-D16) has no NEON; the NEON kernels are
    # compiled for it alone and reached only when the CPU reports it.
    set(QUORVEX_NEON_FLAGS -mfpu=neon CACHE INTERNAL "Flags of the NEON kernels")
  else()
    set(QUORVEX_NEON_FLAGS "" CACHE INTERNAL "Flags of the NEON kernels")
  endif()
endif()

if(NOT QUORVEX_TARGET_ARCH STREQUAL CMAKE_SYSTEM_PROCESSOR)
  message(STATUS "Target architecture: ${QUORVEX_TARGET_ARCH} "
    "(Debian ${QUORVEX_DEB_ARCH}; the system reports ${CMAKE_SYSTEM_PROCESSOR})")
else()
  message(STATUS "Target architecture: ${QUORVEX_TARGET_ARCH} (Debian ${QUORVEX_DEB_ARCH})")
endif()
