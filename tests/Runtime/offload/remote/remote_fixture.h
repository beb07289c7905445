// The fixture of the remote offload tests: the test process is the client,
// real zeqworker agents (or an agent the test plays itself) serve it.
//
// The client takes its server folder from QIV_NETLOAD_SERVER on the first
// request that finds the variable set, and keeps it for the life of the
// process.  CTest runs every test in a process of its own, so each test may
// name its own folder; a second folder in one process (the whole program run
// by hand) cannot work and the test says so by skipping.
#ifndef ZEQ_TESTS_REMOTE_FIXTURE_H
#define ZEQ_TESTS_REMOTE_FIXTURE_H

#include "agent_harness.h"
#include "remote_calls.h"
#include "server_folder.h"

#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// An agent played by the test: a registered folder whose "tsc" beats as a
// live agent's does, and a thread that answers every "do" by calling answer
// with the request's bytes (which it may change into the response) and then
// publishing "done" when it returns true, "err" when false.  Every request
// it sees is kept, byte for byte.
struct played_agent {
    std::string folder;
    std::vector<std::vector<uint8_t>> requests;
    std::function<bool(std::vector<uint8_t> *)> answer;
    std::atomic<int> stop{0};
    std::thread thread;
};

class remote_offload : public agent_fixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // Points the client at server (root when empty).  False, with the test
    // skipped, when this process serves another folder already.
    bool serve_from(const std::string &server = "");
    // Starts count real agents, one after the other, so that they take the
    // numbers first, first + 1, ...; each logs its shares into share_log.
    std::vector<agent_process *> start_agents(int count, int first = 0, const std::string &server = "");
    // Registers a played agent as number `number` of root and starts it.
    played_agent *play_agent(int number, std::function<bool(std::vector<uint8_t> *)> answer);

    std::vector<share_record> shares() const { return read_share_log(share_log); }
    std::vector<share_record> shares_of(int tag) const;

    std::string share_log;
    std::deque<played_agent> played;
};

// Every member of a call of `members` members ran exactly once: on an agent
// (shares: the agents' log of the call) or on the host (host_runs[p] times).
::testing::AssertionResult each_share_once(const std::vector<share_record> &shares, int members, const int *host_runs);

// Module files, "busy" and the request's files in an agent folder: what a
// client leaves there (the agent's own "tsc" left out).
std::vector<std::string> client_files(const std::string &agent_folder);

#endif
