// Member identity, range slices, and what declaring a member blocking does to
// the pool's counters.  Linked statically to read the pool state.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime.h"

namespace {

struct slice {
    int start, end;
};

QIV_REGION_OPENER void slices_of(int count, int n, slice *out)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, count, QIV_LIMIT_TIGHT(3));
    out[qiv_exported_pix()] = {qiv_exported_range_start(n), qiv_exported_range_end(n)};
    qiv_region_end_joined(self);
}

TEST(identity, range_slices_follow_the_table)
{
    slice s[4];
    slices_of(4, 10, s);
    EXPECT_EQ(s[0].start, 0); EXPECT_EQ(s[0].end, 4);
    EXPECT_EQ(s[1].start, 4); EXPECT_EQ(s[1].end, 6);
    EXPECT_EQ(s[2].start, 6); EXPECT_EQ(s[2].end, 8);
    EXPECT_EQ(s[3].start, 8); EXPECT_EQ(s[3].end, 10);

    slices_of(4, 3, s); // fewer items than members: the owner takes them all
    EXPECT_EQ(s[0].start, 0); EXPECT_EQ(s[0].end, 3);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(s[i].start, 3);
        EXPECT_EQ(s[i].end, 3);
    }

    slices_of(4, -10, s); // negative counts: no member has anything to do
    for (int i = 0; i < 4; ++i)
        EXPECT_GE(s[i].start, s[i].end) << "member " << i;

    slices_of(1, 17, s);
    EXPECT_EQ(s[0].start, 0); EXPECT_EQ(s[0].end, 17);
}

TEST(identity, slices_tile_the_range_for_many_shapes)
{
    for (int count = 1; count <= 7; ++count) {
        for (int n = 0; n <= 50; n += 7) {
            slice s[7];
            slices_of(count, n, s);
            int next = 0;
            for (int i = 0; i < count; ++i) {
                ASSERT_EQ(s[i].start, next) << count << " members, n " << n;
                ASSERT_GE(s[i].end, s[i].start);
                next = s[i].end;
            }
            ASSERT_EQ(next, n);
        }
    }
}

TEST(identity, outside_any_region_everything_is_zero)
{
    EXPECT_EQ(qiv_exported_pix(), 0);
    EXPECT_EQ(qiv_exported_pno(), 0);
    EXPECT_EQ(qiv_exported_range_start(100), 0);
    EXPECT_EQ(qiv_exported_range_end(100), 0);
    // Outside a region pid is only the identity: nothing is marked.
    intptr_t active = __atomic_load_n(&pool.active_count, __ATOMIC_SEQ_CST);
    intptr_t parked = __atomic_load_n(&pool.parked_count, __ATOMIC_SEQ_CST);
    EXPECT_EQ(qiv_exported_pid(), (void *)get_thread_record());
    EXPECT_EQ(__atomic_load_n(&pool.active_count, __ATOMIC_SEQ_CST), active);
    EXPECT_EQ(__atomic_load_n(&pool.parked_count, __ATOMIC_SEQ_CST), parked);
}

struct pid_observation {
    void *first, *second;
    intptr_t workers_before, workers_after_first, workers_after_second;
    intptr_t parked_before, parked_after_first, parked_after_second;
    intptr_t blocking;
};

QIV_REGION_OPENER void blocking_owner(pid_observation *o)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    o->workers_before = pool.live_workers;
    o->parked_before = pool.parked_count;
    o->first = qiv_exported_pid();
    o->workers_after_first = pool.live_workers;
    o->parked_after_first = pool.parked_count;
    o->second = qiv_exported_pid();
    o->workers_after_second = pool.live_workers;
    o->parked_after_second = pool.parked_count;
    o->blocking = self->blocking;
    qiv_region_end_joined(self);
}

// active_count moves with every worker's loop, so these tests watch the
// counters that only pid changes: parked_count and live_workers.
TEST(identity, a_blocking_pid_adds_a_worker_when_none_is_parked_and_only_once)
{
    pid_observation o;
    blocking_owner(&o);
    EXPECT_EQ(o.first, (void *)get_thread_record());
    EXPECT_EQ(o.second, o.first);
    EXPECT_EQ(o.blocking, 1);
    EXPECT_EQ(o.parked_after_first, o.parked_before - 1);
    EXPECT_EQ(o.workers_after_first, o.workers_before + 1) << "nobody parked: a worker is added";
    EXPECT_EQ(o.workers_after_second, o.workers_after_first) << "a second pid changes nothing";
    EXPECT_EQ(o.parked_after_second, o.parked_after_first);
}

TEST(identity, a_blocking_pid_releases_a_parked_worker_instead_of_adding_one)
{
    // Pretend two workers are parked: the release is taken by one of them, so
    // no worker is added.  (The semaphore count it leaves lets the next worker
    // that parks pass at once, which is what a parked worker would have done.)
    intptr_t pretended = 2 - pool.parked_count;
    __atomic_add_fetch(&pool.parked_count, pretended, __ATOMIC_SEQ_CST);
    pid_observation o;
    blocking_owner(&o);
    __atomic_sub_fetch(&pool.parked_count, pretended, __ATOMIC_SEQ_CST);
    EXPECT_EQ(o.parked_after_first, o.parked_before - 1);
    EXPECT_EQ(o.workers_after_first, o.workers_before);
}

} // namespace

// A thread's record is also cached in a thread-local word for the fast
// lookup.  Once released it goes back to the kept records, where the next new
// thread takes it: the releasing thread must then get a record of its own,
// not keep answering with the one another thread now holds.
TEST(identity, a_released_record_is_not_shared_with_the_thread_that_reuses_it)
{
    std::atomic<int> step{0};
    thread_record *reused = nullptr;
    thread_record *again = nullptr;
    std::thread first([&] {
        thread_record *mine = get_thread_record();
        EXPECT_NE(mine, nullptr);
        EXPECT_EQ(release_record(mine), 0);
        step = 1;
        while (step.load() != 2)
            std::this_thread::yield();
        again = get_thread_record();
        EXPECT_EQ(get_thread_record(), again);
        step = 3;
    });
    std::thread second([&] {
        while (step.load() != 1)
            std::this_thread::yield();
        reused = get_thread_record();
        step = 2;
        while (step.load() != 3)
            std::this_thread::yield();
    });
    first.join();
    second.join();
    ASSERT_NE(reused, nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, reused);
}
