# ZeqTranslate.cmake: build rules that run the Zeq translators on a .zeq source.
#
#   zeq_translate(<target> SOURCE <file.zeq> [OPENCL] [CUDA] [REMOTE]
#                 [KERNEL_DIR <dir>])
#
# Adds the custom target <target> (built by default) that produces, from the
# source's base name B:
#   OPENCL  B.ocl in KERNEL_DIR (zeqopencl);
#   CUDA    B.cu in the current binary folder (zeqcuda) and, when nvcc is
#           found, B.ptx in KERNEL_DIR (nvcc -ptx);
#   REMOTE  B_net.cpp in the current binary folder (zeqremote), the source of
#           the remote module; its path is returned in <target>_REMOTE_SOURCE.
# KERNEL_DIR defaults to the programs' folder: the runtime looks for kernel
# files beside the executable (and beside the library that makes the call).
#
# The translators are targets of this build and run through ZEQ_RUN_PREFIX,
# so the i386 flavour runs them under its emulator.  The remote source gets a
# .cpp name because zeqremote writes C++ (its wrappers are extern "C").
# nvcc is looked up once, in PATH and in /usr/local/cuda/bin; a build without
# it simply has no .ptx, and the CUDA slot then declines the kernels.
include_guard(GLOBAL)

find_program(ZEQ_NVCC nvcc PATHS /usr/local/cuda/bin)

function(zeq_translate target)
  cmake_parse_arguments(ZT "OPENCL;CUDA;REMOTE" "SOURCE;KERNEL_DIR" "" ${ARGN})
  if(NOT ZT_SOURCE)
    message(FATAL_ERROR "zeq_translate(${target}): SOURCE is required")
  endif()
  get_filename_component(source ${ZT_SOURCE} ABSOLUTE)
  get_filename_component(base ${source} NAME_WE)
  set(kernel_dir ${ZT_KERNEL_DIR})
  if(NOT kernel_dir)
    set(kernel_dir ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  endif()
  if(NOT kernel_dir)
    set(kernel_dir ${CMAKE_CURRENT_BINARY_DIR})
  endif()

  set(outputs "")
  if(ZT_OPENCL)
    set(ocl ${kernel_dir}/${base}.ocl)
    add_custom_command(OUTPUT ${ocl}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${kernel_dir}
      COMMAND ${ZEQ_RUN_PREFIX} $<TARGET_FILE:zeqopencl> ${source} > ${ocl}
      DEPENDS zeqopencl ${source}
      COMMENT "zeqopencl: ${base}.zeq -> ${base}.ocl" VERBATIM)
    list(APPEND outputs ${ocl})
  endif()
  if(ZT_CUDA)
    set(cu ${CMAKE_CURRENT_BINARY_DIR}/${base}.cu)
    add_custom_command(OUTPUT ${cu}
      COMMAND ${ZEQ_RUN_PREFIX} $<TARGET_FILE:zeqcuda> ${source} > ${cu}
      DEPENDS zeqcuda ${source}
      COMMENT "zeqcuda: ${base}.zeq -> ${base}.cu" VERBATIM)
    list(APPEND outputs ${cu})
    if(ZEQ_NVCC)
      set(ptx ${kernel_dir}/${base}.ptx)
      add_custom_command(OUTPUT ${ptx}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${kernel_dir}
        COMMAND ${ZEQ_NVCC} -ptx ${cu} -o ${ptx}
        DEPENDS ${cu}
        COMMENT "nvcc -ptx: ${base}.cu -> ${base}.ptx" VERBATIM)
      list(APPEND outputs ${ptx})
    endif()
  endif()
  if(ZT_REMOTE)
    set(net ${CMAKE_CURRENT_BINARY_DIR}/${base}_net.cpp)
    add_custom_command(OUTPUT ${net}
      COMMAND ${ZEQ_RUN_PREFIX} $<TARGET_FILE:zeqremote> ${source} > ${net}
      DEPENDS zeqremote ${source}
      COMMENT "zeqremote: ${base}.zeq -> ${base}_net.cpp" VERBATIM)
    list(APPEND outputs ${net})
    set(${target}_REMOTE_SOURCE ${net} PARENT_SCOPE)
  endif()
  add_custom_target(${target} ALL DEPENDS ${outputs})
endfunction()

#   zeq_remote_module(<target> SOURCE <file.zeq> [BASE <name>] [OUTPUT_DIR <dir>])
#
# Builds the remote module <name>_net.so (name: the source's base name unless
# BASE gives another) in OUTPUT_DIR (default: the programs' folder) from
# zeqremote's output, linked against Zeq and exporting its fline<line> entry
# points alone.  The client copies the module from the folder of the program
# or library that makes the call, so that is where it belongs.  Modules of
# one source in one folder share its translation.
function(zeq_remote_module target)
  cmake_parse_arguments(ZR "" "SOURCE;BASE;OUTPUT_DIR" "" ${ARGN})
  get_filename_component(source ${ZR_SOURCE} ABSOLUTE)
  get_filename_component(base ${source} NAME_WE)
  set(name ${ZR_BASE})
  if(NOT name)
    set(name ${base})
  endif()
  set(dir ${ZR_OUTPUT_DIR})
  if(NOT dir)
    set(dir ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  endif()
  set(translation ${base}_remote_translation)
  set(net ${CMAKE_CURRENT_BINARY_DIR}/${base}_net.cpp)
  if(NOT TARGET ${translation})
    zeq_translate(${translation} SOURCE ${source} REMOTE)
  endif()
  add_library(${target} MODULE ${net})
  add_dependencies(${target} ${translation})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/Parser/remote_include)
  target_link_libraries(${target} PRIVATE Zeq)
  target_compile_options(${target} PRIVATE -fvisibility=hidden)
  target_link_options(${target} PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/Parser/remote_include/remote_module.map)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name}_net SUFFIX ".so"
                        LIBRARY_OUTPUT_DIRECTORY ${dir})
endfunction()
