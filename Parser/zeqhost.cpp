/* zeqhost.cpp: turns a whole Zeq source into the C++ of its host program.
 *
 * The source is copied as it stands, and each coload construct (the keyword
 * through the body's closing brace) becomes a block that calls the runtime:
 * a local record of the arguments, the body as the function zeqremote prints
 * for it, a region opener, the call site and the call.  A local class keeps
 * all of it in the place of the construct, so nothing has to be inserted
 * before the enclosing function, and a construct that is itself a function's
 * body becomes that body.  #line directives keep the source's lines: compiler
 * errors and debuggers point into the .zeq.
 *
 * The constructs are found exactly as the device translators find them (the
 * same search, from each keyword on), so every kernel and remote entry has its
 * call site.  What C cannot say (how long an array is, which way it travels,
 * which value counts the work items, the group size) comes from the third
 * item of the argument groups, which the other translators ignore:
 *
 *   (float*, y, n)           n elements, copied to the workers and back
 *   (const float*, x, n)     copied to the workers only
 *   (float*, x, in n)        the same, said explicitly; out: only written
 *   (int, n, items)          the call's work-item count
 *   (..., group 256)         the work-group size of a body with group memory
 *
 * `zeqhost --lines file.zeq` prints instead one #define ZEQ_LINE_<function>
 * per construct whose enclosing function it can name, so that build files
 * and host code name the kernels without copying line numbers.
 */
#include "host_form.h"
#include "text_scan.h"

#include <string.h>

static const char *source_path = "input.zeq";

#define ZEQHOST_USAGE "Usage: zeqhost [--lines] file.zeq > file.cpp\n"

static int translate_host(const translator_def *, char *text, size_t length, FILE *out, FILE *err)
{
    return host_translate(text, length, source_path, out, err);
}

static int translate_lines(const translator_def *, char *text, size_t length, FILE *out, FILE *err)
{
    return host_lines(text, length, out, err);
}

extern const translator_def zeq_translator = {
    ZEQHOST_USAGE,
    NULL,
    translate_host,
};

static const translator_def lines_translator = {
    ZEQHOST_USAGE,
    NULL,
    translate_lines,
};

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--lines") == 0)
        return translator_main(&lines_translator, argc - 1, argv + 1);
    if (argc > 1)
        source_path = argv[1];
    return translator_main(&zeq_translator, argc, argv);
}
