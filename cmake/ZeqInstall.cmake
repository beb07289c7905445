# ZeqInstall.cmake: what `cmake --install <build> [--prefix P]` puts under a
# prefix, and the Debian package that CPack makes of the same files.
#
#   bin/                       the translators and zeqworker (x86-64 flavour)
#   lib/<arch>/                libZeq.so.<version> and its links, libDeviro.so
#   lib/<arch>/cmake/Zeq/      the CMake package: Zeq::Zeq, zeq_translate()
#   lib/<arch>/pkgconfig/      zeq.pc
#   include/zeq/               the public headers (Zeq.h and those it includes)
#   include/zeq/remote/        what zeqremote's output includes, and the
#                              remote modules' export list
#   lib/systemd/system/        the agent's unit template
#   share/zeq/                 the batch script of agents on a Slurm cluster
#
# <arch> is the multiarch folder (x86_64-linux-gnu, i386-linux-gnu), so both
# flavours install into one prefix side by side.  The i386 flavour keeps its
# programs in lib/i386-linux-gnu/zeq/bin, out of the x86-64 ones' way, and
# its agent's unit is zeqworker-i386@.service, its batch script
# zeqworker-i386.sbatch.  The headers are the same
# bytes in both flavours.
#
# Everything an installed file names is relative to where it lies (the
# programs' RUNPATH, the CMake package, zeq.pc), so a tree installed under
# one prefix and moved keeps working; the exceptions are the unit, which
# systemd wants with an absolute path, and the batch script, which Slurm
# copies away before it runs it; both are written at install time for the
# prefix of that install.
include(CMakePackageConfigHelpers)

# Installing builds what it installs first, so that `cmake --install` after
# a partial build (the demo builds gravsim alone) installs the whole
# toolchain instead of stopping at the first missing program with part of
# the prefix filled.  This rule runs before every other: install rules run
# in the order they are declared, and none is declared before this one.
set(ZEQ_INSTALLED_PROGRAMS zeqcuda zeqopencl zeqremote zeqopenmp zeqhost zeqworker)
set(zeq_installed_built Zeq ${ZEQ_INSTALLED_PROGRAMS})
string(REPLACE ";" " " zeq_installed_words "${zeq_installed_built}")
install(CODE "
  message(STATUS \"Building what is installed: ${zeq_installed_words}\")
  set(zeq_config)
  if(CMAKE_INSTALL_CONFIG_NAME)
    set(zeq_config --config \${CMAKE_INSTALL_CONFIG_NAME})
  endif()
  execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${CMAKE_BINARY_DIR}\" \${zeq_config}
                          --target ${zeq_installed_words} RESULT_VARIABLE zeq_built)
  if(NOT zeq_built EQUAL 0)
    message(FATAL_ERROR \"Building what is installed failed (status \${zeq_built}); nothing was installed\")
  endif()
")

if(ZEQ_FLAVOUR STREQUAL "x86_64")
  set(ZEQ_INSTALL_PROGRAMDIR ${CMAKE_INSTALL_BINDIR})
  set(ZEQ_AGENT_UNIT_PREFIX zeqworker@)
  set(ZEQ_SBATCH zeqworker.sbatch)
else()
  set(ZEQ_INSTALL_PROGRAMDIR ${CMAKE_INSTALL_LIBDIR}/zeq/bin)
  set(ZEQ_AGENT_UNIT_PREFIX zeqworker-i386@)
  set(ZEQ_SBATCH zeqworker-i386.sbatch)
endif()
set(ZEQ_AGENT_UNIT ${ZEQ_AGENT_UNIT_PREFIX}.service)
set(ZEQ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zeq)
set(ZEQ_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/zeq)

# The agent finds libZeq relative to itself wherever the prefix is.
file(RELATIVE_PATH zeq_lib_from_programs /${ZEQ_INSTALL_PROGRAMDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(zeqworker PROPERTIES INSTALL_RPATH "$ORIGIN/${zeq_lib_from_programs}")

install(TARGETS Zeq zeq_remote_headers zeq_remote_module EXPORT ZeqTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS ${ZEQ_INSTALLED_PROGRAMS} EXPORT ZeqTargets
        RUNTIME DESTINATION ${ZEQ_INSTALL_PROGRAMDIR})
install(FILES ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libDeviro.so DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES Runtime/include/Zeq.h Runtime/include/zeq_runtime.h Runtime/include/zeq_coload.h Runtime/include/zeq_dialect.h
              Runtime/include/zeq_kernel_name.h Runtime/include/zeq_host.h
        DESTINATION ${ZEQ_INSTALL_INCLUDEDIR})
install(FILES Parser/remote_include/io.h Parser/remote_include/intrin.h
              Parser/remote_include/remote_module.map
        DESTINATION ${ZEQ_INSTALL_INCLUDEDIR}/remote)

# The CMake package.  The version file also refuses a package of the other
# flavour (its pointer size differs from the project's).
install(EXPORT ZeqTargets NAMESPACE Zeq:: DESTINATION ${ZEQ_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/ZeqConfig.cmake.in ${CMAKE_BINARY_DIR}/package/ZeqConfig.cmake
                              INSTALL_DESTINATION ${ZEQ_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/ZeqConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/ZeqConfig.cmake ${CMAKE_BINARY_DIR}/package/ZeqConfigVersion.cmake
              cmake/ZeqTranslate.cmake
        DESTINATION ${ZEQ_INSTALL_CMAKEDIR})

# zeq.pc finds its prefix from its own folder (pkg-config's ${pcfiledir}).
file(RELATIVE_PATH zeq_prefix_from_pc /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" zeq_prefix_from_pc "${zeq_prefix_from_pc}")
configure_file(cmake/zeq.pc.in ${CMAKE_BINARY_DIR}/package/zeq.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/zeq.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The unit names the agent by its absolute path, known only when installing
# (`--prefix` and CPack choose it then).
set(ZEQ_AGENT_UNIT_TEMPLATE ${CMAKE_SOURCE_DIR}/zeqworker/service/zeqworker@.service.in)
set(ZEQ_SBATCH_TEMPLATE ${CMAKE_SOURCE_DIR}/zeqworker/slurm/zeqworker.sbatch.in)
install(CODE "
  set(ZEQ_AGENT_UNIT ${ZEQ_AGENT_UNIT})
  set(ZEQ_AGENT_UNIT_PREFIX ${ZEQ_AGENT_UNIT_PREFIX})
  set(ZEQ_FLAVOUR ${ZEQ_FLAVOUR})
  set(ZEQ_AGENT_PATH \"\${CMAKE_INSTALL_PREFIX}/${ZEQ_INSTALL_PROGRAMDIR}/zeqworker\")
  configure_file(\"${ZEQ_AGENT_UNIT_TEMPLATE}\" \"${CMAKE_BINARY_DIR}/package/${ZEQ_AGENT_UNIT}\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" TYPE FILE
       FILES \"${CMAKE_BINARY_DIR}/package/${ZEQ_AGENT_UNIT}\")
  set(ZEQ_SBATCH ${ZEQ_SBATCH})
  configure_file(\"${ZEQ_SBATCH_TEMPLATE}\" \"${CMAKE_BINARY_DIR}/package/${ZEQ_SBATCH}\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/zeq\" TYPE PROGRAM
       FILES \"${CMAKE_BINARY_DIR}/package/${ZEQ_SBATCH}\")
")

include(cmake/ZeqPackage.cmake)
