// Shutting the pool down: refused from inside a region, and afterwards the
// timed waits that the device teardown makes still sleep their full time on a
// lazily made record, while no pool is set up again.  One test, in order,
// because the pool stays down afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "runtime.h"

namespace {

QIV_REGION_OPENER int shutdown_inside_a_region(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(0));
    int result = shutdown_pool();
    qiv_region_end_joined(self);
    return result;
}

QIV_REGION_OPENER int members_of(int count)
{
    static std::atomic<int> ran;
    ran = 0;
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, count, QIV_LIMIT_TIGHT(1));
    ran.fetch_add(1);
    qiv_region_end_joined(self);
    return ran.load();
}

TEST(shutdown, refused_inside_a_region_then_waits_still_sleep_after_it)
{
    intptr_t workers = pool.live_workers;
    EXPECT_EQ(shutdown_inside_a_region(), -1);
    EXPECT_EQ(pool.shutdown_count, 0) << "the pool keeps running";
    EXPECT_EQ(pool.live_workers, workers);
    EXPECT_EQ(members_of(4), 4);

    ASSERT_EQ(shutdown_pool(), 0);
    EXPECT_EQ(shutdown_pool(), -1) << "a second shutdown has nothing to do";
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (__atomic_load_n(&pool.live_workers, __ATOMIC_SEQ_CST) != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(__atomic_load_n(&pool.live_workers, __ATOMIC_SEQ_CST), 0) << "every worker left its loop";
    EXPECT_EQ(join_workers(5000), 0);

    // What the device teardown does next: timed waits on the detaching thread.
    ASSERT_NE(get_thread_record(), nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qiv_exported_wait(1, 100), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    EXPECT_EQ(pool.live_workers, 0) << "no pool was set up again";

    // A region opened now runs all its members on the caller, helping.
    EXPECT_EQ(members_of(3), 3);
}

} // namespace
