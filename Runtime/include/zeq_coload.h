/* zeq_coload.h: the host side of a coload function.
 *
 * A coload function runs as a parallel region; its member 0 offers the work
 * items to the runtime's device slots with qiv_exported_coload, passing a
 * static call-site record and a list of descriptor words that describe the
 * function's arguments.  Devices claim whole shares of other members that no
 * pool thread has started, and pieces of member 0's own share; the call
 * returns 0 when devices computed member 0's share and 1 when member 0 must
 * still compute it on the host.  Members that no device claimed run on the pool.
 *
 * Every descriptor word is a machine word passed as intptr_t: kinds, sizes and
 * counts included (a plain int among the variadic words would leave the upper
 * half of a 64-bit word undefined).  The QIV_ARG_* macros below emit whole
 * descriptors with the right casts.
 *
 * The pattern (compare any function that contains a region, see Zeq.h):
 *
 *     static char saxpy_source[] = "saxpy.zeq";      // writable: trimmed in place
 *     static qiv_coload_site saxpy_site = QIV_COLOAD_SITE_INIT(saxpy_source, 12);
 *
 *     QIV_REGION_OPENER void saxpy(float *y, const float *x, float a, int n)
 *     {
 *         qiv_parallel_region home;
 *         qiv_parallel_region *self = qiv_region_open(&home, 0, QIV_LIMIT_TIGHT(4));
 *         if (qiv_exported_pix() != 0
 *             || qiv_exported_coload(self, &saxpy_site,
 *                                    QIV_ARG_INOUT("float*", y, sizeof *y, (intptr_t)n * sizeof *y),
 *                                    QIV_ARG_IN("float*", x, sizeof *x, (intptr_t)n * sizeof *x),
 *                                    QIV_ARG_VALUE("float", &a, sizeof a),
 *                                    QIV_ARG_RANGE(n), QIV_ARG_END) != 0) {
 *             int end = qiv_exported_range_end(n);
 *             for (int i = qiv_exported_range_start(n); i < end; ++i)
 *                 y[i] = a * x[i] + y[i];
 *         }
 *         qiv_region_end_joined(self);
 *     }
 *
 * Member 0 alone calls the runtime; every other member, and member 0 when the
 * call returns 1, runs the host loop over its own slice.  A region of one
 * member (count 1) offers the whole range to the devices in pieces.  Value
 * descriptors carry the address of the value: &a above lies in the owner's
 * frame, which stays alive until the call returns.  The site's line is the
 * line of the coload header's closing parenthesis in the .zeq source, which
 * names the kernel ("fline12") in the .ocl or .ptx file of the same base name
 * found beside the program or beside the library that contains the call.
 */
#ifndef ZEQ_COLOAD_H
#define ZEQ_COLOAD_H

#include <stdint.h>

#include "zeq_kernel_name.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QIV_COLOAD_SLOTS 32

/* One per call site, in writable static data; the runtime trims `source` to
 * its base name and caches per-slot kernel handles in it for the life of the
 * process. */
typedef struct qiv_coload_site {
    intptr_t status;                          /* nonzero: always run on the host */
    char *source;                             /* source file name, trimmed in place */
    intptr_t line;                            /* names the kernel "fline<line>" */
    intptr_t capacity;                        /* entries in the arrays below: 32 */
    intptr_t kernel[QIV_COLOAD_SLOTS];        /* 0 not looked up, -1 unavailable, else a handle */
    intptr_t group_limit[QIV_COLOAD_SLOTS];   /* largest work-group size of the kernel */
} qiv_coload_site;

#define QIV_COLOAD_SITE_INIT(source, line) { 0, (source), (line), QIV_COLOAD_SLOTS, {0}, {0} }

/* A site that slot 0 alone serves: the remote slot, which sends member
 * shares to agents.  For calls without a Range.  On a device such a call is
 * one work item per region member, and a body written as a loop over the
 * member's range (what an agent runs) computes one item there while the
 * member's whole slice is copied back; a site of capacity 1 keeps every
 * device out of those calls. */
#define QIV_COLOAD_AGENTS_SITE_INIT(source, line) { 0, (source), (line), 1, {0}, {0} }

/* Descriptor kinds of the word list. */
enum qiv_coload_arg_kind {
    QIV_ARG_KIND_END = 0,
    QIV_ARG_KIND_IN = 1,           /* kind, type text, address, element size, bytes or -1, [-1] */
    QIV_ARG_KIND_OUT = 2,          /* as In: copied back after each launch */
    QIV_ARG_KIND_INOUT = 3,        /* as In: copied to the device and back */
    QIV_ARG_KIND_VALUE = 4,        /* kind, type text, address of the value, size */
    QIV_ARG_KIND_RANGE = 5,        /* kind, number of work items (default: one per member) */
    QIV_ARG_KIND_STATUS = 6,       /* kind, address of an int that receives the launch status */
    QIV_ARG_KIND_SHARED_BYTES = 7, /* kind, group-shared bytes per work group */
    QIV_ARG_KIND_GROUP_SIZE = 8,   /* kind, requested work-group size */
    QIV_ARG_KIND_BALANCED = 9,     /* kind alone: share the call in balance (below) */
    QIV_ARG_KIND_HOST_RANGE = 10   /* kind alone: the host body covers its member's range */
};

/* Balanced calls (opt-in).  Without QIV_ARG_BALANCED a call is claimed as
 * above: devices take whole member shares as they find them, and pieces of
 * the caller's own share.  With it, and a region of more than one member,
 * the runtime shares the members between the pool, the device slots and the
 * agents by speed: for each call site it learns from the calls' own timings
 * how many items per second each worker (the pool, each device slot, each
 * agent) computes, and keeps those rates for the life of the process.  Pool
 * threads take members one at a time from the lowest index up, member 0 being
 * the caller's; devices and agents take runs of consecutive members from the
 * highest index down, each run sized so that its worker finishes about when
 * the rest does, shrinking as the call nears its end.  A worker no one has
 * measured yet takes one member as a probe; a worker that would finish even
 * one member after the others takes none; a share that fails drops its
 * worker's rate.  The caller's own member is always computed on the host,
 * after the call returns 1: give the region enough members (a few per pool
 * thread) that it is small.  A region of one member is claimed as without
 * the option.
 *
 * QIV_ARG_HOST_RANGE says that the host body loops from
 * qiv_exported_range_start(n) to qiv_exported_range_end(n), n being the
 * call's Range: then the remote slot takes calls with a Range (and ignores
 * their SharedBytes and GroupSize, which concern devices), and hands an agent
 * a run of several members as one share whose range is exactly theirs.  A
 * body written for one item per work item must not say so: without the option
 * agents never receive a call that has a Range.
 *
 * Both are single words, which runtimes that do not know them skip. */

/* The balance of the last balanced call at this site: the times, in
 * microseconds from the call's start, at which the first and the last of
 * its workers finished (the pool counts once, when its last member other
 * than the caller's own ended; workers that took nothing do not count), and
 * the number of workers that took part.  Returns 0, or -1 when the site has
 * made no balanced call with more than one member. */
int qiv_exported_call_balance(const qiv_coload_site *site, long long *first_us, long long *last_us, int *workers);

#define QIV_W_(x) ((intptr_t)(x))
/* An array of `bytes` bytes (6 words, the last one skipped by the runtime). */
#define QIV_ARG_IN(type_text, address, element_size, bytes) \
    QIV_W_(QIV_ARG_KIND_IN), QIV_W_(type_text), QIV_W_(address), QIV_W_(element_size), QIV_W_(bytes), QIV_W_(-1)
#define QIV_ARG_OUT(type_text, address, element_size, bytes) \
    QIV_W_(QIV_ARG_KIND_OUT), QIV_W_(type_text), QIV_W_(address), QIV_W_(element_size), QIV_W_(bytes), QIV_W_(-1)
#define QIV_ARG_INOUT(type_text, address, element_size, bytes) \
    QIV_W_(QIV_ARG_KIND_INOUT), QIV_W_(type_text), QIV_W_(address), QIV_W_(element_size), QIV_W_(bytes), QIV_W_(-1)
/* A single element: the 5-word form whose fifth word is -1. */
#define QIV_ARG_IN_ONE(type_text, address, element_size) \
    QIV_W_(QIV_ARG_KIND_IN), QIV_W_(type_text), QIV_W_(address), QIV_W_(element_size), QIV_W_(-1)
#define QIV_ARG_VALUE(type_text, address, size) \
    QIV_W_(QIV_ARG_KIND_VALUE), QIV_W_(type_text), QIV_W_(address), QIV_W_(size)
#define QIV_ARG_RANGE(n) QIV_W_(QIV_ARG_KIND_RANGE), QIV_W_(n)
#define QIV_ARG_STATUS(int_address) QIV_W_(QIV_ARG_KIND_STATUS), QIV_W_(int_address)
#define QIV_ARG_SHARED_BYTES(n) QIV_W_(QIV_ARG_KIND_SHARED_BYTES), QIV_W_(n)
#define QIV_ARG_GROUP_SIZE(n) QIV_W_(QIV_ARG_KIND_GROUP_SIZE), QIV_W_(n)
#define QIV_ARG_BALANCED QIV_W_(QIV_ARG_KIND_BALANCED)
#define QIV_ARG_HOST_RANGE QIV_W_(QIV_ARG_KIND_HOST_RANGE)
#define QIV_ARG_END QIV_W_(QIV_ARG_KIND_END)

/* Offers the region's work items to the device slots.  region: the coload
 * function's region as seen by the calling member (null: the caller's current
 * region); site: the call-site record; then the descriptor words, ending with
 * QIV_ARG_END.  Returns 0 when devices computed the caller's own share, 1 when
 * the caller must compute it on the host. */
int qiv_exported_coload(qiv_parallel_region *region, qiv_coload_site *site, ...);

/* Where the work went, for reports: the number of device slots (slot 0 is the
 * remote slot; 0 before discovery), each slot's kind ("remote", "OpenCL",
 * "CUDA"), and the work items each slot has computed since the program
 * started.  Items that no slot computed ran on the host.  An index outside the
 * table gives null and -1. */
int qiv_exported_slot_count(void);
const char *qiv_exported_slot_kind(int slot);
long long qiv_exported_slot_items(int slot);

/* The remote slot's share of it, per agent: one past the highest agent number
 * a share was posted to (0 when none was), and the shares whose results came
 * back from agent number `agent` since the program started (0 for a number
 * outside the table).  A share's items are its region member's slice, which
 * the caller knows. */
int qiv_exported_agent_count(void);
long long qiv_exported_agent_shares(int agent);
/* The work items in those shares: a share of a call with a Range counts the
 * items of its range (a run of several members in a balanced call), one
 * without counts one item per member. */
long long qiv_exported_agent_items(int agent);

#ifdef __cplusplus
}
#endif

/* How many work items a host body may compute side by side, as the lanes of
 * one vector register: a body that keeps its sums per item in arrays of this
 * length gives the compiler a loop across items to vectorise, which keeps
 * each item's own sum in its written order, so the bits stay those of one
 * item at a time.  Device prologues do not define it: a body that uses it
 * falls back to 1 there, where each thread is one item. */
#define QIV_HOST_LANES 16

#endif
