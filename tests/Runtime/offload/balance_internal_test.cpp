// The balance of a call, without devices or agents: the sizing rule played
// out against simulated workers of known speeds, how rates fall and come
// back, and the share that sends an agent a run of members.
#include "balance.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace {

// Member p's slice of n items among `count`, written out independently of
// the runtime: member 0 takes the remainder.
void slice(int64_t n, int64_t p, int64_t count, int64_t *first, int64_t *end)
{
    int64_t q = n / count, m = n % count;
    *first = p == 0 ? 0 : p * q + m;
    *end = p == 0 ? q + m : (p + 1) * q + m;
}

TEST(balance_runs, a_run_becomes_the_share_of_exactly_its_members_or_none)
{
    for (int64_t n = 1; n <= 200; ++n) {
        for (int64_t members = 2; members <= 17; ++members) {
            for (int64_t first = 1; first < members; ++first) {
                for (int64_t k = 1; first + k <= members; ++k) {
                    int32_t index = -1, count = -1;
                    bool ok = balance_share_of_run(n, members, first, k, &index, &count);
                    int64_t want_first, want_end, s, e, unused;
                    slice(n, first, members, &want_first, &unused);
                    slice(n, first + k - 1, members, &unused, &want_end);
                    if (k == 1) {
                        ASSERT_TRUE(ok) << n << " " << members << " " << first;
                    }
                    if (!ok)
                        continue;
                    ASSERT_GE(index, 1);
                    slice(n, index, count, &s, &e);
                    ASSERT_EQ(s, want_first) << n << " items, members " << first << "+" << k << " of " << members;
                    ASSERT_EQ(e, want_end) << n << " items, members " << first << "+" << k << " of " << members;
                }
            }
        }
    }
}

// What the claims from the top produce for a region whose count divides
// the items (the sample's shape): every run an agent may be given is whole.
TEST(balance_runs, runs_claimed_from_the_top_of_an_even_split_are_never_cut_for_an_agent)
{
    qiv_parallel_region region;
    memset(&region, 0, sizeof region);
    region.count = 64;
    region.unclaimed = 63;
    region.unfinished = 64;
    region.home = &region;
    const intptr_t wants[] = {12, 8, 3, 16, 4, 2, 1, 6};
    intptr_t expect_top = 0;
    for (intptr_t want : wants) {
        intptr_t first = 0;
        intptr_t k = balance_claim_run(&region, want, 64 * 256, &first);
        intptr_t power = 1; // never shorter than the longest power of two that fits
        while (power * 2 <= want && expect_top % (power * 2) == 0)
            power *= 2;
        EXPECT_GE(k, power) << "want " << want;
        EXPECT_LE(k, want);
        EXPECT_EQ(first, 64 - expect_top - k) << "consecutive from the top";
        int32_t index, count;
        EXPECT_TRUE(balance_share_of_run(64 * 256, 64, first, k, &index, &count));
        expect_top += k;
    }
    EXPECT_EQ(region.taken_from_top, expect_top);
    EXPECT_EQ(region.unclaimed, 63 - expect_top);
    EXPECT_EQ(region.unfinished, 64 - expect_top);
    // Nearer is better, a quarter over at most: of an even split only
    // powers of two can go as one share, and 30 members go as 32 rather
    // than as 16 and a second round trip.
    region.unclaimed = 63;
    region.taken_from_top = 0;
    intptr_t first = 0;
    EXPECT_EQ(balance_claim_run(&region, 30, 64 * 256, &first), 32);
    EXPECT_EQ(first, 32);
    region.unclaimed = 63;
    region.taken_from_top = 0;
    EXPECT_EQ(balance_claim_run(&region, 24, 64 * 256, &first), 16);

    // The last unclaimed member is the pool's.
    region.unclaimed = 1;
    EXPECT_EQ(balance_claim_run(&region, 4, -1, &first), 0);
}

// One call played out in simulated time: `threads` pool threads take one
// member each time they are free, from the bottom; each other worker claims
// a run from the top by the rule, knowing every rate.  Returns the end of
// the call and fills each worker's items and finish.
struct sim_worker {
    double rate; // items per second; the pool's is per thread
    intptr_t divisor;
    intptr_t items;
    double finish;
};

double simulate(int threads, std::vector<sim_worker> *workers, intptr_t members, intptr_t member_items)
{
    qiv_parallel_region region;
    memset(&region, 0, sizeof region);
    region.count = members;
    region.unclaimed = members - 1;
    region.unfinished = members;
    region.home = &region;
    sim_worker &pool = (*workers)[0];
    double rate_sum = pool.rate * threads;
    for (size_t w = 1; w < workers->size(); ++w)
        rate_sum += (*workers)[w].rate;
    // Free times: pool threads first, then the other workers.
    std::vector<double> free_at((size_t)threads + workers->size() - 1, 0.0);
    std::vector<bool> stopped(free_at.size(), false);
    for (;;) {
        size_t next = free_at.size();
        for (size_t i = 0; i < free_at.size(); ++i) {
            if (!stopped[i] && (next == free_at.size() || free_at[i] < free_at[next]))
                next = i;
        }
        if (next == free_at.size())
            break;
        double now = free_at[next];
        if (next < (size_t)threads) {
            if (region.unclaimed == 0) {
                stopped[next] = true;
                continue;
            }
            --region.unclaimed;
            pool.items += member_items;
            free_at[next] = now + member_items / pool.rate;
            pool.finish = std::max(pool.finish, free_at[next]);
            continue;
        }
        sim_worker &w = (*workers)[next - (size_t)threads + 1];
        intptr_t want = balance_take(w.rate, pool.rate * threads, rate_sum, region.unclaimed, member_items, 1 << 20,
                                     w.divisor);
        intptr_t first = 0;
        intptr_t k = balance_claim_run(&region, want, -1, &first);
        if (k == 0) {
            stopped[next] = true;
            continue;
        }
        w.items += k * member_items;
        free_at[next] = now + k * member_items / w.rate;
        w.finish = free_at[next];
    }
    double end = 0;
    for (const sim_worker &w : *workers)
        end = std::max(end, w.finish);
    return end;
}

TEST(balance_rule, simulated_workers_finish_together_and_a_slow_one_never_delays_the_call)
{
    const intptr_t members = 256, member_items = 64, items = members * member_items;
    const double thread_rate = 1000;
    const double pool_alone = (double)(members - 1) * member_items / (2 * thread_rate);
    struct setup {
        const char *name;
        std::vector<double> rates; // beside two pool threads
        double least_efficiency;
    } setups[] = {
        {"a device ten times the pool", {20000}, 0.85},
        {"a device a twentieth of a thread", {50}, 0.85},
        {"a fast device and an agent as fast as a thread", {20000, 1000}, 0.85},
    };
    for (const setup &s : setups) {
        SCOPED_TRACE(s.name);
        std::vector<sim_worker> workers = {{thread_rate, 0, 0, 0}};
        double all = 2 * thread_rate;
        for (size_t i = 0; i < s.rates.size(); ++i) {
            double r = s.rates[i];
            workers.push_back({r, i == 0 ? balance_device_divisor : balance_agent_divisor, 0, 0});
            all += r;
        }
        double end = simulate(2, &workers, members, member_items);
        double ideal = (double)(items - member_items) / all;
        EXPECT_GE(ideal / end, s.least_efficiency) << "call " << end << " s against " << ideal << " s ideal";
        EXPECT_LE(end, pool_alone * 1.001) << "no worker makes the call slower than the pool alone";
        double first = end;
        for (const sim_worker &w : workers)
            if (w.items > 0)
                first = std::min(first, w.finish);
        EXPECT_GE(first / end, 0.7) << "balance of the call";
        intptr_t total = 0;
        for (const sim_worker &w : workers)
            total += w.items;
        EXPECT_EQ(total, items - member_items) << "every member but the caller's, once";
    }
}

// Ends a call `ms` after its start, counting only the pool and the workers
// listed as having taken part.
void end_call(balance_call *call, uint64_t ms, std::initializer_list<int> took_part)
{
    for (int w = 0; w < balance_workers; ++w)
        call->finished_ns[w] = w == balance_pool ? ms * 1000000 : 0;
    for (int w : took_part)
        call->finished_ns[w] = ms * 1000000;
    balance_call_end(call, call->start_ns + ms * 1000000, 0);
}

// Rates as the runtime learns them: a new worker probes, a measured one
// sits a call out and then takes its part, one whose share took far longer than its rate said loses
// most of its weight at once, and a failed one is back to probing while the
// others' parts grow.
TEST(balance_rule, rates_fall_at_once_and_a_failure_takes_the_weight_away)
{
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(nullptr, 1);
    balance_call call;
    balance_call_start(&call, &site, 256, 256 * 64);
    const int device = balance_slot_worker(1), agent = balance_agent_worker(3);
    EXPECT_EQ(balance_members_for(&call, device, 255, 1000), 1) << "not measured: a probe";
    for (int w : {(int)balance_pool, device, agent}) // warm-ups, which teach nothing
        balance_share_done(&call, w, 64, 1000000000ull, false);
    EXPECT_EQ(balance_members_for(&call, device, 255, 1000), 1) << "after its warm-up: a probe again";
    balance_share_done(&call, balance_pool, 64000, 1000000000ull, false); // 64k items/s
    balance_share_done(&call, device, 64000, 100000000ull, false);        // 640k items/s
    balance_share_done(&call, agent, 64000, 1000000000ull, false);        // 64k items/s
    EXPECT_EQ(balance_members_for(&call, device, 255, 1000), 0) << "measured: first a call without it";
    end_call(&call, 2000, {}); // 8192 items/s without them
    intptr_t device_take = balance_members_for(&call, device, 255, 1000);
    intptr_t agent_take = balance_members_for(&call, agent, 255, 1000);
    EXPECT_GT(device_take, 4 * agent_take);
    EXPECT_GE(agent_take, 1);
    EXPECT_LE(device_take, 255 / 2) << "a device never takes more than half its fair part";

    balance_share_done(&call, device, 64000, 1000000000ull, false); // ten times slower now
    EXPECT_LE(balance_members_for(&call, device, 255, 1000), device_take / 2);

    intptr_t agent_before = balance_members_for(&call, agent, 255, 1000);
    balance_share_done(&call, device, 64, 1000, true);
    EXPECT_EQ(balance_members_for(&call, device, 255, 1000), 1) << "failed: back to a probe";
    EXPECT_GT(balance_members_for(&call, agent, 255, 1000), agent_before) << "its weight went to the others";

    // A worker the rule keeps out is probed again after a while: a rate
    // taken at a bad moment does not keep it out for good.
    balance_share_done(&call, agent, 64000, 1000000000000ull, false); // 64 items/s
    EXPECT_EQ(balance_members_for(&call, agent, 255, 1000), 0);
    for (int c = 0; c < balance_reprobe_calls; ++c)
        balance_call_end(&call, call.start_ns + 1, 0);
    EXPECT_EQ(balance_members_for(&call, agent, 255, 1000), 1);

    // Calls that go slower with a worker than without keep it out, however
    // fast it computes its own part: it takes the others' processors.
    const int local = balance_agent_worker(5);
    balance_share_done(&call, local, 64, 1000000000ull, false);
    balance_share_done(&call, local, 64000, 1000000000ull, false);
    end_call(&call, 2000, {});
    end_call(&call, 1000, {local});
    EXPECT_GE(balance_members_for(&call, local, 255, 1000), 1) << "calls went faster with it";
    end_call(&call, 8000, {local});
    end_call(&call, 8000, {local});
    EXPECT_EQ(balance_members_for(&call, local, 255, 1000), 0) << "calls went slower with it";
    // Trials come now and then, twice as late after each that says the
    // calls still go slower with it.
    int waits[4] = {};
    for (int &wait : waits) {
        while (balance_members_for(&call, local, 255, 1000) == 0 && wait < 1000) {
            end_call(&call, 1000, {});
            ++wait;
        }
        balance_share_done(&call, local, 64000, 1000000000ull, false);
        end_call(&call, 8000, {local});
    }
    // A wait counts the calls after the one with the trial share.
    EXPECT_GE(waits[1] + 1, balance_reprobe_calls);
    EXPECT_EQ(waits[2] + 1, 2 * (waits[1] + 1));
    EXPECT_EQ(waits[3] + 1, 2 * (waits[2] + 1));

    // Near the end, a worker whose one member would outlast everyone else
    // takes nothing.
    EXPECT_EQ(balance_take(10, 1000, 1010, 20, 64, 1000, 1), 0);
    EXPECT_EQ(balance_take(1000, 1000, 2000, 2, 64, 1000, 2), 1);
    EXPECT_EQ(balance_take(1000, 1000, 2000, 1, 64, 1000, 1), 0) << "the last member is the pool's";
}

} // namespace
