# ZeqTranslate.cmake: build rules that run the Zeq translators on a .zeq source.
#
#   zeq_add_program(<name> SOURCES <file.zeq> [<more sources>...])
#
# Builds the program <name> from Zeq sources (and any C/C++ sources beside
# them), everything it needs at run time beside it.  For each .zeq among
# SOURCES, of base name B:
#   B_host.cpp   zeqhost's host side (the whole source, each coload construct
#                turned into its call), compiled into the program;
#   B.ocl        the OpenCL kernels (zeqopencl), and B.ptx the CUDA ones where
#                nvcc is found (zeqcuda, nvcc -ptx);
#   B_net.so     the remote module that agents run (zeq_remote_module).
# The program is linked to Zeq::Zeq and depends on its kernels and modules,
# so building it builds them.  All of them land in the programs' folder
# (CMAKE_RUNTIME_OUTPUT_DIRECTORY, else the current binary folder), where
# the runtime looks for kernel files and modules: beside the executable.
# The other sources are compiled as they are; they reach the .zeq's functions
# through their own declarations.  The generated files, and B_lines.h
# (zeqhost --lines: #define ZEQ_LINE_<function> <line>), are in the current
# binary folder, made by the target <name>_B_translation; the module's
# target is <name>_B_module.  A .zeq source belongs to one program of its
# folder (its generated files are named after it alone).
#
#   zeq_translate(<target> SOURCE <file.zeq> [OPENCL] [CUDA] [REMOTE] [HOST]
#                 [KERNEL_DIR <dir>])
#
# Adds the custom target <target> (built by default) that produces, from the
# source's base name B:
#   OPENCL  B.ocl in KERNEL_DIR (zeqopencl);
#   CUDA    B.cu in the current binary folder (zeqcuda) and, when nvcc is
#           found, B.ptx in KERNEL_DIR (nvcc -ptx);
#   REMOTE  B_net.cpp in the current binary folder (zeqremote), the source of
#           the remote module; its path is returned in <target>_REMOTE_SOURCE.
#           This is only the source: zeq_remote_module() below builds the
#           module that agents load.
#   HOST    B_host.cpp in the current binary folder (zeqhost), the program's
#           host side; its path is returned in <target>_HOST_SOURCE, and
#           B_lines.h beside it (zeqhost --lines: ZEQ_LINE_<function>) in
#           <target>_LINES_HEADER.
# KERNEL_DIR defaults to the programs' folder: the runtime looks for kernel
# files beside the executable (and beside the library that makes the call).
#
# The same file serves Zeq's own build and, installed with the CMake package,
# any project that calls find_package(Zeq).  The translators are the programs
# Zeq::<translator>: this build's targets under that name in Zeq's build, the
# package's imported programs elsewhere.  They run through
# CMAKE_CROSSCOMPILING_EMULATOR where the project has one, which is how the
# i386 flavour runs them on a kernel that runs no 32-bit programs.  The remote
# source gets a .cpp name because zeqremote writes C++ (its wrappers are
# extern "C").
# nvcc is looked up once, in PATH and in /usr/local/cuda/bin; a build without
# it simply has no .ptx, and the CUDA slot then declines the kernels.
include_guard(GLOBAL)

find_program(ZEQ_NVCC nvcc PATHS /usr/local/cuda/bin)

function(zeq_translate target)
  cmake_parse_arguments(ZT "OPENCL;CUDA;REMOTE;HOST" "SOURCE;KERNEL_DIR" "" ${ARGN})
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
      COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:Zeq::zeqopencl> ${source} > ${ocl}
      DEPENDS Zeq::zeqopencl ${source}
      COMMENT "zeqopencl: ${base}.zeq -> ${base}.ocl" VERBATIM)
    list(APPEND outputs ${ocl})
  endif()
  if(ZT_CUDA)
    set(cu ${CMAKE_CURRENT_BINARY_DIR}/${base}.cu)
    add_custom_command(OUTPUT ${cu}
      COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:Zeq::zeqcuda> ${source} > ${cu}
      DEPENDS Zeq::zeqcuda ${source}
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
      COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:Zeq::zeqremote> ${source} > ${net}
      DEPENDS Zeq::zeqremote ${source}
      COMMENT "zeqremote: ${base}.zeq -> ${base}_net.cpp" VERBATIM)
    list(APPEND outputs ${net})
    set(${target}_REMOTE_SOURCE ${net} PARENT_SCOPE)
  endif()
  if(ZT_HOST)
    set(host ${CMAKE_CURRENT_BINARY_DIR}/${base}_host.cpp)
    set(lines ${CMAKE_CURRENT_BINARY_DIR}/${base}_lines.h)
    add_custom_command(OUTPUT ${host}
      COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:Zeq::zeqhost> ${source} > ${host}
      DEPENDS Zeq::zeqhost ${source}
      COMMENT "zeqhost: ${base}.zeq -> ${base}_host.cpp" VERBATIM)
    add_custom_command(OUTPUT ${lines}
      COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:Zeq::zeqhost> --lines ${source} > ${lines}
      DEPENDS Zeq::zeqhost ${source}
      COMMENT "zeqhost --lines: ${base}.zeq -> ${base}_lines.h" VERBATIM)
    list(APPEND outputs ${host} ${lines})
    set(${target}_HOST_SOURCE ${host} PARENT_SCOPE)
    set(${target}_LINES_HEADER ${lines} PARENT_SCOPE)
  endif()
  add_custom_target(${target} ALL DEPENDS ${outputs})
endfunction()

#   zeq_remote_module(<target> SOURCE <file.zeq> [BASE <name>] [OUTPUT_DIR <dir>])
#
# Builds the remote module <name>_net.so (name: the source's base name unless
# BASE gives another) in OUTPUT_DIR (default: the programs' folder) from
# zeqremote's output, linked against Zeq and exporting its fline<line> entry
# points alone (the target Zeq::remote_module).  The client copies the module
# from the folder of the program or library that makes the call, so that is
# where it belongs.  Modules of one source in one folder share its
# translation (a target named after the source and the folder, so that
# sources of one name in two folders each get their own).
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
  if(NOT dir)
    set(dir ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  string(MD5 folder_key ${CMAKE_CURRENT_BINARY_DIR})
  string(SUBSTRING ${folder_key} 0 8 folder_key)
  set(translation ${base}_remote_translation_${folder_key})
  set(net ${CMAKE_CURRENT_BINARY_DIR}/${base}_net.cpp)
  if(NOT TARGET ${translation})
    zeq_translate(${translation} SOURCE ${source} REMOTE)
  endif()
  add_library(${target} MODULE ${net})
  add_dependencies(${target} ${translation})
  target_link_libraries(${target} PRIVATE Zeq::remote_module)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name}_net SUFFIX ".so"
                        LIBRARY_OUTPUT_DIRECTORY ${dir})
endfunction()

function(zeq_add_program name)
  cmake_parse_arguments(ZP "" "" "SOURCES" ${ARGN})
  if(NOT ZP_SOURCES)
    message(FATAL_ERROR "zeq_add_program(${name}): SOURCES is required")
  endif()
  set(dir ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  if(NOT dir)
    set(dir ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  set(sources "")
  set(parts "")
  foreach(source ${ZP_SOURCES})
    get_filename_component(source ${source} ABSOLUTE)
    if(NOT source MATCHES "\\.zeq$")
      list(APPEND sources ${source})
      continue()
    endif()
    get_filename_component(base ${source} NAME_WE)
    # zeq_remote_module() makes B_net.cpp itself: this translation must not.
    zeq_translate(${name}_${base}_translation SOURCE ${source} HOST OPENCL CUDA KERNEL_DIR ${dir})
    zeq_remote_module(${name}_${base}_module SOURCE ${source} OUTPUT_DIR ${dir})
    list(APPEND sources ${${name}_${base}_translation_HOST_SOURCE})
    list(APPEND parts ${name}_${base}_translation ${name}_${base}_module)
  endforeach()
  if(NOT parts)
    message(FATAL_ERROR "zeq_add_program(${name}): no .zeq among SOURCES")
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE Zeq::Zeq)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${dir})
  add_dependencies(${name} ${parts})
endfunction()
