// The dispatcher's own decisions, against agents the tests play: which
// descriptor lists never travel, what happens to a share that no agent can
// be given (args.bin cannot be written), and a call whose agent 0 goes away
// after a first share was posted: the rest goes to the host and the pool,
// and the call still waits for the posted share.
#include "remote_fixture.h"

#include <sys/stat.h>

namespace {

// A one-member region offering the fill module's site with a list the
// client cannot send; returns what the call returned.
enum cut_list { with_range, with_shared_bytes, with_group_size, too_many_words, null_array };

QIV_REGION_OPENER int offer_unsendable(cut_list which, int32_t *x)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    int32_t n = 4;
#define V QIV_ARG_VALUE("int", &n, 4)
    int result = 1;
    switch (which) {
    case with_range:
        result = qiv_exported_coload(self, &fill_site, QIV_ARG_INOUT("int*", x, 4, 16), QIV_ARG_RANGE(4), QIV_ARG_END);
        break;
    case with_shared_bytes:
        result = qiv_exported_coload(self, &fill_site, QIV_ARG_INOUT("int*", x, 4, 16), QIV_ARG_SHARED_BYTES(64),
                                     QIV_ARG_END);
        break;
    case with_group_size:
        result = qiv_exported_coload(self, &fill_site, QIV_ARG_INOUT("int*", x, 4, 16), QIV_ARG_GROUP_SIZE(4),
                                     QIV_ARG_END);
        break;
    case too_many_words: // 33 values: 132 words
        result = qiv_exported_coload(self, &fill_site, V, V, V, V, V, V, V, V, V, V, V, V, V, V, V, V, V, V, V, V, V,
                                     V, V, V, V, V, V, V, V, V, V, V, V, QIV_ARG_END);
        break;
    case null_array:
        result = qiv_exported_coload(self, &fill_site, QIV_ARG_INOUT("int*", nullptr, 4, 16), V, QIV_ARG_END);
        break;
    }
#undef V
    qiv_region_end_joined(self);
    return result;
}

TEST_F(remote_offload, lists_that_cannot_travel_are_declined_and_what_can_is_served)
{
    played_agent *agent = play_agent(0, [](std::vector<uint8_t> *) { return true; });
    ASSERT_TRUE(serve_from());
    int32_t x[4] = {1, 2, 3, 4};
    for (cut_list which : {with_range, with_shared_bytes, with_group_size, too_many_words, null_array}) {
        SCOPED_TRACE((int)which);
        EXPECT_EQ(offer_unsendable(which, x), 1) << "declined: the host computes";
        EXPECT_TRUE(agent->requests.empty());
        EXPECT_TRUE(client_files(folder(0)).empty()) << ::testing::PrintToString(client_files(folder(0)));
    }
    // 32 values (128 words) still travel.
    fill_run r;
    fill_prepare(&r, 10, 1, 1);
    run_fill(&r.call);
    EXPECT_EQ(r.call.result, 0);
    EXPECT_EQ(agent->requests.size(), 1u);
}

// Agent folders whose args.bin cannot be written (a folder with a file in
// it has the name): their agents are released unposted, and the share goes
// to the next agent.
void block_request_file(const std::string &agent_folder)
{
    ASSERT_EQ(mkdir((agent_folder + SERVER_NAME_ARGS).c_str(), 0755), 0);
    ASSERT_TRUE(write_file(agent_folder + SERVER_NAME_ARGS + "/keep", {1}));
}

TEST_F(remote_offload, an_agent_whose_request_cannot_be_written_passes_the_share_on)
{
    played_agent *blocked = play_agent(0, [](std::vector<uint8_t> *) { return true; });
    block_request_file(folder(0));
    std::vector<agent_process *> agents = start_agents(1, 1);
    ASSERT_TRUE(serve_from());
    fill_run r;
    fill_prepare(&r, 300, 1, 1);
    run_fill(&r.call);
    EXPECT_EQ(r.call.result, 0);
    EXPECT_EQ(r.call.status, 0);
    EXPECT_EQ(fill_first_wrong(r, 0, 300), -1);
    ASSERT_EQ(shares_of(1).size(), 1u);
    EXPECT_EQ(shares_of(1)[0].pid, agents[0]->pid);
    EXPECT_TRUE(blocked->requests.empty());
    EXPECT_FALSE(file_exists(folder(0) + SERVER_NAME_BUSY)) << "released at once";
    EXPECT_FALSE(file_exists(folder(0) + SERVER_NAME_DO)) << "never posted";
}


// Every member of r ran once on the host but one member m >= 1, which an
// agent took; host members' results are exact.  Returns m.
int expect_one_member_off_host(const fill_run &r)
{
    int lost = -1, count = r.call.members;
    for (int p = 0; p < count; ++p) {
        if (r.call.host_runs[p] == 1) {
            int first, end;
            member_slice(p, count, r.call.n, &first, &end);
            EXPECT_EQ(fill_first_wrong(r, first, end), -1) << "member " << p;
        } else {
            EXPECT_EQ(r.call.host_runs[p], 0) << "member " << p;
            EXPECT_EQ(lost, -1) << "members " << lost << " and " << p;
            lost = p;
        }
    }
    EXPECT_GE(lost, 1);
    return lost;
}

TEST_F(remote_offload, three_agents_in_a_row_that_cannot_be_written_give_the_share_up)
{
    for (int n = 0; n < 3; ++n) {
        play_agent(n, [](std::vector<uint8_t> *) { return true; });
        block_request_file(folder(n));
    }
    std::vector<agent_process *> agents = start_agents(1, 3);
    ASSERT_TRUE(serve_from());

    // The caller's own share: computed on the host, nothing failed.
    fill_run own;
    fill_prepare(&own, 300, 1, 1);
    run_fill(&own.call);
    EXPECT_EQ(own.call.result, 1);
    EXPECT_EQ(own.call.host_runs[0], 1);
    EXPECT_EQ(own.call.status, 77) << "no share failed";
    EXPECT_EQ(fill_first_wrong(own, 0, 300), -1);

    // A member's share, taken from the pool: the call says it failed, the
    // dispatcher stops, and the host computes that member too, once, as it
    // does the rest.  Host members that pause keep the pool from taking
    // every member first.
    fill_run r;
    fill_prepare(&r, 1600, 16, 2);
    r.call.host_pause_ms = 50;
    run_fill(&r.call);
    EXPECT_EQ(r.call.status, -1);
    for (int p = 0; p < 16; ++p)
        EXPECT_EQ(r.call.host_runs[p], 1) << "member " << p;
    EXPECT_EQ(fill_first_wrong(r, 0, 1600), -1);
    EXPECT_TRUE(shares().empty()) << "agent 3 comes after three failures in a row";
    for (int n = 0; n < 3; ++n)
        EXPECT_FALSE(file_exists(folder(n) + SERVER_NAME_BUSY)) << n;
}

// Agent 0 answers the first share late and removes its "tsc" first: the
// dispatcher finds no agent 0 for the next share.  The call must still wait
// for the posted share, and the remaining shares run on the host and pool.
TEST_F(remote_offload, agent_0_gone_after_a_first_share_leaves_the_rest_to_the_host_and_waits_for_it)
{
    std::atomic<int> answered{0};
    std::string tsc = folder(0) + SERVER_NAME_TSC;
    play_agent(0, [&](std::vector<uint8_t> *) {
        unlink(tsc.c_str());
        platform_sleep_ms(300);
        answered.store(1);
        return true;
    });
    ASSERT_TRUE(serve_from());
    fill_run r;
    fill_prepare(&r, 1600, 16, 1);
    r.call.host_pause_ms = 50;
    run_fill(&r.call);
    EXPECT_EQ(answered.load(), 1) << "the call returned before its posted share was collected";
    EXPECT_EQ(r.call.status, 0);
    EXPECT_EQ(r.call.result, 1) << "the caller's share runs on the host";
    expect_one_member_off_host(r); // the played agent computes nothing
    EXPECT_FALSE(file_exists(folder(0) + SERVER_NAME_BUSY));
}

} // namespace
