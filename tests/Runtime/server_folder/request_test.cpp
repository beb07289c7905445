// args.bin: the client writes exactly the layout agents of any make read; the
// agent refuses every broken or hostile request with its one-line message and
// allocates nothing for one that promises more than the file holds; and the
// response goes back into a regular file of one name only.
#include <errno.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent_scratch.h"
#include "request_bytes.h"

namespace {

using request_file = agent_scratch;
using request_refusal = agent_scratch;
using request_response = agent_scratch;

// The call of the protocol's worked example: an In array of 256 records of
// 16 bytes, an Out array of 256 records of 12 bytes and three 4-byte values,
// to function 144 of "gravsim_net.dll".
struct example_call {
    std::vector<uint8_t> in = std::vector<uint8_t>(256 * 16), out = std::vector<uint8_t>(256 * 12);
    int32_t values[3] = {7, -8, 9};
    example_call()
    {
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = (uint8_t)(i * 7);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = (uint8_t)(i * 3 + 1);
    }
    int write(const std::string &args_path, const char *name = "gravsim_net.dll") const
    {
        args_header header = {0, 1, 0, 144, 0, 0, 0, 0};
        const uint32_t kinds[5] = {1, 2, 4, 4, 4};
        request_part parts[5] = {{in.data(), (uint32_t)in.size()},
                                 {out.data(), (uint32_t)out.size()},
                                 {&values[0], 4},
                                 {&values[1], 4},
                                 {&values[2], 4}};
        return request_write(args_path.c_str(), &header, name, kinds, parts, 5);
    }
};

// The example's bytes, put together field by field from the layout.
std::vector<uint8_t> example_bytes(const example_call &call)
{
    return nbody_request_bytes(144, "gravsim_net.dll", 256, call.in.data(), call.out.data(),
                               {&call.values[0], &call.values[1], &call.values[2]});
}

TEST_F(request_file, the_client_writes_the_worked_example_byte_for_byte)
{
    example_call call;
    std::string args = in_folder(SERVER_NAME_ARGS);
    ASSERT_EQ(call.write(args), 0);
    EXPECT_EQ(bytes_of(args), example_bytes(call));

    request_layout layout;
    uint8_t *request = nullptr;
    char message[300] = "";
    ASSERT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
              (int)request_accepted)
        << message;
    EXPECT_EQ(layout.table_offset, 48u);
    EXPECT_EQ(layout.data_offset, 88u);
    EXPECT_EQ(layout.total_size, 7268u);
    EXPECT_EQ(layout.arg_count, 5u);
    void *words[5];
    request_argument_words(request, &layout, words);
    EXPECT_EQ(words[0], request + 88);
    EXPECT_EQ(memcmp(words[1], call.out.data(), call.out.size()), 0);
    EXPECT_EQ(*static_cast<int32_t *>(words[3]), -8);
    EXPECT_EQ(request[7268], 0) << "zeroed slack after the request";
    platform_free(request);
}

// The one layout function: the worked example's offsets, and a header at
// every extreme, whose offsets must not wrap for the checks to refuse it.
TEST(request_layout, the_offsets_follow_the_name_the_table_and_the_data_without_wrapping)
{
    const args_header example = {0, 1, 0, 144, 5, 7180, 0, 16};
    request_offsets at = request_offsets_of(&example);
    EXPECT_EQ(at.name, 32u);
    EXPECT_EQ(at.table, 48u);
    EXPECT_EQ(request_entry_offset(at.table, 4), 80u);
    EXPECT_EQ(at.data, 88u);
    EXPECT_EQ(at.end, 7268u) << "the worked example's size";

    const args_header extreme = {0, 1, 0, 1, -1, 0xffffffffu, 0xffffffffu, -1};
    at = request_offsets_of(&extreme);
    EXPECT_EQ(at.table, UINT64_C(32) + 0xffffffffu);
    EXPECT_EQ(at.data, at.table + UINT64_C(8) * 0xffffffffu);
    EXPECT_EQ(at.end, at.data + 0xffffffffu) << "data_size_high is for the checks to refuse";
}

TEST_F(request_file, a_request_without_arguments_is_accepted_and_goes_back_as_it_came)
{
    std::string args = in_folder(SERVER_NAME_ARGS);
    args_header header = {0, 3, 2, 17, 99, 99, 99, 99};
    ASSERT_EQ(request_write(args.c_str(), &header, "m_net.so", nullptr, nullptr, 0), 0);
    std::vector<uint8_t> written = bytes_of(args);
    ASSERT_EQ(written.size(), 41u);
    args_header read_back;
    memcpy(&read_back, written.data(), sizeof read_back);
    EXPECT_EQ(read_back.arg_count, 0) << "the table follows the parts, not the header given";
    EXPECT_EQ(read_back.data_size_low, 0u);
    EXPECT_EQ(read_back.data_size_high, 0u);
    EXPECT_EQ(read_back.module_name_length, 9);
    EXPECT_EQ(read_back.share_index, 2);

    request_layout layout;
    uint8_t *request = nullptr;
    char message[300] = "";
    ASSERT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
              (int)request_accepted)
        << message;
    EXPECT_EQ(layout.data_offset, layout.total_size);
    put_bytes(args, std::vector<uint8_t>(100, 0xee)); // the response must replace all of it
    EXPECT_EQ(request_write_response(args.c_str(), request, &layout), 0);
    EXPECT_EQ(bytes_of(args), written);
    platform_free(request);
}

TEST_F(request_response, the_module_results_go_back_and_everything_else_as_read)
{
    example_call call;
    std::string args = in_folder(SERVER_NAME_ARGS);
    ASSERT_EQ(call.write(args), 0);
    request_layout layout;
    uint8_t *request = nullptr;
    char message[300] = "";
    ASSERT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
              (int)request_accepted);
    void *words[5];
    request_argument_words(request, &layout, words);
    memset(words[1], 0x5a, call.out.size()); // what a module writes into its Out array
    ASSERT_EQ(request_write_response(args.c_str(), request, &layout), 0);

    std::vector<uint8_t> expected = example_bytes(call);
    memset(&expected[4184], 0x5a, call.out.size());
    EXPECT_EQ(bytes_of(args), expected);
    EXPECT_EQ(platform_file_delete(args.c_str()), 0);
    EXPECT_EQ(request_write_response(args.c_str(), request, &layout), 0) << "a missing file is created";
    EXPECT_EQ(bytes_of(args), expected);
    platform_free(request);
}

TEST_F(request_response, a_link_or_a_second_name_is_never_written_through)
{
    example_call call;
    std::string args = in_folder(SERVER_NAME_ARGS);
    ASSERT_EQ(call.write(args), 0);
    request_layout layout;
    uint8_t *request = nullptr;
    char message[300] = "";
    ASSERT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
              (int)request_accepted);

    write_text("outside", "not the agent's");
    ASSERT_EQ(unlink(args.c_str()), 0);
    ASSERT_EQ(symlink(path("outside").c_str(), args.c_str()), 0);
    EXPECT_EQ(request_write_response(args.c_str(), request, &layout), -1);
    EXPECT_EQ(read_text("outside"), "not the agent's");
    EXPECT_EQ(server_file_kind(args.c_str()), 2) << "the link stays a link";

    ASSERT_EQ(unlink(args.c_str()), 0);
    ASSERT_EQ(link(path("outside").c_str(), args.c_str()), 0);
    EXPECT_EQ(request_write_response(args.c_str(), request, &layout), -1);
    EXPECT_EQ(read_text("outside"), "not the agent's");

    ASSERT_EQ(unlink(args.c_str()), 0);
    ASSERT_EQ(mkdir(args.c_str(), 0777), 0);
    EXPECT_EQ(request_write_response(args.c_str(), request, &layout), -1);
    platform_free(request);
}

TEST_F(request_response, a_failed_rewrite_is_reported_and_leaks_no_handle)
{
    example_call call;
    std::string args = in_folder(SERVER_NAME_ARGS);
    ASSERT_EQ(call.write(args), 0);
    request_layout layout;
    uint8_t *request = nullptr;
    char message[300] = "";
    ASSERT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
              (int)request_accepted);
    struct fault {
        const char *call;
        int result;
    } faults[] = {{"open", -1}, {"fstat", -1}, {"ftruncate", -2}, {"pwrite", -2}, {"close", -2}};
    for (const fault &f : faults) {
        int fd = lowest_free_fd();
        ASSERT_EQ(platform_fault_inject(f.call, 1, EIO), 0);
        EXPECT_EQ(request_write_response(args.c_str(), request, &layout), f.result) << f.call;
        platform_fault_clear();
        EXPECT_EQ(lowest_free_fd(), fd) << f.call;
    }
    ASSERT_EQ(platform_fault_inject("fsync", 1, EIO), 0);
    EXPECT_EQ(call.write(args), -1) << "the client does not post a request it could not sync";
    platform_free(request);
}

// ---- refusals ------------------------------------------------------------

struct refusal_case {
    const char *what;
    void (*mutate)(std::vector<uint8_t> &bytes);
    std::string message; // "@" stands for the args.bin path
};

const refusal_case refusal_cases[] = {
    {"version 1", [](std::vector<uint8_t> &b) { set_u32(&b, 0, 1); }, "Wrong coload version 1\n"},
    {"arg_count -1", [](std::vector<uint8_t> &b) { set_u32(&b, 16, 0xffffffff); }, "Incorrect coload configuration: -1\n"},
    {"name length 4", [](std::vector<uint8_t> &b) { set_u32(&b, 28, 4); }, "Incorrect coload module name length: 4\n"},
    {"name length -5", [](std::vector<uint8_t> &b) { set_u32(&b, 28, (uint32_t)-5); },
     "Incorrect coload module name length: -5\n"},
    {"truncated", [](std::vector<uint8_t> &b) { b.pop_back(); }, "Failed to read @\n"},
    {"header only", [](std::vector<uint8_t> &b) { b.resize(31); }, "Failed to read @\n"},
    {"data beyond the file", [](std::vector<uint8_t> &b) { set_u32(&b, 20, 7181); }, "Failed to read @\n"},
    {"data_size_high 1", [](std::vector<uint8_t> &b) { set_u32(&b, 24, 1); }, "Failed to read @\n"},
    {"data of 2 GiB", [](std::vector<uint8_t> &b) { set_u32(&b, 20, 0x7fffffff); }, "Failed to read @\n"},
    {"data of 4 GiB", [](std::vector<uint8_t> &b) { set_u32(&b, 20, 0xffffffff); }, "Failed to read @\n"},
    {"arg_count 0x7fffffff", [](std::vector<uint8_t> &b) { set_u32(&b, 16, 0x7fffffff); }, "Failed to read @\n"},
    {"name without NUL", [](std::vector<uint8_t> &b) { b[47] = 'x'; },
     "Incorrect coload module name: not terminated within 16 bytes\n"},
    {"empty name", [](std::vector<uint8_t> &b) { b[32] = 0; }, "Incorrect coload module name: empty\n"},
    {"offset below the block", [](std::vector<uint8_t> &b) { set_u32(&b, 56, 87); },
     "Incorrect coload argument offset: 87 (argument 1)\n"},
    {"offset past the block", [](std::vector<uint8_t> &b) { set_u32(&b, 80, 7269); },
     "Incorrect coload argument offset: 7269 (argument 4)\n"},
    {"offset inside the table", [](std::vector<uint8_t> &b) { set_u32(&b, 48, 48); },
     "Incorrect coload argument offset: 48 (argument 0)\n"},
};

TEST_F(request_refusal, each_broken_header_or_body_is_refused_with_its_message)
{
    example_call call;
    std::string args = in_folder(SERVER_NAME_ARGS);
    ASSERT_EQ(call.write(args), 0);
    const std::vector<uint8_t> good = bytes_of(args);
    for (const refusal_case &c : refusal_cases) {
        std::vector<uint8_t> bytes = good;
        c.mutate(bytes);
        put_bytes(args, bytes);
        request_layout layout;
        uint8_t *request = reinterpret_cast<uint8_t *>(&layout);
        char message[300] = "";
        EXPECT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
                  (int)request_refused)
            << c.what;
        EXPECT_EQ(request, nullptr) << c.what;
        std::string expected = c.message;
        size_t at = expected.find('@');
        if (at != std::string::npos)
            expected.replace(at, 1, args);
        EXPECT_EQ(std::string(message), expected) << c.what;
    }
    std::vector<uint8_t> end = good;
    set_u32(&end, 80, 7268);
    put_bytes(args, end);
    request_layout layout;
    uint8_t *request = nullptr;
    char message[300] = "";
    EXPECT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
              (int)request_accepted)
        << "an empty last argument may start at the end of the block";
    platform_free(request);
}

TEST_F(request_refusal, names_that_leave_the_agent_folder_are_refused_and_printed_safely)
{
    example_call call;
    std::string args = in_folder(SERVER_NAME_ARGS);
    const char *names[][2] = {{"../x_net.so", "../x_net.so"},
                              {"a/b_net.so", "a/b_net.so"},
                              {"..\\b_net.so", "..\\b_net.so"},
                              {"x..y_net.so", "x..y_net.so"},
                              {"..  ", "..  "},
                              {"/etc/\x01\x7f\xff_net.so", "/etc/???_net.so"}};
    for (const auto &name : names) {
        ASSERT_EQ(call.write(args, name[0]), 0);
        request_layout layout;
        uint8_t *request = nullptr;
        char message[300] = "";
        EXPECT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
                  (int)request_refused);
        EXPECT_EQ(std::string(message), std::string("Incorrect coload module name: ") + name[1] + "\n");
        EXPECT_EQ(request, nullptr);
    }
}

TEST_F(request_refusal, a_file_that_is_not_a_regular_one_of_its_own_is_not_read)
{
    example_call call;
    std::string args = in_folder(SERVER_NAME_ARGS);
    std::string open_failed = "Failed to open " + args + "\n";
    char message[300] = "";
    request_layout layout;
    uint8_t *request = nullptr;
    EXPECT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
              (int)request_refused);
    EXPECT_EQ(std::string(message), open_failed) << "missing";

    ASSERT_EQ(call.write(path("elsewhere")), 0);
    ASSERT_EQ(symlink(path("elsewhere").c_str(), args.c_str()), 0);
    EXPECT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
              (int)request_refused);
    EXPECT_EQ(std::string(message), open_failed) << "a link to a valid request";

    ASSERT_EQ(unlink(args.c_str()), 0);
    ASSERT_EQ(mkfifo(args.c_str(), 0666), 0);
    EXPECT_EQ(request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message),
              (int)request_refused);
    EXPECT_EQ(std::string(message), open_failed) << "a pipe, opened without waiting for a writer";
    EXPECT_EQ(request, nullptr);
}

TEST(request_header, the_name_length_bound_counts_the_folder_and_no_sum_wraps)
{
    args_header header = {0, 1, 0, 1, 0, 0, 0, 0};
    request_layout layout;
    char message[100] = "";
    const uint64_t big_file = UINT64_C(1) << 40;
    for (size_t folder_length : {30u, 200u, 254u}) {
        header.module_name_length = (int32_t)(260 - folder_length);
        EXPECT_EQ(request_check_header(&header, big_file, folder_length, "a", &layout, message, sizeof message),
                  (int)request_refused);
        EXPECT_EQ(std::string(message), "Incorrect coload module name length: " +
                                            std::to_string(header.module_name_length) + "\n");
        header.module_name_length -= 1;
        EXPECT_EQ(request_check_header(&header, big_file, folder_length, "a", &layout, message, sizeof message),
                  header.module_name_length >= 5 ? (int)request_accepted : (int)request_refused)
            << folder_length;
    }
    // Every field at its extreme, in a file that holds whatever 32 bits can say.
    header.module_name_length = 5;
    header.arg_count = 0x7fffffff;
    header.data_size_low = 0x7fffffff;
    EXPECT_EQ(request_check_header(&header, big_file, 0, "a", &layout, message, sizeof message),
              (int)request_refused)
        << "a request of 18 GiB does not fit the 32-bit layout";
    header.arg_count = 0x10000000;
    EXPECT_EQ(request_check_header(&header, UINT64_C(0x7fffffff) * 5, 0, "a", &layout, message, sizeof message),
              (int)request_refused);
    header.arg_count = 3;
    EXPECT_EQ(request_check_header(&header, 37 + 24 + 0x7fffffffu, 0, "a", &layout, message, sizeof message),
              (int)request_accepted);
    EXPECT_EQ(layout.total_size, 37u + 24u + 0x7fffffffu);

    char small[12];
    header.version = 123456;
    request_check_header(&header, big_file, 0, "a", &layout, small, sizeof small);
    EXPECT_EQ(std::string(small), "Wrong colo\n")
        << "a message cut short still ends its line";
}

TEST_F(request_refusal, a_request_too_big_for_memory_ends_in_out_of_memory_not_a_crash)
{
    // Only a request the file really holds gets this far: a sparse file of
    // 2 GiB behind a header that asks for all of it, on a system that
    // cannot give the agent that much.
    std::string args = in_folder(SERVER_NAME_ARGS);
    std::vector<uint8_t> bytes(37, 0);
    set_u32(&bytes, 20, 0x7fffffff);
    set_u32(&bytes, 28, 5);
    memcpy(&bytes[32], "a.so", 5);
    put_bytes(args, bytes);
    intptr_t file = platform_file_open_existing(args.c_str(), platform_open_read_write);
    ASSERT_GE(file, 0);
    ASSERT_EQ(platform_file_truncate(file, 37 + INT64_C(0x7fffffff)), 0); // 64-bit offsets on i386 too
    platform_file_close(file);
    if (under_asan)
        GTEST_SKIP() << "ASan's allocator ends the process rather than return null";
    struct rlimit saved, limit;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    if (saved.rlim_cur != RLIM_INFINITY)
        GTEST_SKIP() << "the address space is limited already";
    limit = saved;
    limit.rlim_cur = (rlim_t)1 << 30;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
    request_layout layout;
    uint8_t *request = nullptr;
    char message[300] = "";
    int result = request_read(args.c_str(), folder.size(), &layout, &request, message, sizeof message);
    setrlimit(RLIMIT_AS, &saved);
    EXPECT_EQ(result, (int)server_out_of_memory);
    EXPECT_EQ(std::string(message), "Out of memory\n");
    EXPECT_EQ(request, nullptr);
}

} // namespace
