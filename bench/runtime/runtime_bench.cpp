// Runtime benchmarks, each against its peer in the same run:
//  - fork-join of an empty joined region of pool_size members vs an empty
//    parallel region on GCC's OpenMP runtime (target: at most 1.5x its time);
//  - uncontended sync + unsync vs std::mutex lock + unlock (target: at most 2x);
//  - two threads handing one address back and forth vs std::mutex.
#include <benchmark/benchmark.h>

#include <mutex>

#include "zeq_runtime.h"

extern "C" void gomp_empty_region(void);
extern "C" int gomp_threads(void);

namespace {

QIV_REGION_OPENER void zeq_empty_region(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 0, QIV_LIMIT_TIGHT(0));
    __asm__ volatile("");
    qiv_region_end_joined(self);
}

QIV_REGION_OPENER int zeq_pool_size(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 0, QIV_LIMIT_TIGHT(0));
    int n = qiv_exported_pno();
    qiv_region_end_joined(self);
    return n;
}

void fork_join_zeq(benchmark::State &state)
{
    for (auto _ : state)
        zeq_empty_region();
    state.counters["members"] = zeq_pool_size();
}
BENCHMARK(fork_join_zeq);

void fork_join_libgomp(benchmark::State &state)
{
    for (auto _ : state)
        gomp_empty_region();
    state.counters["members"] = gomp_threads();
}
BENCHMARK(fork_join_libgomp);

int lock_key;

void uncontended_sync_unsync(benchmark::State &state)
{
    for (auto _ : state) {
        qiv_exported_sync(&lock_key);
        qiv_exported_unsync(&lock_key);
    }
}
BENCHMARK(uncontended_sync_unsync);

std::mutex plain_mutex;

void uncontended_std_mutex(benchmark::State &state)
{
    for (auto _ : state) {
        plain_mutex.lock();
        plain_mutex.unlock();
    }
}
BENCHMARK(uncontended_std_mutex);

// Two threads take turns on one lock; each operation is a lock and an unlock
// with a little work inside so that the lock really changes hands.
long shared_counter;

void handoff_sync(benchmark::State &state)
{
    for (auto _ : state) {
        qiv_exported_sync(&shared_counter);
        ++shared_counter;
        qiv_exported_unsync(&shared_counter);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(handoff_sync)->Threads(2)->UseRealTime();

void handoff_std_mutex(benchmark::State &state)
{
    for (auto _ : state) {
        plain_mutex.lock();
        ++shared_counter;
        plain_mutex.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(handoff_std_mutex)->Threads(2)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
