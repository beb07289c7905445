// Liveness through the folder alone: a killed agent's folder reads as dead
// within the bound, a live agent reads as alive for as long as it runs, a
// slow module included, and an idle agent costs next to no processor time.
#include "agent_harness.h"

#include <stdio.h>
#include <unistd.h>

namespace {

using agent_liveness = agent_fixture;

// User and system time of the process so far, in clock ticks.
long processor_ticks(int pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *file = fopen(path, "r");
    if (!file)
        return -1;
    char text[1024];
    size_t n = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[n] = 0;
    // Fields after the command name, which ends at the last ')'.
    const char *rest = strrchr(text, ')');
    unsigned long user = 0, system = 0;
    if (!rest || sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
        return -1;
    return (long)(user + system);
}

TEST_F(agent_liveness, a_killed_agent_reads_as_dead_within_the_bound)
{
    agent_process *agent = start_ready_agent();
    EXPECT_EQ(agent_is_alive(folder(0).c_str()), 1);
    agent_kill(agent);
    uint64_t killed = platform_monotonic_ms();
    EXPECT_TRUE(wait_until([&] { return agent_is_alive(folder(0).c_str()) == 0; }, server_alive_bound_ms + 2000, 250));
    EXPECT_EQ(agent_is_alive(folder(0).c_str()), 0);
    EXPECT_LE(platform_monotonic_ms() - killed, (uint64_t)server_alive_bound_ms + 2000);
}

TEST_F(agent_liveness, an_agent_running_a_slow_module_reads_as_alive_throughout)
{
    agent_process *agent = start_ready_agent();
    // The module outlasts the bound by two heartbeats, so that an agent whose
    // heartbeat stops while a module runs reads as dead before it ends.  What
    // counts is how long the readings went on, not how many a loaded machine
    // let this loop take.
    const int module_ms = server_alive_bound_ms + 2 * server_heartbeat_ms;
    test_request sleeping = make_request("probe_net.so", 40, {{4, int_bytes({module_ms})}});
    ASSERT_TRUE(write_file(folder(0) + "args.bin", request_file_bytes(sleeping)));
    uint64_t start = platform_monotonic_ms();
    ASSERT_TRUE(post_request(folder(0)));
    uint64_t last_alive = 0;
    while (file_exists(folder(0) + "do") && platform_monotonic_ms() - start < harness_wait_ms) {
        uint64_t now = platform_monotonic_ms();
        ASSERT_EQ(agent_is_alive(folder(0).c_str()), 1) << "after " << now - start << " ms";
        last_alive = now - start;
        platform_sleep_ms(250);
    }
    EXPECT_GE(last_alive, (uint64_t)(server_alive_bound_ms + server_heartbeat_ms)) << "readings through the module's run";
    EXPECT_EQ(wait_outcome(folder(0), 0), outcome_done) << agent_log(agent);
    EXPECT_EQ(agent_is_alive(folder(0).c_str()), 1);
}

TEST_F(agent_liveness, an_idle_agent_costs_next_to_no_processor_time)
{
    agent_process *agent = start_ready_agent();
    // Past the start-up, and past the quick looks after registration.
    platform_sleep_ms(300);
    long before = processor_ticks(agent->pid);
    ASSERT_GE(before, 0);
    platform_sleep_ms(3000);
    long used = processor_ticks(agent->pid) - before;
    long per_second = sysconf(_SC_CLK_TCK);
    // One look per 500 ms and one heartbeat per second cost microseconds, a
    // tick or two at most; a loaded machine may charge some more.  An agent
    // that spins burns a core, 3000 ms over 3 s, and still close to 1000 ms
    // where it shares two cores with several others: 10% of a core (300 ms)
    // tells the two apart.
    EXPECT_LE(used * 1000 / per_second, 300) << used << " ticks";
    EXPECT_TRUE(agent_running(agent));
}

} // namespace
