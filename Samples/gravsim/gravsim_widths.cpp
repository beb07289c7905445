// gravsim_widths.cpp: the accelerations body in each vector width, and the
// choice of the widest the processor runs.
//
// The program's pool and the agents' module gravsim_net.so both compute
// their shares through this one table, so that an agent on a machine with
// AVX-512 computes as fast as the program's own pool there; a module that
// kept the baseline body would run its shares at a fraction of that rate.
// The choice is made at the first call after the code is loaded (an agent
// loads the module for every request), from the processor's own flags.
// Every width gives the same bits, so the choice never changes a result.
#include "gravsim_host.h"
#include "gravsim_names.h"

#include <string.h>

// The translated baseline body (gravsim_net.cpp) and its wider copies
// (gravsim_lanes.cpp, which names them without C++ decoration), linked into
// the program and into the module alike.
void GRAVSIM_BODY(accelerations)(float *pos, float *acc, int n, float spare, float eps, int qiv_extra_arg_offs);
extern "C" {
void gravsim_accelerations_body_avx2(float *pos, float *acc, int n, float spare, float eps, int qiv_extra_arg_offs);
void gravsim_accelerations_body_avx512(float *pos, float *acc, int n, float spare, float eps, int qiv_extra_arg_offs);
}

namespace {

struct vector_width {
    const char *name;
    gravsim_accelerations_body_fn *body;
    bool (*runs_here)(void);
};

bool has_avx512(void)
{
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}

bool has_avx2(void)
{
    return __builtin_cpu_supports("avx2");
}

bool always(void)
{
    return true;
}

// Widest first: the first one the processor runs is taken.
const vector_width vector_widths[] = {
    {"AVX-512", gravsim_accelerations_body_avx512, has_avx512},
    {"AVX2", gravsim_accelerations_body_avx2, has_avx2},
    {"SSE2", GRAVSIM_BODY(accelerations), always},
};
const vector_width *chosen_width;

const vector_width *width_in_use(void)
{
    if (!chosen_width) {
        __builtin_cpu_init();
        for (const vector_width &w : vector_widths)
            if (w.runs_here()) {
                chosen_width = &w;
                break;
            }
    }
    return chosen_width;
}

} // namespace

const char *gravsim_vector_width(void)
{
    return width_in_use()->name;
}

int gravsim_use_vector_width(const char *name)
{
    for (const vector_width &w : vector_widths)
        if (strcmp(w.name, name) == 0) {
            __builtin_cpu_init();
            if (!w.runs_here())
                return -1;
            chosen_width = &w;
            return 0;
        }
    return -1;
}

gravsim_accelerations_body_fn *gravsim_accelerations_host_body(void)
{
    return width_in_use()->body;
}
