// Balanced coload calls: the per-site rates, the sizing rule, runs of
// members claimed from the top of a region, and a run's share for an agent.
//
// A rate is the ratio of two decaying sums, items and time, each halved
// before a new share adds to it.  Every share weighs as much as it
// computed, so the short shares of a call's tail, whose fixed costs show
// more, do not drag a rate down that the large ones measured.  A share of
// comparable size that ran at under half the rate keeps only an eighth of
// the history: the worker has slowed down (a busier machine, a throttled
// device) and loses most of its weight at once, while one slow round trip
// of an agent that is otherwise quick does not erase what it showed.  A
// failure clears both sums: the worker is back to probe shares.
#include "balance.h"

#include "offload.h"

namespace {

struct learnt_sums {
    double items[balance_workers];
    double seconds[balance_workers];
};

balance_site site_rows[balance_site_rows];
learnt_sums site_sums[balance_site_rows];
spin_lock_word site_table_lock;
volatile intptr_t site_rows_used;

balance_site *find_site(const qiv_coload_site *site)
{
    intptr_t used = __atomic_load_n(&site_rows_used, __ATOMIC_ACQUIRE);
    for (intptr_t i = 0; i < used; ++i) {
        if (site_rows[i].site == site)
            return &site_rows[i];
    }
    return nullptr;
}

balance_site *site_row(const qiv_coload_site *site)
{
    balance_site *row = find_site(site);
    if (row)
        return row;
    spin_lock_acquire(&site_table_lock);
    row = find_site(site);
    if (!row && site_rows_used < balance_site_rows) {
        row = &site_rows[site_rows_used];
        row->site = site;
        __atomic_store_n(&site_rows_used, site_rows_used + 1, __ATOMIC_RELEASE);
    }
    spin_lock_release(&site_table_lock);
    return row;
}

void learn(balance_site *row, int worker, intptr_t items, uint64_t elapsed_ns, bool failed)
{
    if (!row || worker < 0 || worker >= balance_workers)
        return;
    learnt_sums *sums = &site_sums[row - site_rows];
    spin_lock_acquire(&row->lock);
    row->last_share_call[worker] = row->calls;
    if (!failed && items > 0 && row->samples[worker]++ == 0) {
        // The warm-up: the worker stays unmeasured and probes once more.
        spin_lock_release(&row->lock);
        return;
    }
    if (failed || items <= 0) {
        sums->items[worker] = 0;
        sums->seconds[worker] = 0;
    } else {
        double seconds = 1e-9 * (double)(elapsed_ns ? elapsed_ns : 1);
        double learnt = sums->seconds[worker] > 0 ? sums->items[worker] / sums->seconds[worker] : 0;
        // A share of comparable size at under half the rate: the worker has
        // slowed down, and its history no longer speaks for it.
        bool slowed = (double)items < 0.5 * learnt * seconds && (double)items * 4 >= sums->items[worker];
        double keep = slowed ? 0.125 : 0.5;
        sums->items[worker] = keep * sums->items[worker] + (double)items;
        sums->seconds[worker] = keep * sums->seconds[worker] + seconds;
    }
    double rate = sums->seconds[worker] > 0 ? sums->items[worker] / sums->seconds[worker] : 0;
    __atomic_store(&row->items_per_second[worker], &rate, __ATOMIC_RELAXED);
    spin_lock_release(&row->lock);
}

void note_finish(balance_call *call, int worker, uint64_t at_ns)
{
    uint64_t since = at_ns > call->start_ns ? at_ns - call->start_ns : 1;
    volatile uint64_t *slot = &call->finished_ns[worker];
    uint64_t seen = __atomic_load_n(slot, __ATOMIC_RELAXED);
    while (seen < since && !__atomic_compare_exchange_n(slot, &seen, since, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
        ;
}

double rate_of(const balance_site *row, int worker)
{
    double rate = 0;
    if (row)
        __atomic_load(&row->items_per_second[worker], &rate, __ATOMIC_RELAXED);
    return rate;
}


bool expressible(intptr_t n, intptr_t count, intptr_t top, intptr_t k)
{
    int32_t index, share_count;
    return top % k == 0 && balance_share_of_run(n, count, count - top - k, k, &index, &share_count);
}

// The run closest to `want` members below the `top` taken ones that one
// share can express: one whose length divides `top` (the share's range then
// ends a whole number of its lengths before the end) and that
// balance_share_of_run accepts.  An even split expresses little else than
// powers of two, so the run may exceed `want` by a quarter (at most `most`):
// finishing a little after the others costs less than a second round trip.
// A long search is cut short by trying powers of two alone.
intptr_t agent_run_length(intptr_t n, intptr_t count, intptr_t top, intptr_t want, intptr_t most)
{
    enum { search_limit = 4096 };
    intptr_t k = want;
    if (k > search_limit) {
        k = 1;
        while (k * 2 <= want)
            k *= 2;
    }
    while (k > 1 && !expressible(n, count, top, k))
        k = want > search_limit ? k / 2 : k - 1;
    intptr_t up_to = want + want / 4 < most ? want + want / 4 : most;
    for (intptr_t up = want + 1; up <= up_to && up - want < want - k && want <= search_limit; ++up) {
        if (expressible(n, count, top, up))
            return up;
    }
    return k;
}

} // namespace

void balance_call_start(balance_call *call, const qiv_coload_site *site, intptr_t members, intptr_t range)
{
    call->row = site_row(site);
    call->start_ns = platform_monotonic_ns();
    call->members = members;
    call->range = range;
    call->member_items = members > 0 ? range / members : 0;
    for (int w = 0; w < balance_workers; ++w) {
        call->finished_ns[w] = 0;
        call->sized[w] = 0;
    }
}

void balance_share_done(balance_call *call, int worker, intptr_t items, uint64_t elapsed_ns, bool failed)
{
    learn(call->row, worker, items, elapsed_ns, failed);
    note_finish(call, worker, platform_monotonic_ns());
}

void balance_call_end(balance_call *call, uint64_t pool_done_ns, intptr_t pool_items)
{
    if (pool_items > 0) {
        learn(call->row, balance_pool, pool_items, pool_done_ns - call->start_ns, false);
        note_finish(call, balance_pool, pool_done_ns);
    }
    balance_site *row = call->row;
    if (!row)
        return;
    uint64_t first = 0, last = 0;
    intptr_t workers = 0;
    for (int w = 0; w < balance_workers; ++w) {
        uint64_t at = call->finished_ns[w];
        if (at == 0)
            continue;
        first = workers == 0 || at < first ? at : first;
        last = at > last ? at : last;
        ++workers;
    }
    spin_lock_acquire(&row->lock);
    if (last > 0 && call->range > 0) {
        double call_rate = (double)call->range / (1e-9 * (double)last);
        for (int w = balance_pool + 1; w < balance_workers; ++w) {
            if (row->samples[w] < 2)
                continue; // not measured: it probed, or never came
            if (call->finished_ns[w] && !call->sized[w])
                continue; // it only probed
            double *rate = call->finished_ns[w] ? &row->call_rate_with[w] : &row->call_rate_without[w];
            *rate = *rate > 0 ? 0.5 * *rate + 0.5 * call_rate : call_rate;
            if (call->finished_ns[w]) {
                intptr_t every = row->trial_every[w] < balance_reprobe_calls ? (intptr_t)balance_reprobe_calls
                                                                             : row->trial_every[w];
                bool slower = row->call_rate_with[w] < row->call_rate_without[w];
                intptr_t later = every * 2 > balance_trial_calls_max ? (intptr_t)balance_trial_calls_max : every * 2;
                row->trial_every[w] = slower ? later : (intptr_t)balance_reprobe_calls;
            }
        }
    }
    row->first_us = (int64_t)(first / 1000);
    row->last_us = (int64_t)(last / 1000);
    row->workers = workers;
    __atomic_store_n(&row->calls, row->calls + 1, __ATOMIC_RELEASE); // read without the lock
    spin_lock_release(&row->lock);
}

intptr_t balance_take(double rate, double pool_rate, double rate_sum, intptr_t left, intptr_t member_items,
                      intptr_t most, intptr_t divisor)
{
    intptr_t can = left - 1 < most ? left - 1 : most;
    if (can <= 0 || member_items <= 0)
        return 0;
    if (!(rate > 0) || !(pool_rate > 0))
        return 1;
    // The sum holds both; rounding (the x87's wider registers on i386) may
    // leave it a hair below their own sum.
    if (rate_sum < rate + pool_rate)
        rate_sum = rate + pool_rate;
    // The items this worker computes while everyone together finishes all
    // that is left.
    double fair = (double)left * (double)member_items * rate / rate_sum;
    if (fair < (double)member_items)
        return 0;
    double members = fair / (double)(divisor > 0 ? divisor : 1) / (double)member_items;
    if (members < 1)
        return 1;
    return members >= (double)can ? can : (intptr_t)members;
}

intptr_t balance_members_for(balance_call *call, int worker, intptr_t left, intptr_t most)
{
    const balance_site *row = call->row;
    double sum = 0;
    for (int w = 0; w < balance_workers; ++w)
        sum += rate_of(row, w);
    double rate = rate_of(row, worker), pool_rate = rate_of(row, balance_pool);
    intptr_t divisor = worker >= balance_agent_worker(0) ? balance_agent_divisor : balance_device_divisor;
    intptr_t take = balance_take(rate, pool_rate, sum, left, call->member_items, most, divisor);
    bool sized = take > 0 && rate > 0 && pool_rate > 0;
    // The row changes under its lock as shares and calls of other threads end.
    intptr_t since = 0, samples = 0, trial_every = 0;
    double with = 0, without = 0;
    if (row) {
        spin_lock_word *lock = const_cast<spin_lock_word *>(&row->lock);
        spin_lock_acquire(lock);
        since = row->calls - row->last_share_call[worker];
        samples = row->samples[worker];
        trial_every = row->trial_every[worker];
        with = row->call_rate_with[worker];
        without = row->call_rate_without[worker];
        spin_lock_release(lock);
    }
    bool trial_due = row && since >= balance_reprobe_calls;
    if (sized && worker != balance_pool && samples >= 2) {
        // A call without it, to compare; then none while calls go slower
        // with it, but for a trial now and then.
        bool slower = with > 0 && with < without;
        if (without <= 0 || (slower && since < trial_every))
            return 0;
    }
    if (take > 0 && sized)
        call->sized[worker] = 1;
    if (take == 0 && trial_due && left >= 2 && most >= 1)
        take = 1; // the rule kept it out for a while: a probe
    return take;
}

bool balance_share_of_run(intptr_t n, intptr_t members, intptr_t first, intptr_t k, int32_t *index, int32_t *count)
{
    if (n <= 0 || members <= 0 || first < 1 || k < 1 || first + k > members || members > INT32_MAX ||
        n > INT32_MAX)
        return false;
    intptr_t want_start, want_end, unused;
    work_range(n, first, members, &want_start, &unused);
    work_range(n, first + k - 1, members, &unused, &want_end);
    int64_t share_count = members, share_index = first;
    if (k > 1) {
        // A share of length L = k q other than the owner's ends at
        // n - j L for j >= 0: count n / L, index count - (j + 1).
        int64_t length = want_end - want_start;
        if (length <= 0 || (n - want_end) % length != 0)
            return false;
        share_count = n / length;
        share_index = share_count - 1 - (n - want_end) / length;
    }
    if (share_index < 1 || share_index >= share_count)
        return false;
    intptr_t start, end;
    work_range(n, (intptr_t)share_index, (intptr_t)share_count, &start, &end);
    if (start != want_start || end != want_end)
        return false;
    *index = (int32_t)share_index;
    *count = (int32_t)share_count;
    return true;
}

intptr_t balance_claim_run(qiv_parallel_region *home, intptr_t want, intptr_t range_n, intptr_t *first_member)
{
    if (want <= 0)
        return 0;
    job_lock_acquire();
    intptr_t u = home->unclaimed, top = home->taken_from_top, count = home->count;
    if (u < 2) {
        job_lock_release();
        return 0;
    }
    intptr_t k = want < u - 1 ? want : u - 1;
    if (range_n >= 0)
        k = agent_run_length(range_n, count, top, k, u - 1);
    __atomic_store_n(&home->unclaimed, u - k, __ATOMIC_RELEASE); // read without the lock
    home->taken_from_top = top + k;
    job_lock_release();
    __atomic_sub_fetch(&home->unfinished, k, __ATOMIC_SEQ_CST);
    *first_member = count - top - k;
    return k;
}

ZEQ_EXPORT int qiv_exported_call_balance(const qiv_coload_site *site, long long *first_us, long long *last_us,
                                         int *workers)
{
    balance_site *row = site ? find_site(site) : nullptr;
    if (!row || __atomic_load_n(&row->calls, __ATOMIC_ACQUIRE) == 0)
        return -1;
    spin_lock_acquire(&row->lock);
    if (first_us)
        *first_us = row->first_us;
    if (last_us)
        *last_us = row->last_us;
    if (workers)
        *workers = (int)row->workers;
    spin_lock_release(&row->lock);
    return 0;
}
