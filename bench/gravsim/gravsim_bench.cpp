// Body-body interactions per second of gravsim's accelerations (fline144):
// on the runtime's pool alone (the call sites set to host-only, one region
// member per pool thread) against a plain OpenMP loop of the same arithmetic
// (gravsim_omp_reference.cpp, GCC -O3, libgomp), at 4096 and 16384 bodies.
// Both must give the same bits; a benchmark that disagrees reports an error
// instead of a rate.
#include "gravsim_host.h"
#include "gravsim_state.h"

#include <benchmark/benchmark.h>

#include <string.h>

#include <vector>

void omp_accelerations(const float *pos, float *acc, int n, float eps);

namespace {

const float eps = 0.0025f;

struct bodies {
    std::vector<float> pos, vel, acc;
    explicit bodies(int n) : pos(4 * (size_t)n), vel(4 * (size_t)n), acc(3 * (size_t)n)
    {
        gravsim_bodies g = {n, pos.data(), vel.data(), acc.data()};
        gravsim_disk(&g, 1u, eps);
    }
};

// The expected accelerations of each size, from the pool, computed once.
const std::vector<float> &expected(int n)
{
    static std::vector<float> by_size[2];
    std::vector<float> &e = by_size[n > 4096];
    if (e.empty()) {
        bodies b(n);
        gravsim_host_only(1);
        gravsim_accelerations(b.pos.data(), b.acc.data(), n, 0.0f, eps, 0);
        e = b.acc;
    }
    return e;
}

void finish(benchmark::State &state, int n, const std::vector<float> &acc)
{
    const std::vector<float> &e = expected(n);
    if (memcmp(acc.data(), e.data(), e.size() * sizeof(float)) != 0)
        state.SkipWithError("results differ from the pool's");
    state.counters["interactions/s"] =
        benchmark::Counter((double)n * (double)n * (double)state.iterations(), benchmark::Counter::kIsRate);
}

void BM_accelerations_pool(benchmark::State &state)
{
    int n = (int)state.range(0);
    bodies b(n);
    gravsim_host_only(1);
    for (auto _ : state) {
        gravsim_accelerations(b.pos.data(), b.acc.data(), n, 0.0f, eps, 0);
        benchmark::ClobberMemory();
    }
    finish(state, n, b.acc);
}

void BM_accelerations_omp(benchmark::State &state)
{
    int n = (int)state.range(0);
    bodies b(n);
    for (auto _ : state) {
        omp_accelerations(b.pos.data(), b.acc.data(), n, eps);
        benchmark::ClobberMemory();
    }
    finish(state, n, b.acc);
}

// Pairs at each size, the pool first; real time, since the work runs on
// other threads.  A few iterations suffice: one call at 16384 bodies is
// 268 million interactions.
BENCHMARK(BM_accelerations_pool)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_accelerations_omp)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_accelerations_pool)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_accelerations_omp)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
