// gravsim's host path: the translated bodies, run in regions of several sizes,
// against the plain single-threaded reference, bit for bit; the edge cases of
// the kernels (a single share of one tile, an empty share, an undamped step
// without forces, the empty kernel); and the line contract of gravsim.zeq.
//
// Every call here runs on the host alone (the sites' status word), whatever
// devices the machine has: a device's contracted arithmetic would differ in
// the last bits, and the OpenCL test covers the devices.
#include "gravsim_host.h"
#include "gravsim_reference.h"
#include "gravsim_state.h"

#include "zeq_runtime.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

void fline144_(float *pos, float *acc, int n, float spare, float eps, int qiv_extra_arg_offs);
void fline345_(float *acc, float *vel, float *pos, float damping, float dt, int n, int qiv_extra_arg_offs);
void fline420_(float *pos, int n, int qiv_extra_arg_offs);

namespace {

const float eps = 0.0025f;
const float dt = 0.004f;

struct host_only_env : ::testing::Environment {
    void SetUp() override { gravsim_host_only(1); }
};
::testing::Environment *const host_only = ::testing::AddGlobalTestEnvironment(new host_only_env);


// Steps of the simulation through the host side and through the reference,
// compared after every call.  members: the region size (0 = the pool).
void run_and_compare(int n, int members, int steps)
{
    bodies sim = disk(n, 7u + (uint32_t)n, eps), ref = sim;
    for (int s = 0; s < steps; ++s) {
        gravsim_accelerations(sim.pos.data(), sim.acc.data(), n, 0.0f, eps, members);
        reference_accelerations(ref.pos.data(), ref.acc.data(), n, eps);
        ASSERT_TRUE(same_bits(sim.acc, ref.acc)) << "n " << n << ", members " << members << ", step " << s
                                                 << ": acc differs at float " << first_difference(sim.acc, ref.acc);
        gravsim_time_step(sim.acc.data(), sim.vel.data(), sim.pos.data(), 1.0f, dt, n, members);
        reference_time_step(ref.acc.data(), ref.vel.data(), ref.pos.data(), 1.0f, dt, n);
        ASSERT_TRUE(same_bits(sim.pos, ref.pos)) << "n " << n << ", members " << members << ", step " << s;
        ASSERT_TRUE(same_bits(sim.vel, ref.vel)) << "n " << n << ", members " << members << ", step " << s;
    }
}

// The default region, one member (the remote module's shape), two, three
// (uneven shares of n, so share boundaries fall inside tiles) and five members.
TEST(GravsimHost, MatchesReferenceBitForBitAcrossRegionSizes)
{
    const int sizes[] = {256, 1024};
    const int members[] = {0, 1, 2, 3, 5};
    for (int n : sizes)
        for (int m : members)
            run_and_compare(n, m, 3);
}

// The host body in every vector width this processor runs, over shares
// that end inside a block of lanes (three and five members), gives the
// reference's bits; and an unknown width is refused.
TEST(GravsimHost, EveryVectorWidthMatchesReferenceBitForBit)
{
    std::string widest = gravsim_vector_width();
    int tried = 0;
    for (const char *width : {"AVX-512", "AVX2", "SSE2"}) {
        if (gravsim_use_vector_width(width) != 0)
            continue;
        SCOPED_TRACE(width);
        ++tried;
        EXPECT_STREQ(gravsim_vector_width(), width);
        run_and_compare(1024, 3, 2);
        run_and_compare(256, 5, 1);
    }
    EXPECT_GE(tried, 1) << "the baseline runs everywhere";
    EXPECT_EQ(gravsim_use_vector_width("AVX-1024"), -1);
    ASSERT_EQ(gravsim_use_vector_width(widest.c_str()), 0);
}

// The default region's members are whole tiles (a device takes nothing
// else), at most 64 of them; one worker alone always gets one member.
TEST(GravsimHost, DefaultRegionsHoldWholeTilesPerMember)
{
    EXPECT_EQ(gravsim_region_members(768, 0), 1);
    EXPECT_EQ(gravsim_region_members(3072, 0), 4);
    EXPECT_EQ(gravsim_region_members(65536, 0), 64);
    gravsim_use_workers(gravsim_workers_alone);
    EXPECT_EQ(gravsim_region_members(4096, 5), 1);
    gravsim_use_workers(gravsim_workers_pool);
}

// The pool size itself, not just the region's member count: the same run on
// more members than processors (the pool helps with members queued beyond
// its threads).
TEST(GravsimHost, MatchesReferenceWithMoreMembersThanProcessors)
{
    run_and_compare(1024, 16, 2);
}

// n = 256 in one share: one tile, and every acceleration sums all 256 bodies,
// each body's own term (distance zero) adding nothing.
TEST(GravsimHost, SingleTileSingleShareSumsEveryBody)
{
    const int n = 256;
    bodies b = disk(n, 99u, eps), ref = b;
    gravsim_tally_reset();
    gravsim_accelerations(b.pos.data(), b.acc.data(), n, 0.0f, eps, 1);
    reference_accelerations(ref.pos.data(), ref.acc.data(), n, eps);
    EXPECT_TRUE(same_bits(b.acc, ref.acc));
    gravsim_tally t;
    gravsim_tally_read(gravsim_site_accelerations, &t);
    EXPECT_EQ(t.host_items[0], n);
    EXPECT_EQ(t.items, n);

    // Two bodies alone, the rest weightless far away: body 0 feels exactly
    // body 1 and itself not at all.
    bodies two(n);
    for (int i = 0; i < n; ++i) {
        two.pos[4 * i + 0] = 100.0f + (float)i;
        two.pos[4 * i + 3] = 0.0f;
    }
    two.pos[0] = 0.0f, two.pos[3] = 1.0f;
    two.pos[4] = 3.0f, two.pos[7] = 2.0f;
    gravsim_accelerations(two.pos.data(), two.acc.data(), n, 0.0f, 0.0001f, 1);
    float r2 = 9.0f + 0.0001f;
    float s = (float)sqrt((double)r2);
    float inv = 1.0f / s;
    float expected = inv * (inv * inv) * 2.0f * 3.0f;
    EXPECT_EQ(two.acc[0], expected);
    EXPECT_EQ(two.acc[1], 0.0f);
    EXPECT_EQ(two.acc[2], 0.0f);
    EXPECT_EQ(two.acc[3], -expected / 2.0f);
}

// A share whose start equals its end touches nothing.  Outside any region the
// range queries give the empty range, as a member beyond the items does.
TEST(GravsimHost, EmptyShareLeavesArraysUntouched)
{
    const int n = 512;
    bodies b = disk(n, 5u, eps);
    for (float &a : b.acc)
        a = -7.0f;
    bodies before = b;
    ASSERT_EQ(qiv_exported_range_start(n), qiv_exported_range_end(n));
    fline144_(b.pos.data(), b.acc.data(), n, 0.0f, eps, 0);
    fline345_(b.acc.data(), b.vel.data(), b.pos.data(), 0.5f, dt, n, 0);
    EXPECT_TRUE(same_bits(b.acc, before.acc));
    EXPECT_TRUE(same_bits(b.pos, before.pos));
    EXPECT_TRUE(same_bits(b.vel, before.vel));

    // In a region of more members than items, the members past the items
    // have empty shares; the result is still the reference.
    bodies small = disk(256, 6u, eps), ref = small;
    gravsim_accelerations(small.pos.data(), small.acc.data(), 256, 0.0f, eps, 300);
    reference_accelerations(ref.pos.data(), ref.acc.data(), 256, eps);
    EXPECT_TRUE(same_bits(small.acc, ref.acc));
}

// Damping 1 and no accelerations: every body moves by vel * dt, velocities
// keep every bit, weights stay.
TEST(GravsimHost, UndampedStepWithoutForcesMovesByVelocityTimesDt)
{
    const int n = 768;
    bodies b = disk(n, 11u, eps);
    std::fill(b.acc.begin(), b.acc.end(), 0.0f);
    bodies before = b;
    gravsim_time_step(b.acc.data(), b.vel.data(), b.pos.data(), 1.0f, dt, n, 0);
    EXPECT_TRUE(same_bits(b.vel, before.vel));
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < 3; ++c)
            ASSERT_EQ(b.pos[4 * i + c], before.pos[4 * i + c] + before.vel[4 * i + c] * dt) << "body " << i;
        ASSERT_EQ(b.pos[4 * i + 3], before.pos[4 * i + 3]);
    }

    // Damping scales the new velocity before it moves the body.
    bodies d = before;
    gravsim_time_step(d.acc.data(), d.vel.data(), d.pos.data(), 0.5f, dt, n, 2);
    EXPECT_EQ(d.vel[0], before.vel[0] * 0.5f);
    EXPECT_EQ(d.pos[0], before.pos[0] + (before.vel[0] * 0.5f) * dt);
    EXPECT_EQ(d.vel[3], before.vel[3]);
}

// Line 420 does nothing, through the host side and called directly, and its
// call is counted like any other.
TEST(GravsimHost, IdleKernelTouchesNothing)
{
    const int n = 512;
    bodies b = disk(n, 13u, eps), before = b;
    gravsim_tally_reset();
    gravsim_idle(b.pos.data(), n, 0);
    gravsim_idle(b.pos.data(), n, 1);
    fline420_(b.pos.data(), n, 0);
    EXPECT_TRUE(same_bits(b.pos, before.pos));
    EXPECT_TRUE(same_bits(b.vel, before.vel));
    gravsim_tally t;
    gravsim_tally_read(gravsim_site_idle, &t);
    EXPECT_EQ(t.calls, 2);
    EXPECT_EQ(t.items, 2 * n);
}

// The three headers close on lines 144, 345 and 420: the translator names the
// kernels after them, in source order, and the host side's sites agree.
TEST(GravsimZeq, KernelNamesFollowTheHeaderLines)
{
    std::string command = std::string(ZEQ_RUN_PREFIX " ") + ZEQ_BIN_DIR "/zeqopencl " GRAVSIM_ZEQ;
    FILE *out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, out)) > 0)
        text.append(buffer, got);
    ASSERT_EQ(pclose(out), 0) << command;
    std::vector<std::string> names;
    for (size_t at = text.find("__kernel void "); at != std::string::npos; at = text.find("__kernel void ", at + 1))
        names.push_back(text.substr(at + 14, text.find('(', at) - at - 14));
    std::vector<std::string> expected = {"fline" + std::to_string(gravsim_site_line(gravsim_site_accelerations)),
                                         "fline" + std::to_string(gravsim_site_line(gravsim_site_time_step)),
                                         "fline" + std::to_string(gravsim_site_line(gravsim_site_idle))};
    EXPECT_EQ(names, (std::vector<std::string>{"fline144", "fline345", "fline420"}));
    EXPECT_EQ(names, expected);
}

} // namespace
