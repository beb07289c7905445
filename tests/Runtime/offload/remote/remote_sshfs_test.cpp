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

} // namespace
