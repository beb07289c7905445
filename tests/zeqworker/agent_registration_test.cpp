// Registration: agents started together end up in different folders, a
// folder that exists already is skipped, an agent whose "tsc" goes away
// takes the lowest free number and leaves its old folder as it was, and the
// start-up errors end the process with their status and message.
#include "agent_harness.h"

#include <sys/stat.h>

namespace {

using agent_registration = agent_fixture;

TEST_F(agent_registration, agents_started_together_take_different_folders)
{
    for (int count : {2, 20}) {
        SCOPED_TRACE(std::to_string(count) + " agents");
        std::string server = root + "/together" + std::to_string(count);
        ASSERT_EQ(mkdir(server.c_str(), 0777), 0);
        std::vector<agent_process *> started;
        for (int i = 0; i < count; ++i)
            started.push_back(start_agent(server));
        std::vector<int> expected;
        for (int i = 0; i < count; ++i)
            expected.push_back(i);
        EXPECT_TRUE(wait_until([&] { return registered_agents(server) == expected; }, harness_wait_ms, 10));
        // Give a late duplicate a moment to show itself: still one folder each.
        platform_sleep_ms(100);
        EXPECT_EQ(registered_agents(server), expected);
        for (agent_process *agent : started) {
            EXPECT_TRUE(agent_running(agent));
            EXPECT_EQ(agent_log(agent), "");
            agent_kill(agent);
        }
    }
}

TEST_F(agent_registration, a_folder_that_exists_already_is_skipped)
{
    ASSERT_EQ(mkdir(harness_platform_folder(root).c_str(), 0777), 0);
    ASSERT_EQ(mkdir(folder(0).c_str(), 0777), 0);
    agent_process *agent = start_agent();
    ASSERT_TRUE(wait_for_registration(root, 1, harness_wait_ms)) << agent_log(agent);
    EXPECT_EQ(tree_snapshot(folder(0)), "") << "the gap stays empty";
    EXPECT_EQ(registered_agents(root), std::vector<int>{1});
}

TEST_F(agent_registration, a_deleted_stamp_makes_the_agent_move_to_the_lowest_free_number)
{
    agent_process *agent = start_ready_agent();
    // Number 1 is a gap and 2 is free; 3 exists, so "lowest free" is told
    // apart from "next after the gap" and from "one more than the last".
    ASSERT_EQ(mkdir(folder(1).c_str(), 0777), 0);
    ASSERT_EQ(mkdir(folder(3).c_str(), 0777), 0);
    std::string before = tree_snapshot(folder(0));
    ASSERT_EQ(unlink((folder(0) + "tsc").c_str()), 0);
    uint64_t start = platform_monotonic_ms();
    ASSERT_TRUE(wait_for_registration(root, 2, harness_wait_ms)) << agent_log(agent);
    uint64_t took = platform_monotonic_ms() - start;
    // The agent checks its stamp at least once per wait (500 ms); ten waits
    // leave a loaded machine its margin and still catch an agent that looks
    // only now and then.
    EXPECT_LT(took, 10u * server_wait_ms) << "seen within a wait";
    EXPECT_EQ(agent_log(agent), "Corrupted server folder: " + folder(0) + "\n");

    // The old folder is as it was, less its stamp, and is not served any more.
    std::string after = tree_snapshot(folder(0));
    std::string expected_after = before;
    size_t tsc = expected_after.find("tsc mode ");
    ASSERT_NE(tsc, std::string::npos);
    expected_after.erase(tsc, expected_after.find('\n', tsc) + 1 - tsc);
    EXPECT_EQ(after, expected_after);
    test_request request = counting_request();
    EXPECT_EQ(send_request(folder(0), request, 700), outcome_pending);

    ASSERT_TRUE(claim_agent(folder(2)));
    ASSERT_TRUE(copy_module(folder(2), "probe_net.so"));
    EXPECT_EQ(send_request(folder(2), request, harness_wait_ms), outcome_done) << agent_log(agent);
    EXPECT_EQ(registered_agents(root), std::vector<int>{2});
}

TEST_F(agent_registration, start_up_errors_end_the_agent_with_their_status_and_message)
{
    struct start_up_case {
        const char *what;
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    std::string file = scratch + "/plain_file";
    ASSERT_TRUE(write_file(file, {}));
    std::string longest = scratch + "/" + std::string(server_root_limit - scratch.size() - 1, 'r');
    std::string too_long = longest + "r";
    const start_up_case cases[] = {
        {"no argument", {}, 255, "Usage: zeqworker server\n"},
        {"a name of 245 characters", {too_long}, 245, "Server name too long: " + too_long + "\n"},
        {"a file for a server", {file}, 243, "Wrong server name: " + harness_platform_folder(file) + "\n"},
        {"an empty name", {""}, 243, "Wrong server name: \n"},
        {"a server inside a file", {file + "/server"}, 243,
         "Wrong server name: " + harness_platform_folder(file + "/server") + "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        agent_process *agent = start_program(c.args);
        EXPECT_EQ(agent_wait_exit(agent, harness_wait_ms), c.status);
        EXPECT_EQ(agent_log(agent), c.message);
    }
    // The longest name is accepted, and further arguments are ignored.
    ASSERT_EQ(mkdir(longest.c_str(), 0777), 0);
    agent_process *agent = start_program({longest, "ignored"});
    EXPECT_TRUE(wait_for_registration(longest, 0, harness_wait_ms)) << agent_log(agent);
    EXPECT_TRUE(agent_running(agent));
}

} // namespace
