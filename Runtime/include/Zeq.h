/* Zeq.h: what generated sources include: the runtime's interface
 * (zeq_runtime.h, with the coload call pattern of zeq_coload.h) and the
 * dialect's macros (zeq_dialect.h), which translated code is written in.
 * Host programs written by hand include zeq_runtime.h instead, so that the
 * dialect's words (serial, break(), pix(), __declspec) stay theirs to use. */
#ifndef ZEQ_H
#define ZEQ_H

#include "zeq_runtime.h"
#include "zeq_dialect.h"

#endif
