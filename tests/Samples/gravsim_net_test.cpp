// gravsim_net.so, gravsim's remote module, served by real zeqworker agents.
//
// Most tests play the client themselves: they split a call into shares,
// write each share's request, post it to an agent (two agents at once on
// threads of their own), and put the share's records of every response
// together.  The module must change exactly its share's records, so every
// record outside the share has to come back as it was sent, and the results
// must be the host path's bit for bit (gravsim_reference.h): the module runs
// the same translated bodies with the same arithmetic flags, and an agent
// without devices runs them on its processor.
//
// Around that: the edge cases of the kernels through an agent (one tile in
// one share, empty shares, an undamped step without forces, the empty
// kernel), the request that the runtime's own remote client writes for the
// accelerations call, the client against real agents (and one call shared by
// the pool, a device and two agents at once), and the nested offload
// of an agent whose process has an OpenCL device (the GPU-presenting library
// in the agent's environment, not the test's), seen through the agent's slot
// report (ZEQ_AGENT_REPORT).
#include "gravsim_host.h"
#include "gravsim_reference.h"
#include "gravsim_state.h"
#include "remote_fixture.h"

#include <math.h>
#include <string.h>

#include <map>
#include <sstream>
#include <thread>

namespace {

const float eps = 0.0025f;
const float dt = 0.004f;
const std::string module_name = "gravsim_net.so";

enum {
    line_accelerations = 144,
    line_time_step = 345,
    line_idle = 420,
    // A share of 1024 bodies takes milliseconds; an agent's first device
    // request builds the OpenCL programs beside it, which takes seconds on a
    // loaded machine and far more under the sanitizers.
    compute_wait_ms = 6 * harness_wait_ms,
    device_wait_ms = 24 * harness_wait_ms,
};

std::vector<uint8_t> bytes_of(const void *from, size_t size)
{
    const uint8_t *p = static_cast<const uint8_t *>(from);
    return std::vector<uint8_t>(p, p + size);
}

std::vector<uint8_t> bytes_of(const std::vector<float> &floats)
{
    return bytes_of(floats.data(), floats.size() * sizeof(float));
}

template <typename T> test_argument value(T v)
{
    return {4, bytes_of(&v, sizeof v)};
}


// ---- requests of the three calls ----------------------------------------------

test_request share_of(test_request request, int index, int count)
{
    request.header.share_index = index;
    request.header.share_count = count;
    return request;
}

// fline144: pos In, acc Out, n, spare, eps.
test_request accelerations_request(const bodies &b, int index, int count)
{
    return share_of(make_request(module_name, line_accelerations,
                                 {{1, bytes_of(b.pos)}, {2, bytes_of(b.acc)}, value(b.n), value(0.0f), value(eps)}),
                    index, count);
}

// fline345: acc In, vel InOut, pos InOut, damping, dt, n.
test_request time_step_request(const bodies &b, float damping, int index, int count)
{
    return share_of(make_request(module_name, line_time_step,
                                 {{1, bytes_of(b.acc)}, {3, bytes_of(b.vel)}, {3, bytes_of(b.pos)}, value(damping),
                                  value(dt), value(b.n)}),
                    index, count);
}

enum { arg_acc_of_144 = 1, arg_vel_of_345 = 1, arg_pos_of_345 = 2 };

// Argument k's bytes in a response laid out as request is.
std::vector<uint8_t> argument_in(const std::vector<uint8_t> &response, const test_request &request, size_t k)
{
    size_t at = sizeof(args_header) + request.module_name.size() + 1 + sizeof(args_entry) * request.arguments.size();
    for (size_t i = 0; i < k; ++i)
        at += request.arguments[i].bytes.size();
    size_t size = request.arguments[k].bytes.size();
    if (response.size() < at + size)
        return {};
    return std::vector<uint8_t>(response.begin() + (long)at, response.begin() + (long)(at + size));
}

// ---- one call over shares and agents --------------------------------------------

struct share_answer {
    request_outcome outcome = outcome_lost;
    std::vector<uint8_t> bytes;
};

// Share k goes to agent k % agents; each agent serves its shares one after
// the other on a thread of its own, so two agents compute at the same time.
std::vector<share_answer> serve_shares(const std::vector<std::string> &folders, const std::vector<test_request> &requests,
                                       int timeout_ms)
{
    std::vector<share_answer> answers(requests.size());
    std::vector<std::thread> threads;
    for (size_t a = 0; a < folders.size(); ++a)
        threads.emplace_back([&, a] {
            for (size_t k = a; k < requests.size(); k += folders.size()) {
                answers[k].outcome = send_request(folders[a], requests[k], timeout_ms);
                if (answers[k].outcome == outcome_done)
                    read_file(folders[a] + SERVER_NAME_ARGS, &answers[k].bytes);
            }
        });
    for (auto &t : threads)
        t.join();
    return answers;
}

// Takes the records [first, end) of one array of a response into `into`
// (records of `floats` floats); every other record, and everything before
// the data block, must have come back as sent.
::testing::AssertionResult take_share(const test_request &request, const share_answer &answer, size_t arg, int floats,
                                      int first, int end, std::vector<float> *into)
{
    if (answer.outcome != outcome_done)
        return ::testing::AssertionFailure() << "the share ended in " << outcome_name(answer.outcome);
    std::vector<uint8_t> sent = request_file_bytes(request);
    if (answer.bytes.size() != sent.size())
        return ::testing::AssertionFailure() << "response of " << answer.bytes.size() << " bytes for a request of "
                                             << sent.size();
    size_t head = sizeof(args_header) + request.module_name.size() + 1 + sizeof(args_entry) * request.arguments.size();
    if (memcmp(answer.bytes.data(), sent.data(), head) != 0)
        return ::testing::AssertionFailure() << "header, name or table changed";
    std::vector<uint8_t> got = argument_in(answer.bytes, request, arg);
    const std::vector<uint8_t> &was = request.arguments[arg].bytes;
    size_t record = (size_t)floats * sizeof(float);
    for (size_t i = 0; i < was.size() / record; ++i) {
        bool inside = (int)i >= first && (int)i < end;
        if (!inside && memcmp(got.data() + i * record, was.data() + i * record, record) != 0)
            return ::testing::AssertionFailure() << "record " << i << " outside the share [" << first << ", " << end
                                                 << ") changed";
    }
    if (end > first)
        memcpy(into->data() + (size_t)first * floats, got.data() + (size_t)first * record, (size_t)(end - first) * record);
    return ::testing::AssertionSuccess();
}

// fline144 split into `count` shares over the agents; acc becomes the
// assembled result.
::testing::AssertionResult accelerations_over(const std::vector<std::string> &folders, bodies *b, int count)
{
    std::vector<test_request> requests;
    for (int k = 0; k < count; ++k)
        requests.push_back(accelerations_request(*b, k, count));
    std::vector<share_answer> answers = serve_shares(folders, requests, compute_wait_ms);
    for (int k = 0; k < count; ++k) {
        int first, end;
        member_slice(k, count, b->n, &first, &end);
        ::testing::AssertionResult taken = take_share(requests[k], answers[k], arg_acc_of_144, 3, first, end, &b->acc);
        if (!taken)
            return taken << " (accelerations, share " << k << " of " << count << ")";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult time_step_over(const std::vector<std::string> &folders, bodies *b, float damping, int count)
{
    std::vector<test_request> requests;
    for (int k = 0; k < count; ++k)
        requests.push_back(time_step_request(*b, damping, k, count));
    std::vector<share_answer> answers = serve_shares(folders, requests, compute_wait_ms);
    for (int k = 0; k < count; ++k) {
        int first, end;
        member_slice(k, count, b->n, &first, &end);
        ::testing::AssertionResult taken = take_share(requests[k], answers[k], arg_vel_of_345, 4, first, end, &b->vel);
        if (taken)
            taken = take_share(requests[k], answers[k], arg_pos_of_345, 4, first, end, &b->pos);
        if (!taken)
            return taken << " (time step, share " << k << " of " << count << ")";
    }
    return ::testing::AssertionSuccess();
}

// ---- the agent's slot report ------------------------------------------------------

struct slot_counts {
    bool read = false;
    long long device_items = 0; // OpenCL and CUDA slots together
    int device_slots = 0;
};

slot_counts read_report(const std::string &path)
{
    slot_counts counts;
    std::vector<uint8_t> bytes;
    if (!read_file(path, &bytes))
        return counts;
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    int slot;
    std::string kind;
    long long items;
    while (in >> slot >> kind >> items) {
        counts.read = true;
        if (kind == "OpenCL" || kind == "CUDA") {
            counts.device_slots += 1;
            counts.device_items += items;
        }
    }
    return counts;
}

// ---- agents serving the module ------------------------------------------------------

class gravsim_agents : public agent_fixture {
protected:
    // Starts an agent that registers as `number`, claims its folder and puts
    // the module and its OpenCL companion there, as the client would.
    // Every agent writes its slot report to report(number).
    std::string ready_agent(int number, std::vector<std::string> env = {})
    {
        env.push_back("ZEQ_AGENT_REPORT=" + report(number));
        agent_process *agent = start_agent("", env);
        EXPECT_TRUE(wait_for_registration(root, number, harness_wait_ms)) << agent_log(agent);
        std::string at = folder(number);
        EXPECT_TRUE(claim_agent(at));
        for (const char *file : {"gravsim_net.so", "gravsim_net.ocl"}) {
            std::string from = std::string(GRAVSIM_NET_DIR "/") + file;
            EXPECT_EQ(platform_file_copy_replace(from.c_str(), (at + file).c_str()), 0) << from;
        }
        return at;
    }

    std::string report(int number) const { return scratch + "/report" + std::to_string(number); }

    // The bit-for-bit comparisons hold for an agent's processor.  Whether
    // an agent's process has a device of its own (a machine with a GPU) shows
    // in its first report, which an empty kernel's request brings about
    // (folders[a] is agent a's).
    bool agents_have_devices(const std::vector<std::string> &folders)
    {
        bodies b = disk(256, 1u, eps);
        test_request idle = make_request(module_name, line_idle, {{1, bytes_of(b.pos)}, value(b.n)});
        for (size_t a = 0; a < folders.size(); ++a) {
            EXPECT_EQ(send_request(folders[a], idle, compute_wait_ms), outcome_done);
            slot_counts counts = read_report(report((int)a));
            EXPECT_TRUE(counts.read) << "no slot report from agent " << a;
            if (counts.device_slots > 0)
                return true;
        }
        return false;
    }
};

#define SKIP_WHERE_AGENTS_HAVE_DEVICES(folders)                                                                 \
    if (agents_have_devices(folders))                                                                           \
    GTEST_SKIP() << "the agents' processes have devices: their results are not the host path's bit for bit"

using gravsim_net_agent = gravsim_agents;

TEST_F(gravsim_net_agent, one_share_of_one_tile_sums_every_body_bit_for_bit)
{
    std::string at = ready_agent(0);
    SKIP_WHERE_AGENTS_HAVE_DEVICES({at});
    const int n = 256;
    bodies b = disk(n, 99u, eps), ref = b;
    std::fill(b.acc.begin(), b.acc.end(), -7.0f); // the Out array travels with what it held
    ASSERT_TRUE(accelerations_over({at}, &b, 1));
    reference_accelerations(ref.pos.data(), ref.acc.data(), n, eps);
    EXPECT_TRUE(same_bits(b.acc, ref.acc)) << "acc differs at float " << first_difference(b.acc, ref.acc);
}

// Members past the items have empty shares: with n = 256 over 300 shares,
// share 0 takes all 256 and shares 1 to 299 none.  Such a share changes not
// one byte of the request, whatever the arrays hold.
TEST_F(gravsim_net_agent, an_empty_share_returns_every_byte_as_sent)
{
    std::string at = ready_agent(0);
    const int n = 256;
    bodies b = disk(n, 5u, eps);
    std::fill(b.acc.begin(), b.acc.end(), -7.0f);
    for (int index : {3, 1, 299}) {
        SCOPED_TRACE("share " + std::to_string(index) + " of 300");
        int first, end;
        member_slice(index, 300, n, &first, &end);
        ASSERT_EQ(first, end);
        for (const test_request &request : {accelerations_request(b, index, 300), time_step_request(b, 0.5f, index, 300)}) {
            SCOPED_TRACE("fline" + std::to_string(request.header.function_number));
            ASSERT_EQ(send_request(at, request, compute_wait_ms), outcome_done);
            std::vector<uint8_t> response;
            ASSERT_TRUE(read_file(at + SERVER_NAME_ARGS, &response));
            EXPECT_TRUE(response == request_file_bytes(request));
        }
    }
}

// Damping 1 and no forces: every body of the share moves by vel * dt
// exactly, velocities and weights keep every bit.  Over two shares, so the
// second share's bodies are checked as well as the first's.
TEST_F(gravsim_net_agent, an_undamped_step_without_forces_moves_by_velocity_times_dt)
{
    std::string at = ready_agent(0);
    const int n = 768;
    bodies b = disk(n, 11u, eps);
    std::fill(b.acc.begin(), b.acc.end(), 0.0f);
    for (int count : {1, 2}) {
        SCOPED_TRACE(std::to_string(count) + " shares");
        bodies moved = b;
        ASSERT_TRUE(time_step_over({at}, &moved, 1.0f, count));
        EXPECT_TRUE(same_bits(moved.vel, b.vel));
        for (int i = 0; i < n; ++i) {
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(moved.pos[4 * i + c], b.pos[4 * i + c] + b.vel[4 * i + c] * dt) << "body " << i;
            ASSERT_EQ(moved.pos[4 * i + 3], b.pos[4 * i + 3]) << "body " << i;
        }
    }
}

TEST_F(gravsim_net_agent, the_empty_kernel_returns_the_request_unchanged)
{
    std::string at = ready_agent(0);
    bodies b = disk(512, 13u, eps);
    for (int count : {1, 3}) {
        test_request request = share_of(make_request(module_name, line_idle, {{1, bytes_of(b.pos)}, value(b.n)}), 0, count);
        ASSERT_EQ(send_request(at, request, compute_wait_ms), outcome_done);
        std::vector<uint8_t> response;
        ASSERT_TRUE(read_file(at + SERVER_NAME_ARGS, &response));
        EXPECT_TRUE(response == request_file_bytes(request)) << count << " shares";
    }
}

// Counts the module cannot trust: one that is not whole tiles would make the
// force sum read past pos (into acc, still inside the block) and answer
// wrong sums as results; one larger than the arrays sent runs off the data
// block into the agent's fence.  Both requests fail, and the agent serves
// the next one.
TEST_F(gravsim_net_agent, counts_beyond_what_was_sent_fail_the_request)
{
    std::string at = ready_agent(0);
    bodies b = disk(512, 17u, eps);
    for (int n : {300, 256 * 4096}) {
        SCOPED_TRACE("n " + std::to_string(n));
        test_request bad = make_request(module_name, line_accelerations,
                                        {{1, bytes_of(b.pos)}, {2, bytes_of(b.acc)}, value(n), value(0.0f), value(eps)});
        EXPECT_EQ(send_request(at, bad, compute_wait_ms), outcome_err);
        EXPECT_EQ(send_request(at, accelerations_request(b, 0, 1), compute_wait_ms), outcome_done);
    }
}

// The simulation run through agents, compared with the reference after every
// call: 1, 2, 3 (uneven: member 0 takes the remainder, and boundaries fall
// inside tiles) and 4 shares, on one agent and on two at once.
TEST_F(gravsim_net_agent, shares_on_one_and_two_agents_match_the_host_path_bit_for_bit)
{
    std::vector<std::string> folders = {ready_agent(0), ready_agent(1)};
    SKIP_WHERE_AGENTS_HAVE_DEVICES(folders);
    for (int n : {256, 1024})
        for (int agents : {1, 2})
            for (int count : {1, 2, 3, 4}) {
                std::string where = "n " + std::to_string(n) + ", " + std::to_string(count) + " shares on " +
                                    std::to_string(agents) + " agents";
                SCOPED_TRACE(where);
                std::vector<std::string> used(folders.begin(), folders.begin() + agents);
                bodies sim = disk(n, 7u + (uint32_t)n, eps), ref = sim;
                for (int step = 0; step < 3; ++step) {
                    SCOPED_TRACE("step " + std::to_string(step));
                    ASSERT_TRUE(accelerations_over(used, &sim, count));
                    reference_accelerations(ref.pos.data(), ref.acc.data(), n, eps);
                    ASSERT_TRUE(same_bits(sim.acc, ref.acc)) << "acc differs at float "
                                                             << first_difference(sim.acc, ref.acc);
                    ASSERT_TRUE(time_step_over(used, &sim, 0.995f, count));
                    reference_time_step(ref.acc.data(), ref.vel.data(), ref.pos.data(), 0.995f, dt, n);
                    ASSERT_TRUE(same_bits(sim.vel, ref.vel)) << "vel differs at float "
                                                             << first_difference(sim.vel, ref.vel);
                    ASSERT_TRUE(same_bits(sim.pos, ref.pos)) << "pos differs at float "
                                                             << first_difference(sim.pos, ref.pos);
                }
            }
}

// ---- the agent's own OpenCL device ------------------------------------------------

// The agent's environment gets the GPU-presenting OpenCL library; the
// test's own process has no device at all.
std::vector<std::string> opencl_agent_env(std::vector<std::string> more = {})
{
    std::istringstream words(GRAVSIM_AGENT_OPENCL_ENV);
    std::string word;
    while (words >> word)
        more.push_back(word);
    return more;
}

struct gravsim_net_opencl_agent : gravsim_agents {
    void SetUp() override
    {
        if (!ZEQ_HAVE_OPENCL)
            GTEST_SKIP() << "no OpenCL library for this flavour: the agent's device path is not tested here";
        gravsim_agents::SetUp();
    }
};

// The whole range goes to the device inside the agent (a one-member region
// of the module's own); for share 1 of 2 the records outside the share are
// put back, so only the share's records change.
TEST_F(gravsim_net_opencl_agent, the_agents_device_computes_its_share)
{
    std::string at = ready_agent(0, opencl_agent_env());
    const int n = 1024;
    bodies b = disk(n, 3u + (uint32_t)n, eps);
    std::vector<float> want(b.acc.size());
    reference_accelerations(b.pos.data(), want.data(), n, eps);
    long long before = 0;
    for (int count : {1, 2}) {
        SCOPED_TRACE(std::to_string(count) + " shares");
        int first, end;
        member_slice(count - 1, count, n, &first, &end);
        bodies got = b;
        std::fill(got.acc.begin(), got.acc.end(), -7.0f);
        test_request request = accelerations_request(got, count - 1, count);
        std::vector<share_answer> answers = serve_shares({at}, {request}, device_wait_ms);
        ASSERT_TRUE(take_share(request, answers[0], arg_acc_of_144, 3, first, end, &got.acc));
        slot_counts counts = read_report(report(0));
        ASSERT_TRUE(counts.read) << "no slot report from the agent";
        ASSERT_GT(counts.device_slots, 0) << "the agent's process found no OpenCL device";
        EXPECT_EQ(counts.device_items - before, n) << "the device computes the whole range";
        before = counts.device_items;
        std::vector<float> share(got.acc.begin() + 3 * first, got.acc.begin() + 3 * end);
        std::vector<float> share_want(want.begin() + 3 * first, want.begin() + 3 * end);
        EXPECT_LT(reference_relative_error(share.data(), share_want.data(), share.size()), reference_acc_tolerance);
    }
}

// A device that runs the kernel in groups smaller than the 256 its tile
// needs computes wrong sums, and the runtime says so in the call's status.
// The module must then compute the share on the processor: bit for bit the
// reference, though the device did run.
TEST_F(gravsim_net_opencl_agent, a_device_launch_in_smaller_groups_is_redone_on_the_host)
{
    std::string at = ready_agent(0, opencl_agent_env({"POCL_MAX_WORK_GROUP_SIZE=64"}));
    const int n = 512;
    bodies b = disk(n, 21u, eps), ref = b;
    ASSERT_TRUE(accelerations_over({at}, &b, 1));
    slot_counts counts = read_report(report(0));
    ASSERT_GT(counts.device_slots, 0) << "the agent's process found no OpenCL device";
    EXPECT_GT(counts.device_items, 0) << "the device was offered the range and ran it";
    reference_accelerations(ref.pos.data(), ref.acc.data(), n, eps);
    EXPECT_TRUE(same_bits(b.acc, ref.acc)) << "acc differs at float " << first_difference(b.acc, ref.acc);
}

// ---- the runtime's remote client -----------------------------------------------------

using gravsim_net_client = remote_offload;

// n = 256 in one share: the name of 15 bytes puts the table at 47 and the
// data block at 87; In 4096 bytes, Out 3072, three values of 4.
TEST_F(gravsim_net_client, a_one_share_accelerations_request_is_laid_out_byte_for_byte)
{
    const int n = 256;
    played_agent *agent = play_agent(0, [](std::vector<uint8_t> *) { return true; });
    ASSERT_TRUE(serve_from());
    bodies b = disk(n, 31u, eps);
    std::fill(b.acc.begin(), b.acc.end(), -1.0f);
    float spare = 0.75f;
    // One worker alone: a one-member region, so the whole call is one share.
    gravsim_tally_reset();
    gravsim_use_workers(gravsim_workers_alone);
    gravsim_accelerations(b.pos.data(), b.acc.data(), n, spare, eps, 0);
    gravsim_use_workers(gravsim_workers_all);
    gravsim_tally t;
    gravsim_tally_read(gravsim_site_accelerations, &t);
    EXPECT_EQ(t.agent_items[0], n) << "agent 0 served the whole call";

    ASSERT_EQ(agent->requests.size(), 1u);
    std::vector<float> acc_sent(3 * n, -1.0f);
    std::vector<uint8_t> expected = nbody_request_bytes(line_accelerations, "gravsim_net.so", n, b.pos.data(),
                                                        acc_sent.data(), {&n, &spare, &eps});
    ASSERT_EQ(expected.size(), 7267u);

    const std::vector<uint8_t> &sent = agent->requests[0];
    ASSERT_EQ(sent.size(), expected.size());
    auto differ = std::mismatch(sent.begin(), sent.end(), expected.begin());
    EXPECT_TRUE(differ.first == sent.end()) << "first difference at offset " << (differ.first - sent.begin());
    std::vector<std::string> files = client_files(folder(0));
    EXPECT_NE(std::find(files.begin(), files.end(), "gravsim_net.so"), files.end())
        << ::testing::PrintToString(files);
}

// A step whose share failed on an agent ("err") is computed again on the
// host, from the arrays as they were: bit for bit the host path's.
TEST_F(gravsim_net_client, a_call_whose_share_failed_is_computed_again_on_the_host)
{
    played_agent *agent = play_agent(0, [](std::vector<uint8_t> *) { return false; });
    ASSERT_TRUE(serve_from());
    const int n = 512;
    bodies b = disk(n, 61u, eps), ref = b;
    gravsim_use_workers(gravsim_workers_alone);
    gravsim_time_step(b.acc.data(), b.vel.data(), b.pos.data(), 1.0f, dt, n, 0);
    gravsim_use_workers(gravsim_workers_all);
    reference_time_step(ref.acc.data(), ref.vel.data(), ref.pos.data(), 1.0f, dt, n);
    EXPECT_EQ(agent->requests.size(), 1u) << "the agent was offered the step";
    EXPECT_TRUE(same_bits(b.pos, ref.pos) && same_bits(b.vel, ref.vel));
}

// The program's steps shared in balance by two real agents and the pool:
// whichever runs of members the agents take, every call is bit for bit the
// host path, and the agents' items show in the tally.  16384 bodies in 64
// members: enough work in each call that the agents, which the empty call
// has given the module, claim members before the pool has taken them all.
TEST_F(gravsim_net_client, steps_on_agents_and_pool_match_the_host_path_bit_for_bit)
{
    start_agents(2);
    ASSERT_TRUE(serve_from());
    const int n = 16384;
    bodies b = disk(n, 41u, eps), ref = b;
    gravsim_idle(b.pos.data(), n, 0);
    gravsim_tally_reset();
    for (int step = 0; step < 4; ++step) {
        gravsim_accelerations(b.pos.data(), b.acc.data(), n, 0.0f, eps, 0);
        reference_accelerations(ref.pos.data(), ref.acc.data(), n, eps);
        ASSERT_TRUE(same_bits(b.acc, ref.acc)) << "step " << step << ": acc differs at float "
                                               << first_difference(b.acc, ref.acc);
        gravsim_time_step(b.acc.data(), b.vel.data(), b.pos.data(), 1.0f, dt, n, 0);
        reference_time_step(ref.acc.data(), ref.vel.data(), ref.pos.data(), 1.0f, dt, n);
        ASSERT_TRUE(same_bits(b.pos, ref.pos)) << "step " << step;
        ASSERT_TRUE(same_bits(b.vel, ref.vel)) << "step " << step;
    }
    gravsim_tally t;
    gravsim_tally_read(gravsim_site_accelerations, &t);
    long long agents = 0;
    for (long long items : t.agent_items)
        agents += items;
    EXPECT_GT(agents, 0) << "an agent not yet measured takes one member as a probe";
}

// One accelerations call taken by the pool, the test process's OpenCL device
// and two agents (kept from the device library) at once: every body once,
// only the device's not the host path's bit for bit.  Runs as a test of its
// own, with the library in the test's environment.
TEST_F(gravsim_net_client, one_call_is_shared_by_the_pool_a_device_and_two_agents)
{
    if (!getenv("ZEQ_TEST_EVERY_WORKER"))
        GTEST_SKIP() << "runs as sample.gravsim_every_worker, with an OpenCL device in the test's process";
    for (int a = 0; a < 2; ++a) {
        agent_process *agent = start_agent("", {"LD_LIBRARY_PATH="});
        ASSERT_TRUE(wait_for_registration(root, a, harness_wait_ms)) << agent_log(agent);
    }
    ASSERT_TRUE(serve_from());
    const int n = 16384; // 64 members: time for everyone to claim a probe
    bodies b = disk(n, 51u, eps), ref = b;
    reference_accelerations(ref.pos.data(), ref.acc.data(), n, eps);
    gravsim_idle(b.pos.data(), n, 0); // copies the module to the agents
    // Whether a worker not measured yet claims its probe before the pool has
    // taken every member depends on how soon a loaded machine schedules it:
    // the first of up to five calls (the same positions, the same results)
    // that every worker took part in is the one checked.
    gravsim_tally t = {};
    long long pool = 0, device = 0;
    for (int call = 0; call < 5 && !(pool && device && t.agent_items[0] && t.agent_items[1]); ++call) {
        std::fill(b.acc.begin(), b.acc.end(), NAN); // a body left out shows
        gravsim_tally_reset();
        gravsim_accelerations(b.pos.data(), b.acc.data(), n, 0.0f, eps, 0);
        gravsim_tally_read(gravsim_site_accelerations, &t);
        pool = device = 0;
        for (long long items : t.host_items)
            pool += items;
        for (int s = 1; s < gravsim_max_slots; ++s)
            device += t.slot_items[s];
    }
    EXPECT_GT(pool, 0);
    EXPECT_GT(device, 0) << "the device slots: " << qiv_exported_slot_count() - 1;
    EXPECT_GT(t.agent_items[0], 0);
    EXPECT_GT(t.agent_items[1], 0);
    EXPECT_EQ(pool + device + t.agent_items[0] + t.agent_items[1], n) << "a body computed twice or never";
    long long differing = 0;
    for (int i = 0; i < n; ++i)
        differing += memcmp(&b.acc[3 * i], &ref.acc[3 * i], 3 * sizeof(float)) != 0;
    EXPECT_LE(differing, device) << "bodies not bit for bit the host path's, more than the device computed";
    EXPECT_LT(reference_relative_error(b.acc.data(), ref.acc.data(), ref.acc.size()), reference_acc_tolerance);
    double mean, worst;
    EXPECT_EQ(gravsim_balance(&t, &mean, &worst), 1) << "the call's balance was not reported";
}

} // namespace
