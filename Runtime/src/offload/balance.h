// Balanced coload calls: what the runtime learns of each worker's speed per
// call site, the rule that sizes a worker's next run of members, and the
// record of one balanced call in flight.
//
// Workers are the pool (all its threads together), each device slot and
// each agent number.  Their rates, in work items per second including their
// transfers, are kept per call site for the life of the process: a site's
// kernel and sizes rarely change between calls, and a rate learnt on another
// kernel says nothing about this one.  The pool is measured once per call,
// devices once per launched piece, agents once per collected share.
//
// Pool threads take members one at a time from index 1 up, as pickers
// always do.  Device slots and agents take runs of members from the top
// (counted in the region's taken_from_top word, which the pickers skip), so
// that a run is always consecutive and the two fronts meet somewhere in the
// middle, at a point the speeds choose.  An agent's run has a length that
// divides the members already taken from the top, which keeps it
// expressible as one share (index, count) of the call's range: see
// balance_share_of_run.
#ifndef ZEQ_BALANCE_H
#define ZEQ_BALANCE_H

#include "runtime.h"

enum {
    balance_agent_rows = 64, // agent numbers with a rate of their own; higher ones share the last
    balance_site_rows = 64,  // call sites with rates; later sites are balanced without learning
    balance_pool = 0,
    balance_workers = 1 + QIV_COLOAD_SLOTS + balance_agent_rows,
    // A device's run is its fair part of what is left divided by this: runs
    // shrink as the call nears its end, and a rate that was too high costs
    // at most half of what is left.  An agent takes its whole fair part: it
    // serves one share at a time, and every round trip through the server
    // folder leaves it idle, so fewer and larger shares keep it busier.
    balance_device_divisor = 2,
    balance_agent_divisor = 1,
    // A measured worker that the rule kept out of this many calls in a row
    // gets one member again: its rate may have been taken at a bad moment.
    balance_reprobe_calls = 8,
    balance_trial_calls_max = 512,
};

static inline int balance_slot_worker(int slot)
{
    return 1 + slot;
}

static inline int balance_agent_worker(int32_t agent)
{
    return 1 + QIV_COLOAD_SLOTS + (agent < balance_agent_rows ? agent : balance_agent_rows - 1);
}

// One call site's rates and the balance of its last balanced call.  Rates
// change under lock; a reader that races a writer reads one of two
// plausible values, which the sizing rule tolerates.
struct balance_site {
    const qiv_coload_site *site;
    spin_lock_word lock;
    volatile intptr_t calls;                   // balanced calls measured
    double items_per_second[balance_workers];  // 0: not measured yet, or lost its weight
    // Per worker: shares timed so far (the first is a warm-up, whose loads
    // and compilations say nothing of the rate), and the call count when it
    // last had a share.
    volatile intptr_t samples[balance_workers];
    volatile intptr_t last_share_call[balance_workers];
    // Per worker: the whole call's items per second, decaying, in calls the
    // worker took part in and in calls it did not, once it was measured.  A
    // worker that shares the pool's processors (a device that the CPU runs,
    // agents on the same machine) can make the call slower however fast it
    // computes its own part; these say so.
    double call_rate_with[balance_workers];
    double call_rate_without[balance_workers];
    // Per worker: calls between trials while calls go slower with it;
    // doubled by every trial that says so again, back to
    // balance_reprobe_calls by one that does not.
    volatile intptr_t trial_every[balance_workers];
    volatile int64_t first_us, last_us;        // the last call's first and last finish
    volatile intptr_t workers;                 // workers that took part in it
};

// One balanced call in flight, in the caller's frame.
struct balance_call {
    balance_site *row;      // null when the site table is full: nothing is learnt
    uint64_t start_ns;
    intptr_t members;       // the region's count
    intptr_t range;         // work items in all
    intptr_t member_items;  // items of a member share (range / members)
    volatile uint64_t finished_ns[balance_workers]; // per worker, when its last share ended; 0: none
    // Per worker: nonzero once the rule sized a share by its rate in this
    // call, so that only such calls speak for how calls go with it (a probe
    // of one member says nothing of that).
    volatile int32_t sized[balance_workers];
};

// Sets the call up: finds (or makes) the site's row and clears the finishes.
void balance_call_start(balance_call *call, const qiv_coload_site *site, intptr_t members, intptr_t range);
// A worker's share ended after `elapsed_ns` with `items` computed (or failed:
// the worker loses its weight).
void balance_share_done(balance_call *call, int worker, intptr_t items, uint64_t elapsed_ns, bool failed);
// The call's end: the pool's members ended at pool_done_ns having computed
// pool_items; learns the pool's rate and stores the call's balance.
void balance_call_end(balance_call *call, uint64_t pool_done_ns, intptr_t pool_items);

// How many members worker should take next, 0 for none.  `left` counts the
// members still unclaimed (the pool's last one included).  Besides the
// rule below: once a worker is measured, it sits one call out, so that the
// call's speed without it is known; it takes nothing while calls with it go
// slower than calls without, but for a trial call after
// balance_reprobe_calls calls, twice as many after each trial that says so
// again; and a measured worker the rule itself gave nothing for
// balance_reprobe_calls calls takes one member again.
intptr_t balance_members_for(balance_call *call, int worker, intptr_t left, intptr_t most);

// The sizing rule alone, in items per second: a worker not measured yet, or
// any worker while the pool is not, takes one member; otherwise its fair part
// of what is left, rate / sum of all rates, divided by `divisor`, at least
// one member; none when even one member would keep it busy past the time
// everyone together needs for all that is left.  `most` bounds it.
intptr_t balance_take(double rate, double pool_rate, double rate_sum, intptr_t left, intptr_t member_items,
                      intptr_t most, intptr_t divisor);

// Claims a run of up to `want` members from the top of the region, never the
// last unclaimed one (the pool's pickers unlink the region when they take
// it).  For an agent (range_n >= 0, a call with a Range of range_n items)
// the run is the one closest to `want` that one share can express, at most
// a quarter longer.  Returns the run's length and its first member, 0 when
// nothing was claimed.
intptr_t balance_claim_run(qiv_parallel_region *home, intptr_t want, intptr_t range_n, intptr_t *first_member);

// The share (index, count) whose range of n items, as the work ranges split
// it, is exactly members [first, first + k) of a region of `members`
// members; false when no such share exists.
bool balance_share_of_run(intptr_t n, intptr_t members, intptr_t first, intptr_t k, int32_t *index, int32_t *count);

#endif
