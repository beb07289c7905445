// The chaos soak: gravsim steps run by the pool and zeqworker agents while
// the agents, their files and the network folder under them are made to
// fail on a seeded schedule; at the end the bodies must be bit for bit those
// of a pool-only run of the same steps.
//
// One program plays three parts, so that each has a process of its own: the
// driver (starts the sshd and sshfs fixture and the agents, injects the
// faults, judges and reports), the client (the steps, with
// QIV_NETLOAD_SERVER naming the folder, its ZEQ_LOG lines on its standard
// error) and the reference (the same steps on the pool alone).  The runtime
// reads its environment once per process, and a hung client must be
// killable without losing the driver, hence the children.
#ifndef ZEQ_TESTS_SOAK_H
#define ZEQ_TESTS_SOAK_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "sshfs_server.h"

enum fault_kind {
    fault_kill_agent,   // SIGKILL an agent while it serves, start a new one
    fault_stop_agent,   // SIGSTOP an agent past the liveness bound, then SIGCONT
    fault_tsc,          // delete or rewrite an agent's "tsc"
    fault_garbage_args, // fill args.bin with garbage while "do" exists
    fault_stall_mount,  // SIGSTOP the sshd behind the mount for 10 s
    fault_kill_sshd,    // kill sshd: the mount fails; restart and remount
    fault_kinds,
};
extern const char *const fault_names[fault_kinds];

struct soak_options {
    int seconds;        // of faults; the run ends when the steps then under way are done
    int agents;         // through the mount; one more runs on the plain folder
    uint64_t seed;
    int client_local;   // 1: the client names the plain folder, 0: the mount
    int bodies;
    int step_bound_s;   // a step that takes longer is a hang
    std::string zeqworker;
    int skip[fault_kinds]; // 1: this kind is never injected (to look past a known fault)
};

struct soak_agent {
    pid_t pid;          // 0 once it ended and was replaced
    int through_mount;
    std::string log;
    long log_read;      // bytes of the log read so far
    std::string folder; // where it registered last (this machine's path), "" before
};

// What the client printed so far (read from its standard output).
struct client_progress {
    long offset;          // bytes of the output read
    int steps;            // steps done
    double longest_ms;    // the longest of them
    int longest_step;
    double last_change;   // when a step was last seen done (driver's clock, s)
};

struct soak_run {
    soak_options options;
    std::string self;       // this program, for the children
    std::string env_program;
    std::string scratch;    // logs, state files, the stop file; removed at the end
    std::string local_root; // the server folder on this machine
    sshfs_server server;
    int mount_down;         // 1 while a fault has taken the mount away
    std::vector<soak_agent> agents;
    int agent_starts;
    int agent_ends;         // agents that ended by themselves
    int injected[fault_kinds];
    double start;           // driver's clock at the first fault
    uint64_t random;        // the schedule's generator state
    pid_t client;
    std::string client_out;
    client_progress progress;
    int hang;               // 1 once a step outlasted the bound
    int fixture_failed;     // 1 when the mount could not be made again
};

// soak_faults.cpp
// The driver's clock, seconds.
double soak_now(void);
// Say one line with the time since the run started.
void soak_say(const soak_run *run, const char *format, ...) __attribute__((format(printf, 2, 3)));
uint64_t soak_random(soak_run *run);
// Sleeps ms while watching the client and the agents; 0 when a stop was
// asked (a signal) or the client hung, else 1.
int soak_pause(soak_run *run, int ms);
extern volatile int soak_stop_signal; // the signal that asked the driver to stop, 0 for none
// Starts an agent on the mount or the plain folder; 0 or -1.
int soak_start_agent(soak_run *run, int through_mount);
// Replaces the agents that ended (the mount's only while it is up).
void soak_replace_ended_agents(soak_run *run);
// Removes agent folders left without "tsc" (gaps) that have stood so for 3 s
// (whole seconds of the folder's modification time).
void soak_tidy_gaps(soak_run *run);
void soak_inject(soak_run *run, int kind);

// soak_client.cpp: the client and reference parts (soak_main.cpp dispatches).
int soak_client_main(int argc, char **argv);
// Reads new lines of the client's output into run->progress.
void soak_read_progress(soak_run *run);

#endif
