# rename_kernel.cmake: copies a translated kernel file with one kernel renamed.
#
#   cmake -DIN=<file> -DOUT=<file> -DLINES=<lines.h> -DFUNCTION=<f> -DTO=<name> -P rename_kernel.cmake
#
# The kernel is the one of the .zeq function f, fline<line>, with the line
# read from the header zeqhost --lines wrote (#define ZEQ_LINE_<f> <line>), so
# that the build files never copy a line of the .zeq.
#
# The remote module's own coload call stands on another line than the
# simulation's, so its devices look the accelerations kernel up under that
# line's name; the kernel text is the translation of gravsim.zeq all the same.
# A name is replaced only where it is a whole word (fline144, not fline1440).
file(STRINGS ${LINES} line REGEX "^#define ZEQ_LINE_${FUNCTION} [0-9]+$")
if(NOT line)
  message(FATAL_ERROR "rename_kernel: ${LINES} gives no line of ${FUNCTION}")
endif()
string(REGEX REPLACE ".* " "fline" FROM "${line}")
file(READ ${IN} text)
string(REGEX REPLACE "([^A-Za-z0-9_])${FROM}([^A-Za-z0-9_])" "\\1${TO}\\2" renamed "${text}")
if(renamed STREQUAL text)
  message(FATAL_ERROR "rename_kernel: ${IN} has no kernel ${FROM}")
endif()
file(WRITE ${OUT}.tmp "${renamed}")
file(RENAME ${OUT}.tmp ${OUT})
