// One zeqworker agent serving a module that does nothing, on a local server
// folder and on the same folder reached through sshfs: requests per second,
// the round trip from posting "do" to seeing "done" (p50 and p99), and the
// processor time an idle agent takes.
//
// The client works on the local path in both cases, as the machine that
// stores the folder does; only the agent goes through the mount, so that it
// sees none of the client's changes by notification and finds each "do" by
// looking.  The client waits as a good client would: a watch on the agent
// folder kept open across requests, and waits that the watch ends early, of
// 1 ms for the first 100 ms after posting, then of at most 500 ms (the
// protocol's bound), with a look after each.  Each request rewrites args.bin
// first; requests per second include that, the round trip does not.  The
// "_idle_agent" cases leave the agent idle before each request, past its
// own phase of quick looks after a request.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "server_folder.h"
#include "sshfs_server.h"

namespace {

enum {
    fast_phase_ms = 100,      // the client's waits last 1 ms this long after posting
    request_bound_ms = 10000, // a request not done by then counts as an error
    idle_pause_ms = 200,      // longer than the agent looks every millisecond after a request
    idle_settle_ms = 1000,    // after registration, before the idle measurement
    idle_measure_ms = 5000,
};

// A server folder with one registered agent, claimed by this client, the
// module copied in, and a watch on the agent folder.
struct remote_setup {
    std::string scratch;    // removed at the end
    std::string root;       // the server folder, local path
    std::string folder;     // the agent folder, local path
    std::string agent_root; // the server folder as the agent reaches it
    sshfs_server server;
    agent_process agent;
    server_watch watch;
    int over_sshfs;
    int watching;
};

bool make_scratch(remote_setup *setup)
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/zeq_remote_bench_XXXXXX";
    if (!mkdtemp(&pattern[0]))
        return false;
    setup->scratch = pattern;
    setup->root = setup->scratch + "/server";
    return mkdir(setup->root.c_str(), 0777) == 0;
}

void setup_close(remote_setup *setup)
{
    if (setup->watching)
        server_watch_close(&setup->watch);
    setup->watching = 0;
    agent_kill(&setup->agent);
    if (setup->over_sshfs)
        sshfs_server_stop(&setup->server);
    std::error_code ignored;
    if (!setup->scratch.empty() && !setup->server.mounted)
        std::filesystem::remove_all(setup->scratch, ignored);
}

// Returns "" when ready, else why not (the setup is closed then).
std::string setup_open(remote_setup *setup, bool over_sshfs)
{
    *setup = remote_setup{};
    std::string why;
    if (!make_scratch(setup))
        why = "cannot make a scratch folder";
    setup->agent_root = setup->root;
    if (why.empty() && over_sshfs) {
        setup->over_sshfs = 1;
        int started = sshfs_server_start(&setup->server, setup->root);
        if (started != sshfs_server_started)
            why = setup->server.message;
        setup->agent_root = setup->server.mount_point;
    }
    if (why.empty() && !agent_start(&setup->agent, harness_zeqworker_path(), {setup->agent_root},
                                    setup->scratch + "/agent.log"))
        why = "cannot start zeqworker";
    setup->folder = harness_agent_folder(setup->root, 0);
    if (why.empty() && !wait_for_registration(setup->root, 0, harness_wait_ms))
        why = "the agent did not register: " + agent_log(&setup->agent);
    std::string module = setup->folder + "noop_net.so";
    if (why.empty() && (!claim_agent(setup->folder) || platform_file_copy_replace(REMOTE_BENCH_MODULE, module.c_str()) != 0))
        why = "cannot claim the agent or copy the module";
    if (why.empty()) {
        server_watch_open(&setup->watch, setup->folder.c_str(), 0, platform_watch_names);
        setup->watching = 1;
        return "";
    }
    setup_close(setup);
    return why;
}

// The outcome of the request posted in folder: done or err, or lost when the
// bound passes or nothing is left.  The request has ended only when "do" is
// gone: where the file system refuses a rename that cannot replace (FUSE),
// the agent publishes by link and unlink, so "done" appears a moment before
// "do" goes, and a new "do" posted in that moment would go with the old one.
// Looks first, then waits, so that an outcome published before the wait
// began is seen at once.
request_outcome wait_for_outcome(remote_setup *setup)
{
    uint64_t start = platform_monotonic_ms();
    for (;;) {
        int outcome = server_outcome(setup->folder.c_str());
        if (outcome == server_outcome_done)
            return outcome_done;
        if (outcome == server_outcome_failed)
            return outcome_err;
        if (outcome != server_outcome_running)
            return outcome_lost;
        uint64_t waited = platform_monotonic_ms() - start;
        if (waited >= request_bound_ms)
            return outcome_pending;
        uint32_t wait = waited < fast_phase_ms ? 1 : server_wait_ms;
        server_watch_wait(&setup->watch, wait, wait);
    }
}

bool write_request(const remote_setup *setup)
{
    static const char module[] = "noop_net.so";
    int32_t value = 0;
    args_header header = {};
    header.share_count = 1;
    header.function_number = 1;
    header.arg_count = 1;
    header.data_size_low = sizeof value;
    header.module_name_length = sizeof module;
    uint32_t kind = 4; // Value
    request_part part = {&value, sizeof value};
    return request_write((setup->folder + SERVER_NAME_ARGS).c_str(), &header, module, &kind, &part, 1) == 0;
}

double percentile_ms(std::vector<uint64_t> sorted_ns, double fraction)
{
    if (sorted_ns.empty())
        return 0;
    std::sort(sorted_ns.begin(), sorted_ns.end());
    size_t rank = (size_t)(fraction * (double)sorted_ns.size() + 0.999999);
    return (double)sorted_ns[std::min(std::max(rank, (size_t)1), sorted_ns.size()) - 1] / 1e6;
}

// pause_ms > 0 leaves the agent idle that long before each request (outside
// the timing), so that it has gone back to its slow waits.
void round_trips(benchmark::State &state, bool over_sshfs, uint32_t pause_ms)
{
    remote_setup setup;
    std::string why = setup_open(&setup, over_sshfs);
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    std::vector<uint64_t> trips;
    trips.reserve((size_t)state.max_iterations);
    for (auto _ : state) {
        if (pause_ms) {
            state.PauseTiming();
            platform_sleep_ms(pause_ms);
            state.ResumeTiming();
        }
        if (!write_request(&setup) || server_post(setup.folder.c_str()) != 0) {
            state.SkipWithError("cannot write or post the request");
            break;
        }
        uint64_t posted = platform_monotonic_ns();
        request_outcome outcome = wait_for_outcome(&setup);
        trips.push_back(platform_monotonic_ns() - posted);
        if (outcome != outcome_done) {
            std::string text = std::string("request ended ") + outcome_name(outcome) + ": " + agent_log(&setup.agent);
            state.SkipWithError(text.c_str());
            break;
        }
    }
    if (!pause_ms)
        state.counters["requests_per_s"] = benchmark::Counter((double)trips.size(), benchmark::Counter::kIsRate);
    state.counters["p50_ms"] = percentile_ms(trips, 0.50);
    state.counters["p99_ms"] = percentile_ms(trips, 0.99);
    setup_close(&setup);
}

// Processor time of a process so far, in seconds; -1 when it cannot be read.
// The scheduler's nanosecond count of each thread (schedstat) where there is
// one: utime + stime come in clock ticks, too coarse for a few milliseconds
// over the measured seconds.  Threads that ended are not in the sum, which
// suits an idle agent, whose threads all live on.
double process_cpu_s(int pid)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    double total = 0;
    bool counted = false;
    for (const auto &task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream in(task.path() / "schedstat");
        double ns = 0;
        if (in >> ns) {
            total += ns / 1e9;
            counted = true;
        }
    }
    if (counted)
        return total;
    // Without schedstat: fields 14 and 15 of stat, counted from the ')' that
    // ends the command name (which may hold spaces).
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text) || text.rfind(')') == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(text.rfind(')') + 1));
    std::string skip;
    for (int field = 3; field <= 13; ++field)
        fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return fields ? (user + system) / (double)sysconf(_SC_CLK_TCK) : -1;
}

double processes_cpu_s(const std::vector<fixture_process> &processes)
{
    double total = 0;
    for (const fixture_process &process : processes)
        total += std::max(process_cpu_s(process.pid), 0.0);
    return total;
}

void idle_agent(benchmark::State &state, bool over_sshfs)
{
    remote_setup setup;
    std::string why = setup_open(&setup, over_sshfs);
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    std::vector<fixture_process> helpers;
    if (over_sshfs)
        sshfs_server_processes(&setup.server, &helpers);
    double agent_percent = 0, helpers_percent = 0;
    for (auto _ : state) {
        platform_sleep_ms(idle_settle_ms);
        double agent_before = process_cpu_s(setup.agent.pid), helpers_before = processes_cpu_s(helpers);
        uint64_t start = platform_monotonic_ns();
        platform_sleep_ms(idle_measure_ms);
        double seconds = (double)(platform_monotonic_ns() - start) / 1e9;
        agent_percent = 100 * (process_cpu_s(setup.agent.pid) - agent_before) / seconds;
        helpers_percent = 100 * (processes_cpu_s(helpers) - helpers_before) / seconds;
    }
    state.counters["agent_cpu_percent"] = agent_percent;
    if (over_sshfs)
        state.counters["sshfs_sshd_cpu_percent"] = helpers_percent;
    setup_close(&setup);
}

void BM_round_trip_local(benchmark::State &state) { round_trips(state, false, 0); }
void BM_round_trip_sshfs(benchmark::State &state) { round_trips(state, true, 0); }
// Requests one by one to an agent that has gone idle: on sshfs it finds each
// "do" only at the end of one of its bounded waits.
void BM_round_trip_local_idle_agent(benchmark::State &state) { round_trips(state, false, idle_pause_ms); }
void BM_round_trip_sshfs_idle_agent(benchmark::State &state) { round_trips(state, true, idle_pause_ms); }
void BM_idle_agent_local(benchmark::State &state) { idle_agent(state, false); }
void BM_idle_agent_sshfs(benchmark::State &state) { idle_agent(state, true); }

// Fixed counts: each run starts its own agent (and sshd and sshfs), which
// the timing must not include, so one run per benchmark.
BENCHMARK(BM_round_trip_local)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_round_trip_sshfs)->Iterations(300)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_round_trip_local_idle_agent)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_round_trip_sshfs_idle_agent)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_idle_agent_local)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_idle_agent_sshfs)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
