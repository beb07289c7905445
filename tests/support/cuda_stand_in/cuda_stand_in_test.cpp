// Tests of the stand-in driver itself: the runtime's CUDA tests are only as
// good as its modules, copies, deferred launches and refusals.  Each test
// starts from stand_in_reset_records and a fresh context on device 0.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cuda_stand_in.h"
#include "env_config.h"
#include "stand_in_driver.h"

namespace {

const char *const fixture = STAND_IN_FIXTURES "/stand_in.ptx";

void *fresh_context()
{
    stand_in_reset_records();
    stand_in_set_device_count(2);
    EXPECT_EQ(cuInit(0), 0);
    void *context = nullptr;
    EXPECT_EQ(cuCtxCreate_v2(&context, 4, 0), 0);
    return context;
}

void *load_function(void **module, const char *name)
{
    void *function = nullptr;
    EXPECT_EQ(cuModuleLoad(module, fixture), 0);
    EXPECT_EQ(cuModuleGetFunction(&function, *module, name), 0);
    return function;
}

template <typename T> T value_of(void *param) { T v; memcpy(&v, param, sizeof v); return v; }
template <typename T> T *device_array(void *param) { return (T *)(uintptr_t)value_of<uint64_t>(param); }

// y[i] = a * x[i] + y[i], as fline12 computes it.
std::atomic<int> saxpy_start_seen{-1};
void saxpy(void **params, const stand_in_launch *launch)
{
    float *y = device_array<float>(params[0]), *x = device_array<float>(params[1]);
    float a = value_of<float>(params[2]);
    int start = value_of<int32_t>(params[3]);
    saxpy_start_seen = start;
    for (unsigned i = 0; i < launch->grid[0] * launch->block[0]; ++i)
        y[start + i] = a * x[start + i] + y[start + i];
}

// out[i] = p.a + p.b + s + c: every parameter size of fline30 in one sum.
struct pair { double a, b; };
void mixed(void **params, const stand_in_launch *launch)
{
    pair p = value_of<pair>(params[0]);
    device_array<double>(params[3])[value_of<int32_t>(params[4])] =
        p.a + p.b + value_of<int16_t>(params[1]) + value_of<int8_t>(params[2]);
}

} // namespace

TEST(cuda_stand_in, parameter_lists_are_read_from_the_module)
{
    fresh_context();
    stand_in_register_kernel("fline30", mixed);
    void *module = nullptr, *missing = nullptr;
    void *function = load_function(&module, "fline30");
    EXPECT_EQ(cuModuleGetFunction(&missing, module, "fline5"), stand_in_not_found);
    uintptr_t out = 0;
    ASSERT_EQ(cuMemAlloc_v2(&out, 4 * sizeof(double)), 0);
    pair p = {1.5, 2.25};
    int16_t s = -300;
    int8_t c = 7;
    uint64_t out_value = out;
    int32_t start = 2;
    void *params[] = {&p, &s, &c, &out_value, &start};
    ASSERT_EQ(cuLaunchKernel(function, 1, 1, 1, 1, 1, 1, 0, nullptr, params, nullptr), 0);
    p = {0, 0}, s = 0, c = 0, start = 0; // the launch has its own copy
    double result[4] = {};
    ASSERT_EQ(cuMemcpyDtoH_v2(result, out, sizeof result), 0);
    EXPECT_EQ(result[2], 1.5 + 2.25 - 300 + 7);
    stand_in_launch launch;
    ASSERT_EQ(stand_in_get_launch(0, &launch), 0);
    EXPECT_EQ(launch.param_count, 5);
    EXPECT_EQ(launch.first_item, 2);
    EXPECT_EQ(cuMemFree_v2(out), 0);
    EXPECT_EQ(cuModuleUnload(module), 0);
    EXPECT_EQ(cuModuleGetFunction(&missing, module, "fline12"), stand_in_invalid_handle);
    EXPECT_EQ(cuLaunchKernel(function, 1, 1, 1, 1, 1, 1, 0, nullptr, params, nullptr), stand_in_invalid_handle);
}

TEST(cuda_stand_in, modules_that_declare_no_kernel_are_refused)
{
    fresh_context();
    void *module = nullptr;
    EXPECT_EQ(cuModuleLoad(&module, STAND_IN_FIXTURES "/no_version.ptx"), stand_in_invalid_ptx);
    EXPECT_EQ(cuModuleLoad(&module, STAND_IN_FIXTURES "/no_entry.ptx"), stand_in_invalid_ptx);
    EXPECT_EQ(cuModuleLoad(&module, STAND_IN_FIXTURES "/absent.ptx"), stand_in_file_not_found);
    EXPECT_EQ(cuModuleLoad(&module, STAND_IN_FIXTURES), stand_in_file_not_found);
    EXPECT_EQ(stand_in_modules_loaded(), 0);
}

TEST(cuda_stand_in, copies_outside_an_allocation_are_refused_untouched)
{
    fresh_context();
    uintptr_t base = 0;
    ASSERT_EQ(cuMemAlloc_v2(&base, 64), 0);
    char ones[16], back[64];
    memset(ones, 1, sizeof ones);
    EXPECT_EQ(cuMemcpyHtoD_v2(base + 56, ones, 16), stand_in_invalid_value); // runs 8 bytes past the end
    EXPECT_EQ(cuMemcpyHtoD_v2(base - 1, ones, 2), stand_in_invalid_value);
    EXPECT_EQ(cuMemcpyDtoH_v2(back, base + 64, 1), stand_in_invalid_value);
    EXPECT_EQ(cuMemcpyHtoD_v2(base + 0, ones, 0), 0);
    EXPECT_EQ(cuMemcpyDtoH_v2(back, base, 64), 0);
    for (char b : back)
        ASSERT_EQ(b, 0);
    EXPECT_EQ(cuMemcpyHtoD_v2(base + 48, ones, 16), 0); // an address inside the allocation
    EXPECT_EQ(cuMemFree_v2(base + 8), stand_in_invalid_value);
    EXPECT_EQ(cuMemFree_v2(base), 0);
    EXPECT_EQ(cuMemFree_v2(base), stand_in_invalid_value);
    EXPECT_EQ(cuMemcpyDtoH_v2(back, base, 1), stand_in_invalid_value);
}

TEST(cuda_stand_in, deferred_launches_run_with_the_values_of_launch_time)
{
    fresh_context();
    stand_in_register_kernel("fline12", saxpy);
    saxpy_start_seen = -1;
    void *module = nullptr;
    void *function = load_function(&module, "fline12");
    float x[8] = {1, 2, 3, 4, 5, 6, 7, 8}, y[8] = {};
    uintptr_t dx = 0, dy = 0;
    ASSERT_EQ(cuMemAlloc_v2(&dx, sizeof x), 0);
    ASSERT_EQ(cuMemAlloc_v2(&dy, sizeof y), 0);
    ASSERT_EQ(cuMemcpyHtoD_v2(dx, x, sizeof x), 0);
    uint64_t px = dx, py = dy;
    float a = 2;
    int32_t start = 0;
    void *params[] = {&py, &px, &a, &start};
    ASSERT_EQ(cuLaunchKernel(function, 2, 1, 1, 2, 1, 1, 0, nullptr, params, nullptr), 0);
    start = 4, a = 100; // the caller moves on to its next piece of work
    EXPECT_EQ(cuMemcpyDtoH_v2(y, dy + 4, sizeof y), stand_in_invalid_value); // a refused copy runs nothing
    EXPECT_EQ(stand_in_pending_launches(), 1);
    EXPECT_EQ(saxpy_start_seen, -1);
    ASSERT_EQ(cuMemcpyDtoH_v2(y, dy, sizeof y), 0);
    EXPECT_EQ(stand_in_pending_launches(), 0);
    EXPECT_EQ(saxpy_start_seen, 0);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(y[i], i < 4 ? 2 * x[i] : 0) << i;
    stand_in_launch launch;
    ASSERT_EQ(stand_in_get_launch(0, &launch), 0);
    EXPECT_STREQ(launch.kernel, "fline12");
    EXPECT_EQ(launch.param_count, 4);
    EXPECT_EQ(launch.first_item, 0);
    EXPECT_EQ(launch.params[3], (void *)&start);
    EXPECT_EQ(cuLaunchKernel(function, 1, 1, 1, 1025, 1, 1, 0, nullptr, params, nullptr), stand_in_invalid_value);
    EXPECT_EQ(cuLaunchKernel(function, 1, 2, 1, 1, 1, 1, 0, nullptr, params, nullptr), stand_in_invalid_value);
    EXPECT_EQ(stand_in_launch_count(), 1);
    EXPECT_EQ(cuMemFree_v2(dx), 0);
    EXPECT_EQ(cuMemFree_v2(dy), 0);
}

TEST(cuda_stand_in, calls_without_the_right_current_context_are_refused)
{
    void *context = fresh_context();
    void *module = nullptr;
    void *function = load_function(&module, "fline12");
    uintptr_t memory = 0;
    ASSERT_EQ(cuMemAlloc_v2(&memory, 16), 0);
    std::thread other([&] {
        uintptr_t p = 0;
        void *m = nullptr;
        char byte = 0;
        EXPECT_EQ(cuMemAlloc_v2(&p, 16), stand_in_invalid_context);
        EXPECT_EQ(cuModuleLoad(&m, fixture), stand_in_invalid_context);
        EXPECT_EQ(cuMemcpyDtoH_v2(&byte, memory, 1), stand_in_invalid_context);
        EXPECT_EQ(cuCtxSynchronize(), stand_in_invalid_context);
        void *own = nullptr;
        ASSERT_EQ(cuCtxCreate_v2(&own, 0, 1), 0); // a context of its own does not make the first one's handles valid
        EXPECT_EQ(cuModuleUnload(module), stand_in_invalid_context);
        EXPECT_EQ(cuLaunchKernel(function, 1, 1, 1, 1, 1, 1, 0, nullptr, nullptr, nullptr), stand_in_invalid_context);
        EXPECT_EQ(cuCtxDestroy_v2(own), 0);
    });
    other.join();
    EXPECT_EQ(stand_in_context_device(1), 1);
    EXPECT_EQ(stand_in_context_flags(0), 4u);
    EXPECT_EQ(cuMemFree_v2(memory), 0);
    EXPECT_EQ(cuCtxDestroy_v2(context), 0);
    EXPECT_EQ(cuCtxDestroy_v2(context), stand_in_invalid_context);
    EXPECT_EQ(cuCtxDestroy_v2((void *)&memory), stand_in_invalid_context);
    EXPECT_EQ(cuCtxSynchronize(), stand_in_invalid_context);
    EXPECT_EQ(stand_in_contexts_live(), 0);
}

TEST(cuda_stand_in, an_injected_failure_hits_only_its_call_and_does_nothing)
{
    fresh_context();
    void *module = nullptr;
    void *function = load_function(&module, "fline12");
    stand_in_fail_call("cuLaunchKernel", 1, stand_in_launch_failed);
    uintptr_t p[3] = {};
    long before = stand_in_allocations_live();
    EXPECT_EQ(cuMemAlloc_v2(&p[0], 8), 0);
    stand_in_fail_call("cuMemAlloc_v2", 1, stand_in_out_of_memory); // the next call, counted from here
    EXPECT_EQ(cuMemAlloc_v2(&p[1], 8), stand_in_out_of_memory);
    EXPECT_EQ(p[1], 0u);
    EXPECT_EQ(stand_in_allocations_live(), before + 1);
    EXPECT_EQ(cuMemAlloc_v2(&p[2], 8), 0);
    EXPECT_EQ(stand_in_calls("cuMemAlloc_v2"), 3);
    uint64_t py = p[0], px = p[2];
    float a = 1;
    int32_t start = 0;
    void *params[] = {&py, &px, &a, &start};
    EXPECT_EQ(cuLaunchKernel(function, 1, 1, 1, 2, 1, 1, 0, nullptr, params, nullptr), stand_in_launch_failed);
    EXPECT_EQ(stand_in_launch_count(), 0);
    EXPECT_EQ(stand_in_pending_launches(), 0);
    stand_in_fail_call("cuCtxSynchronize", 1, stand_in_launch_failed);
    stand_in_fail_call("cuCtxSynchronize", 0, 0);
    EXPECT_EQ(cuCtxSynchronize(), 0);
    EXPECT_EQ(stand_in_synchronize_count(), 1);
    EXPECT_EQ(cuMemFree_v2(p[0]), 0);
    EXPECT_EQ(cuMemFree_v2(p[2]), 0);
}

TEST(cuda_stand_in, environment_text_is_read_and_bad_items_reported)
{
    env_config config;
    FILE *complaints = tmpfile();
    ASSERT_NE(complaints, nullptr);
    EXPECT_EQ(parse_env_config("devices=3,warp=16,grid=1000,fail=cuLaunchKernel:2:719,attrfail=1,"
                               "units=many,colour=blue,fail=cuInit:1:0,fail=cuMemFree_v2:3:1,devices=9,",
                               &config, complaints), 4);
    EXPECT_EQ(config.devices, 3);
    EXPECT_EQ(config.warp, 16);
    EXPECT_EQ(config.grid, 1000);
    EXPECT_EQ(config.units, -1);
    EXPECT_EQ(config.threads, -1);
    EXPECT_TRUE(config.attributes_fail[1]);
    EXPECT_FALSE(config.attributes_fail[0]);
    ASSERT_EQ(config.fail_count, 2);
    EXPECT_STREQ(config.fails[0].entry, "cuLaunchKernel");
    EXPECT_EQ(config.fails[0].nth, 2);
    EXPECT_EQ(config.fails[0].result, 719);
    EXPECT_STREQ(config.fails[1].entry, "cuMemFree_v2");
    rewind(complaints);
    int lines = 0;
    for (int ch; (ch = fgetc(complaints)) != EOF;)
        lines += ch == '\n';
    EXPECT_EQ(lines, 4);
    fclose(complaints);
}

TEST(cuda_stand_in, device_limits_follow_the_configuration)
{
    fresh_context();
    stand_in_set_limits(1, 64, 80, 1000, 256);
    stand_in_fail_attributes(0, 1);
    int value = 0, device = 0;
    EXPECT_EQ(cuDeviceGetAttribute(&value, stand_in_attribute_warp_size, 0), stand_in_invalid_device);
    EXPECT_EQ(cuDeviceGetAttribute(&value, stand_in_attribute_multiprocessors, 1), 0);
    EXPECT_EQ(value, 80);
    EXPECT_EQ(cuDeviceGetAttribute(&value, 42, 1), stand_in_invalid_value);
    EXPECT_EQ(cuDeviceGet(&device, 2), stand_in_invalid_device);
    stand_in_fail_attributes(0, 0);
    stand_in_set_limits(1, 32, 4, 65535, 1024);
}

// Service threads drive a context each at once; every item must come back right.
TEST(cuda_stand_in, contexts_on_several_threads_keep_their_own_launches)
{
    fresh_context();
    stand_in_register_kernel("fline12", saxpy);
    enum { threads = 4, rounds = 200, items = 64 };
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            void *context = nullptr, *module = nullptr;
            ASSERT_EQ(cuCtxCreate_v2(&context, 0, t % 2), 0);
            void *function = load_function(&module, "fline12");
            float x[items], y[items];
            uintptr_t dx = 0, dy = 0;
            ASSERT_EQ(cuMemAlloc_v2(&dx, sizeof x), 0);
            ASSERT_EQ(cuMemAlloc_v2(&dy, sizeof y), 0);
            uint64_t px = dx, py = dy;
            for (int r = 0; r < rounds; ++r) {
                float a = (float)(t + r);
                for (int i = 0; i < items; ++i)
                    x[i] = (float)i, y[i] = 1;
                ASSERT_EQ(cuMemcpyHtoD_v2(dx, x, sizeof x), 0);
                ASSERT_EQ(cuMemcpyHtoD_v2(dy, y, sizeof y), 0);
                for (int32_t start = 0; start < items; start += items / 2) {
                    void *params[] = {&py, &px, &a, &start};
                    ASSERT_EQ(cuLaunchKernel(function, 2, 1, 1, items / 4, 1, 1, 0, nullptr, params, nullptr), 0);
                }
                ASSERT_EQ(cuMemcpyDtoH_v2(y, dy, sizeof y), 0);
                for (int i = 0; i < items; ++i)
                    ASSERT_EQ(y[i], a * i + 1) << "thread " << t << " round " << r;
            }
            EXPECT_EQ(cuMemFree_v2(dx), 0);
            EXPECT_EQ(cuMemFree_v2(dy), 0);
            EXPECT_EQ(cuModuleUnload(module), 0);
            EXPECT_EQ(cuCtxDestroy_v2(context), 0);
        });
    }
    for (std::thread &w : workers)
        w.join();
    EXPECT_EQ(stand_in_launch_count(), threads * rounds * 2);
    EXPECT_EQ(stand_in_modules_live(), 0);
    EXPECT_EQ(stand_in_contexts_live(), 1);
}
