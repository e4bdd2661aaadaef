# The C++ library as an installed SDK: a versioned shared library, the
# headers of its native interface, a CMake package, a pkg-config file, the
# licence, and Debian packages built from the same rules by CPack.
#
# Three install components, one Debian package each:
#   Runtime      the core library (what a program needs to run)
#   Development  headers, the unversioned link name, CMake and pkg-config
#                files, the C++ example
#   Simulation   the stand-in vendor libraries (simulated modules)
#
# The stand-ins carry the names of the vendors' own libraries (libsi4c.so,
# libquorvex_evk_sdk.so) and always simulate. They therefore never go where
# the dynamic linker or the link editor looks by default: they live in a
# private folder of the library directory, which no search path names, and
# in a package of their own. The core opens the vendors' libraries at run
# time through the system's search and, only when none is found, the
# stand-in by its absolute path in that folder; so Runtime loads without
# Simulation, a board with the vendors' libraries gets them, and Simulation
# serves where they are absent (or when QUORVEX_SIMULATED=1).

# GNUInstallDirs picks Debian's multiarch library folder for native builds
# only; packages cross-built for Debian-based boards need it just the same.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND CMAKE_INSTALL_PREFIX STREQUAL "/usr"
   AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Before 1.0 a minor release may change the binary interface, so the soname
# carries major.minor; from 1.0 on the major number alone.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(QUORVEX_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
else()
  set(QUORVEX_SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
set(QUORVEX_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/quorvex/simulated)
set(QUORVEX_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/quorvex)
set(QUORVEX_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/QuorvexDepthCamera)

# Debian package names: the runtime package is named after the soname so two
# incompatible releases can be installed side by side.
set(QUORVEX_DEB_RUNTIME libquorvex${QUORVEX_SOVERSION})
set(QUORVEX_DEB_DEV libquorvex-dev)
set(QUORVEX_DEB_SIM libquorvex-simulated)

set_target_properties(quorvex PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${QUORVEX_SOVERSION}
  INSTALL_RPATH "")

# The native interface and what it includes; nothing of the kernel-access
# layer, the simulation or the vendor libraries.
set(QUORVEX_PUBLIC_HEADERS
  camera/QuorvexTOFCamera.h
  camera/CaptureClock.h
  camera/QuorvexFrameBuffer.h
  camera/TofTypes.h
  common/CpuBackend.h
  filters/FilterChain.h
  sensor/BoardKind.h
  sensor/i2c_helpers.h)
foreach(_header ${QUORVEX_PUBLIC_HEADERS})
  get_filename_component(_dir ${_header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${_header}
    DESTINATION ${QUORVEX_INCLUDEDIR}/${_dir} COMPONENT Development)
endforeach()

install(TARGETS quorvex EXPORT QuorvexDepthCameraTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  INCLUDES DESTINATION ${QUORVEX_INCLUDEDIR})

# The stand-ins, where the core looks for them by absolute path.
foreach(_lib ${QUORVEX_VENDOR_LIBRARIES})
  get_target_property(_imported ${_lib} IMPORTED)
  if(NOT _imported)
    install(TARGETS ${_lib} LIBRARY DESTINATION ${QUORVEX_PRIVATE_LIBDIR}
      COMPONENT Simulation NAMELINK_SKIP)
  endif()
endforeach()

install(EXPORT QuorvexDepthCameraTargets NAMESPACE QuorvexDepthCamera::
  DESTINATION ${QUORVEX_CMAKEDIR} COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QuorvexDepthCameraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/sdk/QuorvexDepthCameraConfig.cmake
  INSTALL_DESTINATION ${QUORVEX_CMAKEDIR})
# Same minor version: before 1.0 a minor release is a new interface.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(_compat SameMinorVersion)
else()
  set(_compat SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/sdk/QuorvexDepthCameraConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY ${_compat})
install(FILES ${PROJECT_BINARY_DIR}/sdk/QuorvexDepthCameraConfig.cmake
  ${PROJECT_BINARY_DIR}/sdk/QuorvexDepthCameraConfigVersion.cmake
  DESTINATION ${QUORVEX_CMAKEDIR} COMPONENT Development)

# pkg-config. The prefix is found from the file's own place, so a tree
# installed elsewhere than configured (cmake --install --prefix, DESTDIR, a
# copied tree) answers for where it is.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR must be relative to the prefix")
else()
  file(RELATIVE_PATH _up "/top/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/top")
  string(REGEX REPLACE "/$" "" _up "${_up}")
  set(QUORVEX_PC_PREFIX "\${pcfiledir}/${_up}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/quorvex.pc.in ${PROJECT_BINARY_DIR}/sdk/quorvex.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sdk/quorvex.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

# Debian wants the licence in every package, as doc/<package>/copyright, in
# the machine-readable format whose License fields are SPDX identifiers; the
# full text follows, indented, with "." for its empty lines.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _license)
string(REGEX REPLACE "^\n+" "" _license "${_license}")
string(REGEX REPLACE "[ \t]*\n" "\n " _license "${_license}")
# Twice: the first pass skips every second of two empty lines in a row.
string(REPLACE "\n \n" "\n .\n" _license "${_license}")
string(REPLACE "\n \n" "\n .\n" _license "${_license}")
string(REGEX REPLACE "\n[ .\n]*$" "\n" _license "${_license}")
set(_copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: QuorvexDepthCamera
License: Apache-2.0

Files: *
Copyright: QuorvexDepthCamera developers
License: Apache-2.0

License: Apache-2.0
 ${_license}")
file(WRITE ${PROJECT_BINARY_DIR}/sdk/copyright "${_copyright}")
foreach(_pair Runtime:${QUORVEX_DEB_RUNTIME} Development:${QUORVEX_DEB_DEV} Simulation:${QUORVEX_DEB_SIM})
  string(REPLACE ":" ";" _pair ${_pair})
  list(GET _pair 0 _component)
  list(GET _pair 1 _package)
  install(FILES ${PROJECT_BINARY_DIR}/sdk/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_package} COMPONENT ${_component})
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/cpp/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QUORVEX_DEB_DEV}/examples COMPONENT Development)

# --- Debian packages -------------------------------------------------------
# QUORVEX_DEB_ARCH is the compiler's target (QuorvexTargetArch.cmake), not
# the build machine's kernel: cross builds and 32-bit userlands under a
# 64-bit kernel both get the packages their programs can load.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QuorvexDepthCamera developers")
set(CPACK_PACKAGE_CONTACT "QuorvexDepthCamera developers <quorvex@localhost>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/deb)
set(CPACK_COMPONENTS_ALL Runtime Development Simulation)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QUORVEX_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Built with Debian bookworm's toolchain (glibc 2.36, GCC 12): what
# dpkg-shlibdeps answers for amd64, written out because it cannot see the
# ARM runtimes on the build machine. armhf's unwinder symbols start at GCC_3.5.
if(QUORVEX_DEB_ARCH STREQUAL armhf)
  set(_libgcc 3.5)
else()
  set(_libgcc 3.0)
endif()
set(QUORVEX_DEB_SYSTEM_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= ${_libgcc}), libstdc++6 (>= 12)")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QUORVEX_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS ${QUORVEX_DEB_SYSTEM_DEPENDS})
# Suggested, never recommended: installed by default it would replace a
# board's real vendor libraries for this library.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS ${QUORVEX_DEB_SIM})
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Driver library of a time-of-flight depth camera module
The core C++ library. On a board it loads the module vendors' libsi4c and
libquorvex_evk_sdk from the system's library folders; ${QUORVEX_DEB_SIM}
provides simulated modules instead.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${QUORVEX_DEB_DEV})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${QUORVEX_DEB_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Driver library of a time-of-flight depth camera module (development files)
Headers of the native interface, the CMake package QuorvexDepthCamera, the
pkg-config file quorvex and a C++ example.")

set(CPACK_DEBIAN_SIMULATION_PACKAGE_NAME ${QUORVEX_DEB_SIM})
set(CPACK_DEBIAN_SIMULATION_PACKAGE_DEPENDS ${QUORVEX_DEB_SYSTEM_DEPENDS})
set(CPACK_DEBIAN_SIMULATION_DESCRIPTION "Simulated camera modules for the depth camera driver library
Stand-ins for the module vendors' libraries, private to the driver library:
a simulated USB module streaming a known scene and an open depth engine, for
development and tests without hardware.")

include(CPack)
