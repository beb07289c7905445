// The OpenMP-compatible entry points called directly, as compiler-generated
// code calls them: argument words reaching every member through the frame
// copies, the pushed thread-count word and its one-shot consumption, joined
// and detached regions, nesting, and the serial paths (if-clause 0, more
// words than a region carries, the serialized-parallel pair).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdarg.h>
#include <thread>

#include "zeq_runtime.h"

extern "C" {
typedef void (*openmp_function)(void);
void _vcomp_fork(int if_value, int k, openmp_function fn, ...);
void _vcomp_set_num_threads(int word);
void __kmpc_fork_call(void *location, int k, openmp_function microtask, ...);
int __kmpc_push_num_threads(void *location, int thread_number, int word);
int __kmpc_ok_to_fork(void *location);
int __kmpc_global_thread_num(void *location);
void __kmpc_begin(void *location, int flags);
void __kmpc_end(void *location);
void __kmpc_serialized_parallel(void *location, int thread_number);
void __kmpc_end_serialized_parallel(void *location, int thread_number);
}

namespace {

const int max_members = 64;

// Distinct words with high bits set, so that a truncated or shifted word shows.
uintptr_t word_value(int i)
{
    return (uintptr_t)(0x9E3779B97F4A7C15ull * (uint64_t)(i + 1)) | ((uintptr_t)1 << (sizeof(uintptr_t) * 8 - 1));
}

#define W(i) word_value(i)
#define WORDS10(b) W(b), W(b + 1), W(b + 2), W(b + 3), W(b + 4), W(b + 5), W(b + 6), W(b + 7), W(b + 8), W(b + 9)
// Every fork below is passed 40 words; it must use only the first k.
#define WORDS40 WORDS10(0), WORDS10(10), WORDS10(20), WORDS10(30)

// What the region functions saw, one slot per member index.
struct member_log {
    std::atomic<int> calls;
    std::atomic<int> seen[max_members];
    std::atomic<int> words_wrong;
    std::atomic<int> zeros_wrong;
    std::atomic<int> counts_wrong;
    int expected_words;
    int count; // pno of the first call
    std::thread::id thread[max_members];
};
member_log log_;

void reset_log(int expected_words)
{
    log_.calls = 0;
    for (auto &s : log_.seen)
        s = 0;
    log_.words_wrong = 0;
    log_.zeros_wrong = 0;
    log_.counts_wrong = 0;
    log_.expected_words = expected_words;
    log_.count = -1;
}

void note_member(void)
{
    int i = qiv_exported_pix();
    int n = qiv_exported_pno();
    if (i >= 0 && i < max_members) {
        log_.seen[i].fetch_add(1);
        log_.thread[i] = std::this_thread::get_id();
    }
    if (i == 0)
        log_.count = n;
    log_.calls.fetch_add(1);
}

// Region functions.  A variadic one reads as many words as the test expects.
void vcomp_none(void)
{
    note_member();
}

void vcomp_words(uintptr_t first, ...)
{
    if (first != word_value(0))
        log_.words_wrong.fetch_add(1);
    va_list ap;
    va_start(ap, first);
    for (int i = 1; i < log_.expected_words; ++i)
        if (va_arg(ap, uintptr_t) != word_value(i))
            log_.words_wrong.fetch_add(1);
    va_end(ap);
    note_member();
}

void kmpc_words(int32_t *global_thread, int32_t *bound_thread, ...)
{
    if (*global_thread != 0 || *bound_thread != 0)
        log_.zeros_wrong.fetch_add(1);
    va_list ap;
    va_start(ap, bound_thread);
    for (int i = 0; i < log_.expected_words; ++i)
        if (va_arg(ap, uintptr_t) != word_value(i))
            log_.words_wrong.fetch_add(1);
    va_end(ap);
    if (__kmpc_global_thread_num(nullptr) != 1)
        log_.zeros_wrong.fetch_add(1);
    note_member();
}

openmp_function fn(void (*f)(uintptr_t, ...))
{
    return (openmp_function)f;
}

openmp_function fn(void (*f)(int32_t *, int32_t *, ...))
{
    return (openmp_function)f;
}

// The member count of a plain region: one per pool thread.
int pool_size(void)
{
    reset_log(0);
    _vcomp_fork(1, 0, vcomp_none);
    return log_.count;
}

// Every index 0 .. n-1 was run exactly once and nothing else.
void expect_members(int n, const char *what)
{
    EXPECT_EQ(log_.calls.load(), n) << what;
    EXPECT_EQ(log_.count, n) << what;
    for (int i = 0; i < max_members; ++i)
        EXPECT_EQ(log_.seen[i].load(), i < n ? 1 : 0) << what << ": member " << i;
    EXPECT_EQ(log_.words_wrong.load(), 0) << what;
    EXPECT_EQ(log_.zeros_wrong.load(), 0) << what;
}

TEST(openmp, argument_words_reach_every_member_unchanged)
{
    const int words[] = {0, 1, 5, 6, 7, 28};
    for (int round = 0; round < 200; ++round) {
        for (int k : words) {
            reset_log(k);
            _vcomp_set_num_threads(10);
            if (k == 0)
                _vcomp_fork(1, 0, vcomp_none, WORDS40);
            else
                _vcomp_fork(1, k, fn(vcomp_words), WORDS40);
            expect_members(4, "_vcomp_fork");

            reset_log(k);
            __kmpc_push_num_threads(nullptr, 0, 10);
            __kmpc_fork_call(nullptr, k, fn(kmpc_words), WORDS40);
            expect_members(4, "__kmpc_fork_call");
            if (HasFailure())
                return;
        }
    }
}

TEST(openmp, pushed_word_decodes_member_count_and_is_consumed_once)
{
    int pool = pool_size();
    EXPECT_EQ(pool, (int)std::thread::hardware_concurrency());
    EXPECT_EQ(__kmpc_push_num_threads(nullptr, 0, 10), 0);
    reset_log(0);
    __kmpc_fork_call(nullptr, 0, fn(kmpc_words));
    expect_members(4, "word 10");
    reset_log(0);
    __kmpc_fork_call(nullptr, 0, fn(kmpc_words));
    expect_members(pool, "the fork after the pushed one");

    for (int word : {0, 2, 3}) {
        reset_log(0);
        _vcomp_set_num_threads(word);
        _vcomp_fork(1, 0, vcomp_none);
        // A detached region (word 3) may return before its members end.
        for (int spin = 0; spin < 10000 && log_.calls.load() < pool; ++spin)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        expect_members(pool, "word 0, 2 or 3");
    }

    // A push is per thread: another thread's fork does not see it.
    _vcomp_set_num_threads((7 + 1) * 2);
    std::thread other([] {
        reset_log(0);
        _vcomp_fork(1, 0, vcomp_none);
    });
    other.join();
    EXPECT_EQ(log_.count, pool) << "another thread's push leaked";
    reset_log(0);
    _vcomp_fork(1, 0, vcomp_none);
    expect_members(7, "own push kept while another thread forked");
}

// Detached regions: members declare themselves blocking (so the pool grows
// to run them all at once) and then wait for the owner, which can release
// them only after its fork has returned.
std::atomic<int> detached_started, detached_finished, detached_released;

void detached_member(void)
{
    qiv_exported_pid();
    if (qiv_exported_pix() == 0)
        return;
    detached_started.fetch_add(1);
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!detached_released.load() && std::chrono::steady_clock::now() < give_up)
        std::this_thread::yield();
    detached_finished.fetch_add(1);
}

TEST(openmp, odd_word_gives_a_detached_region_and_even_a_joined_one)
{
    for (int round = 0; round < 20; ++round) {
        detached_started = detached_finished = detached_released = 0;
        __kmpc_push_num_threads(nullptr, 0, 11);
        __kmpc_fork_call(nullptr, 0, (openmp_function)detached_member);
        EXPECT_EQ(detached_finished.load(), 0) << "the owner waited for the members to end";
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (detached_started.load() < 3 && std::chrono::steady_clock::now() < give_up)
            std::this_thread::yield();
        ASSERT_GE(detached_started.load(), 3) << "round " << round << ": members that never started";
        detached_released = 1;
        while (detached_finished.load() < 3)
            std::this_thread::yield();
    }
    // Word 10 on the same body: the owner returns only after the members
    // have ended, which they do once the released flag is already set.
    detached_started = detached_finished = 0;
    detached_released = 1;
    _vcomp_set_num_threads(10);
    _vcomp_fork(1, 0, detached_member);
    EXPECT_EQ(detached_finished.load(), 3);
}

// Nesting: each outer member forks an inner region of its own and still
// answers for its outer region afterwards.
std::atomic<int> inner_calls, nest_wrong;

void inner_member(int32_t *, int32_t *, uintptr_t outer_index)
{
    if (qiv_exported_pno() != 3)
        nest_wrong.fetch_add(1);
    inner_calls.fetch_add(1);
    (void)outer_index;
}

void outer_member(int32_t *, int32_t *, uintptr_t marker)
{
    int i = qiv_exported_pix(), n = qiv_exported_pno();
    __kmpc_push_num_threads(nullptr, 0, (3 + 1) * 2);
    __kmpc_fork_call(nullptr, 1, (openmp_function)inner_member, (uintptr_t)i);
    if (qiv_exported_pix() != i || qiv_exported_pno() != n || n != 2 || marker != word_value(3))
        nest_wrong.fetch_add(1);
}

TEST(openmp, forks_nest_inside_members)
{
    for (int round = 0; round < 500; ++round) {
        inner_calls = nest_wrong = 0;
        __kmpc_push_num_threads(nullptr, 0, (2 + 1) * 2);
        __kmpc_fork_call(nullptr, 1, (openmp_function)outer_member, word_value(3));
        ASSERT_EQ(inner_calls.load(), 6) << "round " << round;
        ASSERT_EQ(nest_wrong.load(), 0) << "round " << round;
    }
    EXPECT_EQ(qiv_exported_pno(), 0) << "every region closed again";
}

TEST(openmp, more_words_than_a_region_carries_run_once_on_the_caller)
{
    for (int k : {29, 40}) {
        reset_log(k);
        _vcomp_set_num_threads(10);
        _vcomp_fork(1, k, fn(vcomp_words), WORDS40);
        expect_members(1, "_vcomp_fork with more than 28 words");
        EXPECT_EQ(log_.thread[0], std::this_thread::get_id());

        reset_log(k);
        __kmpc_push_num_threads(nullptr, 0, 10);
        __kmpc_fork_call(nullptr, k, fn(kmpc_words), WORDS40);
        expect_members(1, "__kmpc_fork_call with more than 28 words");
        EXPECT_EQ(log_.thread[0], std::this_thread::get_id());
    }
    // The refused forks consumed their pushes; the runtime forks normally.
    int pool = pool_size();
    EXPECT_EQ(pool, (int)std::thread::hardware_concurrency());
    EXPECT_EQ(qiv_exported_pno(), 0);
}

TEST(openmp, if_clause_zero_runs_the_vcomp_region_on_the_caller)
{
    reset_log(5);
    _vcomp_set_num_threads(10);
    _vcomp_fork(0, 5, fn(vcomp_words), WORDS40);
    expect_members(1, "if-clause 0");
    EXPECT_EQ(log_.thread[0], std::this_thread::get_id());
    EXPECT_EQ(pool_size(), (int)std::thread::hardware_concurrency()) << "the push outlived its fork";
}

TEST(openmp, serialized_parallel_keeps_the_runtime_consistent)
{
    int pool = pool_size();
    // What a compiler emits for num_threads(4) if(0): the push comes before
    // the clause is tested, then the function is called directly.
    __kmpc_begin(nullptr, 0);
    EXPECT_EQ(__kmpc_ok_to_fork(nullptr), 1);
    int gtid = __kmpc_global_thread_num(nullptr);
    EXPECT_EQ(gtid, 1);
    __kmpc_push_num_threads(nullptr, gtid, 10);
    __kmpc_serialized_parallel(nullptr, gtid);
    EXPECT_EQ(qiv_exported_pno(), 0) << "a serialized region opens no region";
    __kmpc_end_serialized_parallel(nullptr, gtid);
    reset_log(0);
    __kmpc_fork_call(nullptr, 0, fn(kmpc_words));
    expect_members(pool, "the fork after a serialized region");
    __kmpc_end(nullptr);
}

} // namespace
