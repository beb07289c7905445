// The entry points that code from compilers with OpenMP support calls for its
// `parallel` constructs, under the names of the two published runtime
// interfaces (`_vcomp_*` and `__kmpc_*`), so that such code runs on this pool.
//
// A fork does not hand the region function to the pool as a job.  It opens an
// ordinary region, exactly as compiled Zeq code does, and every member - the
// owner and each copy of the fork's frame - calls the function itself.  The
// argument words are gathered into an array in the region's own frame before
// the capture, so each member calls with the words of its private copy: on
// x86-64 the first words arrive in registers that no frame copy carries, and a
// detached region's owner may leave (and reuse its stack) as soon as every
// member has started, so nothing may be read from the caller's stack later.
//
// The thread-count word a push leaves is kept in the pushing thread's
// `wait_next`, which is free while the thread is not waiting on a lock: bit 0
// asks for a detached region, bits 1.. hold the member count plus one.
#include "runtime.h"

#include <alloca.h>
#include <stdarg.h>
#include <string.h>

typedef void (*openmp_function)(void);

// Calls fn with count words as its arguments, placed as the platform's calling
// convention wants them (assembly, one file per ABI).
extern "C" void openmp_call_words(openmp_function fn, const uintptr_t *words, uintptr_t count);

namespace {

// The most argument words a parallel region takes: what the classic limit's
// 124 bytes of incoming arguments held on the 32-bit target, besides the three
// fixed arguments.  Compilers pass shared variables by address, so real
// regions stay far below it.
enum { fork_max_words = 28 };
// __kmpc_fork_call puts the two thread-number addresses before the words.
enum { kmpc_lead_words = 2 };

enum { pushed_detached = 1 };

// What every member of a __kmpc_fork_call region gets as its global and bound
// thread numbers.  Const: generated code only reads them.
const int32_t global_thread_number = 0;
const int32_t bound_thread_number = 0;

// Takes the calling thread's pushed word (0 when nothing is pushed) and clears
// it, so that a push governs exactly one region.
uintptr_t take_pushed_word(thread_record *rec)
{
    if (!rec)
        return 0;
    uintptr_t word = (uintptr_t)rec->wait_next;
    rec->wait_next = nullptr;
    return word;
}

void store_pushed_word(int word)
{
    thread_record *rec = get_thread_record();
    if (rec)
        rec->wait_next = (thread_record *)(uintptr_t)(uint32_t)word;
}

// Runs fn as a parallel region shaped by the pushed word.  The words are
// copied into this frame before the capture, which is what each member's
// frame copy carries; the count is at most fork_max_words + kmpc_lead_words.
// Out of line so that its frame is the one the limit describes: the frame and
// its three argument words, nothing of the caller (a pointer into the
// caller's frame that a register still holds must not be relocated).
QIV_REGION_OPENER void run_region(openmp_function fn, const uintptr_t *incoming, int nwords)
{
    uintptr_t words[fork_max_words + kmpc_lead_words];
    memcpy(words, incoming, (size_t)nwords * sizeof(uintptr_t));
    uint32_t pushed = (uint32_t)take_pushed_word(get_thread_record());
    int count = (int)(pushed >> 1) - 1; // 0 or less: one member per pool thread
    bool detached = (pushed & pushed_detached) != 0;

    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, count, QIV_LIMIT_TIGHT(3));
    openmp_call_words(fn, words, (uintptr_t)nwords);
    if (detached)
        qiv_region_end_detached(self);
    else
        qiv_region_end_joined(self);
}

// Runs fn once, on the caller, as a region of one member: for forks that must
// not go parallel (an if-clause of 0, or more words than a region carries).
// The push is consumed as by any fork.  A one-member region is never listed,
// so no frame is copied and the words may stay where the caller has them.
QIV_REGION_OPENER void run_single(openmp_function fn, const uintptr_t *words, int nwords)
{
    take_pushed_word(get_thread_record());
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(3));
    openmp_call_words(fn, words, (uintptr_t)nwords);
    qiv_region_end_joined(self);
}

} // namespace

// Gathers `k` variadic words after `lead` leading words into `array` (which
// must hold lead + k words).  A macro because va_arg must run in the variadic
// function itself.
#define gather_words(array, lead, k, ap)             \
    do {                                             \
        for (int i_ = 0; i_ < (k); ++i_)             \
            (array)[(lead) + i_] = va_arg(ap, uintptr_t); \
    } while (0)

ZEQ_EXPORT void _vcomp_fork(int if_value, int k, openmp_function fn, ...)
{
    if (k < 0)
        return; // no word list to call with
    va_list ap;
    va_start(ap, fn);
    if (k > fork_max_words || if_value == 0) {
        // A region's frame copy carries at most fork_max_words words; more
        // would reach the members cut short, so the region runs serially.
        uintptr_t *words = (uintptr_t *)alloca(((size_t)k + 1) * sizeof(uintptr_t));
        gather_words(words, 0, k, ap);
        va_end(ap);
        run_single(fn, words, k);
        return;
    }
    uintptr_t words[fork_max_words];
    gather_words(words, 0, k, ap);
    va_end(ap);
    run_region(fn, words, k);
}

ZEQ_EXPORT void _vcomp_set_num_threads(int word)
{
    store_pushed_word(word);
}

ZEQ_EXPORT void __kmpc_fork_call(void *location, int k, openmp_function microtask, ...)
{
    if (k < 0)
        return; // no word list to call with
    va_list ap;
    va_start(ap, microtask);
    if (k > fork_max_words) {
        // See _vcomp_fork: too many words for a frame copy, run serially.
        uintptr_t *words = (uintptr_t *)alloca(((size_t)k + kmpc_lead_words) * sizeof(uintptr_t));
        words[0] = (uintptr_t)&global_thread_number;
        words[1] = (uintptr_t)&bound_thread_number;
        gather_words(words, kmpc_lead_words, k, ap);
        va_end(ap);
        run_single(microtask, words, k + kmpc_lead_words);
        return;
    }
    uintptr_t words[fork_max_words + kmpc_lead_words];
    words[0] = (uintptr_t)&global_thread_number;
    words[1] = (uintptr_t)&bound_thread_number;
    gather_words(words, kmpc_lead_words, k, ap);
    va_end(ap);
    run_region(microtask, words, k + kmpc_lead_words);
}

ZEQ_EXPORT int __kmpc_push_num_threads(void *location, int thread_number, int word)
{
    store_pushed_word(word);
    return 0;
}

ZEQ_EXPORT int __kmpc_ok_to_fork(void *location)
{
    return 1;
}

ZEQ_EXPORT int __kmpc_global_thread_num(void *location)
{
    return 1;
}

ZEQ_EXPORT void __kmpc_begin(void *location, int flags)
{
}

ZEQ_EXPORT void __kmpc_end(void *location)
{
}

// Compilers push the thread count before they test the if-clause, so a region
// that the clause made serial still leaves its push behind.  Consuming it here
// keeps it from shaping the next, unrelated fork on this thread.
ZEQ_EXPORT void __kmpc_serialized_parallel(void *location, int thread_number)
{
    take_pushed_word(get_thread_record());
}

ZEQ_EXPORT void __kmpc_end_serialized_parallel(void *location, int thread_number)
{
}
