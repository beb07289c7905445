/* zeq_host.h: what a Zeq program's host side (zeqhost's output) is built on.
 *
 * zeqhost turns each coload construct into a call of the runtime (a region
 * whose member 0 offers the work to the device slots and the agents with a
 * descriptor list, and the host body for every member nobody took).  The
 * generated code keeps its state in one zeq_host_call per call; the program
 * steers a call, and reads back how it went, through zeq_call_options:
 *
 *     zeq_call_options o = {};
 *     o.members = 64;            // the region's members (0: the runtime's default)
 *     zeq_next_call(&o);         // the next generated call on this thread takes o
 *     saxpy(y, x, a, n);         // a function of the .zeq that holds a construct
 *     if (o.status != 0) ...     // a share failed on a device or an agent
 *
 * The options are taken by the first generated call this thread makes after
 * zeq_next_call, before it opens its region, so a call nested in a body
 * never sees them.  Without options a call uses the defaults.
 */
#ifndef ZEQ_HOST_H
#define ZEQ_HOST_H

#include "Zeq.h"

/* The bodies are the text zeqremote prints, whose output gives them the C
 * library's mathematics (sqrt and the rest) before any body. */
#include <math.h>
#include <stdint.h>

#ifdef __cplusplus

struct zeq_call_options {
    /* Set by the program. */
    int members;   /* region members; 0: the runtime's default */
    int host_only; /* nonzero: offer the call to nobody, the pool computes it */
    /* A host body of the construct's own type (as its fline<line>_ function)
     * run in place of the translated one, such as a copy built for wider
     * vectors; null: the translated body. */
    void (*body)(void);
    /* Called on the member's thread after the host body ran over a member's
     * range, with the member's index and its number of work items. */
    void (*member_done)(void *context, int member, long long items);
    void *context;
    /* Written back when the call returns. */
    int status;              /* the call's Status: 0, or the failures of its shares OR-ed */
    qiv_coload_site *site;   /* the call site: its line, its status word, its balance */
};

struct zeq_host_call {
    int members;
    int host_only;
    int status;
    intptr_t shared_bytes;
    void (*body)(void);
    void (*member_done)(void *context, int member, long long items);
    void *context;
    qiv_coload_site *site;
    zeq_call_options *options;
};

/* The options the next generated call on this thread takes. */
inline zeq_call_options **zeq_next_call_slot_(void)
{
    static thread_local zeq_call_options *next;
    return &next;
}

inline void zeq_next_call(zeq_call_options *options)
{
    *zeq_next_call_slot_() = options;
}

inline void zeq_host_begin(zeq_host_call *call, qiv_coload_site *site)
{
    zeq_call_options *options = *zeq_next_call_slot_();
    *zeq_next_call_slot_() = 0;
    call->site = site;
    call->options = options;
    if (options) {
        call->members = options->members > 0 ? options->members : 0;
        call->host_only = options->host_only;
        call->body = options->body;
        call->member_done = options->member_done;
        call->context = options->context;
    }
}

inline void zeq_host_member_done(zeq_host_call *call, long long items)
{
    if (call->member_done)
        call->member_done(call->context, qiv_exported_pix(), items);
}

inline void zeq_host_end(zeq_host_call *call)
{
    if (call->options) {
        call->options->status = call->status;
        call->options->site = call->site;
    }
}

#endif

#endif
