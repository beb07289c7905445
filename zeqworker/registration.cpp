// Registration: the agent claims the lowest free number by creating its
// folder, then marks the folder as its own with an exclusively created "tsc".
//
// Creating a folder is the one atomic claim a shared folder offers across
// machines, so the number is taken by the mkdir alone; every folder that
// exists already (an agent's, an ended agent's, a corrupted one) is skipped.
// A "tsc" that cannot be created means someone else put files into the new
// folder between our mkdir and our create: the folder is left as it is, a
// gap that clients stop at, and registration starts over with a new stamp.
#include "agent.h"

namespace {

// Forms the paths of the files the agent reads in agent->folder.
void name_files(agent_state *agent)
{
    server_file_path(agent->do_path, sizeof agent->do_path, agent->folder, SERVER_NAME_DO);
    server_file_path(agent->tsc_path, sizeof agent->tsc_path, agent->folder, SERVER_NAME_TSC);
    server_file_path(agent->args_path, sizeof agent->args_path, agent->folder, SERVER_NAME_ARGS);
}

// Makes the lowest agent folder that does not exist yet.  0, or an exit status.
int claim_number(agent_state *agent)
{
    for (int32_t n = 0; n < server_agent_count; ++n) {
        int length = server_agent_folder(agent->folder, sizeof agent->folder, agent->root, n);
        int made = server_make_folder(agent->folder);
        if (made == server_folder_taken)
            continue;
        if (made == server_folder_failed) {
            agent_say("Wrong server name: %s\n", agent->folder);
            return agent_exit_wrong_server;
        }
        agent->folder_length = length;
        return 0;
    }
    agent_say("Exceeded maximum number of agents: %d\n", (int)server_agent_count);
    return agent_exit_agents_exhausted;
}

} // namespace

int agent_register(agent_state *agent)
{
    for (;;) {
        agent->stamp = server_new_stamp();
        int status = claim_number(agent);
        if (status != 0)
            return status;
        name_files(agent);
        int created = server_stamp_create(agent->tsc_path, agent->stamp);
        if (created == server_ok)
            return 0;
        if (created == server_short) {
            agent_say("Failed to write %s\n", agent->tsc_path);
            return agent_exit_stamp_unwritten;
        }
        agent_say("Corrupted server folder: %s\n", agent->folder);
    }
}
