// Body-body interactions per second of gravsim's accelerations (fline144):
// on the runtime's pool alone (the call sites set to host-only, one region
// member per pool thread), in each vector width the processor runs, against
// a plain OpenMP loop of the same arithmetic (gravsim_omp_reference.cpp,
// libgomp) built with GCC's defaults at -O3 and with -fno-math-errno as the
// pool's bodies are, at 4096 and 16384 bodies.  All must give the same bits;
// a benchmark that disagrees reports an error instead of a rate.  A third
// peer, -O3 -ffast-math -march=native, reorders the sums and is shown for
// information: its bits are not checked.  Last, the agents' module
// gravsim_net.so as an agent calls it, on one thread: its body is chosen
// as the pool's is, so per processor it should match the pool's rate.
#include "gravsim_host.h"
#include "gravsim_state.h"
#include "zeq_runtime.h"

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

void omp_accelerations(const float *pos, float *acc, int n, float eps);
void omp_accelerations_no_errno(const float *pos, float *acc, int n, float eps);
void omp_accelerations_fast(const float *pos, float *acc, int n, float eps);

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

void finish(benchmark::State &state, int n, const std::vector<float> &acc, bool exact = true)
{
    const std::vector<float> &e = expected(n);
    if (exact && memcmp(acc.data(), e.data(), e.size() * sizeof(float)) != 0)
        state.SkipWithError("results differ from the pool's");
    state.counters["interactions/s"] =
        benchmark::Counter((double)n * (double)n * (double)state.iterations(), benchmark::Counter::kIsRate);
}

const char *const widths[] = {"AVX-512", "AVX2", "SSE2"};

// range(1): the vector width, an index into widths.
void BM_accelerations_pool(benchmark::State &state)
{
    int n = (int)state.range(0);
    const char *width = widths[state.range(1)];
    state.SetLabel(width);
    bodies b(n);
    gravsim_host_only(1);
    expected(n);
    if (gravsim_use_vector_width(width) != 0) {
        state.SkipWithError("this processor does not run that width");
        return;
    }
    for (auto _ : state) {
        gravsim_accelerations(b.pos.data(), b.acc.data(), n, 0.0f, eps, 0);
        benchmark::ClobberMemory();
    }
    finish(state, n, b.acc);
}

template <void (*peer)(const float *, float *, int, float), bool exact>
void BM_accelerations_peer(benchmark::State &state)
{
    int n = (int)state.range(0);
    bodies b(n);
    for (auto _ : state) {
        peer(b.pos.data(), b.acc.data(), n, eps);
        benchmark::ClobberMemory();
    }
    finish(state, n, b.acc, exact);
}

void BM_accelerations_omp(benchmark::State &state)
{
    BM_accelerations_peer<omp_accelerations, true>(state);
}
void BM_accelerations_omp_no_errno(benchmark::State &state)
{
    BM_accelerations_peer<omp_accelerations_no_errno, true>(state);
}
void BM_accelerations_omp_fast_math(benchmark::State &state)
{
    BM_accelerations_peer<omp_accelerations_fast, false>(state);
}

struct module_call {
    void (*entry)(size_t *);
    size_t *words;
};

// The share region of one member an agent opens around a module call, so
// that the module's range queries give it the whole range.
QIV_REGION_OPENER void call_in_share(module_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    c->entry(c->words);
    qiv_region_end_joined(self);
}

// The module's accelerations entry on this thread alone, as an agent calls
// it for a share of the whole range (no device takes it here: there is none,
// and the module then runs its host body).
void BM_accelerations_agent_module(benchmark::State &state)
{
    int n = (int)state.range(0);
    bodies b(n);
    expected(n);
    // GRAVSIM_BENCH_MODULE names another build of the module to compare with.
    const char *path = getenv("GRAVSIM_BENCH_MODULE");
    void *module = dlopen(path && *path ? path : GRAVSIM_NET_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto entry = module ? reinterpret_cast<void (*)(size_t *)>(dlsym(module, "fline144")) : nullptr;
    if (!entry) {
        state.SkipWithError("gravsim_net.so or its fline144 is missing");
        return;
    }
    float spare = 0.0f, e = eps;
    size_t words[5] = {(size_t)b.pos.data(), (size_t)b.acc.data(), (size_t)&n, (size_t)&spare, (size_t)&e};
    module_call call = {entry, words};
    for (auto _ : state) {
        call_in_share(&call);
        benchmark::ClobberMemory();
    }
    finish(state, n, b.acc);
    dlclose(module);
}

// At each size, the pool in every width, then the peers; real time, since
// the work runs on other threads.  A few iterations suffice: one call at
// 16384 bodies is 268 million interactions.
BENCHMARK(BM_accelerations_pool)->ArgsProduct({{4096}, {0, 1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_accelerations_omp)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_accelerations_omp_no_errno)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_accelerations_omp_fast_math)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_accelerations_pool)->ArgsProduct({{16384}, {0, 1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_accelerations_omp)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_accelerations_omp_no_errno)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_accelerations_omp_fast_math)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_accelerations_agent_module)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);

} // namespace

BENCHMARK_MAIN();
