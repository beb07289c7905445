// The remote offload tests' fixture (see remote_fixture.h).
#include "remote_fixture.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

// The one folder this process's client may use, once a test has named it.
std::string chosen_server;

bool is_client_file(const std::string &name)
{
    return name != SERVER_NAME_TSC && name != "." && name != "..";
}

// The played agent's loop: beat every 200 ms (a live agent beats every
// second; the client's bound is several), answer each "do".
void played_agent_loop(played_agent *agent, uint64_t stamp)
{
    std::string tsc = agent->folder + SERVER_NAME_TSC;
    uint64_t last_beat = platform_monotonic_ms();
    while (!agent->stop.load()) {
        if (platform_monotonic_ms() - last_beat >= 200) {
            server_stamp_refresh(tsc.c_str(), stamp);
            last_beat = platform_monotonic_ms();
        }
        if (server_file_present((agent->folder + SERVER_NAME_DO).c_str()) != 1) {
            platform_sleep_ms(1);
            continue;
        }
        std::vector<uint8_t> bytes;
        bool ok = read_file(agent->folder + SERVER_NAME_ARGS, &bytes);
        agent->requests.push_back(bytes);
        ok = ok && agent->answer(&bytes) && write_file(agent->folder + SERVER_NAME_ARGS, bytes);
        server_publish(agent->folder.c_str(), ok ? 1 : 0);
    }
}

} // namespace

void remote_offload::SetUp()
{
    agent_fixture::SetUp();
    if (HasFatalFailure())
        return;
    share_log = scratch + "/shares.log";
}

void remote_offload::TearDown()
{
    for (played_agent &agent : played) {
        agent.stop.store(1);
        if (agent.thread.joinable())
            agent.thread.join();
    }
    played.clear();
    agent_fixture::TearDown();
}

bool remote_offload::serve_from(const std::string &server)
{
    std::string path = server.empty() ? root : server;
    if (!chosen_server.empty() && chosen_server != path) {
        ADD_FAILURE() << "this process's client serves " << chosen_server
                      << " already: run each test in a process of its own (ctest does)";
        return false;
    }
    chosen_server = path;
    setenv("QIV_NETLOAD_SERVER", path.c_str(), 1);
    return true;
}

std::vector<agent_process *> remote_offload::start_agents(int count, int first, const std::string &server)
{
    std::vector<agent_process *> started;
    for (int i = 0; i < count; ++i) {
        agent_process *agent = start_agent(server, {"ZEQ_REMOTE_TEST_LOG=" + share_log});
        EXPECT_TRUE(wait_for_registration(root, first + i, harness_wait_ms)) << agent_log(agent);
        started.push_back(agent);
    }
    return started;
}

played_agent *remote_offload::play_agent(int number, std::function<bool(std::vector<uint8_t> *)> answer)
{
    played.emplace_back();
    played_agent *agent = &played.back();
    agent->folder = folder(number);
    agent->answer = std::move(answer);
    EXPECT_NE(server_make_folder(harness_platform_folder(root).c_str()), server_folder_failed);
    EXPECT_EQ(server_make_folder(agent->folder.c_str()), server_folder_made) << agent->folder;
    uint64_t stamp = server_new_stamp();
    EXPECT_EQ(server_stamp_create((agent->folder + SERVER_NAME_TSC).c_str(), stamp), server_ok);
    agent->thread = std::thread(played_agent_loop, agent, stamp);
    return agent;
}

std::vector<share_record> remote_offload::shares_of(int tag) const
{
    std::vector<share_record> all = shares(), mine;
    for (const share_record &s : all)
        if (s.tag == tag)
            mine.push_back(s);
    return mine;
}

::testing::AssertionResult each_share_once(const std::vector<share_record> &shares, int members, const int *host_runs)
{
    std::vector<int> runs((size_t)members, 0);
    std::string served;
    for (const share_record &s : shares) {
        served += " share " + std::to_string(s.index) + " of " + std::to_string(s.count) + " by " + std::to_string(s.pid);
        if (s.count != members || s.index < 0 || s.index >= members)
            return ::testing::AssertionFailure() << "an agent computed a share not of the call's " << members
                                                 << " members:" << served;
        ++runs[(size_t)s.index];
    }
    for (int p = 0; p < members; ++p)
        if (runs[(size_t)p] + host_runs[p] != 1)
            return ::testing::AssertionFailure() << "member " << p << ": agents " << runs[(size_t)p] << ", host "
                                                 << host_runs[p] << ";" << served;
    return ::testing::AssertionSuccess();
}

std::vector<std::string> client_files(const std::string &agent_folder)
{
    std::vector<std::string> names;
    DIR *dir = opendir(agent_folder.c_str());
    if (!dir)
        return names;
    while (struct dirent *entry = readdir(dir))
        if (is_client_file(entry->d_name))
            names.push_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}
