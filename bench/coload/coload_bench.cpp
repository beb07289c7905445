// Cost of a coload call whose every slot declines, against the same loop in a
// plain region; and items per second of the SAXPY example with an OpenCL
// device and the pool against the pool alone.  Run with the GPU-presenting
// OpenCL library on the library path to include the device (the program then
// loads saxpy.ocl from its own folder); without it the device benchmark
// reports the pool alone.  The calls pass the descriptors that zeqhost
// generates for Samples/saxpy/saxpy.zeq, whose kernel line comes from the
// sample's translation (saxpy_lines.h).
#include "zeq_runtime.h"

#include "saxpy_lines.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

char declined_source[] = "no_such_module.zeq";
qiv_coload_site declined_site = QIV_COLOAD_SITE_INIT(declined_source, 1);
char saxpy_source[] = "saxpy.zeq";
qiv_coload_site saxpy_site = QIV_COLOAD_SITE_INIT(saxpy_source, ZEQ_LINE_saxpy);
char pool_source[] = "saxpy.zeq";
qiv_coload_site pool_site = {1, pool_source, ZEQ_LINE_saxpy, QIV_COLOAD_SLOTS, {0}, {0}}; // status 1: host only

struct loop_args {
    float *y;
    const float *x;
    float a;
    int n;
    qiv_coload_site *site; // null: a plain region without any coload call
};

QIV_REGION_OPENER void saxpy_region(loop_args *args)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 0, QIV_LIMIT_TIGHT(1));
    intptr_t bytes = (intptr_t)args->n * (intptr_t)sizeof(float);
    if (!args->site || qiv_exported_pix() != 0 ||
        qiv_exported_coload(self, args->site, QIV_ARG_INOUT("float*", args->y, sizeof(float), bytes),
                            QIV_ARG_IN("float*", args->x, sizeof(float), bytes), QIV_ARG_VALUE("float", &args->a, sizeof(float)),
                            QIV_ARG_VALUE("int", &args->n, sizeof(int)),
                            QIV_ARG_RANGE(args->n), QIV_ARG_END) != 0) {
        int end = qiv_exported_range_end(args->n);
        for (int i = qiv_exported_range_start(args->n); i < end; ++i)
            args->y[i] = args->a * args->x[i] + args->y[i];
    }
    qiv_region_end_joined(self);
}

void run(benchmark::State &state, qiv_coload_site *site)
{
    int n = (int)state.range(0);
    std::vector<float> x(n, 1.0f), y(n, 0.0f);
    loop_args args = {y.data(), x.data(), 0.5f, n, site};
    saxpy_region(&args); // starts the service threads and builds kernels outside the timing
    for (auto _ : state)
        saxpy_region(&args);
    state.SetItemsProcessed(state.iterations() * (int64_t)n);
}

void BM_plain_region(benchmark::State &state) { run(state, nullptr); }
void BM_coload_all_slots_decline(benchmark::State &state) { run(state, &declined_site); }
void BM_saxpy_devices_and_pool(benchmark::State &state) { run(state, &saxpy_site); }
void BM_saxpy_pool_alone(benchmark::State &state) { run(state, &pool_site); }

BENCHMARK(BM_plain_region)->Arg(1024)->UseRealTime();
BENCHMARK(BM_coload_all_slots_decline)->Arg(1024)->UseRealTime();
BENCHMARK(BM_saxpy_devices_and_pool)->Arg(1 << 22)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_saxpy_pool_alone)->Arg(1 << 22)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
