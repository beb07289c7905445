// The OpenCL driver end to end on a real OpenCL implementation (PoCL, whose
// devices a test-only library presents as GPUs): discovery, building the .ocl
// files beside the program, launches, transfers and claims.  Skips where no
// OpenCL platform is usable.  The test runs with work groups limited to 64.
#include "coload_calls.h"

#include <gtest/gtest.h>

#include <numeric>
#include <strings.h>
#include <vector>

namespace {

TEST(ColoadOpenCL, DiscoveryGivesOneSlotPerDeviceWithOpenCLLimits)
{
    REQUIRE_OPENCL();
    offload_state *o = zeq_internal_offload();
    EXPECT_EQ(o->device_table[0].service, zeq_internal_slot_service(1)) << "slot 0 is the remote slot";
    for (intptr_t s = 1; s < o->slot_count; ++s) {
        EXPECT_EQ(o->device_table[s].group_multiple, 32);
        EXPECT_EQ(o->device_table[s].max_groups, 65536);
        EXPECT_GT(o->device_table[s].compute_units, 0);
        EXPECT_STREQ(qiv_exported_slot_kind((int)s), "OpenCL");
    }
}

TEST(ColoadOpenCL, OneMemberRegionComputesTheWholeRangeOnTheDevice)
{
    REQUIRE_OPENCL();
    static char source[] = "tests/coload_cl.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 12);
    const int n = 100003; // several pieces, the last with a remainder
    std::vector<float> x(n), y(n, 1.0f);
    std::iota(x.begin(), x.end(), 0.0f);
    saxpy_call call = {&site, y.data(), x.data(), 2.0f, n, 1, 0, -1};
    run_saxpy(&call);
    EXPECT_EQ(call.result, 0);
    EXPECT_GT(site.kernel[1], 0);
    EXPECT_EQ(site.group_limit[1], 64);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(y[i], 2.0f * x[i] + 1.0f) << i;
}

// A library unloaded and loaded again brings its sites back empty, as an
// agent's module does on every request: the slot hands such a fresh site the
// kernel it made before, instead of making (and leaking) one more each time.
TEST(ColoadOpenCL, AFreshSiteOfTheSameKernelGetsTheKernelTheSlotMadeBefore)
{
    REQUIRE_OPENCL();
    static char source[] = "coload_cl.zeq";
    const int n = 4099;
    std::vector<float> x(n, 1.0f), y(n, 1.0f);
    intptr_t first = 0;
    for (int load = 0; load < 5; ++load) {
        qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 12);
        std::fill(y.begin(), y.end(), 1.0f);
        saxpy_call call = {&site, y.data(), x.data(), 2.0f, n, 1, 0, -1};
        run_saxpy(&call);
        ASSERT_GT(site.kernel[1], 0) << "load " << load;
        EXPECT_EQ(site.group_limit[1], 64);
        if (load == 0)
            first = site.kernel[1];
        EXPECT_EQ(site.kernel[1], first) << "load " << load << " made a kernel of its own";
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(y[i], 3.0f) << "load " << load << ", item " << i;
    }
}

TEST(ColoadOpenCL, DeviceAndPoolComputeEveryItemExactlyOnceOverManyCalls)
{
    REQUIRE_OPENCL();
    static char source[] = "coload_cl.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
    const int n = 40000 + 13;
    std::vector<int> hits(n);
    int device_calls = 0;
    for (int round = 0; round < 40; ++round) {
        std::fill(hits.begin(), hits.end(), 0);
        hits_call call = {&site, hits.data(), n, 0, 1, -1};
        run_hits(&call);
        device_calls += call.result == 0;
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(hits[i], 1) << "round " << round << " item " << i;
    }
    EXPECT_GT(site.kernel[1], 0);
}

TEST(ColoadOpenCL, GroupLimitBelowTheRequestWithSharedMemoryReportsMinusOneAndStillRuns)
{
    REQUIRE_OPENCL();
    static char source[] = "coload_cl.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 54);
    const int n = 1024;
    std::vector<float> pos(4 * n), acc(3 * n, -7.0f);
    std::iota(pos.begin(), pos.end(), 0.0f);
    sample_call c = {&site, pos.data(), acc.data(), n, 0.0f, 0.5f, 0, -1};
    run_sample(&c);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.status, -1) << "groups of 64 ran where 256 were asked for";
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(acc[3 * i + k], pos[4 * i + k] * 2.0f + 0.5f) << i;
}

TEST(ColoadOpenCL, SourceWithASyntaxErrorRunsOnTheHostAndIsNotRebuilt)
{
    REQUIRE_OPENCL();
    static char source[] = "broken.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
    std::vector<int> hits(5000);
    for (int round = 0; round < 2; ++round) {
        hits_call call = {&site, hits.data(), 5000, 1, 1, -1};
        run_hits(&call);
        EXPECT_EQ(call.result, 1);
    }
    for (int v : hits)
        ASSERT_EQ(v, 2);
    EXPECT_EQ(site.kernel[1], -1);
    device_slot *slot = &zeq_internal_offload()->device_table[1];
    int rows = 0;
    for (intptr_t i = 0; i < slot->module_count; ++i) {
        if (strcasecmp(slot->modules[i].name, "broken") == 0) {
            ++rows;
            EXPECT_EQ(slot->modules[i].handle, 0u);
        }
    }
    EXPECT_EQ(rows, 1);
}

} // namespace
