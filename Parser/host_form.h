/* host_form.h: what zeqhost prints, apart from its command line.
 *
 * Kept apart from zeqhost.cpp so that the fuzz target and the tests link the
 * same transformation the program runs.
 */
#ifndef ZEQ_HOST_FORM_H
#define ZEQ_HOST_FORM_H

#include <stddef.h>
#include <stdio.h>

/* The whole source with every coload construct in its host form; path names
 * the source in #line directives and gives the call sites their base name.
 * Returns the exit code (exit_syntax after one message on err). */
int host_translate(const char *text, size_t length, const char *path, FILE *out, FILE *err);

/* One "#define ZEQ_LINE_<function> <line>" per construct whose enclosing
 * function can be named (a second construct of the same function gets _2,
 * and so on).  Returns the exit code. */
int host_lines(const char *text, size_t length, FILE *out, FILE *err);

#endif
