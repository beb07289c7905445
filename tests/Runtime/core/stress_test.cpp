// Regions, nesting and locks hammered from two foreign threads at once: every
// member of every region must run exactly once and every locked update must
// land.  Catches lost hand-outs, double picks and races in the region ends.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "zeq_runtime.h"

namespace {

struct tally {
    std::atomic<long> members;
    long locked; // changed only under the lock keyed by its address
    std::atomic<long> bad;
};

QIV_REGION_OPENER void inner(tally *t, int outer_index)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 2, QIV_LIMIT_TIGHT(2));
    t->members.fetch_add(1, std::memory_order_relaxed);
    if (qiv_exported_pno() != 2 || qiv_exported_pix() > 1)
        t->bad.fetch_add(1);
    qiv_exported_sync(&t->locked);
    t->locked += 1 + outer_index;
    qiv_exported_unsync(&t->locked);
    qiv_region_end_joined(self);
}

// One outer region of three members, each opening a nested region of two on
// every fourth round; 100,000 regions per thread in all.
QIV_REGION_OPENER void outer(tally *t, int round)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 3, QIV_LIMIT_TIGHT(2));
    int i = qiv_exported_pix();
    t->members.fetch_add(1, std::memory_order_relaxed);
    if (round % 4 == 0)
        inner(t, i);
    qiv_region_end_joined(self);
}

TEST(stress, two_threads_open_regions_with_nesting_and_locks)
{
    const int rounds = 100000; // per thread: 100,000 outer regions and 75,000 nested ones
    tally a{}, b{};
    auto run = [&](tally *t) {
        for (int r = 0; r < rounds; ++r)
            outer(t, r);
    };
    std::thread one(run, &a), two(run, &b);
    one.join();
    two.join();
    for (tally *t : {&a, &b}) {
        const long nested = rounds / 4;
        EXPECT_EQ(t->members.load(), 3L * rounds + 3 * 2 * nested);
        // Each outer member i adds (1 + i) from both inner members.
        EXPECT_EQ(t->locked, nested * 2 * (1 + 2 + 3));
        EXPECT_EQ(t->bad.load(), 0);
    }
}

} // namespace
