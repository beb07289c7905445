// The agent's failure paths, reached through the fault table of the test
// program zeqworker_faults: the nth call of a system call entry fails with a
// chosen errno.  Only entries whose calls come in a fixed order are counted:
// "open" before the first registration (the heartbeat starts after it),
// "pwrite" there too, and entries that only one step of a request uses
// ("renameat2" for publishing, "ftruncate" for the response, "dlclose").
#include "agent_harness.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using agent_faults = agent_fixture;

std::string faults(const std::string &fault_list)
{
    return "ZEQ_TEST_FAULTS=" + fault_list;
}

TEST_F(agent_faults, a_stamp_that_cannot_be_created_leaves_a_gap_and_takes_the_next_number)
{
    agent_process *agent = start_agent("", {faults("open:1:" + std::to_string(EACCES))}, harness_faults_path());
    ASSERT_TRUE(wait_for_registration(root, 1, harness_wait_ms)) << agent_log(agent);
    EXPECT_EQ(agent_log(agent), "Corrupted server folder: " + folder(0) + "\n");
    EXPECT_EQ(tree_snapshot(folder(0)), "");
    ASSERT_TRUE(claim_agent(folder(1)));
    ASSERT_TRUE(copy_module(folder(1), "probe_net.so"));
    EXPECT_EQ(send_request(folder(1), counting_request(), harness_wait_ms), outcome_done);
}

TEST_F(agent_faults, start_up_failures_end_the_agent_with_their_status)
{
    agent_process *agent = start_agent("", {faults("pwrite:1:" + std::to_string(ENOSPC))}, harness_faults_path());
    EXPECT_EQ(agent_wait_exit(agent, harness_wait_ms), 242);
    EXPECT_EQ(agent_log(agent), "Failed to write " + folder(0) + "tsc\n");

    std::string server = root + "/second";
    ASSERT_EQ(mkdir(server.c_str(), 0777), 0);
    // The first mkdir makes the platform folder, the second the agent folder.
    agent = start_agent(server, {faults("mkdir:2:" + std::to_string(EACCES))}, harness_faults_path());
    EXPECT_EQ(agent_wait_exit(agent, harness_wait_ms), 243);
    EXPECT_EQ(agent_log(agent), "Wrong server name: " + harness_agent_folder(server, 0) + "\n");
}

TEST_F(agent_faults, an_outcome_that_cannot_be_published_fails_the_request_or_moves_the_agent)
{
    agent_process *agent = start_ready_agent({faults("renameat2:1:" + std::to_string(EIO))}, harness_faults_path());
    // "do" cannot become "done", so it becomes "err".
    EXPECT_EQ(send_request(folder(0), counting_request(), harness_wait_ms), outcome_err);
    EXPECT_EQ(agent_log(agent), "Failed to report completion\n");
    EXPECT_EQ(send_request(folder(0), counting_request(), harness_wait_ms), outcome_done);
    agent_kill(agent);

    // Neither: a leftover "err" (a client that did not remove it) blocks the
    // second rename.  The agent gives up the folder with its "do" in it.
    std::string server = root + "/second";
    ASSERT_EQ(mkdir(server.c_str(), 0777), 0);
    agent = start_agent(server, {faults("renameat2:1:" + std::to_string(EIO))}, harness_faults_path());
    std::string first = harness_agent_folder(server, 0);
    ASSERT_TRUE(wait_for_registration(server, 0, harness_wait_ms)) << agent_log(agent);
    ASSERT_TRUE(copy_module(first, "probe_net.so"));
    ASSERT_TRUE(write_file(first + "args.bin", request_file_bytes(counting_request())));
    ASSERT_TRUE(write_file(first + "err", {}));
    ASSERT_TRUE(write_file(first + "do", {}));
    ASSERT_TRUE(wait_for_registration(server, 1, harness_wait_ms)) << agent_log(agent);
    EXPECT_EQ(agent_log(agent), "Failed to report completion\nFailed to report completion\n"
                                "Corrupted server folder: " + first + "\n");
    EXPECT_TRUE(file_exists(first + "do"));
    EXPECT_TRUE(file_exists(first + "tsc")) << "the old folder is left as it is";
    std::string second = harness_agent_folder(server, 1);
    ASSERT_TRUE(copy_module(second, "probe_net.so"));
    EXPECT_EQ(send_request(second, counting_request(), harness_wait_ms), outcome_done);
}

TEST_F(agent_faults, a_response_that_cannot_be_written_fails_the_request)
{
    agent_process *agent = start_ready_agent({faults("ftruncate:1:" + std::to_string(EIO))}, harness_faults_path());
    std::string args_path = folder(0) + "args.bin";
    EXPECT_EQ(send_request(folder(0), counting_request(), harness_wait_ms), outcome_err);
    EXPECT_EQ(agent_log(agent), "Failed to write " + args_path + "\n");

    // The module put a link under the name: the agent does not write through it.
    test_request swapping = make_request("probe_net.so", 21, {{3, int_bytes({1})}});
    EXPECT_EQ(send_request(folder(0), swapping, harness_wait_ms), outcome_err);
    EXPECT_EQ(agent_log(agent), "Failed to write " + args_path + "\nFailed to create " + args_path + "\n");
    std::vector<uint8_t> kept;
    ASSERT_TRUE(read_file(folder(0) + "args.kept", &kept));
    EXPECT_EQ(kept, request_file_bytes(swapping)) << "the request as it was sent";
    EXPECT_EQ(send_request(folder(0), counting_request(), harness_wait_ms), outcome_done);
}

TEST_F(agent_faults, a_module_that_cannot_be_unloaded_ends_the_agent_after_err)
{
    agent_process *agent = start_ready_agent({faults("dlclose:1:" + std::to_string(EINVAL))}, harness_faults_path());
    ASSERT_TRUE(write_file(folder(0) + "args.bin", request_file_bytes(counting_request())));
    ASSERT_TRUE(post_request(folder(0)));
    EXPECT_EQ(agent_wait_exit(agent, harness_wait_ms), 249);
    EXPECT_EQ(agent_log(agent), "Failed to unload " + folder(0) + "probe_net.so\n");
    EXPECT_TRUE(file_exists(folder(0) + "err"));
    EXPECT_FALSE(file_exists(folder(0) + "do"));
}

} // namespace
