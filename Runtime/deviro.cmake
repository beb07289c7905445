# libDeviro: the link name under which OpenMP-translated sources ask for the
# runtime (`#pragma comment(lib, "Deviro")`, or -lDeviro on the command line).
# It must be the same library as libZeq, not a copy: two copies would bring two
# worker pools into one process.  So it is a GNU linker script naming libZeq;
# GNU ld, gold and lld all accept it, and the program records libZeq's SONAME
# (libZeq.so.1) as its dependency.  The script names the link name libZeq.so,
# found through the -L search path in the build tree and when installed.
# The comment opens with "GNU ld script", as glibc's own scripts do: ldconfig
# recognises those words and leaves the file alone instead of warning that it
# is not an ELF file.
file(GENERATE OUTPUT ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libDeviro.so
     CONTENT "/* GNU ld script\n   The OpenMP entry points live in the runtime itself. */\nINPUT($<TARGET_LINKER_FILE_NAME:Zeq>)\n")
