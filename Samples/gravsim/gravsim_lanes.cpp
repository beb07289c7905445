// gravsim_lanes.cpp: the translated host bodies once more, for one wider
// instruction set.
//
// The build compiles this file once per instruction set beyond the
// baseline (-mavx2, -mavx512f ...) with GRAVSIM_ISA naming it, so that one
// program carries the accelerations body in every vector width and picks
// the widest the processor has when it starts (gravsim_widths.cpp).  Every
// name of the translation is renamed with the set's name: the entries and
// the other bodies come along unused, and must not collide with the
// baseline's.  The names are given on declarations before the translation
// (the compiler's assembler labels, which its definitions then take), as
// the translation's names are pasted from the lines of gravsim.zeq's
// headers (gravsim_names.h) and so cannot be the names of macros.  The
// bodies' new names are plain C names, gravsim_accelerations_body_<set> and
// so on.  The arithmetic is the translation's, unchanged; only the
// instructions the compiler may choose differ, and none of them changes a
// result (no contraction, IEEE division and square root in every width).
// Nothing here may be a weak definition (an inline function out of line),
// or the linker could keep the AVX-512 copy for the whole program; a test
// looks at the objects' symbols.
#ifndef GRAVSIM_ISA
#error "GRAVSIM_ISA names the instruction set this copy is built for"
#endif

#include "gravsim_names.h"

#include <stddef.h>

#define GRAVSIM_JOIN2(a, b) a##_##b
#define GRAVSIM_JOIN(a, b) GRAVSIM_JOIN2(a, b)
#define GRAVSIM_LANE_NAME(name) __asm__(GRAVSIM_STRING(GRAVSIM_JOIN(name, GRAVSIM_ISA)))

void GRAVSIM_BODY(accelerations)(float *pos, float *acc, int n, float spare, float eps, int qiv_extra_arg_offs)
    GRAVSIM_LANE_NAME(gravsim_accelerations_body);
void GRAVSIM_BODY(time_step)(float *acc, float *vel, float *pos, float damping, float dt, int n,
                             int qiv_extra_arg_offs) GRAVSIM_LANE_NAME(gravsim_time_step_body);
void GRAVSIM_BODY(idle)(float *pos, int n, int qiv_extra_arg_offs) GRAVSIM_LANE_NAME(gravsim_idle_body);
extern "C" {
void GRAVSIM_ENTRY(accelerations)(size_t *arg) GRAVSIM_LANE_NAME(gravsim_accelerations_entry);
void GRAVSIM_ENTRY(time_step)(size_t *arg) GRAVSIM_LANE_NAME(gravsim_time_step_entry);
void GRAVSIM_ENTRY(idle)(size_t *arg) GRAVSIM_LANE_NAME(gravsim_idle_entry);
}

#include "gravsim_net.cpp"
