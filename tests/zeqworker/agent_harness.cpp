// The agent test harness (see agent_harness.h).  Agents are started with
// fork and exec so that the child can ask to be killed when the test process
// ends: a test that crashes leaves no agent behind.
#include "agent_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

extern char **environ;

const char *harness_zeqworker_path(void)
{
    return ZEQ_HARNESS_ZEQWORKER;
}

const char *harness_faults_path(void)
{
    return ZEQ_HARNESS_FAULTS;
}

const char *harness_module_folder(void)
{
    return ZEQ_HARNESS_MODULES;
}

// ---- agent processes --------------------------------------------------------

namespace {

std::vector<std::string> split_words(const std::string &text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        words.push_back(word);
    return words;
}

int shell_status(int wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return -1;
}

} // namespace

bool agent_start(agent_process *agent, const std::string &program, const std::vector<std::string> &args,
                 const std::string &log_path, const std::vector<std::string> &env)
{
    std::vector<std::string> words = split_words(ZEQ_RUN_PREFIX);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char **e = environ; *e; ++e)
        environment.push_back(*e);
    for (const auto &entry : env) {
        std::string name = entry.substr(0, entry.find('=') + 1);
        environment.erase(std::remove_if(environment.begin(), environment.end(),
                                         [&](const std::string &e) { return e.compare(0, name.size(), name) == 0; }),
                          environment.end());
        environment.push_back(entry);
    }
    std::vector<char *> envp;
    for (auto &entry : environment)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    // Everything the child needs is ready before the fork: after it, the
    // child only makes system calls that are safe there.
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int null_input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t parent = getpid();
    pid_t pid = log < 0 || null_input < 0 ? -1 : fork();
    if (pid == 0) {
        // A test process that dies without its TearDown takes its agents along.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(null_input, 0);
        dup2(log, 1);
        dup2(log, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (log >= 0)
        close(log);
    if (null_input >= 0)
        close(null_input);
    agent->log_path = log_path;
    agent->exit_status = -1;
    agent->pid = pid > 0 ? pid : 0;
    return pid > 0;
}

void agent_kill(agent_process *agent)
{
    if (agent->pid <= 0)
        return;
    kill(agent->pid, SIGKILL);
    int status = 0;
    while (waitpid(agent->pid, &status, 0) < 0 && errno == EINTR) {
    }
    agent->exit_status = shell_status(status);
    agent->pid = 0;
}

int agent_wait_exit(agent_process *agent, int timeout_ms)
{
    wait_until([&] { return !agent_running(agent); }, timeout_ms, 5);
    return agent->pid == 0 ? agent->exit_status : -1;
}

bool agent_running(agent_process *agent)
{
    if (agent->pid <= 0)
        return false;
    int status = 0;
    pid_t done = waitpid(agent->pid, &status, WNOHANG);
    if (done == 0)
        return true;
    agent->exit_status = done == agent->pid ? shell_status(status) : -1;
    agent->pid = 0;
    return false;
}

std::string agent_log(const agent_process *agent)
{
    std::ifstream in(agent->log_path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// ---- files and waiting ------------------------------------------------------

std::string harness_platform_folder(const std::string &root)
{
    char path[4096];
    return server_platform_folder(path, sizeof path, root.c_str()) < 0 ? std::string() : std::string(path);
}

std::string harness_agent_folder(const std::string &root, int number)
{
    char path[4096];
    return server_agent_folder(path, sizeof path, root.c_str(), number) < 0 ? std::string() : std::string(path);
}

bool wait_until(const std::function<bool()> &condition, int timeout_ms, int step_ms)
{
    uint64_t end = platform_monotonic_ms() + (uint64_t)timeout_ms;
    for (;;) {
        if (condition())
            return true;
        if (platform_monotonic_ms() >= end)
            return false;
        platform_sleep_ms((uint32_t)step_ms);
    }
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool wait_for_registration(const std::string &root, int number, int timeout_ms)
{
    std::string tsc = harness_agent_folder(root, number) + SERVER_NAME_TSC;
    return wait_until([&] { return file_exists(tsc); }, timeout_ms, 2);
}

std::vector<int> registered_agents(const std::string &root)
{
    std::vector<int> numbers;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(harness_platform_folder(root), error)) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            file_exists(entry.path().string() + "/" SERVER_NAME_TSC))
            numbers.push_back(atoi(name.c_str()));
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

bool read_file(const std::string &path, std::vector<uint8_t> *bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
    out.close();
    return out.good();
}

// Small files in hex, larger ones by a 64-bit FNV-1a hash: one line per
// file whatever bytes it holds, and a failure message of readable size.
std::string content_digest(const std::vector<uint8_t> &bytes)
{
    char text[24];
    std::string out;
    if (bytes.size() <= 32) {
        for (uint8_t byte : bytes) {
            snprintf(text, sizeof text, "%02x", byte);
            out += text;
        }
        return out;
    }
    uint64_t hash = 14695981039346656037ull;
    for (uint8_t byte : bytes)
        hash = (hash ^ byte) * 1099511628211ull;
    snprintf(text, sizeof text, "fnv1a:%016llx", (unsigned long long)hash);
    return text;
}

std::string tree_snapshot(const std::string &folder)
{
    std::set<std::string> lines;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        struct stat st;
        std::string path = it->path().string();
        std::string line = path.substr(folder.size());
        if (lstat(path.c_str(), &st) != 0) {
            lines.insert(line + " <gone>");
            continue;
        }
        line += " mode " + std::to_string(st.st_mode) + " size " + std::to_string(st.st_size) + " mtime " +
                std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        std::vector<uint8_t> bytes;
        if (S_ISREG(st.st_mode) && read_file(path, &bytes))
            line += " content " + content_digest(bytes);
        lines.insert(line);
    }
    std::string all;
    for (const auto &line : lines)
        all += line + "\n";
    return all;
}

// ---- requests ---------------------------------------------------------------

test_request make_request(const std::string &module_name, int32_t function_number,
                          const std::vector<test_argument> &arguments)
{
    test_request request;
    memset(&request.header, 0, sizeof request.header);
    request.header.version = server_request_version;
    request.header.share_count = 1;
    request.header.share_index = 0;
    request.header.function_number = function_number;
    request.header.arg_count = (int32_t)arguments.size();
    uint32_t data_size = 0;
    for (const auto &argument : arguments)
        data_size += (uint32_t)argument.bytes.size();
    request.header.data_size_low = data_size;
    request.header.module_name_length = (int32_t)module_name.size() + 1;
    request.module_name = module_name;
    request.arguments = arguments;
    return request;
}

std::vector<uint8_t> request_file_bytes(const test_request &request)
{
    size_t table = sizeof(args_header) + request.module_name.size() + 1;
    size_t size = table + sizeof(args_entry) * request.arguments.size();
    for (const auto &argument : request.arguments)
        size += argument.bytes.size();
    std::vector<uint8_t> bytes(size, 0);
    memcpy(bytes.data(), &request.header, sizeof(args_header));
    memcpy(bytes.data() + sizeof(args_header), request.module_name.c_str(), request.module_name.size() + 1);
    size_t data = table + sizeof(args_entry) * request.arguments.size();
    for (size_t i = 0; i < request.arguments.size(); ++i) {
        args_entry entry = {(uint32_t)data, request.arguments[i].kind};
        memcpy(bytes.data() + table + sizeof entry * i, &entry, sizeof entry);
        if (!request.arguments[i].bytes.empty())
            memcpy(bytes.data() + data, request.arguments[i].bytes.data(), request.arguments[i].bytes.size());
        data += request.arguments[i].bytes.size();
    }
    return bytes;
}

std::vector<uint8_t> int_bytes(const std::vector<int32_t> &values)
{
    std::vector<uint8_t> bytes(values.size() * 4);
    if (!values.empty())
        memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

std::vector<int32_t> ints_at(const std::vector<uint8_t> &bytes, size_t offset, size_t count)
{
    std::vector<int32_t> values(count, 0);
    if (offset + 4 * count <= bytes.size() && count)
        memcpy(values.data(), bytes.data() + offset, 4 * count);
    return values;
}

bool copy_module(const std::string &agent_folder, const std::string &name)
{
    std::string from = std::string(harness_module_folder()) + "/" + name;
    return platform_file_copy_replace(from.c_str(), (agent_folder + name).c_str()) == 0;
}

bool claim_agent(const std::string &agent_folder)
{
    return server_claim((agent_folder + SERVER_NAME_BUSY).c_str(), server_new_stamp()) == 0;
}

const char *outcome_name(request_outcome outcome)
{
    switch (outcome) {
    case outcome_done:
        return "done";
    case outcome_err:
        return "err";
    case outcome_pending:
        return "pending";
    case outcome_lost:
        return "lost";
    }
    return "?";
}

bool post_request(const std::string &agent_folder)
{
    return server_post(agent_folder.c_str()) == 0;
}

test_request counting_request()
{
    return make_request("probe_net.so", 7, {{3, int_bytes({41, 7})}, {4, int_bytes({2})}});
}

test_request probe_share_request(int32_t share_index, int32_t share_count, const std::vector<int32_t> &counts)
{
    test_request request = make_request("probe_net.so", 10,
                                        {{2, int_bytes({-1, -1})},
                                         {3, int_bytes(counts)},
                                         {4, int_bytes({(int32_t)counts.size()})}});
    request.header.share_index = share_index;
    request.header.share_count = share_count;
    return request;
}

request_outcome wait_outcome(const std::string &agent_folder, int timeout_ms)
{
    int outcome = server_outcome_running;
    if (!wait_until([&] { return (outcome = server_outcome(agent_folder.c_str())) != server_outcome_running; },
                    timeout_ms, 1))
        return outcome_pending;
    return outcome == server_outcome_done     ? outcome_done
           : outcome == server_outcome_failed ? outcome_err
                                              : outcome_lost;
}

request_outcome send_request(const std::string &agent_folder, const test_request &request, int timeout_ms)
{
    std::vector<uint32_t> kinds;
    std::vector<request_part> parts;
    for (const auto &argument : request.arguments) {
        kinds.push_back(argument.kind);
        parts.push_back({argument.bytes.data(), (uint32_t)argument.bytes.size()});
    }
    std::string args_path = agent_folder + SERVER_NAME_ARGS;
    if (request_write(args_path.c_str(), &request.header, request.module_name.c_str(), kinds.data(), parts.data(),
                      (int32_t)parts.size()) != 0)
        return outcome_lost;
    if (!post_request(agent_folder))
        return outcome_lost;
    return wait_outcome(agent_folder, timeout_ms);
}

request_outcome send_raw_request(const std::string &agent_folder, const std::vector<uint8_t> &bytes, int timeout_ms)
{
    if (!write_file(agent_folder + SERVER_NAME_ARGS, bytes) || !post_request(agent_folder))
        return outcome_lost;
    return wait_outcome(agent_folder, timeout_ms);
}

// ---- the fixture --------------------------------------------------------------

void agent_fixture::SetUp()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/zeq_agent_XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr) << pattern;
    scratch = pattern;
    root = scratch + "/server";
    ASSERT_EQ(mkdir(root.c_str(), 0777), 0);
}

void agent_fixture::TearDown()
{
    for (auto &agent : agents)
        agent_kill(&agent);
    if (HasFailure())
        for (auto &agent : agents)
            std::cerr << "log of the agent " << agent.log_path << ":\n" << agent_log(&agent);
    agents.clear();
    std::error_code ignored;
    if (!scratch.empty())
        std::filesystem::remove_all(scratch, ignored);
}

agent_process *agent_fixture::start_program(const std::vector<std::string> &args, const std::vector<std::string> &env,
                                            const std::string &program)
{
    agents.emplace_back();
    agent_process *agent = &agents.back();
    std::string log = scratch + "/agent" + std::to_string(agents.size()) + ".log";
    bool started = agent_start(agent, program.empty() ? harness_zeqworker_path() : program, args, log, env);
    EXPECT_TRUE(started) << program;
    return agent;
}

agent_process *agent_fixture::start_agent(const std::string &server, const std::vector<std::string> &env,
                                          const std::string &program)
{
    return start_program({server.empty() ? root : server}, env, program);
}

agent_process *agent_fixture::start_ready_agent(const std::vector<std::string> &env, const std::string &program)
{
    agent_process *agent = start_agent("", env, program);
    EXPECT_TRUE(wait_for_registration(root, 0, harness_wait_ms)) << agent_log(agent);
    EXPECT_TRUE(claim_agent(folder(0)));
    EXPECT_TRUE(copy_module(folder(0), "probe_net.so"));
    return agent;
}
