// Coload dispatch against the tests' own device kind (fake_device.h): claims,
// geometry, uploads, copy-back, status and module lookup, on both flavours.
// Each test checks results item by item against the host computation, since a
// claim or copy-back fault shows as a missing or doubled item.
#include "coload_calls.h"
#include "fake_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

extern "C" int fake_lib_bump(int *hits, int n);

namespace {

void sample_item(void **params, int i) // pos (4 floats), acc (3 floats), n, f, eps
{
    const float *pos = reinterpret_cast<const float *>(device_word(params, 0));
    float *acc = reinterpret_cast<float *>(device_word(params, 1));
    float eps = *static_cast<const float *>(params[4]);
    for (int c = 0; c < 3; ++c)
        acc[3 * i + c] = pos[4 * i + c] * 2.0f + eps;
}

void no_item(void **, int) {}

const fake_kernel_entry kernels[] = {
    {"fline12", saxpy_item}, {"fline20", hits_item}, {"fline54", sample_item},
    {"fline70", no_item}, {"fline50", hits_item}, {"fline60", hits_item},
};

class ColoadDispatch : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Two devices of 4-item groups and four compute units: 512 items a launch.
        install_fake_devices(2, 4, 4, kernels, sizeof kernels / sizeof kernels[0]);
    }
    void SetUp() override
    {
        fake_device_state &st = fake_state();
        std::lock_guard<std::mutex> hold(st.lock);
        st.launches.clear();
        st.writes.clear();
        st.group_limit = 1024;
        st.launch_result = 0;
        st.delay_ms = 0;
        st.wait_result = 0;
        st.reads_until_failure = 0;
        for (int s = 0; s < QIV_COLOAD_SLOTS; ++s)
            st.queue_waits[s] = st.unread_launches[s] = 0;
    }
    int queue_waits()
    {
        int n = 0;
        for (int s = 0; s < QIV_COLOAD_SLOTS; ++s)
            n += fake_state().queue_waits[s];
        return n;
    }
    void expect_no_unread_launch()
    {
        for (int s = 0; s < QIV_COLOAD_SLOTS; ++s)
            EXPECT_EQ(fake_state().unread_launches[s], 0) << "slot " << s << " finished before its launch completed";
    }
    std::vector<fake_launch> launches()
    {
        std::lock_guard<std::mutex> hold(fake_state().lock);
        return fake_state().launches;
    }
};

void expect_saxpy(const std::vector<float> &y, const std::vector<float> &x, float a, float y0)
{
    for (size_t i = 0; i < y.size(); ++i)
        ASSERT_EQ(y[i], a * x[i] + y0) << "item " << i;
}

TEST_F(ColoadDispatch, RangeAbsentGivesOneItemPerMemberAndTheCallerRunsItsOwn)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 12);
    for (int round = 0; round < 50; ++round) {
        std::vector<float> x(8), y(8, 1.0f);
        std::iota(x.begin(), x.end(), 0.0f);
        saxpy_call call = {&site, y.data(), x.data(), 2.0f, 0, 8, 0, -1};
        run_saxpy(&call);
        EXPECT_EQ(call.result, 1) << "the caller's one item is below the group size";
        expect_saxpy(y, x, 2.0f, 1.0f);
    }
    for (const fake_launch &l : launches())
        EXPECT_NE(l.first, 0) << "item 0 is the caller's and stays on the host";
}

TEST_F(ColoadDispatch, OneMemberRegionRunsTheWholeRangeOnDevicesInPiecesOfAtMostCap)
{
    static char source[] = "src.old/coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 12);
    std::vector<float> x(1000), y(1000, 0.5f);
    std::iota(x.begin(), x.end(), 0.0f);
    saxpy_call call = {&site, y.data(), x.data(), 3.0f, 1000, 1, 0, -1};
    run_saxpy(&call);
    EXPECT_EQ(call.result, 0);
    expect_saxpy(y, x, 3.0f, 0.5f);
    EXPECT_STREQ(site.source, "coload_fake") << "trimmed to the part after the last separator, cut at its first dot";
    intptr_t total = 0;
    for (const fake_launch &l : launches()) {
        EXPECT_LE(l.groups * l.group_size, 512);
        EXPECT_EQ(l.arg_count, 4) << "three rows and the first item index";
        total += l.groups * l.group_size;
    }
    EXPECT_EQ(total, 1000);
    // The input went up whole, once per participating slot.
    std::vector<int> per_slot(3);
    for (auto &w : fake_state().writes) {
        EXPECT_EQ(w.second, 4000u);
        ++per_slot[w.first];
    }
    for (int s = 1; s < 3; ++s)
        EXPECT_TRUE(per_slot[s] == 0 || per_slot[s] == 2) << "slot " << s << ": y and x once each";
}

TEST_F(ColoadDispatch, RangeBelowMemberCountOffersOnlyTheCallersShare)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 12);
    std::vector<float> x = {1, 2, 3}, y(3, 0.0f);
    saxpy_call call = {&site, y.data(), x.data(), 1.0f, 3, 4, 0, -1};
    run_saxpy(&call);
    EXPECT_EQ(call.result, 1) << "three items are below the group of four";
    EXPECT_TRUE(launches().empty());
    expect_saxpy(y, x, 1.0f, 0.0f);

    std::fill(y.begin(), y.end(), 0.0f);
    saxpy_call grouped = {&site, y.data(), x.data(), 1.0f, 3, 4, 1, -1};
    run_saxpy(&grouped);
    EXPECT_EQ(grouped.result, 0);
    expect_saxpy(y, x, 1.0f, 0.0f);
    auto l = launches();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].first, 0);
    EXPECT_EQ(l[0].groups * l[0].group_size, 3);
}

QIV_REGION_OPENER int run_one_element(qiv_coload_site *site, int *value, int *status)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(3));
    int host = qiv_exported_coload(self, site, QIV_ARG_IN_ONE("int*", value, sizeof(int)), QIV_ARG_STATUS(status),
                                   QIV_ARG_GROUP_SIZE(1), QIV_ARG_RANGE(4), QIV_ARG_END);
    qiv_region_end_joined(self);
    return host;
}

TEST_F(ColoadDispatch, ArrayDescriptorWithMinusOneTransfersOneElement)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 70);
    int value = 7, status = 99;
    EXPECT_EQ(run_one_element(&site, &value, &status), 0);
    EXPECT_EQ(status, 0) << "a launch recorded the Status address";
    ASSERT_FALSE(fake_state().writes.empty());
    for (auto &w : fake_state().writes)
        EXPECT_EQ(w.second, sizeof(int));
    for (const fake_launch &l : launches())
        EXPECT_EQ(l.arg_count, 2) << "one row and the first item index";
}

// A launch is asynchronous: a request whose last launch no read followed
// waits for the device queue before it finishes, and the wait's result
// reaches the status like a launch's; with a read last, no wait is added.
TEST_F(ColoadDispatch, RequestEndingOnALaunchWaitsForTheDeviceBeforeTheCallReturns)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 70);
    int value = 7, status = 99;
    ASSERT_EQ(run_one_element(&site, &value, &status), 0);
    ASSERT_FALSE(launches().empty());
    expect_no_unread_launch();
    EXPECT_GE(queue_waits(), 1);
    EXPECT_EQ(status, 0);

    fake_state().wait_result = -36;
    status = 99;
    ASSERT_EQ(run_one_element(&site, &value, &status), 0);
    expect_no_unread_launch();
    EXPECT_EQ(status & -36, -36) << "a failed wait is reported";

    static qiv_coload_site hits_site = QIV_COLOAD_SITE_INIT(source, 20);
    int waits_before = queue_waits();
    std::vector<int> hits(1024, 0);
    hits_call call = {&hits_site, hits.data(), 1024, 1, 4, -1};
    run_hits(&call);
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(hits[i], 1) << "item " << i;
    expect_no_unread_launch();
    EXPECT_EQ(queue_waits(), waits_before) << "a read after the last launch already waited";
}

TEST_F(ColoadDispatch, SlotStatisticsCountTheItemsEachSlotLaunched)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 12);
    int slots = qiv_exported_slot_count();
    ASSERT_EQ(slots, 3);
    EXPECT_STREQ(qiv_exported_slot_kind(0), "remote");
    EXPECT_STREQ(qiv_exported_slot_kind(1), "device");
    EXPECT_EQ(qiv_exported_slot_kind(3), nullptr);
    EXPECT_EQ(qiv_exported_slot_items(-1), -1);
    EXPECT_EQ(qiv_exported_slot_items(3), -1);
    long long before = qiv_exported_slot_items(1) + qiv_exported_slot_items(2);
    std::vector<float> x(1000, 1.0f), y(1000, 0.0f);
    saxpy_call call = {&site, y.data(), x.data(), 1.0f, 1000, 1, 0, -1};
    run_saxpy(&call);
    ASSERT_EQ(call.result, 0) << "a one-member region leaves everything to the devices";
    EXPECT_EQ(qiv_exported_slot_items(1) + qiv_exported_slot_items(2) - before, 1000);
    EXPECT_EQ(qiv_exported_slot_items(0), 0) << "the remote slot took nothing";
}

TEST_F(ColoadDispatch, SlotsAtOrAboveTheSiteCapacityNeverRunIt)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 12);
    site.capacity = 1;
    std::vector<float> x(500, 1.0f), y(500, 1.0f);
    saxpy_call call = {&site, y.data(), x.data(), 2.0f, 500, 1, 0, -1};
    run_saxpy(&call);
    EXPECT_EQ(call.result, 1);
    EXPECT_TRUE(launches().empty());
    expect_saxpy(y, x, 2.0f, 1.0f);
}

TEST_F(ColoadDispatch, SampleDescriptorListGivesFiveRowsGroup256AndShared4096)
{
    static char source[] = "/abs/path/coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 54);
    sample_run r;
    run_checked_sample(&r, &site, 1024, 0.25f);
    EXPECT_EQ(r.call.result, 0);
    EXPECT_EQ(r.call.status, 0);
    auto l = launches();
    ASSERT_FALSE(l.empty());
    for (const fake_launch &one : l) {
        EXPECT_EQ(one.arg_count, 6) << "five rows and the first item index";
        EXPECT_EQ(one.group_size, 256);
        EXPECT_EQ(one.shared, 4096);
    }
}

TEST_F(ColoadDispatch, KernelLimitBelowTheGroupWithSharedMemorySetsStatusButStillLaunches)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 54);
    fake_state().group_limit = 128;
    const int n = 512;
    std::vector<float> pos(4 * n, 1.0f), acc(3 * n, 0.0f);
    sample_call c = {&site, pos.data(), acc.data(), n, 0.0f, 0.5f, 0, -1};
    run_sample(&c);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.status, -1);
    for (int i = 0; i < 3 * n; ++i)
        ASSERT_EQ(acc[i], 2.5f) << i;
    for (const fake_launch &one : launches())
        EXPECT_EQ(one.group_size, 128);
}

TEST_F(ColoadDispatch, PieceShorterThanAGroupRunsAsRemainderOfSingleItems)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 12);
    // 515 items with groups of 4 and pieces of at most 512: a piece of 512 and
    // a piece of 3 that holds no whole group (or, when the slots split the
    // work differently, other pieces with remainders).
    std::vector<float> x(515), y(515, 2.0f);
    std::iota(x.begin(), x.end(), 0.0f);
    saxpy_call call = {&site, y.data(), x.data(), 1.5f, 515, 1, 0, -1};
    run_saxpy(&call);
    EXPECT_EQ(call.result, 0);
    expect_saxpy(y, x, 1.5f, 2.0f);
    bool remainder = false;
    for (const fake_launch &l : launches()) {
        EXPECT_GT(l.groups, 0) << "no launch of zero groups";
        if (l.group_size == 1) {
            remainder = true;
            EXPECT_EQ(l.groups, 3);
        }
    }
    EXPECT_TRUE(remainder);
}

TEST_F(ColoadDispatch, MemberSharesAndPoolTogetherComputeEveryItemExactlyOnce)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
    const int n = 4096 + 7;
    std::vector<int> hits(n);
    for (int round = 0; round < 200; ++round) {
        std::fill(hits.begin(), hits.end(), 0);
        hits_call call = {&site, hits.data(), n, 6, 1, -1};
        run_hits(&call);
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(hits[i], 1) << "round " << round << " item " << i;
    }
    EXPECT_FALSE(launches().empty()) << "devices took part over 200 calls";
}

// Balanced calls on two fast devices and the pool: the devices take runs
// of whole members from the top, never the caller's, and every item is
// computed once under real threads.
TEST_F(ColoadDispatch, BalancedCallsGiveDevicesRunsOfWholeMembersAndEveryItemOnce)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
    const int n = 32 * 64 + 7, members = 32, per = n / members, owner_share = per + n % members;
    std::vector<int> hits(n);
    // Any one call may be a control call on the pool alone, so the count of
    // workers is asked after every call and must have reached two somewhere.
    int most_workers = 0;
    for (int round = 0; round < 100; ++round) {
        std::fill(hits.begin(), hits.end(), 0);
        hits_call call = {&site, hits.data(), n, members, 1, -1, 1, 200};
        run_hits(&call);
        ASSERT_EQ(call.result, 1) << "the caller's member stays with the host";
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(hits[i], 1) << "round " << round << " item " << i;
        int workers = 0;
        ASSERT_EQ(qiv_exported_call_balance(&site, nullptr, nullptr, &workers), 0);
        most_workers = std::max(most_workers, workers);
    }
    ASSERT_FALSE(launches().empty()) << "devices took part over 100 calls";
    for (const fake_launch &l : launches()) {
        EXPECT_GE(l.first, owner_share);
        EXPECT_EQ((l.first - owner_share) % per, 0) << "a launch starts at a member";
        EXPECT_EQ(l.groups * l.group_size % per, 0) << "a launch covers whole members";
    }
    EXPECT_GE(most_workers, 2);
}

// One call of the hits kernel over 32 members of 64 and 7 more, balanced or
// not, after which every item must have been added to exactly once.
static void expect_each_item_once(qiv_coload_site *site, int members, bool balanced, int round)
{
    const int n = 32 * 64 + 7;
    std::vector<int> hits(n);
    hits_call call = {site, hits.data(), n, members, 1, -1};
    if (balanced) {
        call.balanced = 1;
        call.host_pause_us = 200;
    }
    run_hits(&call);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(hits[i], 1) << members << " members, round " << round << " item " << i;
}

// Devices whose launches fail give the members they claimed back: the
// caller computes them before the call returns, each item once, though the
// kernel adds to its InOut array.
TEST_F(ColoadDispatch, MembersOfAFailedLaunchAreComputedOnTheHostOnce)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
    fake_state().launch_result = -5;
    for (int round = 0; round < 50; ++round)
        ASSERT_NO_FATAL_FAILURE(expect_each_item_once(&site, 32, true, round));
    EXPECT_FALSE(launches().empty()) << "the devices tried";
}

// A read back that fails half way leaves the piece's InOut items as they
// were: its members, or its part of the caller's own share, are computed on
// the host, and every item is added to once.
TEST_F(ColoadDispatch, APieceWhoseReadFailsHalfWayIsComputedOnTheHostOnce)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
    for (int members : {32, 1})
        for (int round = 0; round < 20; ++round) {
            fake_state().reads_until_failure = 2;
            ASSERT_NO_FATAL_FAILURE(expect_each_item_once(&site, members, false, round));
        }
}

// A site whose status word is nonzero runs on the host although devices
// would take it: the same call with the word cleared goes to them.
TEST_F(ColoadDispatch, NonzeroSiteStatusRunsOnTheHost)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
    std::vector<int> hits(1000);
    for (int status : {1, 0}) {
        site.status = status;
        std::fill(hits.begin(), hits.end(), 0);
        hits_call call = {&site, hits.data(), (int)hits.size(), 1, 1, -1};
        run_hits(&call);
        EXPECT_EQ(call.result, status) << "site status " << status;
        EXPECT_EQ(launches().empty(), status != 0) << "site status " << status;
        for (int v : hits)
            ASSERT_EQ(v, 1) << "site status " << status;
    }
}

TEST_F(ColoadDispatch, LaunchFailureReachesTheStatusInt)
{
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 54);
    fake_state().launch_result = -5;
    const int n = 256;
    std::vector<float> pos(4 * n), acc(3 * n);
    sample_call c = {&site, pos.data(), acc.data(), n, 0.0f, 0.5f, 0, -1};
    run_sample(&c);
    EXPECT_EQ(c.status & -5, -5);
}

TEST_F(ColoadDispatch, ModuleFilesDifferingOnlyInCaseGiveOneRow)
{
    static char source[] = "app.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 50);
    std::vector<int> hits(64);
    hits_call call = {&site, hits.data(), 64, 1, 1, -1};
    run_hits(&call);
    EXPECT_EQ(call.result, 0);
    int app_rows[3] = {};
    for (auto &p : fake_state().loaded_paths) {
        std::string base = p.second.substr(p.second.rfind('/') + 1);
        app_rows[p.first] += base == "app.fake" || base == "APP.fake";
    }
    EXPECT_EQ(app_rows[1], 1);
    EXPECT_EQ(app_rows[2], 1);
}

TEST_F(ColoadDispatch, ModuleThatFailedToBuildRunsOnTheHostAndIsNeverRebuilt)
{
    static char source[] = "broken.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
    std::vector<int> hits(64);
    for (int round = 0; round < 3; ++round) {
        hits_call call = {&site, hits.data(), 64, 1, 1, -1};
        run_hits(&call);
        EXPECT_EQ(call.result, 1);
    }
    for (int v : hits)
        ASSERT_EQ(v, 3);
    EXPECT_EQ(site.kernel[1], -1);
    int builds[3] = {};
    for (auto &p : fake_state().loaded_paths)
        builds[p.first] += p.second.substr(p.second.rfind('/') + 1) == "broken.fake";
    EXPECT_EQ(builds[1], 1);
    EXPECT_EQ(builds[2], 1);
}

TEST_F(ColoadDispatch, LibraryKernelFileIsFoundBesideTheLibraryOnTheFirstMiss)
{
    auto lib_loads = [] {
        std::lock_guard<std::mutex> hold(fake_state().lock);
        int n = 0;
        for (auto &p : fake_state().loaded_paths)
            n += p.second.find("fakelib/libsite.fake") != std::string::npos;
        return n;
    };
    // Warm the devices up with a site of the program: they load what lies
    // beside the program, which does not include the library's file.
    static char source[] = "coload_fake.zeq";
    static qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
    std::vector<int> warm(8);
    hits_call call = {&site, warm.data(), 8, 1, 1, -1};
    run_hits(&call);
    EXPECT_EQ(lib_loads(), 0);

    std::vector<int> hits(300);
    EXPECT_EQ(fake_lib_bump(hits.data(), 300), 0);
    int loads = lib_loads();
    EXPECT_GE(loads, 1);
    EXPECT_LE(loads, 2) << "at most once per slot";
    EXPECT_EQ(fake_lib_bump(hits.data(), 300), 0);
    EXPECT_EQ(lib_loads(), loads) << "no second search once the site's kernel is cached";
    for (int v : hits)
        ASSERT_EQ(v, 2);
}

} // namespace
