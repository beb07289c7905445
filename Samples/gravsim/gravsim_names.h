/* gravsim_names.h: the names zeqremote gives gravsim.zeq's functions, from
 * the lines of their coload headers.
 *
 * The translators name each function's kernel, host body and remote entry
 * after the line of its header's closing parenthesis (fline<line>,
 * fline<line>_).  The build writes those lines into gravsim_lines.h
 * (zeqhost --lines: #define ZEQ_LINE_<function> <line>), and the names are
 * pasted together from it here, so that a header that moves renames
 * everything with it and no hand-written file copies a line.
 *
 *     GRAVSIM_BODY(accelerations)     fline144_, the host body
 *     GRAVSIM_ENTRY(accelerations)    fline144, the remote module's entry
 */
#ifndef GRAVSIM_NAMES_H
#define GRAVSIM_NAMES_H

#include "gravsim_lines.h"

/* Two levels, so that the line's macro is replaced by its number before
 * the tokens are joined. */
#define GRAVSIM_PASTE(a, b, c) a##b##c
#define GRAVSIM_NAME(a, l, c) GRAVSIM_PASTE(a, l, c)
#define GRAVSIM_BODY(function) GRAVSIM_NAME(fline, ZEQ_LINE_##function, _)
#define GRAVSIM_ENTRY(function) GRAVSIM_NAME(fline, ZEQ_LINE_##function, )

#define GRAVSIM_STRING2(x) #x
#define GRAVSIM_STRING(x) GRAVSIM_STRING2(x)

#endif
