/* io.h: stand-in for the low-level I/O header that zeqremote output includes.
 *
 * The generated prologue names <io.h>, which this system lacks; a remote
 * module is built with this folder on its include path so the printed
 * prologue stays as it is.  The POSIX calls of the same family live here. */
#ifndef ZEQ_REMOTE_IO_H
#define ZEQ_REMOTE_IO_H
#include <unistd.h>
#endif
