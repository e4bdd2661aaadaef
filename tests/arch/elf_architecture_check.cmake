# Checks that the Debian architecture the packages are labelled with is the
# one of the machine code actually built, read from the ELF header of a built
# library (not from the compiler's macros the label was derived from).
#   cmake -DLIBRARY=path/to/libquorvex.so -DDEB_ARCH=armhf -P elf_architecture_check.cmake
file(READ ${LIBRARY} _hex LIMIT 40 HEX)
string(SUBSTRING "${_hex}" 0 8 _magic)
if(NOT _magic STREQUAL "7f454c46")
  message(FATAL_ERROR "${LIBRARY} is not an ELF file")
endif()
string(SUBSTRING "${_hex}" 8 2 _class)     # 01: 32-bit, 02: 64-bit
string(SUBSTRING "${_hex}" 36 4 _machine)  # e_machine, little-endian
# e_flags of a 32-bit header (bytes 36-39): bit 0x400, in byte 37, marks
# the hard-float calling convention.
string(SUBSTRING "${_hex}" 75 1 _flags_nibble)

if(_class STREQUAL "02" AND _machine STREQUAL "b700")
  set(_found arm64)
elseif(_class STREQUAL "01" AND _machine STREQUAL "2800")
  if(_flags_nibble MATCHES "[4567cdef]")
    set(_found armhf)
  else()
    set(_found armel)
  endif()
elseif(_class STREQUAL "02" AND _machine STREQUAL "3e00")
  set(_found amd64)
elseif(_class STREQUAL "01" AND _machine STREQUAL "0300")
  set(_found i386)
else()
  set(_found "unknown (class ${_class}, machine ${_machine})")
endif()

if(NOT _found STREQUAL DEB_ARCH)
  message(FATAL_ERROR "${LIBRARY} holds ${_found} code, but the packages are labelled ${DEB_ARCH}")
endif()
message(STATUS "${LIBRARY}: ${_found}")
