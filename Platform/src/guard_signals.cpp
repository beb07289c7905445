// Guarded calls: a SIGSEGV, SIGBUS, SIGFPE or SIGILL that an instruction of
// the calling thread raises while the call runs ends the call, not the process.
//
// A worker that runs code it was sent (a module named by a request) must
// survive that code's crash and report a failed request.  The only portable
// way out of a synchronous fault is to jump out of its handler, so one
// process-wide handler per signal, installed on the first guarded call,
// looks at a per-thread pointer to the jump buffer of the guarded call that
// runs on that thread, and jumps there with the signal's number.  The jump
// restores the signal mask saved by sigsetjmp, so the signal is unblocked
// again for the next call.
//
// Everything else goes on as if the handler were not there: a fault on a
// thread outside a guarded call, and any of these signals sent by kill or
// raise (si_code <= 0: not the routine's instruction), is passed to the
// action that was in place before ours.  When that was a handler (a
// sanitizer's, say) it is called; when it was the default action, it is put
// back and the fault happens again under it (a faulting instruction runs
// again when the handler returns; a sent signal is sent again), so the
// process ends by the signal as it would have without us.  The alternative,
// leaving a thread without a guard to the default action once and for all,
// would make one stray fault disarm the guards of every other thread.
//
// The handler runs on an alternate stack, so that a stack overflow, whose
// fault leaves no room on the thread's own stack, can still be caught.  Each
// thread gets its own once, on its first guarded call, mapped with a guard
// page below it and released when the thread ends.  A thread that has one
// already keeps it: a sanitizer's runtime gives every thread an alternate
// stack and unmaps whatever stack the thread has when it ends, so replacing
// it would make that runtime unmap ours and leak its own.  Under ASan the
// jump out of the handler goes through its siglongjmp interceptor, which
// clears the poisoning that the abandoned frames left on both stacks.
//
// A handler that someone installs after our first guarded call takes the
// signals away from us; nothing here fights over them.
#include "platform.h"

#include <atomic>

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

const int guarded_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
enum { guarded_signal_count = sizeof guarded_signals / sizeof guarded_signals[0] };

// The actions before ours, written once before ours is installed.
struct sigaction previous_actions[guarded_signal_count];
pthread_once_t install_once = PTHREAD_ONCE_INIT;

// The jump buffer of the guarded call running on this thread; null outside
// one.  Initial-exec, so that the handler's read of it is a plain load that
// can allocate nothing.
__attribute__((tls_model("initial-exec"))) thread_local sigjmp_buf *guard_jump;

enum {
    alt_stack_size = 64 * 1024,
    // An alternate stack the thread has already is kept from this size on.
    alt_stack_minimum = 16 * 1024,
};

// This thread's alternate stack, when it is ours.
struct alt_stack_owner {
    void *mapping; // the mapping, guard page included; null when not ours
    size_t mapped;
    bool checked;  // the thread's alternate stack has been looked at
    ~alt_stack_owner();
};
thread_local alt_stack_owner alt_stack;

alt_stack_owner::~alt_stack_owner()
{
    if (!mapping)
        return;
    stack_t current;
    char *ours = static_cast<char *>(mapping) + (mapped - alt_stack_size);
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == ours) {
        stack_t off;
        memset(&off, 0, sizeof off);
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }
    munmap(mapping, mapped);
}

// Gives the thread an alternate stack unless it has a big enough one.  When
// none can be mapped the thread goes on without: faults are still caught,
// only a stack overflow is not.
void prepare_alt_stack()
{
    if (alt_stack.checked)
        return;
    alt_stack.checked = true;
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
        current.ss_size >= alt_stack_minimum)
        return;
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    size_t mapped = alt_stack_size + page;
    void *mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED)
        return;
    // The guard page: an overflow of the handler's stack faults there instead
    // of writing over whatever lies below.
    mprotect(mapping, page, PROT_NONE);
    stack_t ours;
    memset(&ours, 0, sizeof ours);
    ours.ss_sp = static_cast<char *>(mapping) + page;
    ours.ss_size = alt_stack_size;
    if (sigaltstack(&ours, nullptr) != 0) {
        munmap(mapping, mapped);
        return;
    }
    alt_stack.mapping = mapping;
    alt_stack.mapped = mapped;
}

int index_of(int signal)
{
    for (int i = 0; i < guarded_signal_count; ++i)
        if (guarded_signals[i] == signal)
            return i;
    return 0; // not reached: the handler is installed for these signals only
}

// A fault that is not a guarded call's meets the action it would have met
// without us.
void pass_on(int signal, siginfo_t *info, void *context)
{
    const struct sigaction *old = &previous_actions[index_of(signal)];
    if (old->sa_flags & SA_SIGINFO) {
        if (old->sa_sigaction) {
            old->sa_sigaction(signal, info, context);
            return;
        }
    } else if (old->sa_handler != SIG_DFL && old->sa_handler != SIG_IGN) {
        old->sa_handler(signal);
        return;
    }
    sigaction(signal, old, nullptr);
    if (info->si_code <= 0)
        raise(signal); // sent, not raised by an instruction: it would not come again by itself
}

void on_fault(int signal, siginfo_t *info, void *context)
{
    sigjmp_buf *jump = guard_jump;
    if (jump && info->si_code > 0)
        siglongjmp(*jump, signal);
    pass_on(signal, info, context);
}

void install_handlers()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < guarded_signal_count; ++i) {
        // The old action is read before ours is in place, so that a fault
        // in between never finds previous_actions half written.
        sigaction(guarded_signals[i], nullptr, &previous_actions[i]);
        sigaction(guarded_signals[i], &action, nullptr);
    }
}

} // namespace

extern "C" int platform_guarded_call(void (*routine)(void *arg), void *arg)
{
    pthread_once(&install_once, install_handlers);
    prepare_alt_stack();
    sigjmp_buf jump;
    sigjmp_buf *outer = guard_jump;
    int caught = sigsetjmp(jump, 1);
    if (caught == 0) {
        guard_jump = &jump;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        routine(arg);
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    guard_jump = outer;
    return caught;
}
