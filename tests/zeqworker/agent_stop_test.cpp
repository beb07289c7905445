// The stop an agent honours (SIGTERM from a cluster engine or a service
// manager, SIGINT from Ctrl-C): the request being served is finished and
// answered, a request posted but not taken is left to its client, the
// process ends with status 0, and its folder reads as dead at once while
// "tsc" stays.  A second signal ends the process at once, by that signal.
#include "agent_harness.h"

#include <signal.h>

#include <fstream>
#include <sstream>

namespace {

using agent_stop = agent_fixture;

// The state letter of /proc/<pid>/stat ('T' once stopped), 0 when unknown.
char process_state(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : 0;
}

// The agent ended with status 0 and left folder 0 dead but registered.
void expect_clean_stop(agent_process *agent, const std::string &agent_folder)
{
    EXPECT_EQ(agent_wait_exit(agent, harness_wait_ms), 0) << agent_log(agent);
    EXPECT_TRUE(file_exists(agent_folder + "tsc")) << "a missing tsc would end the clients' scans here";
    EXPECT_EQ(agent_is_alive(agent_folder.c_str()), agent_dead) << "at once, not after the bound";
    EXPECT_NE(agent_log(agent).find("Stopped: " + agent_folder), std::string::npos) << agent_log(agent);
}

TEST_F(agent_stop, an_idle_agent_stops_on_either_signal_and_leaves_its_folder_dead)
{
    for (int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number == SIGTERM ? "SIGTERM" : "SIGINT");
        agent_process *agent = start_ready_agent();
        ASSERT_EQ(agent_is_alive(folder(0).c_str()), agent_alive);
        kill(agent->pid, signal_number);
        expect_clean_stop(agent, folder(0));
        // The next agent takes a number of its own: the dead folder is kept.
        ASSERT_EQ(system(("rm -rf " + harness_platform_folder(root)).c_str()), 0);
    }
}

TEST_F(agent_stop, a_stop_while_serving_answers_the_request_and_a_second_signal_ends_it_at_once)
{
    // A stop: the request in flight is answered as if nothing happened.
    agent_process *agent = start_ready_agent();
    test_request slow = make_request("probe_net.so", 41, {{4, int_bytes({600})}});
    ASSERT_TRUE(write_file(folder(0) + "args.bin", request_file_bytes(slow)));
    ASSERT_TRUE(post_request(folder(0)));
    ASSERT_TRUE(wait_until([&] { return file_exists(folder(0) + "fline41_running"); }, harness_wait_ms));
    kill(agent->pid, SIGTERM);
    EXPECT_EQ(wait_outcome(folder(0), harness_wait_ms), outcome_done) << agent_log(agent);
    expect_clean_stop(agent, folder(0));

    // Two signals: the module is cut short and no outcome is written.
    ASSERT_EQ(system(("rm -rf " + harness_platform_folder(root)).c_str()), 0);
    agent = start_ready_agent();
    test_request long_one = make_request("probe_net.so", 41, {{4, int_bytes({60000})}});
    ASSERT_TRUE(write_file(folder(0) + "args.bin", request_file_bytes(long_one)));
    ASSERT_TRUE(post_request(folder(0)));
    ASSERT_TRUE(wait_until([&] { return file_exists(folder(0) + "fline41_running"); }, harness_wait_ms));
    kill(agent->pid, SIGTERM);
    kill(agent->pid, SIGINT);
    // Whichever of the two the process takes first stops it, the other ends it.
    int status = agent_wait_exit(agent, harness_wait_ms);
    EXPECT_TRUE(status == 128 + SIGINT || status == 128 + SIGTERM) << status << "\n" << agent_log(agent);
    EXPECT_EQ(wait_outcome(folder(0), 0), outcome_pending);
}

TEST_F(agent_stop, a_request_posted_but_not_taken_is_left_untouched)
{
    agent_process *agent = start_ready_agent();
    // Frozen, the agent cannot take the request before the stop arrives; it
    // sees the stop first when it runs again.  kill returns before the
    // process has stopped, so the test waits until it has.
    kill(agent->pid, SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return process_state(agent->pid) == 'T'; }, harness_wait_ms));
    ASSERT_TRUE(write_file(folder(0) + "args.bin", request_file_bytes(counting_request())));
    ASSERT_TRUE(post_request(folder(0)));
    std::string before = tree_snapshot(folder(0));
    kill(agent->pid, SIGTERM);
    kill(agent->pid, SIGCONT);
    EXPECT_EQ(agent_wait_exit(agent, harness_wait_ms), 0) << agent_log(agent);
    EXPECT_EQ(wait_outcome(folder(0), 0), outcome_pending) << "\"do\" is still the client's";
    // Only "tsc"'s write time may differ: it now says dead.
    std::string after = tree_snapshot(folder(0));
    EXPECT_EQ(agent_is_alive(folder(0).c_str()), agent_dead);
    auto without_tsc = [](const std::string &tree) {
        std::istringstream lines(tree);
        std::string line, kept;
        while (std::getline(lines, line))
            if (line.rfind("tsc ", 0) != 0)
                kept += line + "\n";
        return kept;
    };
    EXPECT_EQ(without_tsc(after), without_tsc(before));
}

} // namespace
