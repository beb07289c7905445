# ZeqPackage.cmake: the Debian package of the x86-64 flavour, made by CPack
# from the same install rules (`cpack -G DEB` in build/).  Its run-time
# dependencies are what dpkg-shlibdeps finds in its programs and libraries,
# plus adduser for the agents' system user.  The devices are suggestions: the runtime loads the OpenCL ICD loader
# and the CUDA driver when they are present and runs on the host without them.
#
# The i386 flavour is installed with `cmake --install build-i386` beside the
# x86-64 one; it has no package of its own, since a second package would own
# the same headers.
if(NOT ZEQ_FLAVOUR STREQUAL "x86_64")
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zeq)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "toolchain and runtime of the Zeq data-parallel dialect of C")
set(CPACK_PACKAGE_DESCRIPTION "Zeq runs one call of a coload kernel on GPUs (CUDA, OpenCL), on remote machines running the zeqworker agent and on the host's thread pool at once. This package holds the runtime library libZeq, its headers, the translators zeqcuda, zeqopencl, zeqremote, zeqopenmp and zeqhost, the agent zeqworker with its systemd unit template, and the CMake and pkg-config files for building against Zeq.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Zeq developers <zeq@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libZeq is in the package itself: dpkg-shlibdeps looks for it there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
    "ocl-icd-libopencl1, pocl-opencl-icd | opencl-icd, libcuda1, cmake, pkg-config, g++")
# triggers: ldconfig runs once after the package's libraries come or go.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/cmake/debian/postinst ${CMAKE_SOURCE_DIR}/cmake/debian/postrm
    ${CMAKE_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
