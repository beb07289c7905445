// Being asked to stop: SIGTERM and SIGINT set a flag that a serving loop
// looks at between pieces of work (see platform.h).
//
// The handler does no more than async-signal-safe calls allow: it counts
// the signal and puts both signals back to their default action with
// sigaction, so that a later signal of either kind ends the process without
// our handler.  Two signals sent together may reach two threads, both in the
// handler before either has put the defaults back: the second of them to
// count raises its signal again, under the default action.  The count is
// process-wide, whichever thread took the signal; a blocking wait is not
// interrupted on purpose (its callers bound every wait and look at the
// count after it).
#include "platform.h"

#include <signal.h>
#include <string.h>

namespace {

int32_t stops_seen; // signals taken by the handler; lock-free atomics only

const int stop_signals[] = {SIGTERM, SIGINT};

void back_to_default(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal_number : stop_signals)
        sigaction(signal_number, &action, nullptr);
}

void on_stop(int signal_number)
{
    // Another thread may be running this handler for the first signal right
    // now, before it has put the defaults back, so the count decides.
    bool first = __atomic_fetch_add(&stops_seen, 1, __ATOMIC_SEQ_CST) == 0;
    back_to_default();
    if (first)
        return;
    // Blocked while the handler runs: delivered to this thread, under the
    // default action, as soon as it returns.
    raise(signal_number);
}

} // namespace

extern "C" int platform_stop_signals_catch(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    // Both stay blocked while the handler runs, so that two signals sent
    // together still leave the second to the default action afterwards.
    for (int signal_number : stop_signals)
        sigaddset(&action.sa_mask, signal_number);
    // Restarted system calls: a read or write in the middle of a request
    // must not fail because an operator asked for a stop.
    action.sa_flags = SA_RESTART;
    for (int signal_number : stop_signals) {
        struct sigaction before;
        if (sigaction(signal_number, nullptr, &before) != 0)
            return -1;
        if (before.sa_handler == SIG_IGN)
            continue;
        if (sigaction(signal_number, &action, nullptr) != 0)
            return -1;
    }
    return 0;
}

extern "C" int platform_stop_asked(void)
{
    return __atomic_load_n(&stops_seen, __ATOMIC_SEQ_CST) != 0;
}
