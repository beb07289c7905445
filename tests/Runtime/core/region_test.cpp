// Parallel regions through the public header, as compiled code uses them:
// member numbering, default and surplus counts, nesting with helping owners,
// detached ends, and the frame-copy rules that decide what members share.
// This file is also built with clang -O2 and gcc -O3 (see CMakeLists.txt):
// the region protocol depends on how compilers lay out frames.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "zeq_runtime.h"

namespace {

int processors()
{
    return (int)std::thread::hardware_concurrency();
}

// Yields until `done` holds or 30 s have passed (members that take
// microseconds on an idle machine): a member that never gets there fails
// the test rather than hanging it.
template <typename condition> bool yield_until(condition done)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done())
        if (std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        else
            return false;
    return true;
}

// Runs one region of `count` members; each member records its index and count.
QIV_REGION_OPENER void record_members(int count, std::atomic<int> *seen, int *counts)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, count, QIV_LIMIT_TIGHT(3));
    int i = qiv_exported_pix();
    seen[i].fetch_add(1);
    counts[i] = qiv_exported_pno();
    qiv_region_end_joined(self);
}

TEST(region, single_member_runs_once_on_the_caller)
{
    std::atomic<int> seen[1] = {};
    int counts[1] = {};
    record_members(1, seen, counts);
    EXPECT_EQ(seen[0].load(), 1);
    EXPECT_EQ(counts[0], 1);
    EXPECT_EQ(qiv_exported_pno(), 0) << "the region is closed again";
}

TEST(region, four_members_are_numbered_0_to_3_each_exactly_once)
{
    for (int round = 0; round < 2000; ++round) {
        std::atomic<int> seen[4] = {};
        int counts[4] = {};
        record_members(4, seen, counts);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(seen[i].load(), 1) << "member " << i << " in round " << round;
            ASSERT_EQ(counts[i], 4);
        }
    }
}

TEST(region, count_of_zero_or_less_gives_one_member_per_pool_thread)
{
    for (int count : {0, -1, -100}) {
        std::vector<std::atomic<int>> seen(64);
        int counts[64] = {};
        record_members(count, seen.data(), counts);
        int pool = counts[0];
        EXPECT_EQ(pool, processors()) << "count " << count;
        for (int i = 0; i < pool; ++i)
            EXPECT_EQ(seen[i].load(), 1);
    }
}

TEST(region, surplus_members_beyond_the_pool_all_run)
{
    const int count = 4 * processors() + 3;
    for (int round = 0; round < 200; ++round) {
        std::vector<std::atomic<int>> seen(count);
        std::vector<int> counts(count);
        record_members(count, seen.data(), counts.data());
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(seen[i].load(), 1) << "member " << i;
    }
}

// Three levels of three: every leaf reports its path; owners help while they wait.
QIV_REGION_OPENER void nest(int depth, int path, std::atomic<int> *leaves)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 3, QIV_LIMIT_TIGHT(3));
    int here = path * 3 + qiv_exported_pix();
    if (depth == 1)
        leaves[here].fetch_add(1);
    else
        nest(depth - 1, here, leaves);
    qiv_region_end_joined(self);
}

TEST(region, nested_regions_run_every_leaf_exactly_once)
{
    for (int round = 0; round < 500; ++round) {
        std::atomic<int> leaves[27] = {};
        nest(3, 0, leaves);
        for (int i = 0; i < 27; ++i)
            ASSERT_EQ(leaves[i].load(), 1) << "leaf " << i << " in round " << round;
    }
}

// Members write through a pointer to the caller's locals: the pointer must
// reach them unrelocated, whatever register the compiler kept it in.
QIV_REGION_OPENER void fill_callers_array(int *slots, int count)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, count, QIV_LIMIT_TIGHT(2));
    slots[qiv_exported_pix()] = qiv_exported_pix() + 100;
    qiv_region_end_joined(self);
}

TEST(region, members_write_into_the_callers_locals)
{
    for (int round = 0; round < 2000; ++round) {
        int slots[6] = {0, 0, 0, 0, 0, 0};
        fill_callers_array(slots, 6);
        for (int i = 0; i < 6; ++i)
            ASSERT_EQ(slots[i], i + 100) << "round " << round;
    }
}

// Members write their results with plain stores and the owner reads them in
// the same function right after the end: the count that says they are done
// must be read before the results, which only an acquire load guarantees
// (the compiler may move plain loads above a volatile one).
QIV_REGION_OPENER long long sum_member_results(int count, int round, int *results)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, count, QIV_LIMIT_TIGHT(3));
    int i = qiv_exported_pix();
    results[i] = round * 16 + i + 1;
    qiv_region_end_joined(self);
    long long sum = 0;
    for (int k = 0; k < count; ++k)
        sum += results[k];
    return sum;
}

TEST(region, owner_reads_every_members_result_right_after_the_end)
{
    int results[8];
    for (int round = 0; round < 50000; ++round) {
        int count = 2 + round % 7;
        long long want = 0;
        for (int k = 0; k < count; ++k)
            want += round * 16 + k + 1;
        ASSERT_EQ(sum_member_results(count, round, results), want) << "round " << round << ", " << count << " members";
    }
}

// Shared data through statics with the classic limit (frame + 124 bytes of
// arguments): callers that still pass it keep working.
std::atomic<int> classic_hits[8];

QIV_REGION_OPENER void classic_region(int count)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, count, QIV_LIMIT_CLASSIC);
    classic_hits[qiv_exported_pix()].fetch_add(1);
    qiv_region_end_joined(self);
}

TEST(region, classic_limit_still_works_for_static_data)
{
    for (auto &h : classic_hits)
        h = 0;
    for (int round = 0; round < 1000; ++round)
        classic_region(8);
    for (auto &h : classic_hits)
        EXPECT_EQ(h.load(), 1000);
}

// The function's own locals written before the open are the members' starting
// values, and each member's changes stay private to it.
QIV_REGION_OPENER void private_locals(int *results, int count)
{
    int local = 7;
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, count, QIV_LIMIT_TIGHT(2));
    volatile int mine = local + qiv_exported_pix();
    for (int k = 0; k < 100; ++k)
        mine = mine + 1;
    results[qiv_exported_pix()] = mine;
    qiv_region_end_joined(self);
}

TEST(region, locals_written_before_the_open_start_every_member)
{
    for (int round = 0; round < 500; ++round) {
        int results[5] = {};
        private_locals(results, 5);
        for (int i = 0; i < 5; ++i)
            ASSERT_EQ(results[i], 107 + i);
    }
}

std::atomic<int> detached_started, detached_done;

QIV_REGION_OPENER void detached(int count, int *unstarted_at_leave)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, count, QIV_LIMIT_TIGHT(2));
    if (qiv_exported_pix() != 0) {
        detached_started.fetch_add(1);
        for (volatile int spin = 0; spin < 20000; spin = spin + 1) {
        }
        detached_done.fetch_add(1);
    }
    qiv_region_end_detached(self);
    *unstarted_at_leave = (int)self->unstarted;
}

TEST(region, detached_owner_leaves_only_after_every_member_started)
{
    for (int round = 0; round < 300; ++round) {
        detached_started = 0;
        detached_done = 0;
        int unstarted = -1;
        detached(4, &unstarted);
        ASSERT_EQ(unstarted, 0);
        EXPECT_EQ(qiv_exported_pno(), 0) << "the owner popped the region";
        ASSERT_TRUE(yield_until([] { return detached_done.load() == 3; })) << "round " << round;
    }
}

// Long-lived members, as service threads are: every member declares itself
// blocking, the owner too, so nobody helps and the pool adds threads.
std::atomic<int> service_started;
std::atomic<void *> service_pids[3];
std::atomic<int> service_left;
std::atomic<bool> service_release;

QIV_REGION_OPENER void start_services(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 4, QIV_LIMIT_TIGHT(0));
    void *me = qiv_exported_pid();
    int i = qiv_exported_pix();
    if (i != 0) {
        service_pids[i - 1] = me;
        service_started.fetch_add(1);
        // A stale signal (left by an earlier region end) may end a wait early:
        // like every caller of wait, re-check the condition.
        while (!service_release.load())
            qiv_exported_wait(0, 0);
        service_left.fetch_add(1);
    }
    qiv_region_end_detached(self);
}

TEST(region, blocking_members_keep_running_after_a_detached_owner_left)
{
    start_services();
    // The owner left once all three had started; they are still waiting.
    ASSERT_TRUE(yield_until([] { return service_started.load() == 3; })) << service_started.load() << " started";
    EXPECT_EQ(service_left.load(), 0);
    service_release = true;
    for (auto &pid : service_pids) {
        ASSERT_NE(pid.load(), nullptr);
        EXPECT_NE(qiv_exported_wake(pid.load()), 0);
    }
    ASSERT_TRUE(yield_until([] { return service_left.load() == 3; })) << service_left.load() << " left";
    // The pool is still whole: ordinary regions run as before.
    std::atomic<int> seen[4] = {};
    int counts[4] = {};
    record_members(4, seen, counts);
    for (auto &s : seen)
        EXPECT_EQ(s.load(), 1);
}

} // namespace
