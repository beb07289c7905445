/* zeq_runtime.h: the interface of the Zeq runtime library, for hand-written
 * host code and, through Zeq.h, for compiled Zeq code.  It defines no macro of
 * the dialect (pix(), serial, break(), __declspec): a host program may name
 * its own variables and functions as it likes.
 *
 * Compiled Zeq code opens parallel regions inline: it captures its own execution
 * context, opens the region, and members picked by other threads resume that
 * context on private copies of the function's stack frame.  The records below
 * are therefore part of the library's binary interface and keep their word
 * order; the inline helpers at the end follow the region protocol step by step
 * so that host code written by hand behaves exactly like generated code.
 *
 * Rules for a function that contains a region (the helpers cannot enforce them):
 *  - declare it QIV_REGION_OPENER: members resume inside its frame, and a frame
 *    that an inliner merged into its caller is not the frame the limit
 *    describes, nor is one whose code keeps its own address in a stack slot,
 *    as AddressSanitizer's may (see the macro);
 *  - between the open and the end, treat the function's own locals as read-only:
 *    a member starts on a copy of the frame taken when it is picked, so it sees a
 *    local changed after the open either at its old or at its new value.  Share
 *    data through pointers (to the caller's data, to statics, or to locals that
 *    the owner writes before the open);
 *  - members never return from the function: end the region with one of the
 *    qiv_region_end_* helpers, which a member leaves by switching back to the
 *    thread that picked it.
 */
#ifndef ZEQ_PUBLIC_RUNTIME_H
#define ZEQ_PUBLIC_RUNTIME_H

#include <sched.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QIV_NOINLINE __attribute__((noinline))

/* The attribute of a function that opens a region: not inlined (above), and
 * not instrumented by AddressSanitizer.  ASan places a function's locals in a
 * block between guard zones and addresses them from the block's base, which it
 * may keep in a stack slot.  A member resumes on a copy of the frame, where
 * registers pointing into the frame are relocated but stack slots are not, so
 * it would read and write the owner's original locals while the owner runs.
 * A program built with -fsanitize=address needs this on its own openers too;
 * without ASan it is the same as QIV_NOINLINE, which stays for code that uses
 * it.  The functions an opener calls stay instrumented; under ASan the
 * compiler keeps the inline helpers below out of line in an opener, which is
 * harmless: they run in frames of their own, below the copy. */
#define QIV_REGION_OPENER QIV_NOINLINE __attribute__((no_sanitize("address")))

/* A captured execution context, twelve machine words.  Saved registers: i386
 * EBX, ECX, EDX, ESI, EDI, EBP; x86-64 RBX, R12, R13, R14, R15, RBP. */
typedef struct qiv_exec_context {
    uintptr_t stack_base;     /* highest address of the capturing thread's stack */
    intptr_t relocation;      /* distance from the captured stack to the copy */
    uintptr_t carry_limit;    /* end (exclusive) of the slice a resume copies */
    intptr_t resume_value;    /* returned on resume; -1 marks a direct context */
    uintptr_t saved[6];
    uintptr_t stack_pointer;  /* caller's stack pointer just after the capture returns */
    uintptr_t resume_address; /* return address of the capture */
} qiv_exec_context;

/* Only the first word of a thread's record belongs to the interface: the region
 * the thread runs in.  The address of the record is the thread's identity. */
typedef struct qiv_thread_record qiv_thread_record;

/* A parallel region, 33 machine words.  The home record lies in the opener's
 * frame; each member runs on a private copy made by the thread that picked it. */
typedef struct qiv_parallel_region {
    /* home record: members that balanced coload calls took for devices and
     * agents from the top of the index range (under the job lock); pickers
     * hand out the members below them.  0 in every other region. */
    volatile intptr_t taken_from_top;
    volatile intptr_t blocking;   /* the runner declared itself blocking */
    intptr_t index;               /* 0 for the owner, 1 .. count-1 for members */
    intptr_t count;
    volatile intptr_t unstarted;  /* home record: members not yet started */
    volatile intptr_t unclaimed;  /* home record: members not handed out (stored under the job lock, loaded atomically) */
    volatile intptr_t unfinished; /* home record: members, owner included, not finished */
    qiv_thread_record *owner;
    qiv_thread_record *runner;
    struct qiv_parallel_region *home;
    qiv_exec_context *return_context;
    struct qiv_parallel_region *enclosing;
    struct qiv_parallel_region *next_job;
    qiv_exec_context context;
    uintptr_t reserved[8];
} qiv_parallel_region;

/* ---- exports ------------------------------------------------------------ */

/* Captures the caller's context and returns 0; returns again, with the address
 * of a member's private region record, in every member that resumes it. */
intptr_t qiv_exported_set_exectx(qiv_exec_context *context, void *limit) __attribute__((returns_twice));
void qiv_exported_swap_exectx(qiv_exec_context *context) __attribute__((noreturn));
int qiv_exported_parallel(int count, qiv_parallel_region *region);
int qiv_exported_pick_job(void);
int qiv_exported_pick_nested_job(qiv_parallel_region *region);

void *qiv_exported_pid(void);
int qiv_exported_pix(void);
int qiv_exported_pno(void);
int qiv_exported_range_start(int n);
int qiv_exported_range_end(int n);

void qiv_exported_sync(const volatile void *address);
int qiv_exported_unsync(const volatile void *address);
int qiv_exported_trysync(const volatile void *address);
void qiv_exported_sync_default(void);
void qiv_exported_unsync_default(void);
int qiv_exported_wait(int flag, int timeout_ms);
int qiv_exported_wake(void *pid);

/* ---- region limits ------------------------------------------------------ */

/* The limit tells how much of the stack above the capture each member copies.
 * The tight limit ends at the function's incoming stack arguments: the call
 * frame address plus arg_words words of stack arguments on i386 (x86-64 passes
 * the first six integer arguments in registers, so functions of up to six
 * integer arguments need none).  Anything above the limit, in particular the
 * caller's locals, is never copied, so pointers to it stay shared. */
#if defined(__i386__)
#define QIV_LIMIT_TIGHT(arg_words) ((void *)((char *)__builtin_dwarf_cfa() + 4 * (arg_words)))
#else
#define QIV_LIMIT_TIGHT(arg_words) ((void *)((char *)__builtin_dwarf_cfa()))
#endif
/* The classic limit: the return-address slot plus 128 bytes (the frame, the
 * return address and 124 bytes of incoming arguments). */
#define QIV_LIMIT_CLASSIC ((void *)((char *)__builtin_dwarf_cfa() - sizeof(void *) + 128))

/* ---- the region protocol, inline ---------------------------------------- */

static inline void qiv_set_current_region_(qiv_thread_record *runner, qiv_parallel_region *region)
{
    if (runner)
        *(qiv_parallel_region *volatile *)runner = region;
}

/* The second half of opening: p is what the capture returned. */
static inline qiv_parallel_region *qiv_region_enter_(qiv_parallel_region *home, int count, intptr_t p)
{
    if (p == 0) {
        qiv_exported_parallel(count, home);
        return home;
    }
    qiv_parallel_region *self = (qiv_parallel_region *)p;
    qiv_set_current_region_(self->runner, self);
    __atomic_sub_fetch(&self->home->unstarted, 1, __ATOMIC_SEQ_CST);
    return self;
}

/* Opens a region of `count` members (0 or less: one per pool thread) whose home
 * record is *home, in the calling function's frame, and evaluates to the record
 * this thread runs: home for the owner, a private copy for each member.  Must
 * be expanded directly in the function that contains the region. */
#define qiv_region_open(home, count, limit) \
    qiv_region_enter_((home), (count), qiv_exported_set_exectx(&(home)->context, (limit)))

static inline void qiv_pause_(void)
{
    __builtin_ia32_pause();
}

/* The owner reads the count that members bring down as an acquire load, so
 * that what it reads after the end (the members' results, or its frame that
 * members copied) cannot be read before the count says they are done: a
 * volatile load orders nothing but other volatile accesses, and compilers do
 * move ordinary loads above it.  On x86 it is still a plain load. */
static inline intptr_t qiv_load_acquire_(const volatile intptr_t *count)
{
    return __atomic_load_n(count, __ATOMIC_ACQUIRE);
}

/* Ends a joined region: members switch back to their pickers; the owner returns
 * once every member has ended, helping with queued work while it waits (or
 * sleeping, if it declared itself blocking). */
static inline void qiv_region_end_joined(qiv_parallel_region *self)
{
    intptr_t left = __atomic_sub_fetch(&self->home->unfinished, 1, __ATOMIC_SEQ_CST);
    if (self->index != 0) {
        if (left == 0)
            qiv_exported_wake(self->owner);
        qiv_set_current_region_(self->runner, self->enclosing);
        qiv_exported_swap_exectx(self->return_context);
    }
    if (self->runner) {
        if (self->blocking == 0) {
            for (;;) {
                if (qiv_load_acquire_(&self->unfinished) == 0)
                    break;
                if (__atomic_load_n(&self->unclaimed, __ATOMIC_RELAXED) != 0 || self->enclosing == NULL) {
                    if (qiv_exported_pick_nested_job(self))
                        continue;
                }
                if (qiv_load_acquire_(&self->unfinished) == 0)
                    break;
                qiv_pause_();
            }
        } else {
            while (qiv_load_acquire_(&self->unfinished) != 0)
                qiv_exported_wait(0, 0);
        }
    }
    qiv_set_current_region_(self->runner, self->enclosing);
}

/* Ends a detached region: members switch back to their pickers; the owner goes
 * on as soon as every member has started (each member copies the owner's frame,
 * which holds the home record, when it starts). */
static inline void qiv_region_end_detached(qiv_parallel_region *self)
{
    if (self->index != 0) {
        qiv_set_current_region_(self->runner, self->enclosing);
        qiv_exported_swap_exectx(self->return_context);
    }
    if (self->runner) {
        if (self->blocking == 0) {
            for (;;) {
                while (qiv_exported_pick_nested_job(self))
                    ;
                if (qiv_load_acquire_(&self->unstarted) == 0)
                    break;
                qiv_pause_();
            }
        } else {
            while (qiv_load_acquire_(&self->unstarted) != 0)
                sched_yield();
        }
    }
    qiv_set_current_region_(self->runner, self->enclosing);
}

#ifdef __cplusplus
}
#endif

#include "zeq_coload.h"

#endif
