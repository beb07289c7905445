// Agents on a network folder: real zeqworker agents reach the server folder
// through an sshfs mount of a private sshd, while the client (the test) works
// on the local path.  The agents then get no change notification for
// anything the client does, so these tests show that they find and serve
// every request by looking, that registration stays exclusive when folders
// and "tsc" are created through the SFTP server, and that liveness, carried
// only by the "tsc" file's modification time, crosses the mount: a live
// agent's beats reach the local side, a killed agent reads as dead soon
// after, and a stopped one at once.
#include <signal.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "server_folder.h"
#include "sshfs_mount_test.h"

namespace {

class sshfs_agents : public sshfs_mounted<agent_fixture> {
protected:
    agent_process *start_remote_agent() { return start_agent(mounted_root); }
};

// The counts and the share of a response to probe_share_request.
void expect_counted(const std::string &agent_folder, const test_request &request, const std::vector<int32_t> &counts)
{
    std::vector<uint8_t> response;
    ASSERT_TRUE(read_file(agent_folder + SERVER_NAME_ARGS, &response));
    std::vector<uint8_t> expected = request_file_bytes(request);
    ASSERT_EQ(response.size(), expected.size());
    size_t data = expected.size() - 4 * (2 + counts.size() + 1);
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + data, response.begin()))
        << "header, name and table come back as sent";
    EXPECT_EQ(ints_at(response, data, 2),
              (std::vector<int32_t>{request.header.share_index, request.header.share_count}));
    std::vector<int32_t> plus_one = counts;
    for (int32_t &count : plus_one)
        ++count;
    EXPECT_EQ(ints_at(response, data + 8, counts.size()), plus_one);
}

// Each round posts a request to both agents and then waits for both, so the
// two serve at once through the one mount, and each finds its next "do" by
// looking right after its last request.
TEST_F(sshfs_agents, two_agents_through_the_mount_serve_every_request)
{
    agent_process *pair[2] = {start_remote_agent(), start_remote_agent()};
    for (int number = 0; number < 2; ++number) {
        ASSERT_TRUE(wait_for_registration(root, number, harness_wait_ms)) << agent_log(pair[0]) << agent_log(pair[1]);
        ASSERT_TRUE(claim_agent(folder(number)));
        ASSERT_TRUE(copy_module(folder(number), "probe_net.so"));
    }
    const int rounds = 25;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        test_request requests[2];
        std::vector<int32_t> counts[2];
        for (int number = 0; number < 2; ++number) {
            int i = 2 * round + number;
            counts[number] = {i, 100 * i, -i};
            requests[number] = probe_share_request(i % 7, 7, counts[number]);
            ASSERT_TRUE(write_file(folder(number) + SERVER_NAME_ARGS, request_file_bytes(requests[number])));
            ASSERT_TRUE(post_request(folder(number)));
        }
        for (int number = 0; number < 2; ++number) {
            ASSERT_EQ(wait_outcome(folder(number), harness_wait_ms), outcome_done) << agent_log(pair[number]);
            expect_counted(folder(number), requests[number], counts[number]);
        }
    }
    for (agent_process *agent : pair)
        EXPECT_TRUE(agent_running(agent)) << agent_log(agent);
}

TEST_F(sshfs_agents, agents_started_at_once_through_the_mount_get_different_folders)
{
    const int count = 8;
    std::vector<agent_process *> started;
    for (int i = 0; i < count; ++i)
        started.push_back(start_remote_agent());
    ASSERT_TRUE(wait_until([&] { return registered_agents(root).size() >= (size_t)count; }, harness_wait_ms, 10));
    // Long enough for an agent that lost a race late to register a second time.
    platform_sleep_ms(300);

    std::vector<int> numbers = registered_agents(root);
    EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    std::set<uint64_t> stamps;
    for (int number : numbers) {
        uint64_t stamp = 0;
        ASSERT_EQ(server_stamp_read((folder(number) + SERVER_NAME_TSC).c_str(), &stamp), server_ok);
        stamps.insert(stamp);
    }
    EXPECT_EQ(stamps.size(), (size_t)count) << "each folder holds the stamp of a different agent";
    EXPECT_FALSE(file_exists(folder(count))) << "no agent registered twice";
    for (agent_process *agent : started)
        EXPECT_TRUE(agent_running(agent)) << agent_log(agent);
}

TEST_F(sshfs_agents, a_killed_agent_reads_as_dead_within_the_bound)
{
    agent_process *agent = start_remote_agent();
    ASSERT_TRUE(wait_for_registration(root, 0, harness_wait_ms)) << agent_log(agent);
    ASSERT_TRUE(claim_agent(folder(0)));

    // Alive across several beats, each of which, written through the mount,
    // moves the time of "tsc" on the local side.  Three beats take three
    // seconds; a loaded machine may take longer, but not ten.
    std::string tsc = folder(0) + SERVER_NAME_TSC;
    std::set<int64_t> beats;
    uint64_t start = platform_monotonic_ms();
    while (beats.size() < 3 && platform_monotonic_ms() - start < 10 * server_heartbeat_ms) {
        ASSERT_EQ(agent_is_alive(folder(0).c_str()), 1)
            << "after " << platform_monotonic_ms() - start << " ms\n" << agent_log(agent);
        platform_file_info info = {};
        ASSERT_EQ(platform_path_info(tsc.c_str(), &info), 0);
        beats.insert(info.modified_ns);
        platform_sleep_ms(100);
    }
    EXPECT_GE(beats.size(), 3u) << "the beats reach the local side";

    agent_kill(agent);
    uint64_t killed = platform_monotonic_ms();
    // The last beat may have come just before the kill.
    const int bound_ms = server_alive_bound_ms + server_heartbeat_ms + 2000;
    EXPECT_TRUE(wait_until([&] { return agent_is_alive(folder(0).c_str()) == 0; }, bound_ms, 100))
        << "still alive " << platform_monotonic_ms() - killed << " ms after the kill";
}

// The stop's retirement of "tsc" goes through the mount too: the folder
// reads as dead on the local side at once, not after the bound.
TEST_F(sshfs_agents, a_stopped_agent_reads_as_dead_at_once)
{
    agent_process *agent = start_remote_agent();
    ASSERT_TRUE(wait_for_registration(root, 0, harness_wait_ms)) << agent_log(agent);
    ASSERT_TRUE(claim_agent(folder(0)));
    ASSERT_EQ(agent_is_alive(folder(0).c_str()), 1);
    kill(agent->pid, SIGTERM);
    EXPECT_EQ(agent_wait_exit(agent, harness_wait_ms), 0) << agent_log(agent);
    EXPECT_EQ(agent_is_alive(folder(0).c_str()), 0) << agent_log(agent);
}

} // namespace
