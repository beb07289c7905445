// Agents run by Slurm: an array job of the shipped batch script on a private
// cluster (controller and node daemon on 127.0.0.1, started here), the test
// process as their client.  Agents of two arrays on one folder register
// without collisions and all take shares; scancel drains an agent that holds
// a share, which still comes back exact; an agent Slurm kills outright reads
// as dead within the liveness bound; and when everything is cancelled and
// the daemons shut down, nothing of the cluster is left.
#include "remote_fixture.h"
#include "slurm_cluster.h"

#include <stdio.h>

#include <functional>
#include <set>
#include <thread>

namespace {

// The host computes every member whose items are not done: those of a
// failed share, as a program does when the call's Status is not 0.
void recompute_failed_members(fill_run *r)
{
    for (int p = 0; p < r->call.members; ++p) {
        int first, end;
        member_slice(p, r->call.members, r->call.n, &first, &end);
        if (fill_first_wrong(*r, first, end) == -1)
            continue;
        std::fill(r->hits.begin() + first, r->hits.begin() + end, 0);
        host_fill(&r->call, p, r->call.members);
    }
}

class remote_on_slurm : public remote_offload {
protected:
    void SetUp() override
    {
        remote_offload::SetUp();
        if (HasFatalFailure())
            return;
        // Room for the agents of two arrays and a job that fails, each on one
        // processor, whatever the machine has.
        int started = slurm_cluster_start(&cluster, 8);
        if (started == slurm_cluster_unavailable)
            GTEST_SKIP() << cluster.message;
        ASSERT_EQ(started, slurm_cluster_started) << cluster.message;
    }

    // The cluster goes first: its jobs work in the fixture's folder.
    void TearDown() override
    {
        EXPECT_EQ(slurm_cluster_stop(&cluster), 0) << cluster.message;
        remote_offload::TearDown();
    }

    // An array of agents on server, each logging its shares for the test.
    long submit_agents(const std::string &array, const std::string &server)
    {
        return slurm_submit(&cluster,
                            {"--array=" + array, "--chdir=" + scratch, "--output=" + scratch + "/agent-%A_%a.log",
                             ZEQ_TEST_SBATCH, server},
                            {"ZEQWORKER=" + agent_program(), "ZEQ_REMOTE_TEST_LOG=" + share_log});
    }

    // The agent as one program: where the build runs its programs through an
    // emulator, a script that execs the emulator in its place.
    std::string agent_program()
    {
        if (std::string(ZEQ_RUN_PREFIX).empty())
            return ZEQ_TEST_ZEQWORKER;
        std::string wrapper = scratch + "/zeqworker";
        write_file(wrapper, to_bytes("#!/bin/sh\nexec " ZEQ_RUN_PREFIX " " ZEQ_TEST_ZEQWORKER " \"$@\"\n"));
        chmod(wrapper.c_str(), 0755);
        return wrapper;
    }

    static std::vector<uint8_t> to_bytes(const std::string &text) { return {text.begin(), text.end()}; }

    // Folders of root that read as dead, each claimed for the question and
    // released after it.
    int dead_folders(int agents)
    {
        int dead = 0;
        for (int n = 0; n < agents; ++n) {
            std::string busy = folder(n) + SERVER_NAME_BUSY;
            if (!wait_until([&] { return claim_agent(folder(n)); }, harness_wait_ms))
                return -1;
            dead += agent_is_alive(folder(n).c_str()) == agent_dead;
            unlink(busy.c_str());
        }
        return dead;
    }

    // Calls until `wanted` agents took part, or `calls` calls, each exact
    // (failed shares computed again); the pids of the agents that took
    // shares are added to took_part.
    void run_calls(int tag, int calls, std::set<int> *took_part, size_t wanted)
    {
        for (int c = 0; c < calls && took_part->size() < wanted; ++c) {
            SCOPED_TRACE("call " + std::to_string(tag + c));
            fill_run r;
            fill_prepare(&r, 4099, 8, tag + c);
            r.call.host_pause_ms = 20; // the pool's threads leave members to the agents
            run_fill(&r.call);
            if (r.call.status != 0)
                recompute_failed_members(&r);
            ASSERT_EQ(fill_first_wrong(r, 0, r.call.n), -1);
            for (const share_record &s : shares_of(tag + c))
                took_part->insert(s.pid);
        }
    }

    // A call from a region of the test's own whose members but the last go
    // one to each live agent (`holding` of them), each share held behind the
    // gate until every agent holds one; then while_held runs, and the gate opens.  The last
    // member stays unclaimed, and the host computes it afterwards, with any
    // member of a failed share.  Returns whether the call's Status was 0.
    bool held_call(fill_run *r, int tag, int holding, const std::function<void()> &while_held)
    {
        fill_prepare(r, 4000, holding + 1, tag);
        r->call.pause_ms = -20000;
        std::thread opener([&] {
            bool all_hold = wait_until([&] {
                int held = 0;
                for (int n = 0; n < 3; ++n)
                    held += file_exists(folder(n) + SERVER_NAME_DO);
                return held == holding;
            }, harness_wait_ms);
            EXPECT_TRUE(all_hold) << "every agent holds a share";
            platform_sleep_ms(200); // each has taken its request by now
            while_held();
            write_file(share_log + ".go", {});
        });
        qiv_parallel_region region;
        offer_from_own_region(&r->call, &region, holding + 1);
        opener.join();
        unlink((share_log + ".go").c_str());
        recompute_failed_members(r);
        return r->call.status == 0;
    }

    std::string logs() const { return tree_snapshot(scratch) + "\n" + cluster.message; }

    slurm_cluster cluster = {};
};

uint64_t since(uint64_t start) { return platform_monotonic_ms() - start; }

TEST_F(remote_on_slurm, an_array_of_agents_serves_drains_on_scancel_and_leaves_nothing)
{
    // Two arrays on one folder, and an agent whose folder is not there.
    uint64_t submitted = platform_monotonic_ms();
    long first = submit_agents("0-1", root), second = submit_agents("0", root);
    long lost = submit_agents("0", scratch + "/no-such-folder");
    ASSERT_GT(first, 0) << cluster.message;
    ASSERT_GT(second, 0) << cluster.message;
    ASSERT_GT(lost, 0) << cluster.message;
    ASSERT_TRUE(wait_until([&] { return registered_agents(root).size() >= 3; }, 30000, 10)) << logs();
    uint64_t registered_ms = since(submitted);
    EXPECT_EQ(registered_agents(root), (std::vector<int>{0, 1, 2})) << "one number each";
    ASSERT_TRUE(wait_until([&] { return slurm_job_field(&cluster, lost, "JobState") == "FAILED"; }, 30000, 100))
        << slurm_job_field(&cluster, lost, "JobState");
    EXPECT_EQ(slurm_job_field(&cluster, lost, "ExitCode"), "243:0") << "the agent's \"Wrong server name\" status";

    // Every agent takes shares, and every item is right.
    ASSERT_TRUE(serve_from());
    std::set<int> agent_pids;
    run_calls(100, 20, &agent_pids, 99);
    fill_run all_three;
    EXPECT_TRUE(held_call(&all_three, 400, 3, [] {}));
    ASSERT_EQ(fill_first_wrong(all_three, 0, all_three.call.n), -1);
    for (const share_record &s : shares_of(400))
        agent_pids.insert(s.pid);
    ASSERT_EQ(agent_pids.size(), 3u) << "every agent took shares; " << logs();

    // One agent is cancelled while each holds a share: it finishes its
    // share, and the call comes back exact.
    std::vector<pid_t> victim = slurm_job_processes(&cluster, second);
    ASSERT_EQ(victim.size(), 1u) << "the batch step is the agent itself";
    uint64_t cancelled = 0, gone_ms = 0;
    fill_run held;
    bool drained = held_call(&held, 500, 3, [&] {
        cancelled = platform_monotonic_ms();
        slurm_command(&cluster, {"scancel", std::to_string(second)});
        platform_sleep_ms(500); // the stop arrives while the share is held
    });
    ASSERT_EQ(fill_first_wrong(held, 0, held.call.n), -1);
    EXPECT_TRUE(wait_until([&] { return slurm_job_processes(&cluster, second).empty(); }, 30000, 10));
    gone_ms = since(cancelled);
    ASSERT_TRUE(slurm_job_processes(&cluster, second).empty()) << "the drained agent ended";
    EXPECT_EQ(dead_folders(3), 1) << "the drained agent's folder reads as dead at once";

    // Nothing more goes there.
    std::set<int> later;
    run_calls(600, 20, &later, 99);
    EXPECT_EQ(later.count(victim[0]), 0u) << "a share went to the drained agent";

    // An agent whose share outlasts the cluster's kill wait: Slurm's SIGKILL
    // ends it, its folder reads as dead within the liveness bound, and the
    // host computes the share again.
    uint64_t killed = 0;
    fill_run cut;
    std::string killed_task = std::to_string(first) + "_1";
    bool cut_exact = held_call(&cut, 700, 2, [&] {
        ASSERT_EQ(slurm_command(&cluster, {"scancel", killed_task}), 0);
        EXPECT_TRUE(wait_until([&] { return slurm_queue(&cluster).size() == 1; }, 30000, 10)) << "killed after the wait";
        killed = platform_monotonic_ms();
    });
    uint64_t dead_ms = since(killed);
    EXPECT_FALSE(cut_exact) << "the killed agent's share failed";
    ASSERT_EQ(fill_first_wrong(cut, 0, cut.call.n), -1) << "and was computed again";
    EXPECT_LE(dead_ms, (uint64_t)server_alive_bound_ms + 3000);
    EXPECT_EQ(dead_folders(3), 2);
    // The rest are cancelled; the fixture then checks that nothing is left.
    uint64_t cancel_all = platform_monotonic_ms();
    ASSERT_EQ(slurm_command(&cluster, {"scancel", "--partition=zeq"}), 0);
    EXPECT_TRUE(wait_until([&] { return slurm_queue(&cluster).empty() && slurm_job_processes(&cluster, first).empty(); },
                           30000, 10));
    uint64_t all_gone_ms = since(cancel_all);
    printf("sbatch to 3 agents registered: %llu ms\n"
           "scancel of a draining agent to its end: %llu ms (its held share %s)\n"
           "SIGKILL at the kill wait to its share failed: %llu ms\n"
           "scancel of the rest to all gone: %llu ms\n",
           (unsigned long long)registered_ms, (unsigned long long)gone_ms,
           drained ? "came back done" : "failed and was computed again", (unsigned long long)dead_ms,
           (unsigned long long)all_gone_ms);
}

} // namespace
