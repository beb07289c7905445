// zeqworker's life: check the argument, make the platform folder, then
// register and serve, registering anew whenever the folder turns out to be
// corrupted, until a fatal condition ends the process or a stop is asked.
//
// A stop (SIGTERM from a cluster engine or a service manager, Ctrl-C) ends
// the agent cleanly: the request it serves is finished and its outcome
// written, a request posted but not yet taken is left as it is, and the
// folder is left dead at once, its "tsc" kept (a missing "tsc" would end
// every client's scan there) but with a write time no live agent's has.
// Clients then send it nothing more, and take back a request left untaken
// as the share of a dead agent.  A second signal ends the process at once.
//
// Every message goes to standard error unbuffered, so that an operator (and a
// test) sees each one as it happens even when the agent is killed afterwards.
#include "agent.h"
#include "diagnostics.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// The main thread's record; the heartbeat keeps its own copy of the two
// fields it needs.
agent_state agent;

} // namespace

void agent_say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

int agent_start_up(agent_state *agent, int argc, char **argv)
{
    if (argc < 2) {
        agent_say("Usage: zeqworker server\n");
        return agent_exit_usage;
    }
    agent->root = argv[1];
    if (strlen(agent->root) > server_root_limit) {
        agent_say("Server name too long: %s\n", agent->root);
        return agent_exit_name_too_long;
    }
    // An empty root names no folder at all.
    if (server_platform_folder(agent->platform_folder, sizeof agent->platform_folder, agent->root) < 0) {
        agent_say("Wrong server name: %s\n", agent->root);
        return agent_exit_wrong_server;
    }
    if (server_make_folder(agent->platform_folder) == server_folder_failed) {
        agent_say("Wrong server name: %s\n", agent->platform_folder);
        return agent_exit_wrong_server;
    }
    return 0;
}

int agent_main(int argc, char **argv)
{
    setvbuf(stderr, nullptr, _IONBF, 0);
    zeq_log_name("zeqworker");
    if (platform_stop_signals_catch() != 0)
        agent_say("Cannot catch the stop signals: a stop will not drain\n");
    int status = agent_start_up(&agent, argc, argv);
    agent_report_start();
    bool registered = false;
    while (status == 0 && !platform_stop_asked()) {
        status = agent_register(&agent);
        if (status != 0)
            break;
        registered = true;
        zeq_log(zeq_log_decisions, "registered in %s", agent.folder);
        agent_heartbeat_follow(agent.tsc_path, agent.stamp);
        status = agent_serve(&agent);
        if (status == agent_step_reregister)
            status = 0;
    }
    // The heartbeat ends first: a beat after the retirement would bring the
    // folder back to life.
    agent_heartbeat_stop();
    if (status == agent_step_stop || (status == 0 && platform_stop_asked())) {
        if (registered && server_stamp_retire(agent.tsc_path, agent.stamp) != server_ok)
            agent_say("Stopped; %s reads as dead once its stamp is old\n", agent.folder);
        else
            agent_say("Stopped: %s\n", registered ? agent.folder : agent.root);
        status = 0;
    }
    return status;
}
