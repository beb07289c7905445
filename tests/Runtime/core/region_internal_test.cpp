// Hand-out order and the helping rule, watched through the job list.
#include <gtest/gtest.h>

#include <atomic>
#include <string.h>

#include "runtime.h"

namespace {

// The refusals of the helping rule need no member to run, so they can be
// checked on hand-made records: nothing may be taken off the list.
TEST(region_internal, a_nested_owner_does_not_start_its_enclosing_regions_members)
{
    qiv_parallel_region outer, middle, inner;
    memset(&outer, 0, sizeof outer);
    memset(&middle, 0, sizeof middle);
    memset(&inner, 0, sizeof inner);
    outer.home = &outer;
    middle.home = &middle;
    inner.home = &inner;
    inner.enclosing = &middle;
    middle.enclosing = &outer;
    ASSERT_EQ(pool.job_list, nullptr);
    // A worker that found a semaphore count would pick these records and
    // resume their empty contexts: run only while no count is left, as in a
    // process that has not opened a region yet (this test comes first).
    if (__atomic_load_n(&pool.job_semaphore.count, __ATOMIC_SEQ_CST) != 0)
        GTEST_SKIP() << "regions ran before in this process";

    // The nearest enclosing region with members to hand out is the head.
    outer.unclaimed = 2;
    pool.job_list = &outer;
    EXPECT_EQ(qiv_exported_pick_nested_job(&inner), 0);
    EXPECT_EQ(pool.job_list, &outer);
    EXPECT_EQ(outer.unclaimed, 2);

    // No enclosing region has members left: an owner that is not outermost
    // and has nothing of its own to hand out helps with nothing.
    outer.unclaimed = 0;
    qiv_parallel_region other;
    memset(&other, 0, sizeof other);
    other.home = &other;
    other.unclaimed = 1;
    pool.job_list = &other;
    EXPECT_EQ(qiv_exported_pick_nested_job(&inner), 0);
    EXPECT_EQ(other.unclaimed, 1);
    pool.job_list = nullptr;
}


struct handout {
    std::atomic<int> unclaimed_at_start[4];
    std::atomic<int> listed_at_start[4];
};

QIV_REGION_OPENER void record_handout(handout *h)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 4, QIV_LIMIT_TIGHT(1));
    int i = qiv_exported_pix();
    if (i != 0) {
        job_lock_acquire();
        bool listed = false;
        for (qiv_parallel_region *r = pool.job_list; r; r = r->next_job)
            listed = listed || r == self->home;
        int unclaimed = (int)self->home->unclaimed;
        job_lock_release();
        h->unclaimed_at_start[i] = unclaimed;
        h->listed_at_start[i] = listed;
    }
    qiv_region_end_joined(self);
}

TEST(region_internal, the_last_member_handed_out_unlinks_the_region)
{
    for (int round = 0; round < 500; ++round) {
        handout h = {};
        for (int i = 0; i < 4; ++i)
            h.unclaimed_at_start[i] = -1;
        record_handout(&h);
        // Members are numbered in hand-out order: member 3 is the third pick,
        // which brought unclaimed to 0 and took the region off the list.
        ASSERT_EQ(h.unclaimed_at_start[3].load(), 0);
        ASSERT_EQ(h.listed_at_start[3].load(), 0);
        for (int i = 1; i < 4; ++i)
            ASSERT_LE(h.unclaimed_at_start[i].load(), 3 - i) << "member " << i;
        ASSERT_EQ(pool.job_list, nullptr);
    }
}

} // namespace
