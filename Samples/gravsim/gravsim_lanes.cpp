// gravsim_lanes.cpp: the translated host bodies once more, for one wider
// instruction set.
//
// The build compiles this file once per instruction set beyond the
// baseline (-mavx2, -mavx512f ...) with GRAVSIM_ISA naming it, so that one
// program carries the accelerations body in every vector width and picks
// the widest the processor has when it starts (gravsim_host.cpp).  Every
// name of the translation is suffixed with the set's name: the entries and
// the other bodies come along unused, and must not collide with the
// baseline's.  The arithmetic is the translation's, unchanged; only the
// instructions the compiler may choose differ, and none of them changes a
// result (no contraction, IEEE division and square root in every width).
// Nothing here may be a weak definition (an inline function out of line),
// or the linker could keep the AVX-512 copy for the whole program; a test
// looks at the objects' symbols.
#ifndef GRAVSIM_ISA
#error "GRAVSIM_ISA names the instruction set this copy is built for"
#endif

#define GRAVSIM_JOIN2(a, b) a##_##b
#define GRAVSIM_JOIN(a, b) GRAVSIM_JOIN2(a, b)
#define fline144_ GRAVSIM_JOIN(gravsim_accelerations_body, GRAVSIM_ISA)
#define fline345_ GRAVSIM_JOIN(gravsim_time_step_body, GRAVSIM_ISA)
#define fline420_ GRAVSIM_JOIN(gravsim_idle_body, GRAVSIM_ISA)
#define fline144 GRAVSIM_JOIN(gravsim_accelerations_entry, GRAVSIM_ISA)
#define fline345 GRAVSIM_JOIN(gravsim_time_step_entry, GRAVSIM_ISA)
#define fline420 GRAVSIM_JOIN(gravsim_idle_entry, GRAVSIM_ISA)
#include "gravsim_net.cpp"
