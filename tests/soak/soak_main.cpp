// The chaos soak's driver (see soak.h for the parts and scripts/soak.sh for
// the way users start it).
//
//   zeq_soak --zeqworker <path> [--seconds S] [--agents N] [--seed X]
//            [--client-folder mount|local] [--bodies N] [--step-bound S]
//            [--skip kill-agent,stop-agent,tsc,garbage-args,stall-mount,kill-sshd]
//
// Exit status: 0 when the run ended with the pool-only bodies, bit for bit,
// no step outlasted the bound and nothing was left behind; 1 otherwise;
// 77 where FUSE is missing or refused (nothing to soak on); 128 + the signal
// that stopped it.  Every process it starts is stopped on each of these ways
// out; those it forgets die with it (their death signal).
#include "soak.h"

#include "server_folder.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

enum {
    register_wait_ms = 30000,
    reference_wait_ms = 600000,
    // Gaps between faults, so that the steps run on the agents in between.
    gap_min_ms = 1000,
    gap_spread_ms = 2000,
};

void on_signal(int signal)
{
    soak_stop_signal = signal;
}

// "kill-sshd,tsc": marks those kinds skipped; 0, or -1 for a name that is
// no kind.
int skip_kinds(const std::string &names, soak_options *o)
{
    std::istringstream each(names);
    std::string name;
    while (std::getline(each, name, ',')) {
        int k = 0;
        while (k < fault_kinds && name != fault_names[k])
            ++k;
        if (k == fault_kinds)
            return -1;
        o->skip[k] = 1;
    }
    return 0;
}

int parse_options(int argc, char **argv, soak_options *o)
{
    *o = soak_options{60, 3, (uint64_t)time(nullptr), 0, 4096, 60, "", {}};
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i], value = argv[i + 1];
        if (name == "--zeqworker")
            o->zeqworker = value;
        else if (name == "--seconds")
            o->seconds = atoi(value.c_str());
        else if (name == "--agents")
            o->agents = atoi(value.c_str());
        else if (name == "--seed")
            o->seed = strtoull(value.c_str(), nullptr, 0);
        else if (name == "--client-folder" && (value == "mount" || value == "local"))
            o->client_local = value == "local";
        else if (name == "--bodies")
            o->bodies = atoi(value.c_str());
        else if (name == "--step-bound")
            o->step_bound_s = atoi(value.c_str());
        else if (name == "--skip" && skip_kinds(value, o) == 0)
            continue;
        else
            return -1;
    }
    if (argc % 2 == 0 || o->zeqworker.empty() || o->seconds < 0 || o->agents < 1 || o->bodies < 256 ||
        o->bodies % 256 || o->step_bound_s < 1)
        return -1;
    return 0;
}

// The registered agents, by their logs.
int registered_agents(const soak_run *run)
{
    int registered = 0;
    for (const soak_agent &agent : run->agents)
        registered += fixture_read_text(agent.log).find("registered in ") != std::string::npos;
    return registered;
}

// The agents on the mount first, then the local one: clients claim the
// lowest free number, so the agents behind the mount get the work first.
int start_agents(soak_run *run)
{
    for (int i = 0; i <= run->options.agents; ++i) {
        if (soak_start_agent(run, i < run->options.agents) != 0)
            return -1;
        if (i + 1 < run->options.agents)
            continue;
        for (int waited = 0; registered_agents(run) < i + 1; waited += 20)
            if (waited >= register_wait_ms || !soak_pause(run, 20))
                return -1;
    }
    return 0;
}

pid_t start_client(soak_run *run, const std::string &state, int steps, const char *mode, const std::string &log)
{
    std::string root = run->options.client_local ? run->local_root : run->server.mount_point;
    std::vector<std::string> argv = {run->env_program};
    if (steps == 0)
        argv.insert(argv.end(), {"QIV_NETLOAD_SERVER=" + root, "ZEQ_LOG=1"});
    else
        argv.insert(argv.end(), {"-u", "QIV_NETLOAD_SERVER", "ZEQ_LOG=0"});
    argv.insert(argv.end(), {run->self, "--client", state, std::to_string(run->options.bodies),
                             std::to_string(steps), run->scratch + "/stop", mode});
    return fixture_spawn(argv, log, SIGKILL);
}

// Every kind once in a seeded order, then kinds at random, until the time is
// up; a gap before each.  Kinds the options skip are left out of both.
int run_faults(soak_run *run)
{
    int order[fault_kinds], kinds = 0;
    for (int k = 0; k < fault_kinds; ++k)
        if (!run->options.skip[k])
            order[kinds++] = k;
    for (int k = kinds - 1; k > 0; --k) {
        int j = (int)(soak_random(run) % (uint64_t)(k + 1));
        int swap = order[k];
        order[k] = order[j];
        order[j] = swap;
    }
    for (int done = 0; kinds > 0 && (done < kinds || soak_now() - run->start < run->options.seconds); ++done) {
        if (!soak_pause(run, gap_min_ms + (int)(soak_random(run) % gap_spread_ms)))
            return -1;
        soak_inject(run, order[done < kinds ? done : (int)(soak_random(run) % (uint64_t)kinds)]);
    }
    return soak_pause(run, kinds > 0 ? gap_min_ms : run->options.seconds * 1000) ? 0 : -1;
}

// Waits for a child, watching for a hang meanwhile; its wait status, or -1.
int wait_client(soak_run *run)
{
    for (;;) {
        int status = fixture_wait(run->client, 0);
        if (status != fixture_running) {
            soak_read_progress(run);
            run->client = 0;
            return status;
        }
        if (!soak_pause(run, 50))
            return -1;
    }
}

int count_lines(const std::string &text, const char *what)
{
    int count = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        count += line.compare(0, 4, "zeq[") == 0 && line.find(what) != std::string::npos;
    return count;
}

// The client's report of shares per agent, and what its ZEQ_LOG lines say.
void report_client(const std::string &log)
{
    std::string text = fixture_read_text(log);
    std::istringstream lines(text);
    std::string line;
    long long shares = 0, items = 0;
    while (std::getline(lines, line)) {
        int agent;
        long long s, i;
        if (sscanf(line.c_str(), "agent %d shares %lld items %lld", &agent, &s, &i) == 3 && s > 0) {
            printf("  agent %-3d served %lld shares, %lld items\n", agent, s, i);
            shares += s;
            items += i;
        }
    }
    printf("  shares served by agents: %lld (%lld items)\n", shares, items);
    // One line per share that failed on an agent; a post that failed is no
    // failed share (it goes to another agent), nor is a line that says a
    // share "failed elsewhere" and was computed again.
    printf("  shares failed on agents: %d (the agent dead while it held one: %d); posts that failed and went "
           "elsewhere: %d\n",
           count_lines(text, "the share on agent"), count_lines(text, "reads as dead while it holds"),
           count_lines(text, "the post failed"));
    // The runtime computes every failed share again and says so: runs of
    // members on the caller's thread, the caller's own share by the call's
    // return (gravsim's own fallback is off in the soak's client).
    printf("  shares computed again by the runtime: %d (runs of members and the caller's own); lost: %d\n",
           count_lines(text, "computed here"), count_lines(text, "lost"));
}

struct state {
    int32_t n, steps;
    std::vector<float> pos, vel;
};

int read_state(const std::string &path, state *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in.read((char *)&out->n, 4) || !in.read((char *)&out->steps, 4) || out->n <= 0)
        return -1;
    out->pos.resize((size_t)out->n * 4);
    out->vel.resize((size_t)out->n * 4);
    in.read((char *)out->pos.data(), (std::streamsize)(out->pos.size() * 4));
    in.read((char *)out->vel.data(), (std::streamsize)(out->vel.size() * 4));
    return in ? 0 : -1;
}

// 0 when both states hold the same bits, else -1 with what differs said.
int compare_states(const std::string &run_path, const std::string &reference_path)
{
    state got, want;
    if (read_state(run_path, &got) != 0 || read_state(reference_path, &want) != 0) {
        printf("MISMATCH: a state file is missing or short\n");
        return -1;
    }
    if (got.n != want.n || got.steps != want.steps) {
        printf("MISMATCH: %d bodies after %d steps against %d after %d\n", got.n, got.steps, want.n, want.steps);
        return -1;
    }
    int differ = 0, first = -1;
    for (int b = 0; b < got.n; ++b)
        if (memcmp(&got.pos[b * 4], &want.pos[b * 4], 16) || memcmp(&got.vel[b * 4], &want.vel[b * 4], 16)) {
            differ += 1;
            first = first < 0 ? b : first;
        }
    if (differ == 0)
        return 0;
    printf("MISMATCH: %d of %d bodies differ from the pool-only run; first body %d: pos %.9g %.9g %.9g against "
           "%.9g %.9g %.9g\n",
           differ, got.n, first, got.pos[first * 4], got.pos[first * 4 + 1], got.pos[first * 4 + 2],
           want.pos[first * 4], want.pos[first * 4 + 1], want.pos[first * 4 + 2]);
    return -1;
}

// Stops everything started and says what could not be: 0 when nothing is
// left, else -1.
int stop_all(soak_run *run)
{
    std::string marker = getenv("ZEQ_SOAK_RUN");
    if (run->client > 0)
        fixture_stop_child(run->client, SIGKILL, 0);
    sshfs_server_signal_sshd(&run->server, SIGCONT);
    for (soak_agent &agent : run->agents)
        if (agent.pid > 0)
            fixture_stop_child(agent.pid, SIGKILL, 0);
    std::string server_folder = run->server.folder, mount_point = run->server.mount_point;
    // ZEQ_SOAK_KEEP names a folder that gets the run's logs.
    const char *keep = getenv("ZEQ_SOAK_KEEP");
    if (keep && *keep) {
        std::error_code ignored;
        // Only this run's logs: an earlier run's agents may have been more.
        std::filesystem::remove_all(keep, ignored);
        std::filesystem::create_directories(keep, ignored);
        for (const auto &entry : std::filesystem::directory_iterator(run->scratch, ignored))
            if (entry.path().extension() == ".log")
                std::filesystem::copy_file(entry.path(), std::string(keep) + "/" + entry.path().filename().string(),
                                           std::filesystem::copy_options::overwrite_existing, ignored);
    }
    int problems = 0;
    if (sshfs_server_stop(&run->server) != 0) {
        printf("LEFT: %s\n", run->server.message.c_str());
        problems = 1;
    }
    if (!mount_point.empty() && sshfs_mount_listed(mount_point)) {
        printf("LEFT: the mount at %s\n", mount_point.c_str());
        problems = 1;
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(run->scratch, ignored);
    }
    std::vector<fixture_process> left;
    fixture_processes_with_environment({"ZEQ_SOAK_RUN=" + marker}, &left);
    for (const fixture_process &process : left) {
        printf("LEFT: process %d (%s)\n", (int)process.pid,
               fixture_read_text("/proc/" + std::to_string(process.pid) + "/cmdline").c_str());
        problems = 1;
    }
    fixture_reap_all(left, 0);
    for (const std::string &folder : {run->scratch, server_folder})
        if (!folder.empty() && access(folder.c_str(), F_OK) == 0) {
            printf("LEFT: the folder %s\n", folder.c_str());
            problems = 1;
        }
    if (!problems)
        printf("  left behind: nothing (no process of the run, no mount, no folder)\n");
    return problems ? -1 : 0;
}

// The agent folders as this machine sees them, for a failure's report:
// each one's files, and the age of its "tsc".
void list_server_folder(const soak_run *run)
{
    std::error_code ignored;
    std::string platform = run->local_root + "/" + SERVER_PLATFORM_TAG;
    std::vector<std::filesystem::path> folders;
    for (const auto &entry : std::filesystem::directory_iterator(platform, ignored))
        folders.push_back(entry.path());
    std::sort(folders.begin(), folders.end(), [](const std::filesystem::path &a, const std::filesystem::path &b) {
        return atoi(a.filename().c_str()) < atoi(b.filename().c_str());
    });
    printf("agent folders in %s:\n", platform.c_str());
    for (const std::filesystem::path &folder : folders) {
        std::string names;
        for (const auto &entry : std::filesystem::directory_iterator(folder, ignored))
            names += " " + entry.path().filename().string();
        struct stat info;
        std::string tsc = folder.string() + "/" + SERVER_NAME_TSC;
        double age = stat(tsc.c_str(), &info) == 0 ? (double)time(nullptr) - (double)info.st_mtime : -1;
        printf("  %-4s%s%s\n", folder.filename().c_str(), names.c_str(),
               age >= 0 ? (" (tsc " + std::to_string((long)age) + " s old)").c_str() : " (no tsc)");
    }
}

// Runs the client through the faults and reports; 0 when it ended well
// (a state to compare), else -1 with what went wrong said.
int run_client(soak_run *run)
{
    std::string client_log = run->scratch + "/client.log";
    run->client_out = client_log;
    run->client = start_client(run, run->scratch + "/client.state", 0, "agents", client_log);
    run->progress = client_progress{0, 0, 0, 0, soak_now()};
    run->start = soak_now();
    soak_say(run, "client pid %d on %s, %d bodies; faults for %d s", (int)run->client,
             run->options.client_local ? "the plain folder" : "the mount", run->options.bodies, run->options.seconds);
    int faults = run_faults(run);
    std::ofstream(run->scratch + "/stop").close();
    int status = faults == 0 ? wait_client(run) : -1;
    if (run->client > 0) {
        // Hung or stopped: its tallies so far, for the report.
        list_server_folder(run);
        fixture_stop_child(run->client, SIGTERM, 2000);
        run->client = 0;
    }
    soak_say(run, "client ended after %d steps; longest step %.0f ms (step %d)", run->progress.steps,
             run->progress.longest_ms, run->progress.longest_step);
    printf("report (seed %llu):\n", (unsigned long long)run->options.seed);
    for (int k = 0; k < fault_kinds; ++k)
        printf("  faults %-13s %d\n", fault_names[k], run->injected[k]);
    printf("  agents started %d, of which %d replaced agents that ended by themselves\n", run->agent_starts,
           run->agent_ends);
    report_client(client_log);
    printf("  longest step: %.0f ms, step %d%s (bound %d s)\n", run->progress.longest_ms, run->progress.longest_step,
           run->hang ? ", unfinished" : "", run->options.step_bound_s);
    if (run->hang || run->fixture_failed || soak_stop_signal) {
        printf("%s\n", run->hang ? "FAIL: a step outlasted the bound (a hang)"
                       : run->fixture_failed ? "FAIL: the mount could not be made again"
                                             : "stopped by a signal");
        printf("client's last lines:\n%s", fixture_log_tail(client_log).c_str());
        return -1;
    }
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        printf("FAIL: the client ended with %s %d\n", status >= 0 && WIFEXITED(status) ? "status" : "signal",
               status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
        printf("client's last lines:\n%s", fixture_log_tail(client_log).c_str());
        return -1;
    }
    return 0;
}

// Runs the client's steps on the pool alone and compares: 0 when the bits
// agree, else -1.
int compare_with_pool(soak_run *run)
{
    state ran;
    if (read_state(run->scratch + "/client.state", &ran) != 0 || ran.steps <= 0) {
        printf("FAIL: the client wrote no state, or ran no step\n");
        return -1;
    }
    std::string reference_log = run->scratch + "/reference.log";
    pid_t reference = start_client(run, run->scratch + "/reference.state", ran.steps, "pool", reference_log);
    int status = fixture_running;
    for (int waited = 0; status == fixture_running && waited < reference_wait_ms && !soak_stop_signal; waited += 100)
        status = fixture_wait(reference, 100);
    if (status == fixture_running)
        fixture_stop_child(reference, SIGKILL, 0);
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        printf("FAIL: the pool-only run failed or was stopped:\n%s", fixture_log_tail(reference_log).c_str());
        return -1;
    }
    if (compare_states(run->scratch + "/client.state", run->scratch + "/reference.state") != 0)
        return -1;
    printf("  positions and velocities after %d steps: bit for bit those of the pool-only run\n", ran.steps);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--client") == 0)
        return soak_client_main(argc, argv);
    soak_run run = {};
    if (parse_options(argc, argv, &run.options) != 0) {
        fprintf(stderr, "usage: zeq_soak --zeqworker <path> [--seconds S] [--agents N] [--seed X] "
                        "[--client-folder mount|local] [--bodies N, a multiple of 256] [--step-bound S] "
                        "[--skip kind,...]\n");
        return 2;
    }
    run.random = run.options.seed;
    std::error_code error;
    run.self = std::filesystem::read_symlink("/proc/self/exe", error).string();
    run.env_program = fixture_find_program("env");
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/zeq_soak_XXXXXX";
    if (!mkdtemp(&pattern[0])) {
        fprintf(stderr, "zeq_soak: cannot make %s\n", pattern.c_str());
        return 1;
    }
    run.scratch = pattern;
    run.local_root = run.scratch + "/server";
    mkdir(run.local_root.c_str(), 0700);
    // Every process of the run carries the marker, which finds leftovers; no
    // device library is found by the agents or the clients: an OpenCL loader
    // reads its drivers from an empty folder, CUDA sees no device.
    setenv("ZEQ_SOAK_RUN", run.scratch.c_str(), 1);
    setenv("OCL_ICD_VENDORS", run.scratch.c_str(), 1);
    setenv("CUDA_VISIBLE_DEVICES", "", 1);
    setenv("ZEQ_LOG", "1", 1);
    unsetenv("QIV_NETLOAD_SERVER");
    struct sigaction action = {};
    action.sa_handler = on_signal;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    printf("zeq_soak: seed %llu, %d s of faults, %d agents through the mount and 1 on the plain folder, step bound "
           "%d s\n",
           (unsigned long long)run.options.seed, run.options.seconds, run.options.agents, run.options.step_bound_s);
    fflush(stdout);
    int result = -1;
    int started = sshfs_server_start(&run.server, run.local_root);
    if (started == sshfs_server_no_fuse) {
        printf("SKIP: %s\n", run.server.message.c_str());
        result = 77;
    } else if (started != sshfs_server_started) {
        printf("FAIL: the sshfs fixture did not start: %s\n", run.server.message.c_str());
    } else if (start_agents(&run) != 0) {
        printf("FAIL: the agents did not all register within %d ms\n", (int)register_wait_ms);
    } else if (run_client(&run) == 0) {
        result = compare_with_pool(&run);
    }
    if (stop_all(&run) != 0 && result != 77) {
        printf("FAIL: something was left behind\n");
        result = -1;
    }
    if (soak_stop_signal)
        return 128 + soak_stop_signal;
    if (result == 77)
        return 77;
    printf("%s\n", result == 0 ? "PASS" : "FAIL");
    return result == 0 ? 0 : 1;
}
