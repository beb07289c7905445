/* intrin.h: stand-in for the compiler-intrinsics header that zeqremote output
 * includes; this system's compilers keep the x86 intrinsics in <x86intrin.h>. */
#ifndef ZEQ_REMOTE_INTRIN_H
#define ZEQ_REMOTE_INTRIN_H
#include <x86intrin.h>
#endif
