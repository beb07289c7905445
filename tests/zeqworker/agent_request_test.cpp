// Requests as a client sends them: the response keeps the request's header,
// name and table and carries the module's results; the module sees the share
// the request names; malformed requests and faulting modules end in "err"
// (with the agent's message, or none for a fault) and the agent serves the
// next request; a leftover outcome of an earlier request confuses nothing;
// the slot report (ZEQ_AGENT_REPORT) follows every module call.
#include "agent_harness.h"

#include <string.h>

namespace {

using agent_requests = agent_fixture;

void rename_module(test_request *request, const std::string &name)
{
    request->module_name = name;
    request->header.module_name_length = (int32_t)name.size() + 1;
}

// The agent's log grows by exactly `text` while `send` runs.
void expect_logged(agent_process *agent, const std::string &text, const std::function<void()> &send)
{
    size_t before = agent_log(agent).size();
    send();
    std::string log = agent_log(agent);
    EXPECT_EQ(log.substr(std::min(before, log.size())), text);
}

TEST_F(agent_requests, a_round_trip_keeps_the_header_and_returns_the_updated_data)
{
    agent_process *agent = start_ready_agent();
    test_request request = probe_share_request(0, 1, {1, 2, 3, 40});
    std::vector<uint8_t> sent = request_file_bytes(request);
    ASSERT_EQ(send_request(folder(0), request, harness_wait_ms), outcome_done) << agent_log(agent);

    std::vector<uint8_t> response;
    ASSERT_TRUE(read_file(folder(0) + "args.bin", &response));
    ASSERT_EQ(response.size(), sent.size());
    size_t data = sizeof(args_header) + request.module_name.size() + 1 + 8 * 3;
    EXPECT_EQ(memcmp(response.data(), sent.data(), data), 0) << "header, name and table come back unchanged";
    EXPECT_EQ(ints_at(response, data, 2), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(ints_at(response, data + 8, 4), (std::vector<int32_t>{2, 3, 4, 41}));
    EXPECT_EQ(ints_at(response, data + 24, 1), (std::vector<int32_t>{4}));
    EXPECT_EQ(agent_log(agent), "");
}

TEST_F(agent_requests, the_module_sees_the_share_of_the_request)
{
    agent_process *agent = start_ready_agent();
    const int32_t shares[][2] = {{2, 3}, {0, 5}, {6, 7}, {0, 1}};
    for (const auto &share : shares) {
        SCOPED_TRACE(std::to_string(share[0]) + " of " + std::to_string(share[1]));
        ASSERT_EQ(send_request(folder(0), probe_share_request(share[0], share[1], {7}), harness_wait_ms), outcome_done)
            << agent_log(agent);
        std::vector<uint8_t> response;
        ASSERT_TRUE(read_file(folder(0) + "args.bin", &response));
        size_t data = sizeof(args_header) + strlen("probe_net.so") + 1 + 8 * 3;
        EXPECT_EQ(ints_at(response, data, 2), (std::vector<int32_t>{share[0], share[1]}));
        EXPECT_EQ(ints_at(response, data + 8, 1), (std::vector<int32_t>{8}));
    }
}

TEST_F(agent_requests, arguments_reach_the_module_as_aligned_as_their_sizes_allow)
{
    agent_process *agent = start_ready_agent();
    // A name of 13 bytes puts the data block at an odd offset of the file.
    test_request request = make_request("probe_net.so", 11, {{2, int_bytes({-1, -1, 0, 0})}, {1, int_bytes({1, 2, 3, 4})}});
    ASSERT_EQ(send_request(folder(0), request, harness_wait_ms), outcome_done) << agent_log(agent);
    std::vector<uint8_t> response;
    ASSERT_TRUE(read_file(folder(0) + "args.bin", &response));
    size_t data = sizeof(args_header) + request.module_name.size() + 1 + 8 * 2;
    ASSERT_EQ(data % 2, 1u);
    EXPECT_EQ(ints_at(response, data, 2), (std::vector<int32_t>{0, 0}));
}

TEST_F(agent_requests, a_request_without_arguments_still_calls_the_function)
{
    agent_process *agent = start_ready_agent();
    test_request request = make_request("probe_net.so", 20, {});
    ASSERT_EQ(send_request(folder(0), request, harness_wait_ms), outcome_done) << agent_log(agent);
    std::vector<uint8_t> ran, response;
    ASSERT_TRUE(read_file(folder(0) + "fline20_ran", &ran));
    EXPECT_EQ(std::string(ran.begin(), ran.end()), "called, word 0 unset");
    ASSERT_TRUE(read_file(folder(0) + "args.bin", &response));
    EXPECT_EQ(response, request_file_bytes(request));
}

TEST_F(agent_requests, malformed_requests_end_in_err_with_their_message_and_the_agent_goes_on)
{
    agent_process *agent = start_ready_agent();
    std::string args_path = folder(0) + "args.bin";
    struct malformed {
        const char *what;
        std::function<void(test_request *)> change;
        std::string message;
    };
    const malformed cases[] = {
        {"version 1", [](test_request *r) { r->header.version = 1; }, "Wrong coload version 1\n"},
        {"arg_count -1", [](test_request *r) { r->header.arg_count = -1; },
         "Incorrect coload configuration: -1\n"},
        {"module_name_length 4", [](test_request *r) { rename_module(r, "a.s"); },
         "Incorrect coload module name length: 4\n"},
        {"a missing module", [](test_request *r) { rename_module(r, "absent_net.so"); },
         "Failed to load " + folder(0) + "absent_net.so\n"},
        {"a missing function", [](test_request *r) { r->header.function_number = 999; },
         "Failed to find function 999\n"},
        {"a share outside the count", [](test_request *r) { r->header.share_index = 3; r->header.share_count = 3; },
         "Incorrect coload share: 3 of 3\n"},
        {"no shares", [](test_request *r) { r->header.share_count = 0; }, "Incorrect coload share: 0 of 0\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        test_request request = probe_share_request(0, 1, {1});
        c.change(&request);
        expect_logged(agent, c.message, [&] {
            EXPECT_EQ(send_raw_request(folder(0), request_file_bytes(request), harness_wait_ms), outcome_err);
        });
    }
    // Files cut short: in the header, in the name, in the table, in the data.
    std::vector<uint8_t> whole = request_file_bytes(probe_share_request(0, 1, {1, 2}));
    for (size_t length : {(size_t)0, (size_t)20, (size_t)40, (size_t)50, whole.size() - 1}) {
        SCOPED_TRACE("cut at " + std::to_string(length));
        std::vector<uint8_t> cut(whole.begin(), whole.begin() + (long)length);
        expect_logged(agent, "Failed to read " + args_path + "\n",
                      [&] { EXPECT_EQ(send_raw_request(folder(0), cut, harness_wait_ms), outcome_err); });
    }
    ASSERT_EQ(send_request(folder(0), probe_share_request(0, 1, {5}), harness_wait_ms), outcome_done) << agent_log(agent);
    EXPECT_TRUE(agent_running(agent));
}

TEST_F(agent_requests, a_faulting_module_fails_its_request_silently_and_the_next_one_is_served)
{
    agent_process *agent = start_ready_agent();
    // fline30 stores through a null pointer, fline31 divides by zero, fline32
    // executes an undefined instruction.
    for (int32_t function : {30, 31, 32, 30}) {
        SCOPED_TRACE("fline" + std::to_string(function));
        ASSERT_EQ(send_request(folder(0), make_request("probe_net.so", function, {}), harness_wait_ms), outcome_err);
        ASSERT_EQ(send_request(folder(0), probe_share_request(0, 1, {1}), harness_wait_ms), outcome_done);
    }
    EXPECT_EQ(agent_log(agent), "") << "a fault of the module is no message of the agent's";
    EXPECT_TRUE(agent_running(agent));
}

// A module that believes a count larger than what it was sent runs off the
// data block: the fence after the block turns that into a fault of the
// request instead of a write over the agent's own memory, request after
// request, and the agent serves on.
TEST_F(agent_requests, a_module_that_runs_past_its_data_fails_its_request_and_the_agent_serves_on)
{
    agent_process *agent = start_ready_agent();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        test_request runaway = make_request("probe_net.so", 33, {{4, int_bytes({1 << 22})}});
        ASSERT_EQ(send_request(folder(0), runaway, harness_wait_ms), outcome_err);
        ASSERT_EQ(send_request(folder(0), probe_share_request(0, 1, {round}), harness_wait_ms), outcome_done);
    }
    // Writes within the block and its slack are the module's own business.
    EXPECT_EQ(send_request(folder(0), make_request("probe_net.so", 33, {{4, int_bytes({8})}}), harness_wait_ms),
              outcome_done);
    EXPECT_TRUE(agent_running(agent)) << agent_log(agent);
}

TEST_F(agent_requests, a_leftover_outcome_confuses_neither_the_post_nor_the_agent)
{
    agent_process *agent = start_ready_agent();
    // The client's post removes an earlier request's outcome before "do".
    ASSERT_TRUE(write_file(folder(0) + "done", {}));
    ASSERT_TRUE(write_file(folder(0) + "err", {}));
    EXPECT_EQ(send_request(folder(0), probe_share_request(0, 1, {1}), harness_wait_ms), outcome_done);
    EXPECT_FALSE(file_exists(folder(0) + "err"));

    // A client that does not: the outcome cannot replace the leftover, so the
    // request fails, and the leftover "done" is not taken for success.
    ASSERT_TRUE(write_file(folder(0) + "args.bin", request_file_bytes(probe_share_request(0, 1, {1}))));
    expect_logged(agent, "Failed to report completion\n", [&] {
        ASSERT_TRUE(write_file(folder(0) + "do", {}));
        ASSERT_TRUE(wait_until([&] { return file_exists(folder(0) + "err"); }, harness_wait_ms));
        ASSERT_TRUE(wait_until([&] { return !file_exists(folder(0) + "do"); }, harness_wait_ms));
    });
    EXPECT_EQ(send_request(folder(0), probe_share_request(0, 1, {1}), harness_wait_ms), outcome_done);
}

// ZEQ_AGENT_REPORT: after each request whose module ran, and before its
// outcome, one line per slot; slot 0, the remote slot, is always there and
// computes nothing inside an agent.  A report that cannot be written costs a
// message, never the request.
TEST_F(agent_requests, the_slot_report_follows_every_module_call_and_never_fails_one)
{
    std::string report = scratch + "/report";
    agent_process *agent = start_ready_agent({"ZEQ_AGENT_REPORT=" + report});
    EXPECT_FALSE(file_exists(report)) << "no request, no report";
    ASSERT_EQ(send_request(folder(0), probe_share_request(0, 1, {1}), harness_wait_ms), outcome_done) << agent_log(agent);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(read_file(report, &bytes)) << "the report is there when the outcome is";
    std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.substr(0, 11), "0 remote 0\n") << text;
    EXPECT_FALSE(file_exists(report + ".new"));

    // Refused before any module call: the report stays as it was.
    ASSERT_TRUE(platform_file_delete(report.c_str()) == 0);
    test_request refused = probe_share_request(0, 1, {1});
    refused.header.share_count = 0;
    EXPECT_EQ(send_raw_request(folder(0), request_file_bytes(refused), harness_wait_ms), outcome_err);
    EXPECT_FALSE(file_exists(report));
    EXPECT_EQ(send_request(folder(0), make_request("probe_net.so", 30, {}), harness_wait_ms), outcome_err);
    EXPECT_TRUE(file_exists(report)) << "a module that faulted ran: its request is reported";
    EXPECT_EQ(agent_log(agent), "Incorrect coload share: 0 of 0\n");

    // A report in a folder that does not exist (the new agent takes number 1:
    // folder 0 is still there).
    agent_kill(agent);
    std::string nowhere = scratch + "/absent/report";
    agent_process *second = start_agent("", {"ZEQ_AGENT_REPORT=" + nowhere});
    ASSERT_TRUE(wait_for_registration(root, 1, harness_wait_ms)) << agent_log(second);
    ASSERT_TRUE(claim_agent(folder(1)));
    ASSERT_TRUE(copy_module(folder(1), "probe_net.so"));
    EXPECT_EQ(send_request(folder(1), probe_share_request(0, 1, {1}), harness_wait_ms), outcome_done);
    EXPECT_EQ(agent_log(second), "Failed to write " + nowhere + "\n");
}

} // namespace
