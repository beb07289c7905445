# rename_kernel.cmake: copies a translated kernel file with one kernel renamed.
#
#   cmake -DIN=<file> -DOUT=<file> -DFROM=<name> -DTO=<name> -P rename_kernel.cmake
#
# The remote module's own coload call stands on another line than the
# simulation's, so its devices look the accelerations kernel up under that
# line's name; the kernel text is the translation of gravsim.zeq all the same.
# A name is replaced only where it is a whole word (fline144, not fline1440).
file(READ ${IN} text)
string(REGEX REPLACE "([^A-Za-z0-9_])${FROM}([^A-Za-z0-9_])" "\\1${TO}\\2" renamed "${text}")
if(renamed STREQUAL text)
  message(FATAL_ERROR "rename_kernel: ${IN} has no kernel ${FROM}")
endif()
file(WRITE ${OUT}.tmp "${renamed}")
file(RENAME ${OUT}.tmp ${OUT})
