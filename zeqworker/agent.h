// The worker agent's state and its steps, shared by the files of zeqworker/.
//
// The agent is one thread doing one thing at a time (register, wait for "do",
// serve, register again) plus a heartbeat thread that only rewrites the
// stamp of the current "tsc".  SIGTERM or SIGINT asks it to stop: it
// finishes the request it serves, takes no other, and leaves its folder
// dead.  Its state is one record in static storage, owned by the main
// thread; the heartbeat has a locked copy of what it needs
// (heartbeat.cpp).  Every file step in the server folder goes through the
// server-folder protocol module, which refuses hostile requests and never
// follows links, so no file code of the folder lives here; the one file the
// agent writes outside it, the operator's slot report, is report.cpp's.
#ifndef ZEQ_AGENT_H
#define ZEQ_AGENT_H

#include <stdint.h>

#include "server_folder.h"

// What the process ends with, besides running for ever or 0 after a stop.
// The shell sees each modulo 256 (255, 252, 249, 245, 244, 243, 242).
enum agent_exit_status {
    agent_exit_usage = -1,
    agent_exit_out_of_memory = -4,
    agent_exit_unload_failed = -7,
    agent_exit_name_too_long = -11,
    agent_exit_agents_exhausted = -12,
    agent_exit_wrong_server = -13,
    agent_exit_stamp_unwritten = -14,
};

// Room for any path the agent forms: an agent folder stays below
// server_path_limit, and the longest file name appended to it is "args.bin".
enum { agent_path_room = server_path_limit + 16 };

typedef struct agent_state {
    const char *root;                       // the command-line argument
    char platform_folder[agent_path_room];  // root/x64/
    char folder[agent_path_room];           // root/x64/<n>/
    // The files the agent reads; "done" and "err" are only ever names that
    // "do" is given (server_publish).
    char do_path[agent_path_room];
    char tsc_path[agent_path_room];
    char args_path[agent_path_room];
    uint64_t stamp;         // this registration's agent stamp
    int32_t folder_length;  // strlen(folder)
    int32_t spare;
    server_watch watch;     // on the agent folder, open while serving
} agent_state;

// What the serving steps tell their caller.
enum agent_step {
    agent_step_next = 0,       // serve the next request
    agent_step_reregister = 1, // the folder is corrupted: take a new number (message printed)
    agent_step_stop = 2,       // a stop was asked: the process ends with status 0
    // A negative value is an agent_exit_status: end the process.
};

// One-line messages on standard error, each ending in '\n'.
void agent_say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Start-up: the argument checks and the platform folder.  0, or an exit status.
int agent_start_up(agent_state *agent, int argc, char **argv);
// Takes a new stamp and the lowest free agent number, and creates "tsc"
// there.  0, or an exit status.
int agent_register(agent_state *agent);
// 1 when "tsc" exists and holds this registration's stamp.
int agent_stamp_holds(const agent_state *agent);
// Serves requests until the folder is corrupted (agent_step_reregister), a
// stop was asked (agent_step_stop: a posted request is left untaken) or the
// process must end (an exit status).
int agent_serve(agent_state *agent);
// Serves the request whose "do" was seen: agent_step_next, agent_step_reregister
// or an exit status.
int agent_serve_request(agent_state *agent);

// The module call of one request.
enum module_outcome {
    module_called = 0,         // the export ran and returned; the module is unloaded
    module_failed = 1,         // the request fails; its message, if any, is printed
    module_unload_failed = 2,  // "Failed to unload" printed: the process must end
};
int agent_call_module(const agent_state *agent, const char *module_name, int32_t function_number,
                      void **words, int32_t share_index, int32_t share_count);

// The slot report (report.cpp): agent_report_start reads ZEQ_AGENT_REPORT
// once at start-up; agent_report_slots rewrites the named file with the
// per-slot item counts, and does nothing when no file was named.
void agent_report_start(void);
void agent_report_slots(void);

// The heartbeat thread: refreshes the current "tsc" every server_heartbeat_ms.
// agent_heartbeat_follow starts it on its first call and from then on points
// it at the given registration; agent_heartbeat_stop ends it.
void agent_heartbeat_follow(const char *tsc_path, uint64_t stamp);
void agent_heartbeat_stop(void);

// The whole program: zeqworker's main, and the test program's after it has
// armed its faults.
int agent_main(int argc, char **argv);

#endif
