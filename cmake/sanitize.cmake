# sanitize.cmake: the ZEQ_SANITIZE builds.  ZEQ_SANITIZE=ON (or address) is
# build-asan/ in the test command: every C and C++ object that the project's
# own compilers make, GoogleTest's included, carries AddressSanitizer and
# UBSan; UBSan findings stop the program (-fno-sanitize-recover), so a test
# that meets one fails instead of printing a line that nobody reads.
# ZEQ_SANITIZE=thread is build-tsan/ of scripts/tsan.sh: the same objects carry
# ThreadSanitizer instead (the two cannot share a process).
#
# It needs gcc.  Programs that tests compile with clang outside CMake's
# toolchain (the OpenMP programs, the clang build of region_test) stay
# uninstrumented but load the sanitized libZeq, so they run with gcc's libasan
# preloaded (ZEQ_SANITIZER_PRELOAD): ASan insists on being the first library of
# a process.  Instrumenting them with clang instead would bring LLVM's
# sanitizer runtime into the process beside gcc's, and the two do not mix.
#
# Leak detection stays on everywhere except in the tests that build and run
# kernels on an OpenCL implementation: PoCL leaks on its own, in code we cannot
# change.  Those tests put ZEQ_OPENCL_TEST_ENV (words for `env`) into their
# launchers or environment.  It switches leaks off through LSAN_OPTIONS, which
# ASan reads after ASAN_OPTIONS, so whatever else the caller put into
# ASAN_OPTIONS still holds there.  Every variable here is empty when not
# sanitizing.
set(ZEQ_SANITIZER_PRELOAD "")
set(ZEQ_SANITIZER_LINK_LIBRARIES "")
set(ZEQ_OPENCL_TEST_ENV "")
# Tests that pass on a line of their output ignore the exit status, so a
# report printed after that line would go unseen; they fail on this instead.
set(ZEQ_SANITIZER_REPORT_REGEX "")
# zeq_fail_on_sanitizer_report(<test>...): gives such tests that pattern.
function(zeq_fail_on_sanitizer_report)
  if(ZEQ_SANITIZER_REPORT_REGEX)
    set_tests_properties(${ARGN} PROPERTIES FAIL_REGULAR_EXPRESSION "${ZEQ_SANITIZER_REPORT_REGEX}")
  endif()
endfunction()
if(NOT ZEQ_SANITIZE)
  return()
endif()
string(TOLOWER "${ZEQ_SANITIZE}" zeq_sanitize_kind)
if(zeq_sanitize_kind STREQUAL "thread")
  set(zeq_sanitize_flags thread)
  set(zeq_sanitize_runtimes libtsan.so)
elseif(zeq_sanitize_kind MATCHES "^(on|1|true|yes|address)$")
  set(zeq_sanitize_flags address,undefined)
  set(zeq_sanitize_runtimes libasan.so libubsan.so)
else()
  message(FATAL_ERROR "ZEQ_SANITIZE=${ZEQ_SANITIZE}: use ON (or address) for ASan and UBSan, thread for TSan")
endif()
if(NOT CMAKE_C_COMPILER_ID STREQUAL "GNU" OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(FATAL_ERROR "ZEQ_SANITIZE needs gcc and g++ (found ${CMAKE_C_COMPILER_ID} and ${CMAKE_CXX_COMPILER_ID})")
endif()
# The runtimes below are looked up for the compiler's default target, and
# Debian's 32-bit sanitizer runtimes are not among the project's packages.
if(NOT ZEQ_FLAVOUR STREQUAL "x86_64")
  message(FATAL_ERROR "ZEQ_SANITIZE builds the x86-64 flavour only")
endif()

add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-fsanitize=${zeq_sanitize_flags}>
                    $<$<COMPILE_LANGUAGE:C,CXX>:-fno-omit-frame-pointer>)
add_link_options(-fsanitize=${zeq_sanitize_flags})

# zeq_sanitizer_runtime(<var> <name>): the full path of gcc's runtime library.
function(zeq_sanitizer_runtime var name)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${name}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "ZEQ_SANITIZE: gcc has no ${name}: run scripts/install-deps.sh")
  endif()
  set(${var} ${path} PARENT_SCOPE)
endfunction()
if(zeq_sanitize_kind STREQUAL "thread")
  zeq_sanitizer_runtime(tsan_runtime libtsan.so)
  # As with ASan: clang's programs that load libZeq get gcc's runtime first.
  set(ZEQ_SANITIZER_PRELOAD ${tsan_runtime})
  set(ZEQ_SANITIZER_LINK_LIBRARIES ${tsan_runtime})
  # scripts/tsan.sh sends reports to files (log_path) and counts them there;
  # this pattern is for a hand run that leaves them on standard error.
  set(ZEQ_SANITIZER_REPORT_REGEX "(WARNING|ERROR|FATAL): ThreadSanitizer")
  message(STATUS "Sanitized build: TSan, preloading ${tsan_runtime} for clang's programs")
  return()
endif()
add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-fno-sanitize-recover=undefined>)
zeq_sanitizer_runtime(asan_runtime libasan.so)
zeq_sanitizer_runtime(ubsan_runtime libubsan.so)
# UBSan's runtime needs no preloading: it comes in as a dependency of libZeq.
set(ZEQ_SANITIZER_PRELOAD ${asan_runtime})
# For clang-linked programs that contain sanitized objects (GoogleTest's).
set(ZEQ_SANITIZER_LINK_LIBRARIES ${asan_runtime} ${ubsan_runtime})
set(ZEQ_OPENCL_TEST_ENV LSAN_OPTIONS=detect_leaks=0)
set(ZEQ_SANITIZER_REPORT_REGEX "ERROR: [A-Za-z]+Sanitizer|runtime error:")
message(STATUS "Sanitized build: ASan and UBSan, preloading ${asan_runtime} for clang's programs")
