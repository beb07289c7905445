/* zeqopencl.cpp: turns every coload construct of a source into an OpenCL kernel.
 *
 * The CUDA translator's twin on the shared coload front end: the index is built
 * from the work-group id, and every argument whose type text holds a '*' is
 * placed in global memory (no other address space is ever chosen).
 */
#include "text_scan.h"

static const coload_formats opencl_formats = {
    /* prologue */
    "#define pix() (get_group_id(0) * get_local_size(0) + get_local_id(0) + qiv_extra_arg_offs)\n"
    "#define QIV_RANGE_START(x) pix()\n"
    "#define QIV_RANGE_END(x) (pix() + 1)\n\n"
    "#define qiv_sync() barrier(CLK_LOCAL_MEM_FENCE)\n\n",
    /* head_start */ "__kernel void %s(",
    /* pointer_qualifier */ " __global",
    /* declaration_prefix */ "__local ",
    /* no wrapper */ NULL, NULL, NULL, NULL,
};

extern const translator_def zeq_translator = {
    "Usage: file.c > file.ocl\n",
    &opencl_formats,
    coload_translate,
};

int main(int argc, char **argv)
{
    return translator_main(&zeq_translator, argc, argv);
}
