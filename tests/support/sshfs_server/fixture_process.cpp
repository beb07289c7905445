// Starting, waiting for and finding the sshfs test server's processes.  See
// fixture_process.h for why a child's tree is read from /proc.
#include "fixture_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

enum { poll_interval_ms = 5, log_tail_lines = 15 };

// What /proc/<pid>/stat says of a process.
struct process_stat {
    pid_t pid;
    pid_t parent;
    pid_t group;
    char state;
    unsigned long long start_ticks;
};

// The command name (field 2) is in parentheses and may hold spaces or
// parentheses itself, so the fields are counted from the last ')'.
int read_process_stat(pid_t pid, process_stat *out)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    std::ifstream in(path);
    std::string text;
    if (!in || !std::getline(in, text))
        return -1;
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 1));
    std::string skip;
    out->pid = pid;
    fields >> out->state >> out->parent >> out->group;
    // Fields 6 to 21 lie between the process group (5) and the start time (22).
    for (int field = 6; field <= 21; ++field)
        fields >> skip;
    fields >> out->start_ticks;
    return fields ? 0 : -1;
}

void list_processes(std::vector<process_stat> *out)
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return;
    while (struct dirent *entry = readdir(proc)) {
        char *end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        process_stat stat;
        if (pid > 0 && *end == 0 && read_process_stat((pid_t)pid, &stat) == 0)
            out->push_back(stat);
    }
    closedir(proc);
}

bool is_dead_state(char state) { return state == 'Z' || state == 'X' || state == 'x'; }

} // namespace

pid_t fixture_spawn(const std::vector<std::string> &argv, const std::string &log_path, int death_signal)
{
    // Everything the child needs is prepared before the fork: after it, only
    // calls that are safe in the child of a process with threads are made.
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log < 0 || null < 0) {
        if (log >= 0)
            close(log);
        if (null >= 0)
            close(null);
        return -1;
    }
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, death_signal);
        // The parent may have ended before the death signal was armed.
        if (getppid() != parent)
            _exit(1);
        dup2(null, 0);
        dup2(log, 1);
        dup2(log, 2);
        // Descriptors the test holds open (pipes to other children) must not
        // live on in a daemon, where they would keep those pipes open.
        if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
            for (int fd = 3; fd < 4096; ++fd)
                close(fd);
        execv(args[0], args.data());
        static const char failed[] = "exec failed\n";
        ssize_t ignored = write(2, failed, sizeof failed - 1);
        (void)ignored;
        _exit(127);
    }
    close(log);
    close(null);
    return child;
}

int fixture_wait(pid_t pid, int timeout_ms)
{
    for (int waited = 0;; waited += poll_interval_ms) {
        int status = 0;
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return status;
        if (got == -1 && errno != EINTR)
            return fixture_not_child;
        if (waited >= timeout_ms)
            return fixture_running;
        fixture_sleep_ms(poll_interval_ms);
    }
}

int fixture_run_status(const std::vector<std::string> &argv, const std::string &log_path, int timeout_ms)
{
    pid_t child = fixture_spawn(argv, log_path, SIGKILL);
    if (child < 0)
        return -1;
    int status = fixture_wait(child, timeout_ms);
    if (status == fixture_running) {
        kill(child, SIGKILL);
        fixture_wait(child, 5000);
        return -1;
    }
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int fixture_run(const std::vector<std::string> &argv, const std::string &log_path, int timeout_ms)
{
    return fixture_run_status(argv, log_path, timeout_ms) == 0 ? 0 : -1;
}

void fixture_stop_child(pid_t pid, int signal, int grace_ms)
{
    if (pid <= 0)
        return;
    kill(pid, signal);
    if (fixture_wait(pid, grace_ms) == fixture_running) {
        kill(pid, SIGKILL);
        fixture_wait(pid, 5000);
    }
}

void fixture_process_tree(pid_t root, std::vector<fixture_process> *out)
{
    std::vector<process_stat> all;
    list_processes(&all);
    std::vector<pid_t> found = {root};
    // Parent links form a tree; each pass adds the children of what was found.
    for (size_t next = 0; next < found.size(); ++next)
        for (const process_stat &stat : all)
            if (stat.parent == found[next] && !is_dead_state(stat.state))
                found.push_back(stat.pid);
    for (const process_stat &stat : all) {
        bool in_tree = false;
        for (pid_t pid : found)
            in_tree = in_tree || pid == stat.pid;
        if ((in_tree || stat.group == root) && !is_dead_state(stat.state))
            out->push_back({stat.pid, stat.start_ticks});
    }
}

int fixture_process_alive(const fixture_process &process)
{
    process_stat stat;
    if (read_process_stat(process.pid, &stat) != 0)
        return 0;
    return stat.start_ticks == process.start_ticks && !is_dead_state(stat.state);
}

int fixture_reap_all(const std::vector<fixture_process> &processes, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += poll_interval_ms) {
        bool any = false;
        for (const fixture_process &process : processes)
            any = any || fixture_process_alive(process);
        if (!any)
            return 0;
        fixture_sleep_ms(poll_interval_ms);
    }
    int killed = 0;
    for (const fixture_process &process : processes)
        if (fixture_process_alive(process)) {
            kill(process.pid, SIGKILL);
            ++killed;
        }
    // Our own children among them are reaped; the others belong to init.
    for (const fixture_process &process : processes)
        waitpid(process.pid, nullptr, WNOHANG);
    for (int waited = 0; waited < 5000; waited += poll_interval_ms) {
        bool any = false;
        for (const fixture_process &process : processes)
            any = any || fixture_process_alive(process);
        if (!any)
            break;
        fixture_sleep_ms(poll_interval_ms);
    }
    return killed;
}

void fixture_sleep_ms(int ms)
{
    struct timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) == -1 && errno == EINTR) {
    }
}

std::string fixture_find_program(const char *name)
{
    const char *path = getenv("PATH");
    std::string folders = std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/local/sbin:/usr/bin:/bin";
    std::istringstream each(folders);
    std::string folder;
    while (std::getline(each, folder, ':')) {
        if (folder.empty())
            continue;
        std::string candidate = folder + "/" + name;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

std::string fixture_log_tail(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    std::string tail;
    size_t first = lines.size() > log_tail_lines ? lines.size() - log_tail_lines : 0;
    for (size_t i = first; i < lines.size(); ++i)
        tail += "  " + lines[i] + "\n";
    return tail.empty() ? "  (empty log)\n" : tail;
}

std::string fixture_read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

int fixture_free_port(void)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, (struct sockaddr *)&address, sizeof address) == 0 &&
        getsockname(fd, (struct sockaddr *)&address, &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

void fixture_processes_with_environment(const std::vector<std::string> &entries, std::vector<fixture_process> *out)
{
    std::vector<process_stat> all;
    list_processes(&all);
    for (const process_stat &stat : all) {
        if (stat.pid == getpid() || is_dead_state(stat.state))
            continue;
        // NUL-separated "NAME=value" entries, padded so that each one is
        // looked for whole.
        std::string environment = std::string(1, '\0') +
                                   fixture_read_text("/proc/" + std::to_string(stat.pid) + "/environ") + '\0';
        bool all_there = true;
        for (const std::string &entry : entries)
            all_there = all_there && environment.find('\0' + entry + '\0') != std::string::npos;
        if (all_there)
            out->push_back({stat.pid, stat.start_ticks});
    }
}
