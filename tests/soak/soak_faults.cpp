// The soak's faults and the agents they fall on.  Each fault is one blocking
// step of the driver, logged with its time; waits inside it go through
// soak_pause, which keeps watching the client for a hang and the agents for
// ends, so that no fault hides either.
#include "soak.h"

#include "server_folder.h"

#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

const char *const fault_names[fault_kinds] = {"kill-agent", "stop-agent", "tsc", "garbage-args", "stall-mount",
                                              "kill-sshd"};

volatile int soak_stop_signal = 0;

namespace {

enum {
    slice_ms = 20,
    // Past the bound after which clients read an agent as dead.
    agent_stop_ms = server_alive_bound_ms + 2000,
    mount_stall_ms = 10000,
    mount_fail_ms = 15000,
    // How long a fault that wants a request in flight waits for one.
    request_wait_ms = 5000,
};

// The agent folder an agent registered in last, on this machine's side, or
// "" before it registered.  Its log holds "registered in <root>/<tag>/<n>/";
// only what the log gained since the last look is read, since faults look
// often while they wait for a request.
std::string agent_folder(const soak_run *run, soak_agent &agent)
{
    std::ifstream in(agent.log, std::ios::binary);
    in.seekg(agent.log_read);
    std::string line, tag = std::string("/") + SERVER_PLATFORM_TAG + "/";
    while (std::getline(in, line) && !in.eof()) {
        agent.log_read += (long)line.size() + 1;
        size_t at = line.find("registered in ");
        size_t folder = at == std::string::npos ? at : line.find(tag, at);
        if (folder != std::string::npos)
            agent.folder = run->local_root + tag + std::to_string(atoi(line.c_str() + folder + tag.size())) + "/";
    }
    return agent.folder;
}

// A random live agent that has registered, or -1.
int pick_agent(soak_run *run)
{
    std::vector<int> ready;
    for (size_t i = 0; i < run->agents.size(); ++i)
        if (run->agents[i].pid > 0 && !agent_folder(run, run->agents[i]).empty())
            ready.push_back((int)i);
    return ready.empty() ? -1 : ready[soak_random(run) % ready.size()];
}

// Waits for a request ("do") in the folder of any registered agent; the
// agent's index, or -1 when none came.  One at random when none does.
int pick_serving_agent(soak_run *run, int *serving)
{
    *serving = 0;
    for (int waited = 0; waited < request_wait_ms; waited += 1) {
        for (size_t i = 0; i < run->agents.size(); ++i) {
            if (run->agents[i].pid <= 0)
                continue;
            std::string folder = agent_folder(run, run->agents[i]);
            if (!folder.empty() && access((folder + SERVER_NAME_DO).c_str(), F_OK) == 0) {
                *serving = 1;
                return (int)i;
            }
        }
        if (waited % slice_ms == 0 && !soak_pause(run, 0))
            return -1;
        fixture_sleep_ms(1);
    }
    return pick_agent(run);
}

void kill_agent(soak_run *run)
{
    int serving;
    int i = pick_serving_agent(run, &serving);
    if (i < 0)
        return soak_say(run, "kill-agent: no registered agent");
    std::string folder = agent_folder(run, run->agents[i]);
    kill(run->agents[i].pid, SIGKILL);
    fixture_wait(run->agents[i].pid, 5000);
    soak_say(run, "kill-agent: SIGKILL to agent pid %d in %s (%s)", (int)run->agents[i].pid, folder.c_str(),
             serving ? "while it held a request" : "no request came: idle");
    run->agents[i].pid = 0;
    soak_start_agent(run, run->agents[i].through_mount);
}

void stop_agent(soak_run *run)
{
    // One that holds a request where one comes: its response, written
    // after the SIGCONT, is late for a client that has given up on it.
    int serving;
    int i = pick_serving_agent(run, &serving);
    if (i < 0)
        return soak_say(run, "stop-agent: no registered agent");
    pid_t pid = run->agents[i].pid;
    kill(pid, SIGSTOP);
    soak_say(run, "stop-agent: SIGSTOP to agent pid %d in %s (%s) for %d ms", (int)pid,
             agent_folder(run, run->agents[i]).c_str(), serving ? "while it held a request" : "idle",
             (int)agent_stop_ms);
    soak_pause(run, agent_stop_ms);
    kill(pid, SIGCONT);
    soak_say(run, "stop-agent: SIGCONT to agent pid %d", (int)pid);
}

void garble(soak_run *run, const std::string &path, long bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | (bytes > 0 ? 0 : O_TRUNC));
    if (fd < 0)
        return;
    std::string garbage((size_t)bytes, '\0');
    for (char &c : garbage)
        c = (char)soak_random(run);
    ssize_t ignored = write(fd, garbage.data(), garbage.size());
    (void)ignored;
    close(fd);
}

void break_tsc(soak_run *run)
{
    int i = pick_agent(run);
    if (i < 0)
        return soak_say(run, "tsc: no registered agent");
    std::string tsc = agent_folder(run, run->agents[i]) + SERVER_NAME_TSC;
    if (soak_random(run) % 2) {
        int gone = unlink(tsc.c_str());
        soak_say(run, "tsc: deleted %s%s", tsc.c_str(), gone == 0 ? "" : " (it was not there)");
    } else {
        garble(run, tsc, 8);
        soak_say(run, "tsc: rewrote %s with 8 random bytes", tsc.c_str());
    }
}

void garbage_args(soak_run *run)
{
    int serving;
    int i = pick_serving_agent(run, &serving);
    if (i < 0 || !serving)
        return soak_say(run, "garbage-args: no request came to any agent");
    std::string folder = agent_folder(run, run->agents[i]);
    struct stat info;
    std::string args = folder + SERVER_NAME_ARGS;
    long bytes = stat(args.c_str(), &info) == 0 ? (long)info.st_size : 0;
    garble(run, args, bytes);
    soak_say(run, "garbage-args: %ld garbage bytes over %s while \"do\" %s", bytes, args.c_str(),
             access((folder + SERVER_NAME_DO).c_str(), F_OK) == 0 ? "still exists" : "had gone meanwhile");
}

void stall_mount(soak_run *run)
{
    int stopped = sshfs_server_signal_sshd(&run->server, SIGSTOP);
    soak_say(run, "stall-mount: SIGSTOP to %d sshd process(es) for %d ms", stopped, (int)mount_stall_ms);
    soak_pause(run, mount_stall_ms);
    int continued = sshfs_server_signal_sshd(&run->server, SIGCONT);
    soak_say(run, "stall-mount: SIGCONT to %d sshd process(es)", continued);
}

void kill_sshd(soak_run *run)
{
    run->mount_down = 1;
    int failed = sshfs_server_kill_sshd(&run->server, mount_fail_ms);
    soak_say(run, "kill-sshd: sshd killed, %s",
             failed == 0 ? "every step on the mount fails" : "some of its processes did not end");
    soak_pause(run, 1000);
    int restarted = sshfs_server_restart(&run->server);
    if (restarted != sshfs_server_started) {
        soak_say(run, "kill-sshd: cannot mount again: %s", run->server.message.c_str());
        run->fixture_failed = 1;
        return;
    }
    run->mount_down = 0;
    soak_say(run, "kill-sshd: sshd again on port %d, mounted again", run->server.port);
    soak_replace_ended_agents(run);
}

} // namespace

double soak_now(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

void soak_say(const soak_run *run, const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    printf("[%8.3f] %s\n", run->start > 0 ? soak_now() - run->start : 0.0, line);
    fflush(stdout);
}

uint64_t soak_random(soak_run *run)
{
    // splitmix64: the same sequence from a seed on every library and flavour.
    uint64_t z = (run->random += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

int soak_pause(soak_run *run, int ms)
{
    double until = soak_now() + ms / 1e3;
    for (;;) {
        if (soak_stop_signal || run->hang || run->fixture_failed)
            return 0;
        if (run->client > 0) {
            soak_read_progress(run);
            if (soak_now() - run->progress.last_change > run->options.step_bound_s) {
                soak_say(run, "HANG: no step ended for %d s (after step %d)", run->options.step_bound_s,
                         run->progress.steps);
                run->hang = 1;
                // The step in flight, unfinished, is the longest.
                run->progress.longest_ms = 1e3 * (soak_now() - run->progress.last_change);
                run->progress.longest_step = run->progress.steps + 1;
                return 0;
            }
        }
        if (!run->mount_down)
            soak_replace_ended_agents(run);
        double left = until - soak_now();
        if (left <= 0)
            return 1;
        fixture_sleep_ms(left * 1e3 < slice_ms ? (int)(left * 1e3) + 1 : slice_ms);
    }
}

int soak_start_agent(soak_run *run, int through_mount)
{
    std::string root = through_mount ? run->server.mount_point : run->local_root;
    soak_agent agent = {0, through_mount, run->scratch + "/agent" + std::to_string(run->agent_starts) + ".log", 0, ""};
    // SIGKILL with the driver: agents hold nothing that needs a drain here.
    agent.pid = fixture_spawn({run->options.zeqworker, root}, agent.log, SIGKILL);
    if (agent.pid <= 0)
        return -1;
    ++run->agent_starts;
    run->agents.push_back(agent);
    return 0;
}

void soak_tidy_gaps(soak_run *run)
{
    // A folder without "tsc" ends every client's scan, so every agent that
    // registered after it is out of sight for good: what a deleted "tsc"
    // leaves, and a registration that the mount's failure cut short.  The
    // soak removes such a folder, as an operator would, once it has stood
    // without "tsc" for a while (a registering agent makes its "tsc" right
    // after its folder); the next agent started takes the number again.
    std::error_code error;
    std::filesystem::path platform = std::filesystem::path(run->local_root) / "x64";
    for (const auto &entry : std::filesystem::directory_iterator(platform, error)) {
        struct stat info;
        if (!entry.is_directory(error) || stat(entry.path().c_str(), &info) != 0 ||
            std::filesystem::exists(entry.path() / SERVER_NAME_TSC, error) || time(nullptr) - info.st_mtime < 3)
            continue;
        if (std::filesystem::remove_all(entry.path(), error) != static_cast<std::uintmax_t>(-1))
            soak_say(run, "tidy: removed %s, left without tsc (a gap ends every client's scan)", entry.path().c_str());
    }
}

void soak_replace_ended_agents(soak_run *run)
{
    if (!run->mount_down)
        soak_tidy_gaps(run);
    for (size_t i = 0; i < run->agents.size(); ++i) {
        soak_agent &agent = run->agents[i];
        if (agent.pid <= 0 || (agent.through_mount && run->mount_down))
            continue;
        int status = fixture_wait(agent.pid, 0);
        if (status == fixture_running)
            continue;
        soak_say(run, "agent pid %d (%s) ended by itself, %s %d; started again", (int)agent.pid,
                 agent.through_mount ? "mount" : "local", WIFEXITED(status) ? "status" : "signal",
                 WIFEXITED(status) ? (int)(signed char)WEXITSTATUS(status) : WTERMSIG(status));
        ++run->agent_ends;
        agent.pid = 0;
        soak_start_agent(run, agent.through_mount);
    }
}

void soak_inject(soak_run *run, int kind)
{
    ++run->injected[kind];
    switch (kind) {
    case fault_kill_agent: return kill_agent(run);
    case fault_stop_agent: return stop_agent(run);
    case fault_tsc: return break_tsc(run);
    case fault_garbage_args: return garbage_args(run);
    case fault_stall_mount: return stall_mount(run);
    case fault_kill_sshd: return kill_sshd(run);
    }
}
