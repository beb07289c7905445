/* zeqcuda.cpp: turns every coload construct of a source into a CUDA kernel.
 *
 * All scanning is the shared coload front end; this file only says what is
 * printed at its printing points.  Every GPU thread handles one index, so the
 * range macros bound a range of one element at pix().
 */
#include "text_scan.h"

static const coload_formats cuda_formats = {
    /* prologue */
    "#define pix() (blockDim.x * blockIdx.x + threadIdx.x + qiv_extra_arg_offs)\n"
    "#define QIV_RANGE_START(x) pix()\n"
    "#define QIV_RANGE_END(x) (pix() + 1)\n\n"
    "#define qiv_sync __syncthreads\n\n",
    /* head_start */ "extern \"C\" __global__ void %s(",
    /* pointer_qualifier */ "",
    /* declaration_prefix */ "__shared__ ",
    /* no wrapper */ NULL, NULL, NULL, NULL,
};

extern const translator_def zeq_translator = {
    "Usage: file.c > file.cu\n",
    &cuda_formats,
    coload_translate,
};

int main(int argc, char **argv)
{
    return translator_main(&zeq_translator, argc, argv);
}
