// A process whose discovery found no GPU driver usable: the table holds the
// remote slot alone, which declines everything, so every call returns 1 and
// the pool computes all items.
#include "coload_calls.h"
#include "offload.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ColoadHostOnly, WithoutGpuDevicesOnlyTheRemoteSlotExistsAndThePoolComputesEverything)
{
    offload_state *o = zeq_internal_offload();
    ASSERT_NE(o->device_table, nullptr);
    ASSERT_EQ(o->slot_count, 1) << "no GPU or accelerator: the remote slot alone";
    static char source[] = "coload_cl.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
    std::vector<int> hits(10007);
    for (int round = 0; round < 100; ++round) {
        hits_call call = {&site, hits.data(), (int)hits.size(), 0, 1, -1};
        run_hits(&call);
        ASSERT_EQ(call.result, 1);
    }
    for (int v : hits)
        ASSERT_EQ(v, 100);
    EXPECT_EQ(o->devices_started, 1);
    EXPECT_NE(o->device_table[0].owner, owner_none) << "slot 0 has its service thread";
}

} // namespace
