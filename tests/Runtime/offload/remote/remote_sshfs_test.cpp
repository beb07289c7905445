// The client on a network folder: the test process reaches the server
// folder through an sshfs mount of a private sshd, the agents work on the
// local folder behind it.  The client then gets no change notification for
// anything the agents do (their steps reach the mount only when it looks),
// and its files pass through the SFTP server, where a rename cannot refuse
// to replace and "done" is published by link and unlink.
#include "remote_fixture.h"
#include "sshfs_mount_test.h"

#include <set>

namespace {

// The client reaches the server folder through the mount, the agents work
// on the local path.
using remote_over_sshfs = sshfs_mounted<remote_offload>;

TEST_F(remote_over_sshfs, a_client_through_the_mount_gets_every_share_served_once_and_exact)
{
    std::vector<agent_process *> agents = start_agents(2);
    ASSERT_TRUE(serve_from(mounted_root));
    struct shape {
        int members, n;
    } shapes[] = {{1, 1000}, {3, 1000}, {5, 4099}, {2, 7}};
    for (int c = 0; c < 20; ++c) {
        const shape &s = shapes[c % 4];
        SCOPED_TRACE("call " + std::to_string(c));
        fill_run r;
        fill_prepare(&r, s.n, s.members, 1 + c);
        r.call.host_pause_ms = 1;
        run_fill(&r.call);
        ASSERT_EQ(r.call.status, 0);
        ASSERT_EQ(fill_first_wrong(r, 0, s.n), -1);
        ASSERT_TRUE(each_share_once(shares_of(1 + c), s.members, r.call.host_runs))
            << "returned " << r.call.result << " (agents " << agents[0]->pid << ", " << agents[1]->pid << ")";
        if (s.members == 1) {
            EXPECT_EQ(r.call.result, 0);
        }
    }
    for (agent_process *agent : agents)
        EXPECT_TRUE(agent_running(agent)) << agent_log(agent);
}

// The server behind the mount stops answering (its sshd is stopped): the
// call whose share is on the mount waits in the kernel until the mount's
// keep-alive gives up, but a call made meanwhile must not queue behind that
// thread.  It runs on the host and returns first; once the server answers
// again, both calls have every item right.
TEST_F(remote_over_sshfs, a_call_made_while_the_mount_stalls_does_not_wait_for_the_stalled_call)
{
    start_agents(1);
    ASSERT_TRUE(serve_from(mounted_root));
    fill_run warm;
    fill_prepare(&warm, 100, 1, 50);
    run_fill(&warm.call);
    ASSERT_EQ(warm.call.result, 0) << "the agent took the warm-up call";
    ASSERT_GE(sshfs_server_signal_sshd(&server, SIGSTOP), 2) << "sshd and its connection";
    struct resume {
        const sshfs_server *server;
        ~resume() { sshfs_server_signal_sshd(server, SIGCONT); }
    } resume_on_exit = {&server};
    std::atomic<int> order{0}, first_done{0}, second_done{0};
    fill_run first, second;
    fill_prepare(&first, 1000, 1, 51);
    fill_prepare(&second, 1000, 1, 52);
    std::thread stalled([&] {
        run_fill(&first.call);
        first_done = ++order;
    });
    platform_sleep_ms(4000); // past the client's bound for one step
    std::thread later([&] {
        run_fill(&second.call);
        second_done = ++order;
    });
    wait_until([&] { return order.load() > 0; }, 60000, 10);
    EXPECT_EQ(second_done.load(), 1) << "the later call waited for the stalled one";
    sshfs_server_signal_sshd(&server, SIGCONT);
    later.join();
    stalled.join();
    EXPECT_EQ(fill_first_wrong(first, 0, 1000), -1);
    EXPECT_EQ(fill_first_wrong(second, 0, 1000), -1);
}

} // namespace
