// The remote slot against real agents: when it declines, how it spreads the
// shares of a region over agents, how it waits for busy agents, what it
// copies into an agent folder, what args.bin holds, and how a failed share
// reaches the caller.  Every test checks every item of the call's results,
// since a claim or read-back fault shows as an item missing or doubled.
#include "remote_fixture.h"

#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

namespace {

// A fill call over a region of `members`, run on this thread.
void call_fill(fill_run *r, int n, int members, int tag)
{
    fill_prepare(r, n, members, tag);
    run_fill(&r->call);
}

args_header header_of(const std::vector<uint8_t> &bytes)
{
    args_header header = {};
    if (bytes.size() >= sizeof header)
        memcpy(&header, bytes.data(), sizeof header);
    return header;
}

// The monitor hands the request back before it deletes "busy".
bool wait_released(const std::string &agent_folder)
{
    return wait_until([&] { return !file_exists(agent_folder + SERVER_NAME_BUSY); }, harness_wait_ms, 1);
}

TEST_F(remote_offload, declined_while_no_server_is_named_then_served_once_one_is)
{
    unsetenv("QIV_NETLOAD_SERVER");
    start_agents(1);
    fill_run r;
    call_fill(&r, 1000, 1, 1);
    EXPECT_EQ(r.call.result, 1) << "the host computes a declined call";
    EXPECT_EQ(r.call.host_runs[0], 1);
    EXPECT_EQ(fill_first_wrong(r, 0, 1000), -1);
    EXPECT_EQ(r.call.status, 77) << "no slot recorded the status";
    EXPECT_TRUE(client_files(folder(0)).empty());
    EXPECT_TRUE(shares().empty());

    // The client reads the variable again on the next request.
    ASSERT_TRUE(serve_from());
    call_fill(&r, 1000, 1, 2);
    EXPECT_EQ(r.call.result, 0);
    EXPECT_EQ(r.call.host_runs[0], 0);
    EXPECT_EQ(r.call.status, 0);
    EXPECT_EQ(fill_first_wrong(r, 0, 1000), -1);
    EXPECT_EQ(shares_of(2).size(), 1u);
}

TEST_F(remote_offload, a_folder_0_without_tsc_declines_even_with_higher_agents)
{
    ASSERT_NE(server_make_folder(harness_platform_folder(root).c_str()), server_folder_failed);
    ASSERT_EQ(server_make_folder(folder(0).c_str()), server_folder_made);
    start_agents(2, 1);
    ASSERT_TRUE(serve_from());
    for (int tag = 1; tag <= 2; ++tag) {
        SCOPED_TRACE(tag);
        fill_run r;
        call_fill(&r, 333, 1, tag);
        EXPECT_EQ(r.call.result, 1);
        EXPECT_EQ(r.call.host_runs[0], 1);
        EXPECT_EQ(fill_first_wrong(r, 0, 333), -1);
    }
    EXPECT_TRUE(shares().empty());
    for (int number = 0; number <= 2; ++number)
        EXPECT_TRUE(client_files(folder(number)).empty()) << number;
}

TEST_F(remote_offload, a_one_member_region_goes_whole_to_one_agent)
{
    std::vector<agent_process *> agents = start_agents(1);
    ASSERT_TRUE(serve_from());
    fill_run r;
    call_fill(&r, 1001, 1, 5);
    EXPECT_EQ(r.call.result, 0);
    EXPECT_EQ(r.call.status, 0);
    EXPECT_EQ(r.call.host_runs[0], 0);
    EXPECT_EQ(fill_first_wrong(r, 0, 1001), -1);

    std::vector<uint8_t> response;
    ASSERT_TRUE(read_file(folder(0) + SERVER_NAME_ARGS, &response));
    args_header header = header_of(response);
    EXPECT_EQ(header.share_count, 1);
    EXPECT_EQ(header.share_index, 0);
    EXPECT_EQ(header.function_number, fill_line);
    std::vector<share_record> served = shares_of(5);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(served[0].pid, agents[0]->pid);

    // No ".ocl" or ".ptx" beside the program: the module alone was copied.
    ASSERT_TRUE(wait_released(folder(0)));
    EXPECT_EQ(client_files(folder(0)),
              (std::vector<std::string>{SERVER_NAME_ARGS, SERVER_NAME_DONE, "remote_kernels_net.so"}));
}

// Nothing but the dispatcher takes the region's members.  Every share waits
// at the gate until all three are posted, so that every agent is still busy
// when the next share is dispatched.
TEST_F(remote_offload, a_region_of_four_with_three_unclaimed_sends_1_and_2_then_0_and_leaves_3)
{
    std::vector<agent_process *> agents = start_agents(3);
    ASSERT_TRUE(serve_from());
    fill_run r;
    fill_prepare(&r, 1003, 4, 9);
    r.call.pause_ms = -harness_wait_ms;
    std::thread gate([&] {
        wait_until([&] {
            for (int n = 0; n < 3; ++n)
                if (!file_exists(folder(n) + SERVER_NAME_DO))
                    return false;
            return true;
        }, harness_wait_ms, 1);
        write_file(share_log + ".go", {});
    });
    qiv_parallel_region region;
    offer_from_own_region(&r.call, &region, 4);
    gate.join();
    EXPECT_EQ(r.call.result, 0);
    EXPECT_EQ(r.call.status, 0);
    EXPECT_EQ(region.unclaimed, 1) << "the last member stays with the pool";
    EXPECT_EQ(region.unfinished, 2) << "two members claimed";

    std::vector<share_record> served = shares_of(9);
    ASSERT_EQ(served.size(), 3u);
    std::sort(served.begin(), served.end(), [](const share_record &a, const share_record &b) { return a.index < b.index; });
    int expected_pid[3] = {agents[2]->pid, agents[0]->pid, agents[1]->pid}; // indices 0, 1, 2
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(served[i].index, i);
        EXPECT_EQ(served[i].count, 4);
        EXPECT_EQ(served[i].pid, expected_pid[i]) << "share " << i;
    }
    int first, end;
    member_slice(2, 4, 1003, &first, &end);
    EXPECT_EQ(fill_first_wrong(r, 0, end), -1);
    member_slice(3, 4, 1003, &first, &end);
    for (int i = first; i < end; ++i)
        ASSERT_EQ(r.hits[(size_t)i], 0) << "member 3's item " << i << " was computed";
}

TEST_F(remote_offload, a_busy_agent_makes_the_dispatcher_wait_until_busy_goes)
{
    start_agents(1);
    ASSERT_TRUE(serve_from());
    std::string busy = folder(0) + SERVER_NAME_BUSY;
    ASSERT_EQ(server_claim(busy.c_str(), server_new_stamp()), 0);

    fill_run r;
    fill_prepare(&r, 500, 1, 3);
    std::atomic<int> returned{0};
    std::thread caller([&] {
        run_fill(&r.call);
        returned.store(1);
    });
    platform_sleep_ms(1500); // three of the dispatcher's bounded waits
    EXPECT_EQ(returned.load(), 0) << "the call did not wait for the busy agent";
    EXPECT_FALSE(file_exists(folder(0) + SERVER_NAME_DO));
    EXPECT_EQ(server_release(busy.c_str()), 0);
    EXPECT_TRUE(wait_until([&] { return returned.load() == 1; }, harness_wait_ms, 5));
    caller.join();
    EXPECT_EQ(r.call.result, 0);
    EXPECT_EQ(r.call.status, 0);
    EXPECT_EQ(fill_first_wrong(r, 0, 500), -1);
    EXPECT_EQ(shares_of(3).size(), 1u);
}

// companion_kernels_net.so is the same module under another base name, with
// companions beside it: level 0's ".ocl" and ".ptx", and level 1's ".so" and
// ".ocl" ("_net_net").  No level 2 exists, which ends the copying.
char companion_source[] = "companion_kernels.zeq";
qiv_coload_site companion_site = QIV_COLOAD_SITE_INIT(companion_source, fill_line);

TEST_F(remote_offload, companions_and_further_levels_are_copied_when_present)
{
    start_agents(1);
    ASSERT_TRUE(serve_from());
    fill_run r;
    fill_prepare(&r, 64, 1, 4);
    r.call.site = &companion_site;
    run_fill(&r.call);
    EXPECT_EQ(r.call.result, 0);
    EXPECT_EQ(fill_first_wrong(r, 0, 64), -1);
    ASSERT_TRUE(wait_released(folder(0)));
    const char *copied[] = {"companion_kernels_net.so", "companion_kernels_net.ocl", "companion_kernels_net.ptx",
                            "companion_kernels_net_net.so", "companion_kernels_net_net.ocl"};
    for (const char *name : copied) {
        std::vector<uint8_t> source, copy;
        ASSERT_TRUE(read_file(std::string(ZEQ_TEST_PROGRAM_DIR) + "/" + name, &source)) << name;
        EXPECT_TRUE(read_file(folder(0) + name, &copy) && copy == source) << name;
    }
    EXPECT_FALSE(file_exists(folder(0) + "companion_kernels_net_net.ptx"));
}

// A region of two members that do nothing: its end helps with whatever
// the job list holds, as every region's end does.
QIV_REGION_OPENER void empty_region(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 2, QIV_LIMIT_TIGHT(0));
    qiv_region_end_joined(self);
}

// The first coload call starts the slots' service threads, and the remote
// client's first request its monitor, each as a member of a region that
// lives as long as the library.  A thread that ends regions of its own in a
// loop may take such a member while it helps: it must hand it on and go
// back to its region, which would otherwise never end.
TEST_F(remote_offload, a_thread_that_helps_when_service_threads_start_goes_back_to_its_region)
{
    start_agents(1);
    ASSERT_TRUE(serve_from());
    std::atomic<bool> stop{false};
    std::atomic<long> ends{0};
    std::thread helper([&] {
        while (!stop.load()) {
            empty_region();
            ends.fetch_add(1);
        }
    });
    for (int call = 0; call < 2; ++call) {
        fill_run r;
        fill_prepare(&r, 64, 1, 95 + call);
        run_fill(&r.call);
        EXPECT_EQ(fill_first_wrong(r, 0, 64), -1) << "call " << call;
    }
    long before = ends.load();
    for (int waited = 0; waited < 10000 && ends.load() < before + 100; ++waited)
        usleep(1000);
    bool back = ends.load() >= before + 100;
    EXPECT_TRUE(back) << "the helping thread never came back from a service member";
    stop.store(true);
    if (back)
        helper.join();
    else
        helper.detach(); // it serves for good: nothing else can end it
}

// The module is copied to an agent once while neither it nor the copy
// changes; a copy that someone replaced is copied again before the share.
TEST_F(remote_offload, the_module_is_copied_again_only_when_the_copy_or_the_source_changed)
{
    start_agents(1);
    ASSERT_TRUE(serve_from());
    const std::string copy = folder(0) + "remote_kernels_net.so";
    struct stat first, second;
    for (int call = 0; call < 3; ++call) {
        SCOPED_TRACE(call);
        if (call == 2) {
            std::vector<uint8_t> junk(100, 0xcc);
            ASSERT_TRUE(write_file(copy, junk));
        }
        fill_run r;
        fill_prepare(&r, 64, 1, 70 + call);
        run_fill(&r.call);
        EXPECT_EQ(r.call.status, 0);
        EXPECT_EQ(fill_first_wrong(r, 0, 64), -1);
        ASSERT_TRUE(wait_released(folder(0)));
        ASSERT_EQ(stat(copy.c_str(), call == 0 ? &first : &second), 0);
        if (call == 1) {
            EXPECT_EQ(second.st_mtim.tv_nsec, first.st_mtim.tv_nsec) << "the unchanged copy was kept";
        }
    }
    EXPECT_NE(second.st_size, 100) << "the replaced copy was copied again";
}

TEST_F(remote_offload, a_share_the_agent_fails_gives_status_minus_1_and_the_agent_serves_on)
{
    start_agents(1);
    ASSERT_TRUE(serve_from());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        int32_t out[2] = {0, 0};
        int status = 77;
        EXPECT_EQ(run_fault(out, &status), 1) << "the failed share comes back to the host";
        EXPECT_EQ(status, -1);
        EXPECT_TRUE(wait_released(folder(0)));
        EXPECT_TRUE(file_exists(folder(0) + SERVER_NAME_ERR));

        fill_run r;
        call_fill(&r, 100, 1, 10 + round);
        EXPECT_EQ(r.call.result, 0);
        EXPECT_EQ(r.call.status, 0) << "a new call starts without the old failure";
        EXPECT_EQ(fill_first_wrong(r, 0, 100), -1);
    }
}

// Two mistakes of a hand-written host side: a site naming a line the module
// has no entry for, and a descriptor list missing a value.  The agents fail
// every share they take, and the host computes each of them, once.
TEST_F(remote_offload, a_wrong_line_or_a_missing_descriptor_fails_on_the_agents_and_the_host_computes_every_item)
{
    start_agents(2);
    ASSERT_TRUE(serve_from());
    static qiv_coload_site wrong_line = QIV_COLOAD_SITE_INIT(remote_kernels_source, fill_line + 1);
    for (int mistake = 0; mistake < 2; ++mistake) {
        SCOPED_TRACE(mistake == 0 ? "wrong line" : "missing descriptor");
        fill_run r;
        fill_prepare(&r, 1000, 4, 30 + mistake);
        if (mistake == 0)
            r.call.site = &wrong_line;
        else
            r.call.options = fill_missing_value;
        r.call.host_pause_ms = 50; // the agents take members before the pool does
        run_fill(&r.call);
        EXPECT_EQ(r.call.status, -1);
        EXPECT_EQ(fill_first_wrong(r, 0, 1000), -1);
        EXPECT_TRUE(shares_of(30 + mistake).empty()) << "no module entry ran a share";
    }
}

TEST_F(remote_offload, an_agent_folder_whose_agent_is_dead_is_never_claimed)
{
    // Folder 0 keeps the "tsc" of an agent that ended a minute ago.
    ASSERT_NE(server_make_folder(harness_platform_folder(root).c_str()), server_folder_failed);
    ASSERT_EQ(server_make_folder(folder(0).c_str()), server_folder_made);
    std::string tsc = folder(0) + SERVER_NAME_TSC;
    ASSERT_EQ(server_stamp_create(tsc.c_str(), server_new_stamp()), server_ok);
    struct timeval old[2];
    gettimeofday(&old[0], nullptr);
    old[0].tv_sec -= 60;
    old[1] = old[0];
    ASSERT_EQ(utimes(tsc.c_str(), old), 0);
    // Its "busy" stayed too, as when an agent dies while claimed and the
    // release fails.  With no other agent the call must not wait for that
    // claim to end: it runs on the host.
    ASSERT_EQ(server_claim((folder(0) + SERVER_NAME_BUSY).c_str(), 1), server_claimed);
    ASSERT_TRUE(serve_from());
    fill_run *alone = new fill_run; // left to a caller that never returns
    fill_prepare(alone, 100, 1, 9);
    std::atomic<int> returned{0};
    std::thread caller([&returned, alone] {
        run_fill(&alone->call);
        returned = 1;
    });
    if (!wait_until([&] { return returned.load() == 1; }, 20000, 10)) {
        caller.detach();
        FAIL() << "the call still waits for the dead agent's claim after 20 s";
    }
    caller.join();
    EXPECT_EQ(alone->call.result, 1);
    EXPECT_EQ(fill_first_wrong(*alone, 0, 100), -1);
    delete alone;
    ASSERT_EQ(unlink((folder(0) + SERVER_NAME_BUSY).c_str()), 0);

    std::vector<agent_process *> agents = start_agents(1, 1);

    for (int tag = 1; tag <= 3; ++tag) {
        fill_run r;
        call_fill(&r, 200, 1, tag);
        EXPECT_EQ(r.call.result, 0);
        EXPECT_EQ(r.call.status, 0);
        EXPECT_EQ(fill_first_wrong(r, 0, 200), -1);
        std::vector<share_record> served = shares_of(tag);
        ASSERT_EQ(served.size(), 1u);
        EXPECT_EQ(served[0].pid, agents[0]->pid);
    }
    EXPECT_TRUE(wait_until([&] { return client_files(folder(0)).empty(); }, harness_wait_ms, 5))
        << "left in the dead agent's folder: " << ::testing::PrintToString(client_files(folder(0)));
}

// Folder 0 reads as alive but still holds an earlier request's "do", as an
// agent that a client gave up while it was stopped does once it runs again:
// its answer will go into args.bin, so the client writes nothing there and
// sends the share to agent 1.
TEST_F(remote_offload, an_agent_still_on_an_earlier_request_is_left_alone)
{
    ASSERT_NE(server_make_folder(harness_platform_folder(root).c_str()), server_folder_failed);
    ASSERT_EQ(server_make_folder(folder(0).c_str()), server_folder_made);
    std::string tsc = folder(0) + SERVER_NAME_TSC, args = folder(0) + SERVER_NAME_ARGS;
    ASSERT_EQ(server_stamp_create(tsc.c_str(), server_new_stamp()), server_ok);
    struct timeval ahead[2];
    gettimeofday(&ahead[0], nullptr);
    ahead[0].tv_sec += 3600; // alive for the whole test
    ahead[1] = ahead[0];
    ASSERT_EQ(utimes(tsc.c_str(), ahead), 0);
    FILE *f = fopen(args.c_str(), "wb");
    ASSERT_TRUE(f);
    fputs("the earlier request", f);
    fclose(f);
    f = fopen((folder(0) + SERVER_NAME_DO).c_str(), "wb");
    ASSERT_TRUE(f);
    fclose(f);
    std::vector<agent_process *> agents = start_agents(1, 1);
    ASSERT_TRUE(serve_from());

    fill_run r;
    call_fill(&r, 200, 1, 40);
    EXPECT_EQ(r.call.status, 0);
    EXPECT_EQ(fill_first_wrong(r, 0, 200), -1);
    std::vector<share_record> served = shares_of(40);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(served[0].pid, agents[0]->pid);
    char kept[64] = "";
    f = fopen(args.c_str(), "rb");
    ASSERT_TRUE(f);
    kept[fread(kept, 1, sizeof kept - 1, f)] = 0;
    fclose(f);
    EXPECT_STREQ(kept, "the earlier request");
    EXPECT_FALSE(file_exists(folder(0) + SERVER_NAME_BUSY));
}

// ZEQ_LOG=1 names the dead folder it skips, the agent each share went to,
// and the share that failed there.  (The level is read on the first line,
// which no earlier step of this process printed.)
TEST_F(remote_offload, zeq_log_says_which_agent_is_dead_and_which_share_failed)
{
    setenv("ZEQ_LOG", "1", 1);
    ASSERT_NE(server_make_folder(harness_platform_folder(root).c_str()), server_folder_failed);
    ASSERT_EQ(server_make_folder(folder(0).c_str()), server_folder_made);
    std::string tsc = folder(0) + SERVER_NAME_TSC;
    ASSERT_EQ(server_stamp_create(tsc.c_str(), server_new_stamp()), server_ok);
    struct timeval old[2] = {{60, 0}, {60, 0}};
    ASSERT_EQ(utimes(tsc.c_str(), old), 0);
    start_agents(1, 1);
    ASSERT_TRUE(serve_from());
    ::testing::internal::CaptureStderr();
    int32_t out[2] = {0, 0};
    int status = 0;
    run_fault(out, &status);
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, -1);
    for (const std::string &line :
         {"agent folder " + folder(0) + " reads as dead", std::string("sent to agent 1"),
          "the share on agent 1 of the call at line " + std::to_string((int)fault_line) + " of remote_kernels failed"})
        EXPECT_NE(said.find(line), std::string::npos) << "no \"" << line << "\" in:\n" << said;
}

// The request of the N-body sample's call shape, sent whole: In 256 x 16
// bytes, Out 256 x 12, three 4-byte values, laid out by hand.
TEST_F(remote_offload, args_bin_is_laid_out_byte_for_byte)
{
    const int n = 256;
    played_agent *agent = play_agent(0, [](std::vector<uint8_t> *bytes) {
        // Out holds bytes 4096 to 7168 of the data block: answer 1.5, 2.5, ...
        size_t out = bytes->size() - 12 - 3 * 4 * n;
        for (int k = 0; k < 3 * n; ++k) {
            float value = (float)k + 1.5f;
            memcpy(bytes->data() + out + 4 * k, &value, 4);
        }
        return true;
    });
    ASSERT_TRUE(serve_from());
    std::vector<float> pos(4 * n), acc(3 * n, -1.0f);
    for (int i = 0; i < 4 * n; ++i)
        pos[(size_t)i] = (float)i * 0.25f;
    accelerations_call call = {pos.data(), acc.data(), n, 0.75f, 0.125f, 77, -1};
    run_accelerations(&call);
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.status, 0);
    for (int k = 0; k < 3 * n; ++k)
        ASSERT_EQ(acc[(size_t)k], (float)k + 1.5f) << k;

    ASSERT_EQ(agent->requests.size(), 1u);
    std::vector<float> acc_before(3 * n, -1.0f); // Out arrays travel with what they held
    float spare = 0.75f, eps = 0.125f;
    std::vector<uint8_t> expected = nbody_request_bytes(accelerations_line, "remote_kernels_net.so", n, pos.data(),
                                                        acc_before.data(), {&n, &spare, &eps});
    ASSERT_EQ(expected.size(), 32u + 22 + 8 * 5 + 7180);

    const std::vector<uint8_t> &sent = agent->requests[0];
    ASSERT_EQ(sent.size(), expected.size());
    auto differ = std::mismatch(sent.begin(), sent.end(), expected.begin());
    EXPECT_TRUE(differ.first == sent.end()) << "first difference at offset " << (differ.first - sent.begin());
}

} // namespace
