// Address-keyed locks and thread wake-ups under real threads: the hash, nesting,
// strict arrival order of waiters, shared cells, trysync, the region default
// lock, timed waits.  Linked statically so tests can watch a cell's state.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

sync_cell &cell_of(const void *address)
{
    return sync_table[sync_hash(address)];
}

// Bounds waits for other threads that take microseconds on an idle machine:
// only a hang runs into them.
const auto hang_bound = std::chrono::seconds(20);

long long ms_since(steady_clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

// Waits until `n` threads are queued on the cell (contenders counts the owner).
void wait_for_queue(const void *address, intptr_t n)
{
    auto until = steady_clock::now() + hang_bound;
    while (__atomic_load_n(&cell_of(address).contenders, __ATOMIC_SEQ_CST) != n + 1)
        if (steady_clock::now() < until)
            std::this_thread::yield();
        else
            FAIL() << n << " waiters never queued";
}

TEST(sync, hash_uses_the_low_24_bits_of_the_address)
{
    EXPECT_EQ(sync_hash((void *)0), 0u);
    EXPECT_EQ(sync_hash((void *)1), 0u);
    EXPECT_EQ(sync_hash((void *)2), 0u);
    EXPECT_EQ(sync_hash((void *)3), 1u);
    for (uintptr_t a : {(uintptr_t)0x1234, (uintptr_t)0xABCDEF, (uintptr_t)0x7FFFFF}) {
        EXPECT_EQ(sync_hash((void *)a), sync_hash((void *)(a + (1u << 24))));
        EXPECT_EQ(sync_hash((void *)a), sync_hash((void *)(a + (5u << 24))));
    }
}

TEST(sync, nested_syncs_hold_the_cell_until_the_last_unsync)
{
    static int key;
    std::atomic<bool> got{false};
    qiv_exported_sync(&key);
    qiv_exported_sync(&key);
    EXPECT_EQ(cell_of(&key).depth, 2);
    std::thread other([&] {
        qiv_exported_sync(&key);
        got = true;
        qiv_exported_unsync(&key);
    });
    wait_for_queue(&key, 1);
    EXPECT_EQ(qiv_exported_unsync(&key), 0);
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_FALSE(got.load()) << "one unsync of two must not release the cell";
    EXPECT_NE(qiv_exported_unsync(&key), 0) << "handing over reports the wake-up";
    other.join();
    EXPECT_TRUE(got.load());
    EXPECT_EQ(cell_of(&key).contenders, 0);
    EXPECT_EQ(cell_of(&key).owner, nullptr);
}

TEST(sync, three_waiters_receive_the_cell_in_arrival_order)
{
    static int key;
    for (int round = 0; round < 50; ++round) {
        std::vector<int> order;
        qiv_exported_sync(&key);
        std::vector<std::thread> waiters;
        for (int w = 0; w < 3; ++w) {
            waiters.emplace_back([&, w] {
                qiv_exported_sync(&key);
                order.push_back(w); // under the lock
                qiv_exported_unsync(&key);
            });
            wait_for_queue(&key, w + 1); // queue them one after another
        }
        qiv_exported_unsync(&key);
        for (auto &t : waiters)
            t.join();
        ASSERT_EQ(order, (std::vector<int>{0, 1, 2})) << "round " << round;
    }
}

TEST(sync, addresses_sharing_a_cell_nest_for_one_thread_and_exclude_two)
{
    static char block[3u << 24]; // two addresses 16 MiB apart share a cell
    char *a = &block[100], *b = &block[100 + (1u << 24)];
    ASSERT_EQ(sync_hash(a), sync_hash(b));
    qiv_exported_sync(a);
    qiv_exported_sync(b); // same thread, same cell: nesting, not a deadlock
    EXPECT_EQ(cell_of(a).depth, 2);
    std::atomic<bool> got{false};
    std::thread other([&] {
        qiv_exported_sync(b);
        got = true;
        qiv_exported_unsync(b);
    });
    wait_for_queue(a, 1);
    qiv_exported_unsync(b);
    std::this_thread::sleep_for(milliseconds(10));
    EXPECT_FALSE(got.load()) << "a different address in the same cell still excludes";
    qiv_exported_unsync(a);
    other.join();
    EXPECT_TRUE(got.load());
}

TEST(sync, trysync_takes_only_a_free_cell)
{
    static int key;
    EXPECT_EQ(qiv_exported_trysync(&key), 1);
    EXPECT_EQ(qiv_exported_trysync(&key), 0) << "not even for the holder";
    EXPECT_EQ(cell_of(&key).depth, 1) << "a failed trysync changes nothing";
    std::thread([&] { EXPECT_EQ(qiv_exported_trysync(&key), 0); }).join();
    qiv_exported_unsync(&key);
    std::thread([&] {
        EXPECT_EQ(qiv_exported_trysync(&key), 1);
        qiv_exported_unsync(&key);
    }).join();
    EXPECT_EQ(cell_of(&key).contenders, 0);
}

TEST(sync, many_threads_increment_one_counter_under_its_address)
{
    static long counter;
    counter = 0;
    const int threads = 4, rounds = 20000;
    std::vector<std::thread> pool_of;
    for (int t = 0; t < threads; ++t)
        pool_of.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                if (i % 3 == 0 && qiv_exported_trysync(&counter)) {
                    ++counter;
                    qiv_exported_unsync(&counter);
                    continue;
                }
                qiv_exported_sync(&counter);
                qiv_exported_sync(&counter);
                ++counter;
                qiv_exported_unsync(&counter);
                qiv_exported_unsync(&counter);
            }
        });
    for (auto &t : pool_of)
        t.join();
    EXPECT_EQ(counter, (long)threads * rounds);
    EXPECT_EQ(cell_of(&counter).contenders, 0);
}

// The default lock of a region: members of one region exclude each other.
long region_total;

QIV_REGION_OPENER void default_locked_sum(int count, int rounds)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, count, QIV_LIMIT_TIGHT(2));
    for (int i = 0; i < rounds; ++i) {
        qiv_exported_sync_default();
        qiv_exported_sync_default(); // recursive for the same thread
        long v = region_total;
        region_total = v + 1;
        qiv_exported_unsync_default();
        qiv_exported_unsync_default();
    }
    qiv_region_end_joined(self);
}

TEST(sync, default_lock_excludes_the_members_of_one_region)
{
    qiv_exported_sync_default(); // outside a region: nothing happens
    qiv_exported_unsync_default();
    region_total = 0;
    default_locked_sum(4, 20000);
    EXPECT_EQ(region_total, 4 * 20000);
}

// Regions opened by different threads have different default locks.
std::atomic<int> inside_a{0}, inside_b{0};

QIV_REGION_OPENER void hold_default_until_other_enters(std::atomic<int> *mine, std::atomic<int> *theirs, bool *met)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(3));
    qiv_exported_sync_default();
    mine->store(1);
    auto until = steady_clock::now() + hang_bound;
    while (theirs->load() == 0 && steady_clock::now() < until)
        std::this_thread::yield();
    *met = theirs->load() != 0;
    qiv_exported_unsync_default();
    qiv_region_end_joined(self);
}

TEST(sync, default_locks_of_different_regions_are_independent)
{
    bool met_a = false, met_b = false;
    std::thread a([&] { hold_default_until_other_enters(&inside_a, &inside_b, &met_a); });
    std::thread b([&] { hold_default_until_other_enters(&inside_b, &inside_a, &met_b); });
    a.join();
    b.join();
    EXPECT_TRUE(met_a);
    EXPECT_TRUE(met_b);
}

TEST(sync, timed_wait_runs_out_and_a_wake_before_it_ends_it_at_once)
{
    qiv_exported_wait(1, 0); // drop any signal left from earlier tests
    auto start = steady_clock::now();
    EXPECT_EQ(qiv_exported_wait(1, 500), 1);
    long long waited = ms_since(start);
    EXPECT_GE(waited, 450);
    EXPECT_LT(waited, milliseconds(hang_bound).count());

    void *me = qiv_exported_pid();
    EXPECT_NE(qiv_exported_wake(me), 0);
    EXPECT_NE(qiv_exported_wake(me), 0); // two signals coalesce into one
    // A time-out far beyond the bound tells a wait that ignored the signal
    // from one that was slow to return on a loaded machine.
    start = steady_clock::now();
    EXPECT_EQ(qiv_exported_wait(1, 60000), 0);
    EXPECT_LT(ms_since(start), milliseconds(hang_bound).count()) << "the signal did not end the wait";
    EXPECT_EQ(qiv_exported_wait(1, 50), 1) << "the second wake was not kept";

    EXPECT_EQ(qiv_exported_wake(nullptr), 0);
}

TEST(sync, a_wake_from_another_thread_ends_an_untimed_wait)
{
    qiv_exported_wait(1, 0);
    void *me = qiv_exported_pid();
    // The wake comes once this thread sleeps in the wait, not before it
    // (a signal set before the wait would end it without any wake-up).
    std::thread waker([&] {
        platform_event *event = &static_cast<thread_record *>(me)->wake_event;
        auto until = steady_clock::now() + hang_bound;
        while (__atomic_load_n(&event->sleepers, __ATOMIC_SEQ_CST) == 0 && steady_clock::now() < until)
            std::this_thread::yield();
        qiv_exported_wake(me);
    });
    EXPECT_EQ(qiv_exported_wait(0, 0), 0);
    waker.join();
}

TEST(sync, waking_a_thread_that_has_ended_touches_only_a_kept_record)
{
    // A thread's record outlives the thread, so a wake that arrives late (the
    // waker read the pid just before the thread ended) writes to memory the
    // runtime still owns; the next thread reuses the record with no signal.
    // Pool workers take kept records too when they start: wait until every
    // worker has its own (it then counts itself active or parked), so that
    // only the next thread of the test can take the one released here.
    ASSERT_NE(qiv_exported_pid(), nullptr);
    auto until = steady_clock::now() + hang_bound;
    while (__atomic_load_n(&pool.active_count, __ATOMIC_SEQ_CST) + __atomic_load_n(&pool.parked_count, __ATOMIC_SEQ_CST) <
               1 + __atomic_load_n(&pool.live_workers, __ATOMIC_SEQ_CST) &&
           steady_clock::now() < until)
        std::this_thread::sleep_for(milliseconds(1));
    void *ended = nullptr;
    std::thread([&] { ended = qiv_exported_pid(); }).join();
    ASSERT_NE(ended, nullptr);
    for (int i = 0; i < 1000; ++i)
        EXPECT_NE(qiv_exported_wake(ended), 0);
    void *reused = nullptr;
    int wait_result = -1;
    std::thread([&] {
        reused = qiv_exported_pid();
        wait_result = qiv_exported_wait(1, 0);
    }).join();
    EXPECT_EQ(reused, ended) << "the kept record is reused";
    EXPECT_EQ(wait_result, 1) << "a reused record starts without a signal";
}

} // namespace
