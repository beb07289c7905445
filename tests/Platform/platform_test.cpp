// The OS stand-ins the runtime is built on: semaphore counts and maximum, no
// lost wake-ups between threads, auto-reset events with time-outs, the
// recursive critical section, and thread services.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(semaphore, release_respects_the_maximum_and_changes_nothing_when_refused)
{
    platform_semaphore sem;
    platform_semaphore_init(&sem, 0, 3);
    EXPECT_EQ(platform_semaphore_release(&sem, 2), 1);
    EXPECT_EQ(platform_semaphore_release(&sem, 2), 0) << "4 would pass the maximum of 3";
    EXPECT_EQ(sem.count, 2);
    EXPECT_EQ(platform_semaphore_release(&sem, 0), 0);
    EXPECT_EQ(platform_semaphore_release(&sem, 1), 1);
    for (int i = 0; i < 3; ++i)
        platform_semaphore_wait(&sem);
    EXPECT_EQ(sem.count, 0);

    platform_semaphore big;
    platform_semaphore_init(&big, 0, 0x7FFFFFFF);
    EXPECT_EQ(platform_semaphore_release(&big, 0x7FFFFFFF), 1);
    EXPECT_EQ(platform_semaphore_release(&big, 1), 0) << "no overflow past the maximum";
}

TEST(semaphore, every_release_reaches_exactly_one_waiter)
{
    // Producers release one count at a time; consumers, some sleeping and
    // some spinning, must take exactly as many as were released.
    for (int spin : {0, 4000}) {
        platform_semaphore sem;
        platform_semaphore_init(&sem, 0, 0x7FFFFFFF);
        sem.spin = spin;
        const int per_thread = 20000, consumers = 3;
        std::atomic<int> taken{0};
        std::vector<std::thread> threads;
        for (int c = 0; c < consumers; ++c)
            threads.emplace_back([&] {
                for (int i = 0; i < per_thread; ++i) {
                    platform_semaphore_wait(&sem);
                    taken.fetch_add(1);
                }
            });
        for (int p = 0; p < consumers; ++p)
            threads.emplace_back([&] {
                for (int i = 0; i < per_thread; ++i)
                    platform_semaphore_release(&sem, 1);
            });
        for (auto &t : threads)
            t.join();
        EXPECT_EQ(taken.load(), consumers * per_thread);
        EXPECT_EQ(sem.count, 0);
    }
}

TEST(event, auto_reset_coalesces_and_times_out)
{
    platform_event ev = {0, 0};
    EXPECT_EQ(platform_event_wait_timeout(&ev, 0), 0);
    platform_event_set(&ev);
    platform_event_set(&ev);
    EXPECT_EQ(platform_event_wait_timeout(&ev, 0), 1);
    EXPECT_EQ(platform_event_wait_timeout(&ev, 0), 0) << "two sets make one signal";
    auto start = steady_clock::now();
    EXPECT_EQ(platform_event_wait_timeout(&ev, 120), 0);
    EXPECT_GE(steady_clock::now() - start, milliseconds(110));
}

TEST(event, ping_pong_between_two_threads_loses_no_wake_up)
{
    platform_event ping = {0, 0}, pong = {0, 0};
    const int rounds = 20000;
    std::thread other([&] {
        for (int i = 0; i < rounds; ++i) {
            platform_event_wait(&ping);
            platform_event_set(&pong);
        }
    });
    for (int i = 0; i < rounds; ++i) {
        platform_event_set(&ping);
        ASSERT_EQ(platform_event_wait_timeout(&pong, 5000), 1) << "round " << i;
    }
    other.join();
}

TEST(critical_section, is_recursive_and_excludes_other_threads)
{
    platform_critical_section cs;
    platform_critical_section_init(&cs);
    long total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                platform_critical_section_enter(&cs);
                platform_critical_section_enter(&cs);
                ++total;
                platform_critical_section_leave(&cs);
                platform_critical_section_leave(&cs);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(total, 40000);
    platform_critical_section_delete(&cs);
}

void note_stack_base(void *out)
{
    int local;
    uintptr_t base = platform_stack_base();
    static_cast<uintptr_t *>(out)[0] = base;
    static_cast<uintptr_t *>(out)[1] = (uintptr_t)&local;
}

TEST(threads, stack_base_lies_above_every_local_and_is_per_thread)
{
    int local;
    uintptr_t mine = platform_stack_base();
    EXPECT_GT(mine, (uintptr_t)&local);
    EXPECT_EQ(platform_stack_base(), mine) << "cached";
    uintptr_t seen[2] = {0, 0};
    platform_thread t;
    ASSERT_EQ(platform_thread_start(&t, note_stack_base, seen), 0);
    EXPECT_EQ(platform_thread_join(t), 0);
    EXPECT_GT(seen[0], seen[1]);
    EXPECT_NE(seen[0], mine);
    EXPECT_LT(seen[0] - seen[1], (uintptr_t)64 << 20) << "the base is that thread's own";
}

void sleep_a_while(void *ms)
{
    platform_sleep_ms((uint32_t)(uintptr_t)ms);
}

TEST(threads, timed_join_gives_up_on_a_running_thread)
{
    platform_thread t;
    ASSERT_EQ(platform_thread_start(&t, sleep_a_while, (void *)(uintptr_t)300), 0);
    EXPECT_EQ(platform_thread_timed_join(t, 20), -1);
    EXPECT_EQ(platform_thread_timed_join(t, 5000), 0);
    EXPECT_GE(platform_processor_count(), 1);
}

} // namespace
