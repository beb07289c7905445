// One zeqworker agent serving a module that does nothing, on a local server
// folder and on the same folder reached through sshfs: requests per second,
// the round trip from posting "do" to seeing "done" (p50 and p99), and the
// processor time an idle agent takes; and the runtime's remote client.
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
//
// The "_client" cases measure the runtime's remote client itself: coload
// calls of this program (client_bench.zeq's functions, whose remote module
// client_bench_net.so lies beside it) on local agents.  The client takes its
// server folder once per process, from QIV_NETLOAD_SERVER, so each such case
// runs its calls in a child process of this program ("--client <case>"),
// which prints its figures for the parent to report: round trip of a call
// with a one-member region (p50, p99, calls per second) on a local folder and
// with client and agent on two sshfs mounts of one folder, and a call over
// two agents and the pool against the pool alone (same processors: a report,
// not a target).
#include <benchmark/benchmark.h>

#include "zeq_runtime.h"

#include <stdio.h>
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

// ---- the remote client, in a child process per case ----------------------

enum {
    touch_line = 13,
    work_line = 25,
    client_calls_local = 2000,
    client_calls_sshfs = 300,
    work_items = 1 << 18,
    work_rounds = 400,
    work_members = 8,
    work_calls = 10,
};

char client_bench_source[] = "client_bench.zeq";
qiv_coload_site touch_site = QIV_COLOAD_SITE_INIT(client_bench_source, touch_line);
qiv_coload_site work_site = QIV_COLOAD_SITE_INIT(client_bench_source, work_line);

struct touch_call {
    int32_t *counts;
    int32_t n;
    int result;
};

QIV_REGION_OPENER void call_touch(touch_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    c->result = qiv_exported_coload(self, &touch_site, QIV_ARG_INOUT("int*", c->counts, 4, 4 * (intptr_t)c->n),
                                    QIV_ARG_VALUE("int", &c->n, 4), QIV_ARG_END);
    qiv_region_end_joined(self);
}

struct work_call {
    float *y;
    int32_t n, rounds;
};

void work_slice(work_call *c)
{
    int end = qiv_exported_range_end(c->n);
    for (int i = qiv_exported_range_start(c->n); i < end; ++i) {
        float v = c->y[i];
        for (int r = 0; r < c->rounds; ++r)
            v = 3.7f * v * (1.0f - v);
        c->y[i] = v;
    }
}

QIV_REGION_OPENER void call_work(work_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, work_members, QIV_LIMIT_TIGHT(1));
    if (qiv_exported_pix() != 0 ||
        qiv_exported_coload(self, &work_site, QIV_ARG_INOUT("float*", c->y, 4, 4 * (intptr_t)c->n),
                            QIV_ARG_VALUE("int", &c->n, 4), QIV_ARG_VALUE("int", &c->rounds, 4), QIV_ARG_END) != 0)
        work_slice(c);
    qiv_region_end_joined(self);
}

// Child: one-member calls, every result checked; prints the figures.
int client_round_trips(int calls)
{
    std::vector<int32_t> counts(16, 0);
    touch_call call = {counts.data(), 16, -1};
    std::vector<uint64_t> trips;
    uint64_t start = platform_monotonic_ns();
    for (int k = 0; k < calls; ++k) {
        uint64_t before = platform_monotonic_ns();
        call_touch(&call);
        trips.push_back(platform_monotonic_ns() - before);
        if (call.result != 0 || counts[0] != k + 1 || counts[15] != k + 1) {
            printf("error call %d: returned %d, counts %d\n", k, call.result, counts[0]);
            return 1;
        }
    }
    double seconds = (double)(platform_monotonic_ns() - start) / 1e9;
    printf("p50_ms %f p99_ms %f calls_per_s %f\n", percentile_ms(trips, 0.5), percentile_ms(trips, 0.99),
           (double)calls / seconds);
    return 0;
}

double work_calls_ms(std::vector<float> *y)
{
    work_call call = {y->data(), (int32_t)y->size(), work_rounds};
    uint64_t start = platform_monotonic_ns();
    for (int k = 0; k < work_calls; ++k)
        call_work(&call);
    return (double)(platform_monotonic_ns() - start) / 1e6 / work_calls;
}

// Child: the same calls on the pool alone (no server named yet), then with
// the agents; both must give the same items.
int client_agents_and_pool(const char *server)
{
    std::vector<float> pool_y(work_items), agents_y(work_items);
    for (int i = 0; i < work_items; ++i)
        pool_y[(size_t)i] = agents_y[(size_t)i] = 0.1f + 0.8f * (float)(i % 1000) / 1000.0f;
    unsetenv("QIV_NETLOAD_SERVER");
    double pool_ms = work_calls_ms(&pool_y);
    setenv("QIV_NETLOAD_SERVER", server, 1);
    double agents_ms = work_calls_ms(&agents_y);
    if (pool_y != agents_y) {
        printf("error: the items differ\n");
        return 1;
    }
    printf("pool_alone_ms %f two_agents_and_pool_ms %f\n", pool_ms, agents_ms);
    return 0;
}

int client_child(int argc, char **argv)
{
    std::string which = argc > 2 ? argv[2] : "";
    if (which == "round_trips_local")
        return client_round_trips(client_calls_local);
    if (which == "round_trips_sshfs")
        return client_round_trips(client_calls_sshfs);
    if (which == "agents_and_pool" && argc > 3)
        return client_agents_and_pool(argv[3]);
    fprintf(stderr, "Usage: remote_bench --client round_trips_local|round_trips_sshfs|agents_and_pool server\n");
    return 2;
}

// Parent: agents on the server folder (through a mount of their own when
// over_sshfs, the client through another), then the child; its figures
// become the case's counters.
void client_case(benchmark::State &state, const std::string &which, bool over_sshfs, int agents)
{
    remote_setup setup = {};
    sshfs_server client_mount = {};
    std::vector<agent_process> started((size_t)agents);
    std::string why;
    if (!make_scratch(&setup))
        why = "cannot make a scratch folder";
    std::string agent_root = setup.root, client_root = setup.root;
    if (why.empty() && over_sshfs) {
        setup.over_sshfs = 1;
        if (sshfs_server_start(&setup.server, setup.root) != sshfs_server_started)
            why = setup.server.message;
        else if (sshfs_server_start(&client_mount, setup.root) != sshfs_server_started)
            why = client_mount.message;
        agent_root = setup.server.mount_point;
        client_root = client_mount.mount_point;
    }
    for (int k = 0; why.empty() && k < agents; ++k) {
        if (!agent_start(&started[(size_t)k], harness_zeqworker_path(), {agent_root},
                         setup.scratch + "/agent" + std::to_string(k) + ".log"))
            why = "cannot start zeqworker";
        else if (!wait_for_registration(setup.root, k, harness_wait_ms))
            why = "an agent did not register: " + agent_log(&started[(size_t)k]);
    }
    std::string output;
    for (auto _ : state) {
        if (!why.empty())
            break;
        agent_process child;
        std::string log = setup.scratch + "/client.log";
        std::vector<std::string> args = {"--client", which, client_root};
        // By its own path: the client finds the module beside the program
        // under the name the program was started by.
        std::error_code error;
        std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
        if (!agent_start(&child, self, args, log, {"QIV_NETLOAD_SERVER=" + client_root})) {
            why = "cannot start the client";
            break;
        }
        int status = agent_wait_exit(&child, 300000);
        agent_kill(&child);
        output = agent_log(&child);
        if (status != 0)
            why = "the client failed: " + output;
    }
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
    } else {
        std::istringstream in(output);
        std::string name;
        double value;
        while (in >> name >> value)
            state.counters[name] = value;
    }
    for (agent_process &agent : started)
        agent_kill(&agent);
    if (over_sshfs)
        sshfs_server_stop(&client_mount);
    setup_close(&setup);
}

void BM_client_round_trip_local(benchmark::State &state) { client_case(state, "round_trips_local", false, 1); }
void BM_client_round_trip_sshfs(benchmark::State &state) { client_case(state, "round_trips_sshfs", true, 1); }
void BM_client_two_agents_and_pool(benchmark::State &state) { client_case(state, "agents_and_pool", false, 2); }

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
BENCHMARK(BM_client_round_trip_local)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_client_round_trip_sshfs)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_client_two_agents_and_pool)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "--client")
        return client_child(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
