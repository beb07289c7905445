/* zeqremote.cpp: turns the coload constructs of a source into a remote module.
 *
 * Each construct becomes a plain function K_ holding the body and an exported
 * wrapper K(size_t *arg) that the worker agent calls with one word per
 * argument: a pointer argument is the word itself, anything else is read
 * through it.  The extra last parameter always receives 0, since an agent runs
 * a whole share through the runtime's range queries.
 */
#include "text_scan.h"

static const coload_formats remote_formats = {
    /* prologue */
    "#include <Zeq.h>\n"
    "#include <fcntl.h>\n"
    "#include <sys/types.h>\n"
    "#include <sys/stat.h>\n"
    "#include <io.h>\n"
    "#include <stdio.h>\n"
    "#include <stdlib.h>\n"
    "#include <math.h>\n"
    "#include <intrin.h>\n"
    "#define __shared__\n\n",
    /* head_start */ "void %s_(",
    /* pointer_qualifier */ "",
    /* declaration_prefix */ "__shared__ ",
    /* wrapper_start */ "\nextern \"C\" __declspec(dllexport) void %s(size_t* arg)\n{\n    %s_(",
    /* wrapper_pointer_arg */ "(%s)arg[%d], ",
    /* wrapper_value_arg */ "*(%s*)arg[%d], ",
    /* wrapper_end */ "0);\n}",
};

extern const translator_def zeq_translator = {
    "Usage: file.c > net_file.c\n",
    &remote_formats,
    coload_translate,
};

int main(int argc, char **argv)
{
    return translator_main(&zeq_translator, argc, argv);
}
