// The CUDA slot end to end on the stand-in driver (tests/support/cuda_stand_in):
// discovery and limits, contexts, module loads from the PTX beside the
// program, the launch geometry and its parameter array, copy-back per piece,
// failures, and the wait before a request whose last launch no read followed
// may finish.  The stand-in runs a launch only when the context is next
// synchronised, as a device runs it after the launch call returned, so a
// request that finished too early shows as a pending launch.
//
// Each test configures the stand-in and discovers the devices again before the
// first coload call, so each needs a process of its own, as CTest runs them.
// The runtime is linked statically for its internal state.
#include "coload_calls.h"
#include "cuda_stand_in.h"
#include "drivers.h"
#include "offload.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <set>
#include <vector>

namespace {

uintptr_t device_word(void **params, int k)
{
    return *static_cast<uintptr_t *>(params[k]);
}

// Every item of a launch: first_item + 0 .. grid * block - 1.
template <typename F> void for_items(const stand_in_launch *l, F item)
{
    long items = (long)l->grid[0] * (long)l->block[0];
    for (long i = 0; i < items; ++i)
        item(l->first_item + (int)i);
}

void saxpy_kernel(void **params, const stand_in_launch *l) // y, x, a, start
{
    float *y = reinterpret_cast<float *>(device_word(params, 0));
    const float *x = reinterpret_cast<const float *>(device_word(params, 1));
    float a = *static_cast<const float *>(params[2]);
    for_items(l, [&](int i) { y[i] = a * x[i] + y[i]; });
}

void hits_kernel(void **params, const stand_in_launch *l) // hits, start
{
    int *hits = reinterpret_cast<int *>(device_word(params, 0));
    for_items(l, [&](int i) { hits[i] += 1; });
}

void sample_kernel(void **params, const stand_in_launch *l) // pos, acc, n, spare, eps, start
{
    const float *pos = reinterpret_cast<const float *>(device_word(params, 0));
    float *acc = reinterpret_cast<float *>(device_word(params, 1));
    float eps = *static_cast<const float *>(params[4]);
    for_items(l, [&](int i) {
        for (int c = 0; c < 3; ++c)
            acc[3 * i + c] = pos[4 * i + c] * 2.0f + eps;
    });
}

void slow_saxpy_kernel(void **params, const stand_in_launch *l)
{
    platform_sleep_ms(2);
    saxpy_kernel(params, l);
}

std::vector<stand_in_launch> launches()
{
    std::vector<stand_in_launch> all(stand_in_launch_count());
    for (size_t i = 0; i < all.size(); ++i)
        stand_in_get_launch((int)i, &all[i]);
    return all;
}

// Configures devices and discovers them again, as the library's load did.
void use_devices(int count)
{
    offload_state *o = zeq_internal_offload();
    ASSERT_FALSE(o->devices_started) << "each test needs a process of its own";
    stand_in_set_device_count(count);
    stand_in_register_kernel("fline11", saxpy_kernel);
    stand_in_register_kernel("fline21", hits_kernel);
    stand_in_register_kernel("fline34", sample_kernel);
    discover_devices();
    stand_in_reset_records();
}

char saxpy_source[] = "/somewhere/coload_cu.zeq";
qiv_coload_site saxpy_site = QIV_COLOAD_SITE_INIT(saxpy_source, 11);

struct reads_only_call {
    const float *x;
    int n;
    int status;
    int result;
};

QIV_REGION_OPENER void run_reads_only(reads_only_call *c)
{
    static char source[] = "coload_cu.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 44);
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    c->result = qiv_exported_coload(self, &site, QIV_ARG_IN("float*", c->x, 4, 4 * (intptr_t)c->n), QIV_ARG_RANGE(c->n),
                                    QIV_ARG_STATUS(&c->status), QIV_ARG_END);
    qiv_region_end_joined(self);
}

TEST(cuda_slot, a_single_device_gives_slot_1_its_limits_and_a_blocking_sync_context)
{
    stand_in_set_limits(0, 16, 3, 5000, 1024);
    use_devices(1);
    offload_state *o = zeq_internal_offload();
    ASSERT_EQ(o->slot_count, 2);
    EXPECT_EQ(o->device_table[0].service, zeq_internal_slot_service(1));
    ASSERT_EQ(o->device_table[1].ops, &cuda_ops);
    EXPECT_EQ(o->device_table[1].group_multiple, 16);
    EXPECT_EQ(o->device_table[1].compute_units, 3);
    EXPECT_EQ(o->device_table[1].max_groups, 5000);
    EXPECT_STREQ(qiv_exported_slot_kind(1), "CUDA");

    EXPECT_EQ(run_checked_saxpy(&saxpy_site, 4096, 1), 0);
    ASSERT_EQ(stand_in_context_count(), 1);
    EXPECT_EQ(stand_in_context_device(0), 0);
    EXPECT_EQ(stand_in_context_flags(0), 4u) << "blocking synchronisation";
    EXPECT_EQ(stand_in_modules_live(), 1) << "coload_cu.ptx beside the program";
    EXPECT_EQ(stand_in_allocations_live(), 0) << "the request's buffers are freed";
    EXPECT_EQ(stand_in_pending_launches(), 0);
}

TEST(cuda_slot, the_sample_list_gives_a_parameter_array_of_device_words_values_and_the_start)
{
    use_devices(1);
    static char source[] = "coload_cu.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 34);
    const int n = 1024;
    sample_run r;
    run_checked_sample(&r, &site, n, 0.25f);
    const sample_call &c = r.call;
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.status, 0);
    auto all = launches();
    ASSERT_FALSE(all.empty());
    int next = 0;
    for (const stand_in_launch &l : all) {
        EXPECT_STREQ(l.kernel, "fline34");
        ASSERT_EQ(l.param_count, 6) << "five descriptors and the start index";
        EXPECT_NE(l.params[0], l.params[1]) << "each array row has its own device word";
        EXPECT_EQ(l.params[2], &c.n) << "values travel as their host addresses";
        EXPECT_EQ(l.params[3], &c.unused);
        EXPECT_EQ(l.params[4], &c.eps);
        EXPECT_EQ(l.block[0], 256u);
        EXPECT_EQ(l.shared_bytes, 4096u) << "SharedBytes is the launch's dynamic shared memory";
        EXPECT_EQ(l.grid[1] * l.grid[2] * l.block[1] * l.block[2], 1u) << "one-dimensional";
        EXPECT_EQ(l.first_item, next) << "pieces follow each other";
        next += (int)(l.grid[0] * l.block[0]);
    }
    EXPECT_EQ(next, n);
    EXPECT_EQ(all.front().params[5], all.back().params[5]) << "one start index, rewritten per piece";
}

TEST(cuda_slot, pieces_hold_at_most_cap_items_and_a_remainder_runs_as_groups_of_one)
{
    // Groups of 4 on two units: cap = 2 * 4 * 32 = 256 items a piece.
    stand_in_set_limits(0, 4, 2, 65535, 1024);
    use_devices(1);
    static char source[] = "coload_cu.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 21);
    const int n = 1000;
    std::vector<int> hits(n, 0);
    hits_call call = {&site, hits.data(), n, 1, 6, -1}; // groups of 6 do not divide 256
    run_hits(&call);
    EXPECT_EQ(call.result, 0);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(hits[i], 1) << "item " << i;

    auto all = launches();
    int pieces = 0, covered = 0;
    for (size_t k = 0; k < all.size(); ++k) {
        const stand_in_launch &l = all[k];
        EXPECT_EQ(l.first_item, covered);
        covered += (int)(l.grid[0] * l.block[0]);
        if (l.block[0] == 6) {
            ++pieces;
            EXPECT_LE(l.grid[0] * 6u, 256u);
        } else {
            EXPECT_EQ(l.block[0], 1u) << "the remainder runs as groups of one";
            EXPECT_LT(l.grid[0], 6u);
        }
    }
    EXPECT_EQ(covered, n);
    EXPECT_EQ(pieces, 4) << "256, 256, 256 and 232 items";
    EXPECT_EQ(stand_in_calls("cuMemcpyDtoH_v2"), pieces) << "results are copied back per piece";
}

TEST(cuda_slot, a_kernel_limit_below_the_group_runs_smaller_groups_and_with_shared_memory_reports_minus_one)
{
    stand_in_set_kernel_threads("fline34", 128);
    use_devices(1);
    static char source[] = "coload_cu.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 34);
    const int n = 1024;
    std::vector<float> pos(4 * n, 1.0f), acc(3 * n, 0.0f);
    sample_call c = {&site, pos.data(), acc.data(), n, 0.0f, 0.5f, 0, -1};
    run_sample(&c);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.status, -1) << "groups of 128 ran where 256 were asked for";
    EXPECT_EQ(site.group_limit[1], 128);
    for (const stand_in_launch &l : launches())
        EXPECT_LE(l.block[0], 128u);
    for (int i = 0; i < 3 * n; ++i)
        ASSERT_EQ(acc[i], 2.5f) << i;
}

TEST(cuda_slot, a_ptx_that_fails_to_load_keeps_its_row_and_its_kernels_stay_on_the_host)
{
    use_devices(1);
    EXPECT_EQ(run_checked_saxpy(&saxpy_site, 256, 1), 0);
    device_slot *slot = &zeq_internal_offload()->device_table[1];
    bool broken_row = false;
    for (intptr_t i = 0; i < slot->module_count; ++i)
        broken_row = broken_row || (strcmp(slot->modules[i].name, "broken") == 0 && slot->modules[i].handle == 0);
    EXPECT_TRUE(broken_row) << "broken.ptx occupies a row with handle 0";

    static char source[] = "broken.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 11);
    int loads = stand_in_calls("cuModuleLoad");
    for (int round = 0; round < 2; ++round) {
        std::vector<float> y(512, 1.0f), x(512, 3.0f);
        saxpy_call call = {&site, y.data(), x.data(), 2.0f, 512, 4, 0, -1};
        run_saxpy(&call);
        EXPECT_EQ(call.result, 1) << "the caller computes its share";
        for (float v : y)
            ASSERT_EQ(v, 7.0f);
    }
    EXPECT_EQ(site.kernel[1], -1);
    EXPECT_EQ(stand_in_calls("cuModuleLoad"), loads) << "never loaded again";
}

TEST(cuda_slot, a_failed_launch_stops_claiming_and_reaches_the_status)
{
    use_devices(1);
    stand_in_fail_call("cuLaunchKernel", 1, stand_in_launch_failed);
    static char source[] = "coload_cu.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 34);
    const int n = 4096;
    std::vector<float> pos(4 * n, 1.0f), acc(3 * n, 0.0f);
    sample_call c = {&site, pos.data(), acc.data(), n, 0.0f, 0.5f, 0, -1};
    run_sample(&c);
    EXPECT_EQ(c.status & stand_in_launch_failed, stand_in_launch_failed);
    EXPECT_EQ(stand_in_calls("cuLaunchKernel"), 1) << "no piece is claimed after the failure";
    EXPECT_EQ(stand_in_allocations_live(), 0);
}

// saxpy's call with its value `a` left out of the descriptor list: the host
// computes y = 2x + y over its share.
QIV_REGION_OPENER int run_saxpy_without_a(float *y, const float *x, int n)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    intptr_t bytes = 4 * (intptr_t)n;
    int host = qiv_exported_coload(self, &saxpy_site, QIV_ARG_INOUT("float*", y, 4, bytes), QIV_ARG_IN("float*", x, 4, bytes),
                                   QIV_ARG_RANGE(n), QIV_ARG_END);
    if (host) {
        int end = qiv_exported_range_end(n);
        for (int i = qiv_exported_range_start(n); i < end; ++i)
            y[i] = 2.0f * x[i] + y[i];
    }
    qiv_region_end_joined(self);
    return host;
}

// Calls the kernel cannot serve run on the host: a descriptor list shorter
// than the kernel's parameters (which the driver would read past) and a
// line with no kernel.  A piece of the caller's own share that fails to
// launch or to read back leaves the pieces read back before it as they are:
// the host computes the failed rest alone, so that saxpy, which adds to y,
// still updates every item once.
TEST(cuda_slot, calls_it_cannot_serve_and_failed_pieces_of_the_callers_share_are_computed_on_the_host_once)
{
    stand_in_set_limits(0, 4, 1, 65535, 1024); // 128 items a piece
    use_devices(1);
    const int n = 2048;
    std::vector<float> y(n, 1.0f), x(n);
    for (int i = 0; i < n; ++i)
        x[i] = (float)i;
    EXPECT_EQ(run_saxpy_without_a(y.data(), x.data(), n), 1);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(y[i], 2.0f * (float)i + 1.0f) << "item " << i;
    static char source[] = "coload_cu.zeq";
    static qiv_coload_site wrong_line = QIV_COLOAD_SITE_INIT(source, 12);
    EXPECT_EQ(run_checked_saxpy(&wrong_line, n, 1), 1);
    EXPECT_EQ(stand_in_launch_count(), 0) << "neither call reached the device";

    for (const char *entry : {"cuLaunchKernel", "cuMemcpyDtoH_v2"}) {
        SCOPED_TRACE(entry);
        int before = stand_in_calls(entry);
        stand_in_fail_call(entry, 3, stand_in_launch_failed);
        EXPECT_EQ(run_checked_saxpy(&saxpy_site, n, 1), 1) << "the failed rest comes back to the caller";
        EXPECT_EQ(stand_in_calls(entry) - before, 3) << "no piece is claimed after the failure";
    }
}

TEST(cuda_slot, a_request_whose_kernel_writes_no_array_waits_for_the_device_before_it_finishes)
{
    use_devices(1);
    std::vector<float> x(2048, 1.0f);
    reads_only_call c = {x.data(), 2048, 5, -1};
    run_reads_only(&c);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.status, 0);
    EXPECT_GE(stand_in_launch_count(), 1);
    EXPECT_EQ(stand_in_pending_launches(), 0) << "the call returned while its kernel was still queued";
    EXPECT_EQ(stand_in_synchronize_count(), 1);

    // A failing wait reaches the status like a failing launch.
    stand_in_fail_call("cuCtxSynchronize", 1, stand_in_launch_failed);
    c.status = 0;
    run_reads_only(&c);
    EXPECT_EQ(c.status, stand_in_launch_failed);
}

TEST(cuda_slot, two_devices_take_pieces_of_one_call)
{
    stand_in_register_kernel("fline11", slow_saxpy_kernel);
    // Groups of 4 on one unit: 128 items a piece, so 64 pieces in all.
    stand_in_set_limits(0, 4, 1, 65535, 1024);
    stand_in_set_limits(1, 4, 1, 65535, 1024);
    stand_in_set_device_count(2);
    offload_state *o = zeq_internal_offload();
    ASSERT_FALSE(o->devices_started);
    discover_devices();
    stand_in_reset_records();
    ASSERT_EQ(o->slot_count, 3);
    EXPECT_EQ(run_checked_saxpy(&saxpy_site, 8192, 1), 0);
    std::set<int> devices;
    for (const stand_in_launch &l : launches())
        devices.insert(l.device);
    EXPECT_EQ(devices.size(), 2u) << "both devices launched pieces";
    EXPECT_GT(qiv_exported_slot_items(1), 0);
    EXPECT_GT(qiv_exported_slot_items(2), 0);
    EXPECT_EQ(qiv_exported_slot_items(1) + qiv_exported_slot_items(2), 8192);
}

TEST(cuda_slot, a_device_whose_limits_cannot_be_read_takes_no_work)
{
    stand_in_fail_attributes(0, 1);
    use_devices(2);
    offload_state *o = zeq_internal_offload();
    ASSERT_EQ(o->slot_count, 3);
    EXPECT_EQ(o->device_table[1].group_multiple, 0);
    EXPECT_EQ(o->device_table[1].max_groups, 0);
    EXPECT_EQ(run_checked_saxpy(&saxpy_site, 4096, 1), 0) << "device 1 computes it";
    EXPECT_EQ(o->device_table[1].context, 0u) << "no context for the unreadable device";
    EXPECT_EQ(qiv_exported_slot_items(1), 0);
    EXPECT_EQ(qiv_exported_slot_items(2), 4096);
    for (int k = 0; k < stand_in_context_count(); ++k)
        EXPECT_EQ(stand_in_context_device(k), 1);
}

TEST(cuda_slot, with_cuda_present_opencl_devices_get_no_slots)
{
    use_devices(1);
    // Where the tests' GPU-presenting OpenCL library is on the path, OpenCL
    // offers devices too; the slots are CUDA's all the same, and only one.
    ASSERT_EQ(zeq_internal_offload()->slot_count, 2) << "the remote slot and the one CUDA device";
    for (intptr_t s = 1; s < zeq_internal_offload()->slot_count; ++s)
        EXPECT_EQ(zeq_internal_offload()->device_table[s].ops, &cuda_ops);
    if (!getenv("ZEQ_TEST_OPENCL_GPUS") || !opencl.clGetPlatformIDs)
        GTEST_SKIP() << "no GPU-presenting OpenCL library of this flavour: nothing to choose against";
    cl_handle_t platform = nullptr;
    cl_uint_t devices = 0;
    opencl.clGetPlatformIDs(1, &platform, nullptr);
    opencl.clGetDeviceIDs(platform, cl_device_type_gpu_or_accelerator, 0, nullptr, &devices);
    EXPECT_GT(devices, 0u) << "OpenCL had devices to offer";
}

} // namespace
