// Requests written by someone who means harm, or by a broken client: names
// that reach outside the agent folder, sizes and counts the file does not
// hold, offsets outside the data block, markers and files that are folders
// or links.  Each is refused with one line and "err", the agent serves the
// next request, and a canary tree beside the server root keeps every byte
// and time it had.  A stream of random mutations of a valid request does the
// same at scale.
#include "agent_harness.h"

#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

namespace {

class agent_hostile : public agent_fixture {
protected:
    void SetUp() override
    {
        agent_fixture::SetUp();
        canary = scratch + "/canary";
        ASSERT_EQ(mkdir(canary.c_str(), 0777), 0);
        ASSERT_EQ(mkdir((canary + "/sub").c_str(), 0777), 0);
        ASSERT_TRUE(write_file(canary + "/secret.txt", {'s', 'e', 'c', 'r', 'e', 't'}));
        ASSERT_TRUE(write_file(canary + "/sub/inner.txt", {'i', 'n'}));
        // A valid request for the probe module, where a link may lead the agent.
        ASSERT_TRUE(write_file(canary + "/args.bin", request_file_bytes(counting_request())));
        std::string module = std::string(harness_module_folder()) + "/outside_net.so";
        ASSERT_EQ(platform_file_copy_replace(module.c_str(), (canary + "/outside_net.so").c_str()), 0);
        ASSERT_EQ(platform_file_copy_replace((std::string(harness_module_folder()) + "/probe_net.so").c_str(),
                                             (canary + "/probe_net.so").c_str()),
                  0);
        // Old times, so that any write or touch shows.
        for (const char *name : {"/secret.txt", "/sub/inner.txt", "/args.bin", "/outside_net.so", "/probe_net.so",
                                 "/sub", ""}) {
            struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, (canary + name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << name;
        }
        canary_before = tree_snapshot(scratch + "/canary");
        agent = start_ready_agent();
    }

    void TearDown() override
    {
        if (!canary_before.empty()) {
            EXPECT_EQ(tree_snapshot(canary), canary_before) << "the canary tree beside the server changed";
            EXPECT_FALSE(file_exists(canary + "/outside_loaded")) << "a module outside the agent folder was loaded";
        }
        agent_fixture::TearDown();
    }

    // Sends the bytes; the request must end in "err" with one line logged.
    void expect_refused(const std::vector<uint8_t> &bytes, const std::string &expected_message = "")
    {
        size_t before = agent_log(agent).size();
        EXPECT_EQ(send_raw_request(folder(0), bytes, harness_wait_ms), outcome_err);
        std::string added = agent_log(agent).substr(before);
        EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 1) << added;
        EXPECT_EQ(added.back(), '\n') << added;
        EXPECT_EQ(added.find("Out of memory"), std::string::npos) << added;
        if (!expected_message.empty()) {
            EXPECT_EQ(added, expected_message);
        }
    }

    void expect_served_afterwards()
    {
        ASSERT_EQ(send_request(folder(0), counting_request(), harness_wait_ms), outcome_done) << agent_log(agent);
        std::vector<uint8_t> response;
        ASSERT_TRUE(read_file(folder(0) + "args.bin", &response));
        size_t data = sizeof(args_header) + strlen("probe_net.so") + 1 + 16;
        EXPECT_EQ(ints_at(response, data, 2), (std::vector<int32_t>{42, 7}));
        EXPECT_TRUE(agent_running(agent));
        EXPECT_EQ(registered_agents(root), std::vector<int>{0}) << "the agent kept its folder";
    }

    std::string canary;
    std::string canary_before;
    agent_process *agent = nullptr;
};

// A request for the probe module's fline7 whose bytes are then changed.
std::vector<uint8_t> named_request(const std::string &name, size_t name_length)
{
    test_request request = make_request("probe_net.so", 7, {{3, int_bytes({1})}});
    std::vector<uint8_t> bytes(sizeof(args_header));
    request.header.module_name_length = (int32_t)name_length;
    memcpy(bytes.data(), &request.header, sizeof request.header);
    std::vector<uint8_t> padded(name.begin(), name.end());
    padded.resize(name_length, 0);
    bytes.insert(bytes.end(), padded.begin(), padded.end());
    args_entry entry = {(uint32_t)(bytes.size() + 8), 3};
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&entry);
    bytes.insert(bytes.end(), p, p + 8);
    std::vector<uint8_t> data = int_bytes({1});
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

TEST_F(agent_hostile, module_names_that_leave_the_folder_are_refused)
{
    const std::string outside = "../../../canary/outside_net.so";
    expect_refused(named_request(outside, outside.size() + 1),
                   "Incorrect coload module name: " + outside + "\n");
    expect_refused(named_request(canary + "/outside_net.so", canary.size() + 16));
    expect_refused(named_request("sub\\probe_net.so", 17));
    expect_refused(named_request("..", 5));
    expect_refused(named_request("probe_net.so", 12), // no terminating zero within L
                   "Incorrect coload module name: not terminated within 12 bytes\n");
    expect_refused(named_request("", 5));
    // A link in the agent folder to a module outside it is not loaded.
    ASSERT_EQ(symlink((canary + "/outside_net.so").c_str(), (folder(0) + "linked_net.so").c_str()), 0);
    expect_refused(named_request("linked_net.so", 14), "Failed to load " + folder(0) + "linked_net.so\n");
    expect_served_afterwards();
}

TEST_F(agent_hostile, sizes_and_counts_the_file_does_not_hold_are_refused_before_allocating)
{
    std::string failed_read = "Failed to read " + folder(0) + "args.bin\n";
    std::vector<uint8_t> valid = request_file_bytes(counting_request());
    const uint32_t data_sizes[] = {100, 0x7ffffff0u, 0x7fffffffu, 0x80000000u, 0xffffffffu};
    for (uint32_t size : data_sizes) {
        SCOPED_TRACE("data_size_low " + std::to_string(size));
        std::vector<uint8_t> bytes = valid;
        set_u32(&bytes, offsetof(args_header, data_size_low), size);
        expect_refused(bytes, failed_read);
    }
    std::vector<uint8_t> high = valid;
    set_u32(&high, offsetof(args_header, data_size_high), 1);
    expect_refused(high, failed_read);
    for (uint32_t count : {3u, 0x10000000u, 0x7fffffffu}) {
        SCOPED_TRACE("arg_count " + std::to_string(count));
        std::vector<uint8_t> bytes = valid;
        set_u32(&bytes, offsetof(args_header, arg_count), count);
        expect_refused(bytes, failed_read);
    }
    std::vector<uint8_t> long_name = valid;
    set_u32(&long_name, offsetof(args_header, module_name_length), 0x7fffffff);
    expect_refused(long_name, "Incorrect coload module name length: 2147483647\n");
    expect_served_afterwards();
}

TEST_F(agent_hostile, argument_offsets_outside_the_data_block_are_refused)
{
    std::vector<uint8_t> valid = request_file_bytes(counting_request());
    size_t table = sizeof(args_header) + strlen("probe_net.so") + 1;
    uint32_t data = (uint32_t)(table + 16);
    for (uint32_t offset : {0u, data - 1, (uint32_t)valid.size() + 1, 0xffffffffu}) {
        SCOPED_TRACE("data_offset " + std::to_string(offset));
        std::vector<uint8_t> first = valid, second = valid;
        set_u32(&first, table, offset);
        set_u32(&second, table + 8, offset);
        expect_refused(first, "Incorrect coload argument offset: " + std::to_string(offset) + " (argument 0)\n");
        expect_refused(second, "Incorrect coload argument offset: " + std::to_string(offset) + " (argument 1)\n");
    }
    // The end of the block is where an empty last argument starts.
    std::vector<uint8_t> at_end = valid;
    set_u32(&at_end, table + 8, (uint32_t)valid.size());
    EXPECT_EQ(send_raw_request(folder(0), at_end, harness_wait_ms), outcome_done);
    expect_served_afterwards();
}

TEST_F(agent_hostile, markers_and_requests_that_are_folders_or_links_are_refused)
{
    std::string do_path = folder(0) + "do";
    std::string args_path = folder(0) + "args.bin";
    ASSERT_TRUE(write_file(args_path, request_file_bytes(counting_request())));
    // "do" as a folder, then as a link to a file outside.
    ASSERT_EQ(mkdir(do_path.c_str(), 0777), 0);
    EXPECT_EQ(wait_outcome(folder(0), harness_wait_ms), outcome_err);
    EXPECT_EQ(agent_log(agent), "Request marker is not a regular file: " + do_path + "\n");
    ASSERT_EQ(rmdir((folder(0) + "err").c_str()), 0);
    ASSERT_EQ(symlink((canary + "/secret.txt").c_str(), do_path.c_str()), 0);
    EXPECT_EQ(wait_outcome(folder(0), harness_wait_ms), outcome_err);
    ASSERT_EQ(unlink((folder(0) + "err").c_str()), 0);

    // args.bin as a link to a valid request outside, then as a folder: not
    // read, and the outside file is not rewritten with a response.
    ASSERT_EQ(unlink(args_path.c_str()), 0);
    ASSERT_EQ(symlink((canary + "/args.bin").c_str(), args_path.c_str()), 0);
    ASSERT_TRUE(post_request(folder(0)));
    EXPECT_EQ(wait_outcome(folder(0), harness_wait_ms), outcome_err);
    ASSERT_EQ(unlink(args_path.c_str()), 0);
    ASSERT_EQ(mkdir(args_path.c_str(), 0777), 0);
    ASSERT_TRUE(post_request(folder(0)));
    EXPECT_EQ(wait_outcome(folder(0), harness_wait_ms), outcome_err);
    ASSERT_EQ(rmdir(args_path.c_str()), 0);
    std::string log = agent_log(agent);
    EXPECT_EQ(log.substr(log.find('\n') + 1), "Request marker is not a regular file: " + do_path + "\nFailed to open " +
                                                   args_path + "\nFailed to open " + args_path + "\n");
    expect_served_afterwards();
}

// The mutations of the stream: each changes a valid request one way.
std::vector<uint8_t> mutate(const std::vector<uint8_t> &valid, std::mt19937 *random, const std::string &canary)
{
    static const uint32_t extremes[] = {0,          1,          2,          4,          5,      0x7fffffffu,
                                        0x80000000u, 0xffffffffu, 0xfffffffeu, 0x7ffffff0u, 259, 260, 4096};
    static const char *const names[] = {"..", "../probe_net.so", "/etc/passwd", "probe_net.so/", "x\\y",
                                        "tsc", "args.bin", "do", ".", "probe_net.so\n"};
    std::vector<uint8_t> bytes = valid;
    auto pick = [&](size_t n) { return (size_t)((*random)() % n); };
    switch (pick(7)) {
    case 0: // flip bytes anywhere
        for (size_t i = 0, n = 1 + pick(4); i < n; ++i)
            bytes[pick(bytes.size())] ^= (uint8_t)(1 + pick(255));
        break;
    case 1: // a header field at an extreme
        set_u32(&bytes, 4 * pick(8), extremes[pick(sizeof extremes / sizeof extremes[0])]);
        break;
    case 2: { // a table field at an extreme, or just off the block
        size_t table = sizeof(args_header) + strlen("probe_net.so") + 1;
        uint32_t value = pick(2) ? extremes[pick(sizeof extremes / sizeof extremes[0])]
                                 : (uint32_t)(valid.size() + pick(3)) - 1;
        set_u32(&bytes, table + 4 * pick(4), value);
        break;
    }
    case 3: // cut short
        bytes.resize(pick(bytes.size()));
        break;
    case 4: // more bytes than the header says
        bytes.resize(bytes.size() + 1 + pick(64), (uint8_t)pick(256));
        break;
    case 5: { // another name in the name's place, the length kept
        std::string name = pick(3) ? names[pick(sizeof names / sizeof names[0])] : canary + "/outside_net.so";
        size_t length = strlen("probe_net.so") + 1;
        for (size_t i = 0; i < length; ++i)
            bytes[sizeof(args_header) + i] = i < name.size() ? (uint8_t)name[i] : 0;
        break;
    }
    default: // random bytes after the header
        for (size_t i = sizeof(args_header); i < bytes.size(); ++i)
            if (pick(4) == 0)
                bytes[i] = (uint8_t)pick(256);
        break;
    }
    return bytes;
}

TEST_F(agent_hostile, a_stream_of_mutated_requests_never_ends_or_misleads_the_agent)
{
    enum { mutations = 2000 };
    std::mt19937 random(20240611u);
    std::vector<uint8_t> valid = request_file_bytes(counting_request());
    int outcomes[4] = {0, 0, 0, 0};
    for (int i = 0; i < mutations; ++i) {
        std::vector<uint8_t> bytes = mutate(valid, &random, canary);
        request_outcome outcome = send_raw_request(folder(0), bytes, harness_wait_ms);
        ++outcomes[outcome];
        if (outcome != outcome_done && outcome != outcome_err) {
            ADD_FAILURE() << "mutation " << i << " ended " << outcome_name(outcome);
            break;
        }
    }
    RecordProperty("done", outcomes[outcome_done]);
    RecordProperty("err", outcomes[outcome_err]);
    EXPECT_GT(outcomes[outcome_done], 0) << "some mutations are harmless";
    EXPECT_GT(outcomes[outcome_err], mutations / 2);
    std::string log = agent_log(agent);
    EXPECT_EQ(log.find("Out of memory"), std::string::npos);
    EXPECT_EQ(log.find("Corrupted"), std::string::npos);
    expect_served_afterwards();
}

} // namespace
