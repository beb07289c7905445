// Driving zeqworker agents from a test the way a client would: start real
// agent processes, write a request with the protocol module, copy a module
// into the agent folder, post "do", and wait for "done" or "err".
//
// Kept apart from any one test file so that tests of the agent on other file
// systems (a folder the agent reaches through a mount while the client
// writes the local path) drive it the same way: every call takes the paths it
// works on, and nothing assumes that the agent and the client see the tree
// under one name.  Agent processes are always stopped: the fixture kills
// every agent it started in TearDown, passed or failed.
#ifndef ZEQ_TESTS_AGENT_HARNESS_H
#define ZEQ_TESTS_AGENT_HARNESS_H

#include <gtest/gtest.h>

#include <stdint.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "request_bytes.h"
#include "server_folder.h"

// ---- the programs and modules built with the tests --------------------------

// The zeqworker of this build, the fault program beside it, and the folder
// of the test modules ("<base>_net.so").
const char *harness_zeqworker_path(void);
const char *harness_faults_path(void);
const char *harness_module_folder(void);

// ---- agent processes --------------------------------------------------------

struct agent_process {
    int pid = 0;          // 0: not running (never started, or reaped)
    int exit_status = -1; // as the shell sees it (0-255, 128 + signal), once reaped
    std::string log_path; // its standard error (and standard output)
};

// Starts program with args (ZEQ_RUN_PREFIX, when the build has one, goes
// first), standard error and output into log_path, the environment of the
// test plus env ("NAME=value" entries).  Returns false when it cannot start.
bool agent_start(agent_process *agent, const std::string &program, const std::vector<std::string> &args,
                 const std::string &log_path, const std::vector<std::string> &env = {});
// Kills the process (SIGKILL) and reaps it; nothing when it is not running.
void agent_kill(agent_process *agent);
// Waits up to timeout_ms for the process to end and reaps it.  Returns its
// exit status as the shell sees it, or -1 when it still runs.
int agent_wait_exit(agent_process *agent, int timeout_ms);
// True while the process has not ended (reaps it when it has).
bool agent_running(agent_process *agent);
// What the agent has written to its standard error so far.
std::string agent_log(const agent_process *agent);

// ---- files and waiting ------------------------------------------------------

// root/x64/ (x32 on i386), and root/x64/<n>/, both ending in '/'.
std::string harness_platform_folder(const std::string &root);
std::string harness_agent_folder(const std::string &root, int number);

// Polls condition every step_ms until it holds or timeout_ms has passed.
bool wait_until(const std::function<bool()> &condition, int timeout_ms, int step_ms = 1);
// Agent folder <number> of root has a "tsc".
bool wait_for_registration(const std::string &root, int number, int timeout_ms);
// Agent numbers of root whose folders hold a "tsc", in increasing order.
std::vector<int> registered_agents(const std::string &root);

bool read_file(const std::string &path, std::vector<uint8_t> *bytes);
bool write_file(const std::string &path, const std::vector<uint8_t> &bytes);
bool file_exists(const std::string &path);

// A description of every file and folder below folder (names, kinds, sizes,
// contents and modification times), to show that nothing there changed.
std::string tree_snapshot(const std::string &folder);

// ---- requests ---------------------------------------------------------------

struct test_argument {
    uint32_t kind; // 1 In, 2 Out, 3 InOut, 4 Value
    std::vector<uint8_t> bytes;
};

struct test_request {
    args_header header;
    std::string module_name;
    std::vector<test_argument> arguments;
};

// A well-formed request for "fline<function_number>" of module_name: version
// 0, share 0 of 1, and the counts and sizes those of the name and arguments.
test_request make_request(const std::string &module_name, int32_t function_number,
                          const std::vector<test_argument> &arguments);
// The bytes of args.bin for the request as laid out, whatever its header says.
std::vector<uint8_t> request_file_bytes(const test_request &request);

// The probe module's fline10 for a share: Out int[2] (where the module writes
// the share it saw), InOut int[n] (each count plus one), Value n.
test_request probe_share_request(int32_t share_index, int32_t share_count, const std::vector<int32_t> &counts);

// The probe module's fline7, which adds 1 to the int its first word points
// at: InOut int[2] {41, 7} (the agent answers {42, 7}), Value 2.
test_request counting_request();

std::vector<uint8_t> int_bytes(const std::vector<int32_t> &values);
std::vector<int32_t> ints_at(const std::vector<uint8_t> &bytes, size_t offset, size_t count);

// Copies the test module <name> (a file of harness_module_folder()) into folder.
bool copy_module(const std::string &agent_folder, const std::string &name);

// Claims the agent for this client ("busy" with a stamp), as a client does first.
bool claim_agent(const std::string &agent_folder);

enum request_outcome {
    outcome_done,
    outcome_err,
    outcome_pending, // "do" still there when the time ran out
    outcome_lost,    // none of "do", "done", "err"
};
const char *outcome_name(request_outcome outcome);

// Posts the request whose args.bin is in place (deletes "done" and "err",
// creates "do", bursts "dd").
bool post_request(const std::string &agent_folder);
// Waits until "do" is gone; then "done" or "err" says how it went.
request_outcome wait_outcome(const std::string &agent_folder, int timeout_ms);
// The whole exchange: args.bin written through the protocol module, posted,
// waited for.  The response is then in agent_folder + "args.bin".
request_outcome send_request(const std::string &agent_folder, const test_request &request, int timeout_ms);
// The same with args.bin given byte for byte (for requests no client writes).
request_outcome send_raw_request(const std::string &agent_folder, const std::vector<uint8_t> &bytes,
                                 int timeout_ms);

// ---- the fixture --------------------------------------------------------------

// A scratch folder holding the server root ("server") and the agents' logs,
// removed when the test ends; every agent started through it is killed then.
class agent_fixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts program (zeqworker when empty) with exactly args and the extra
    // environment, its log a file of the scratch folder.  Never null: a
    // failed start fails the test and returns a record that is not running.
    agent_process *start_program(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                                 const std::string &program = "");
    // Starts an agent on root (the fixture's when empty).
    agent_process *start_agent(const std::string &server = "", const std::vector<std::string> &env = {},
                               const std::string &program = "");
    // Starts one agent and waits until it has registered as number 0; the
    // folder is claimed for this client and holds the test module probe_net.so.
    agent_process *start_ready_agent(const std::vector<std::string> &env = {}, const std::string &program = "");

    std::string folder(int number) const { return harness_agent_folder(root, number); }

    std::string scratch;  // removed at the end
    std::string root;     // scratch + "/server"
    std::deque<agent_process> agents;
};

// Generous bounds for waits that normally end within milliseconds.
enum {
    harness_wait_ms = 10000,
};

#endif
