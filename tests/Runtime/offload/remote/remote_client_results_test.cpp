// The remote client's read-back of one share's results, against responses
// written by hand: only bytes the agent changed come back, whatever else
// changed the caller's arrays meanwhile, and a response that does not carry
// the request's layout (other offsets, another header, a short file) copies
// nothing.  White-box: the test fills an agent record itself.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "remote_client.h"

namespace {

const char module_name[] = "fill_net.so";

struct share_read_back : ::testing::Test {
    void SetUp() override
    {
        char pattern[] = "/tmp/zeq_remote_results_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = std::string(pattern) + "/";
    }
    void TearDown() override
    {
        release_agent(agent);
        std::string command = "rm -rf '" + folder + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    // Agent record `agent` as the dispatcher leaves it after posting: an In
    // row, an Out row over out, an InOut row over inout, a Value row; and the
    // request's bytes (what the agent would read) in *request.
    void post(std::vector<uint8_t> *request)
    {
        ASSERT_TRUE(agent_record_make(agent));
        agent_slot *slot = agent_record(agent);
        slot->row_count = 0;
        auto add = [&](uintptr_t kind, void *host, size_t bytes) {
            slot->rows[slot->row_count++] = {kind, bytes, (uintptr_t)host, kind == 4 ? (uintptr_t)host : 0};
        };
        add(QIV_ARG_KIND_IN, in.data(), in.size());
        add(QIV_ARG_KIND_OUT, out.data(), out.size());
        add(QIV_ARG_KIND_INOUT, inout.data(), inout.size());
        add(QIV_ARG_KIND_VALUE, &value, sizeof value);
        size_t copy = out.size() + inout.size();
        sent_share *sent = static_cast<sent_share *>(platform_alloc_zeroed(sizeof(sent_share) + copy));
        ASSERT_NE(sent, nullptr);
        sent->result_bytes = copy;
        memcpy(sent_share_bytes(sent), out.data(), out.size());
        memcpy(sent_share_bytes(sent) + out.size(), inout.data(), inout.size());
        args_header *h = &sent->header;
        *h = {0, 3, 1, 21, 4, (uint32_t)(in.size() + copy + sizeof value), 0, (int32_t)sizeof module_name};
        slot->request = &request_record;
        slot->prev_agent = slot->next_agent = -1;
        agent_watch_of(agent)->sent = sent;
        __atomic_add_fetch(&remote_client.claimed_agents, 1, __ATOMIC_SEQ_CST);

        request->assign((const uint8_t *)h, (const uint8_t *)(h + 1));
        request->insert(request->end(), module_name, module_name + sizeof module_name);
        uint32_t offset = (uint32_t)(request->size() + 8 * 4);
        for (int i = 0; i < slot->row_count; ++i) {
            uint32_t entry[2] = {offset, (uint32_t)slot->rows[i].kind};
            request->insert(request->end(), (uint8_t *)entry, (uint8_t *)(entry + 2));
            offset += (uint32_t)slot->rows[i].bytes;
        }
        data_start = request->size();
        for (int i = 0; i < slot->row_count; ++i) {
            const uint8_t *bytes = (const uint8_t *)slot->rows[i].host;
            request->insert(request->end(), bytes, bytes + slot->rows[i].bytes);
        }
    }

    void write_response(const std::vector<uint8_t> &bytes)
    {
        FILE *f = fopen((folder + SERVER_NAME_ARGS).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        fclose(f);
    }

    size_t out_at(size_t i) const { return data_start + in.size() + i; }
    size_t inout_at(size_t i) const { return data_start + in.size() + out.size() + i; }

    int32_t agent = 7;
    std::string folder;
    coload_request request_record = {};
    std::vector<uint8_t> in = std::vector<uint8_t>(100, 1);
    // Larger than the monitor's compare chunk, so that a run of changes
    // crosses from one chunk into the next.
    std::vector<uint8_t> out = std::vector<uint8_t>(200 * 1024 + 3, 0xEE);
    std::vector<uint8_t> inout = std::vector<uint8_t>(1000, 5);
    int32_t value = 1000;
    size_t data_start = 0;
};

TEST_F(share_read_back, only_the_bytes_the_agent_changed_come_back)
{
    std::vector<uint8_t> response;
    post(&response);
    // The agent's share: a run across the 64 KiB chunk boundary and a last
    // byte of Out, and an uneven middle of InOut.
    for (size_t i = 65536 - 5; i < 65536 + 7; ++i)
        response[out_at(i)] = (uint8_t)i;
    response[out_at(out.size() - 1)] = 0x11;
    for (size_t i = 333; i < 667; ++i)
        response[inout_at(i)] = 6;
    // Meanwhile another share's results reached the caller's arrays.
    out[10] = 0x42;
    inout[900] = 9;
    write_response(response);

    ASSERT_TRUE(collect_results(agent, folder.c_str()));
    EXPECT_EQ(out[10], 0x42) << "a byte the agent left as it was sent is not copied";
    EXPECT_EQ(inout[900], 9);
    for (size_t i = 65536 - 5; i < 65536 + 7; ++i)
        ASSERT_EQ(out[i], (uint8_t)i) << i;
    EXPECT_EQ(out[65536 - 6], 0xEE);
    EXPECT_EQ(out[65536 + 7], 0xEE);
    EXPECT_EQ(out.back(), 0x11);
    for (size_t i = 0; i < inout.size(); ++i)
        ASSERT_EQ(inout[i], i == 900 ? 9 : (i >= 333 && i < 667 ? 6 : 5)) << i;
    EXPECT_EQ(in[0], 1) << "In arrays are never written";
}

TEST_F(share_read_back, a_response_without_the_request_layout_copies_nothing)
{
    std::vector<uint8_t> request;
    post(&request);
    std::vector<uint8_t> changed = request;
    for (size_t i = 0; i < out.size(); ++i)
        changed[out_at(i)] = 0x33;
    const std::vector<uint8_t> before = out;

    struct tampering {
        const char *what;
        std::function<void(std::vector<uint8_t> *)> change;
    } cases[] = {
        {"another share index", [](std::vector<uint8_t> *r) { (*r)[8] = 2; }},
        {"Out moved by one byte", [&](std::vector<uint8_t> *r) { (*r)[32 + sizeof module_name + 8] += 1; }},
        {"another kind for Out", [&](std::vector<uint8_t> *r) { (*r)[32 + sizeof module_name + 12] = 3; }},
        {"cut before InOut", [&](std::vector<uint8_t> *r) { r->resize(inout_at(0)); }},
        {"header only", [](std::vector<uint8_t> *r) { r->resize(32); }},
    };
    for (const tampering &t : cases) {
        SCOPED_TRACE(t.what);
        std::vector<uint8_t> response = changed;
        t.change(&response);
        write_response(response);
        EXPECT_FALSE(collect_results(agent, folder.c_str()));
        if (t.what[0] != 'c') { // a file cut short may have given part of Out
            EXPECT_TRUE(out == before) << "nothing copied from a response that is not the request's";
        }
        out = before;
    }
    ASSERT_EQ(unlink((folder + SERVER_NAME_ARGS).c_str()), 0);
    EXPECT_FALSE(collect_results(agent, folder.c_str())) << "no response at all";
    ASSERT_EQ(mkdir((folder + SERVER_NAME_ARGS).c_str(), 0755), 0);
    EXPECT_FALSE(collect_results(agent, folder.c_str())) << "a folder under the name";
}

// The chain of a request's records and the dispatcher's hold on it: the
// request is handed back for finishing only by the release that empties
// the chain, and never while the dispatcher still holds it open.
TEST(agent_chain, the_request_is_finished_once_by_the_release_that_empties_its_chain)
{
    coload_request request = {};
    auto link = [&](int32_t n, int32_t prev) {
        ASSERT_TRUE(agent_record_make(n));
        agent_record(n)->request = &request;
        agent_record(n)->prev_agent = prev;
        agent_record(n)->next_agent = -1;
        if (prev >= 0)
            agent_record(prev)->next_agent = n;
        __atomic_add_fetch(&remote_client.claimed_agents, 1, __ATOMIC_SEQ_CST);
    };
    remote_client.open_request = &request;
    link(3, -1);
    link(9, 3);
    link(4, 9);
    remote_client.open_tail = 4;
    EXPECT_EQ(release_agent(9), nullptr) << "the middle of the chain";
    EXPECT_EQ(agent_record(3)->next_agent, 4);
    EXPECT_EQ(agent_record(4)->prev_agent, 3);
    EXPECT_EQ(release_agent(4), nullptr);
    EXPECT_EQ(remote_client.open_tail, 3) << "the tail moves back for the next post";
    EXPECT_EQ(release_agent(3), nullptr) << "emptied while the dispatcher still posts: not finished";
    EXPECT_EQ(remote_client.open_tail, -1);

    remote_client.open_request = nullptr;
    link(5, -1);
    link(6, 5);
    EXPECT_EQ(release_agent(5), nullptr);
    EXPECT_EQ(release_agent(6), &request);
    EXPECT_EQ(release_agent(6), nullptr) << "a free record releases nothing";
    EXPECT_EQ(remote_client.claimed_agents, 0);
}

// A claim whose "busy" could not be deleted (the folder failed under the
// client) is deleted on a later try while it still holds the claim's stamp,
// and left alone once it holds another: someone else claimed the agent.
// A server root of the test's own, with agent folders made on demand.
struct stale_claims : ::testing::Test {
    void SetUp() override
    {
        ASSERT_NE(mkdtemp(root), nullptr);
        snprintf(remote_client.server_root, sizeof remote_client.server_root, "%s/", root);
    }
    void TearDown() override
    {
        std::string command = std::string("rm -rf '") + root + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    std::string agent_folder(int32_t n)
    {
        char folder[remote_path_size];
        EXPECT_GT(server_agent_folder(folder, sizeof folder, remote_client.server_root, n), 0);
        std::string command = std::string("mkdir -p '") + folder + "'";
        EXPECT_EQ(system(command.c_str()), 0);
        return folder;
    }
    char root[40] = "/tmp/zeq_remote_claims_XXXXXX";
};

TEST_F(stale_claims, a_failed_release_is_tried_again_until_the_claim_is_gone_or_someone_elses)
{
    std::string folder_text = agent_folder(3);
    const char *folder = folder_text.c_str();
    std::string busy = folder_text + SERVER_NAME_BUSY;
    for (uint64_t other : {0ull, 99ull}) {
        SCOPED_TRACE(other);
        ASSERT_EQ(server_claim(busy.c_str(), 77), server_claimed);
        ASSERT_EQ(platform_fault_inject("unlink", 1, EIO), 0);
        remote_release(folder, 3, 77);
        platform_fault_clear();
        ASSERT_EQ(access(busy.c_str(), F_OK), 0) << "the injected failure kept it";
        if (other) {
            ASSERT_EQ(unlink(busy.c_str()), 0);
            ASSERT_EQ(server_claim(busy.c_str(), other), server_claimed);
        }
        remote_retry_releases();
        EXPECT_EQ(access(busy.c_str(), F_OK) == 0, other != 0);
        remote_retry_releases(); // nothing is left to try
        EXPECT_EQ(access(busy.c_str(), F_OK) == 0, other != 0);
        unlink(busy.c_str());
    }
}

// A "busy" of a live agent that holds a stamp this process wrote, while no
// share of ours holds the agent, is a claim the client lost track of (a
// share given up while the folder failed): it is deleted once it has stood
// so for a second and the agent is claimed again.  Another client's claim
// is left alone.  One scan per try: a balanced call whose members are all
// taken does not wait for busy agents.
TEST_F(stale_claims, a_claim_of_ours_that_no_share_holds_is_taken_back_and_anothers_is_not)
{
    std::string folder = agent_folder(0);
    std::string tsc = folder + SERVER_NAME_TSC, busy = folder + SERVER_NAME_BUSY;
    ASSERT_EQ(server_stamp_create(tsc.c_str(), server_new_stamp()), server_ok);

    qiv_parallel_region home = {};
    home.home = &home;
    coload_request request = {};
    request.region = &home;
    request.balance = reinterpret_cast<balance_call *>(&home); // only tested for null here
    dispatch_call call = {};
    call.request = &request;
    call.claim_stamp = server_new_stamp();
    remote_note_claim_stamp(call.claim_stamp);

    for (bool ours : {false, true}) {
        SCOPED_TRACE(ours);
        uint64_t held = ours ? server_new_stamp() : 4242;
        if (ours)
            remote_note_claim_stamp(held);
        ASSERT_EQ(server_claim(busy.c_str(), held), server_claimed);
        int32_t number = -1;
        int result = agent_none;
        for (int tries = 0; tries < 30 && result != agent_found; ++tries) {
            result = claim_free_agent(&call, &number);
            usleep(100 * 1000);
        }
        uint64_t now_held = 0;
        ASSERT_EQ(server_stamp_read(busy.c_str(), &now_held), server_ok);
        EXPECT_EQ(result == agent_found, ours);
        EXPECT_EQ(now_held, ours ? call.claim_stamp : held);
        unlink(busy.c_str());
    }
}

} // namespace
