// Shares spread over agents and the host under the conditions that break a
// client: splits whose element counts do not divide evenly, a share that
// finishes while the dispatcher still posts the next one, an agent killed in
// the middle of a request, and two client processes on the same agents.
// What counts is that every item is right and every share computed once:
// the agents log each share they compute, the host counts each it runs.
#include "remote_fixture.h"

#include <signal.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#ifndef ZEQ_TEST_CLIENT_PROGRAM
#error "ZEQ_TEST_CLIENT_PROGRAM names the client program"
#endif

namespace {

TEST_F(remote_offload, uneven_splits_between_host_and_two_agents_are_exact_and_computed_once)
{
    std::vector<agent_process *> agents = start_agents(2);
    ASSERT_TRUE(serve_from());
    // Members and element counts: none divides evenly; 16 members over 7
    // items leaves most members empty.  The host's members take a
    // millisecond each, so that the dispatcher finds members to claim.
    struct shape {
        int members, n;
    } shapes[] = {{2, 1001}, {3, 1000}, {5, 10007}, {16, 4099}, {16, 7}, {3, 2}, {5, 1}, {2, 3}};
    const int calls = 200;
    for (int c = 0; c < calls; ++c) {
        const shape &s = shapes[c % (sizeof shapes / sizeof shapes[0])];
        SCOPED_TRACE("call " + std::to_string(c) + ": " + std::to_string(s.n) + " items over " +
                     std::to_string(s.members) + " members");
        fill_run r;
        fill_prepare(&r, s.n, s.members, 1000 + c);
        r.call.host_pause_ms = 1;
        run_fill(&r.call);
        ASSERT_EQ(r.call.status, 0);
        ASSERT_EQ(fill_first_wrong(r, 0, s.n), -1);
        EXPECT_TRUE(each_share_once(shares_of(1000 + c), s.members, r.call.host_runs));
        if (HasFailure())
            return;
    }
    std::set<int> pids;
    for (const share_record &s : shares())
        pids.insert(s.pid);
    EXPECT_EQ(pids, (std::set<int>{agents[0]->pid, agents[1]->pid})) << "both agents served shares";
    EXPECT_GE(shares().size(), (size_t)calls) << "every call dispatches at least its last share";
}

// Balanced calls with a Range: the agents take runs of members from the
// top, each sent as one share whose range is the run's, while the pool
// takes members from the bottom.  Every item must be computed once, uneven
// splits included, and some share must have covered several members.
TEST_F(remote_offload, balanced_runs_on_two_agents_and_the_pool_compute_every_item_once)
{
    std::vector<agent_process *> agents = start_agents(2);
    ASSERT_TRUE(serve_from());
    const int sizes[] = {4096, 4099, 4111, 4105}; // every split but the first uneven
    bool runs = false;
    int workers = 0;
    for (int c = 0; c < 24; ++c) {
        int n = sizes[c % 4];
        SCOPED_TRACE("call " + std::to_string(c) + ": " + std::to_string(n) + " items");
        fill_run r;
        fill_prepare(&r, n, 16, 3000 + c);
        r.call.options = fill_balanced;
        r.call.host_pause_ms = 8; // slow enough that a loaded agent still beats a member
        r.call.status = 0;        // untouched when no agent took a share
        run_fill(&r.call);
        ASSERT_EQ(r.call.status, 0);
        ASSERT_EQ(r.call.result, 1) << "the caller's member stays with the host";
        ASSERT_EQ(fill_first_wrong(r, 0, n), -1);
        for (const share_record &s : shares_of(3000 + c)) {
            runs = runs || s.count != 16;
            EXPECT_NE(s.index, 0) << "no agent computes the caller's member";
        }
        long long first_us = -1, last_us = -1;
        int call_workers = 0;
        ASSERT_EQ(qiv_exported_call_balance(&fill_site, &first_us, &last_us, &call_workers), 0);
        EXPECT_LE(first_us, last_us);
        workers = std::max(workers, call_workers);
    }
    EXPECT_TRUE(runs) << "some agent share covered a run of several members";
    EXPECT_GE(workers, 2) << "some call's balance counted the pool and an agent";
    long long items = qiv_exported_agent_items(0) + qiv_exported_agent_items(1);
    EXPECT_GT(items, 0);
}

// A body written for one item per work item computes one item of a share on
// an agent: without the word that says the body covers its range, a call
// with a Range never reaches an agent, balanced or not.
TEST_F(remote_offload, a_range_call_whose_body_is_not_said_to_cover_its_range_stays_off_the_agents)
{
    start_agents(1);
    ASSERT_TRUE(serve_from());
    for (int c = 0; c < 4; ++c) {
        fill_run r;
        fill_prepare(&r, 2048, 8, 4000 + c);
        r.call.options = fill_pix_style;
        r.call.host_pause_ms = 2;
        run_fill(&r.call);
        EXPECT_EQ(fill_first_wrong(r, 0, 2048), -1);
    }
    EXPECT_TRUE(shares().empty());
}

// A region of three members, two unclaimed, so that the dispatcher posts
// member 1 and then the caller's share 0, and leaves member 2.  One agent
// that answers at once: member 1's share is done, collected and
// its agent released while the dispatcher is still looking for an agent for
// share 0, which it then gets only by reusing that agent.  A client that
// finishes the request when the chain first runs empty returns before
// share 0 is computed (and leaves the dispatcher writing to a request
// whose caller has gone).
TEST_F(remote_offload, a_share_done_while_the_next_is_posted_does_not_finish_the_call)
{
    start_agents(1);
    ASSERT_TRUE(serve_from());
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        fill_run r;
        fill_prepare(&r, 301, 3, 50 + round);
        qiv_parallel_region region;
        offer_from_own_region(&r.call, &region, 3);
        EXPECT_EQ(r.call.result, 0);
        EXPECT_EQ(r.call.status, 0);
        std::vector<share_record> served = shares_of(50 + round);
        std::set<int> indices;
        for (const share_record &s : served)
            indices.insert(s.index);
        EXPECT_EQ(served.size(), 2u);
        EXPECT_EQ(indices, (std::set<int>{0, 1}));
        int first, end;
        member_slice(1, 3, 301, &first, &end);
        EXPECT_EQ(fill_first_wrong(r, 0, end), -1);
        if (HasFailure())
            return;
    }
}

// Agent 0 is killed while its module sleeps in the share: the call must end
// with status -1 within the client's bound for a dead agent, the host
// computing the share instead, and the next call must go to agent 1.
TEST_F(remote_offload, an_agent_killed_mid_request_fails_its_share_and_the_next_call_goes_elsewhere)
{
    std::vector<agent_process *> agents = start_agents(2);
    ASSERT_TRUE(serve_from());
    fill_run r;
    fill_prepare(&r, 100, 1, 1);
    r.call.pause_ms = 60000;
    std::atomic<int> returned{0};
    std::thread caller([&] {
        run_fill(&r.call);
        returned.store(1);
    });
    bool posted = wait_until([&] { return file_exists(folder(0) + SERVER_NAME_DO); }, harness_wait_ms, 2);
    EXPECT_TRUE(posted);
    platform_sleep_ms(100);
    agent_kill(agents[0]);
    uint64_t killed = platform_monotonic_ms();
    // Generous against a loaded machine; a client that never gives up hangs here.
    bool ended = wait_until([&] { return returned.load() == 1; }, 30000, 10);
    uint64_t took = platform_monotonic_ms() - killed;
    if (!ended) {
        ADD_FAILURE() << "the call still waits for the killed agent after 30 s";
        // Nothing can end the call now; the test process's end takes it.
        caller.detach();
        return;
    }
    caller.join();
    RecordProperty("lost_after_ms", (int)took);
    EXPECT_LT(took, 15000u) << "the loss took " << took << " ms to see";
    EXPECT_EQ(r.call.result, 1) << "the caller's own share comes back to the host";
    EXPECT_EQ(r.call.status, -1);
    EXPECT_EQ(fill_first_wrong(r, 0, 100), -1) << "and is computed there";

    fill_run next;
    fill_prepare(&next, 100, 1, 2);
    run_fill(&next.call);
    EXPECT_EQ(next.call.result, 0);
    EXPECT_EQ(next.call.status, 0);
    EXPECT_EQ(fill_first_wrong(next, 0, 100), -1);
    std::vector<share_record> served = shares_of(2);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(served[0].pid, agents[1]->pid);
}

// Two processes of the client program make their calls at once on the same
// two agents; each checks its own results, and the agents' log shows every
// share of every call exactly once.
TEST_F(remote_offload, two_client_processes_on_two_agents_get_every_share_served_once)
{
    start_agents(2);
    const int calls = 40, members = 3;
    std::vector<agent_process *> clients;
    for (int k = 1; k <= 2; ++k)
        clients.push_back(start_program({std::to_string(calls), std::to_string(members), std::to_string(k * 100000)},
                                        {"QIV_NETLOAD_SERVER=" + root}, ZEQ_TEST_CLIENT_PROGRAM));
    for (agent_process *client : clients) {
        EXPECT_EQ(agent_wait_exit(client, 60000), 0) << agent_log(client);
        EXPECT_NE(agent_log(client).find("all correct"), std::string::npos) << agent_log(client);
    }
    // Each client prints how many shares of each call its host ran; the
    // agents must have run exactly the rest.
    for (int k = 1; k <= 2; ++k) {
        std::string log = agent_log(clients[(size_t)k - 1]);
        for (int c = 0; c < calls; ++c) {
            int tag = k * 100000 + c;
            std::string line = "call " + std::to_string(tag) + " host";
            size_t at = log.find(line);
            ASSERT_NE(at, std::string::npos) << line;
            int host[members];
            for (int p = 0; p < members; ++p)
                host[p] = log[at + line.size() + 1 + 2 * (size_t)p] - '0';
            EXPECT_TRUE(each_share_once(shares_of(tag), members, host)) << "call " << tag;
        }
    }
}

} // namespace
