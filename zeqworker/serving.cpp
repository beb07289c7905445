// The serving loop: wait for "do", check the stamp, serve, and again.
//
// A wait never trusts a notification to come: on a network folder the
// client's "do" raises none on the agent's machine.  So the agent looks
// itself before every wait, and each wait ends after server_wait_ms.  Right
// after a request it looks far more often, because a client with more work
// posts the next request soon, and requests served at one per wait would
// crawl wherever notifications do not arrive: every millisecond for the
// first 100 ms (a client posting back to back), then every 10 ms for the
// rest of a second (a client that computed a while in between).  Those
// looks wait on the watch rather than sleep, so that where notifications do
// arrive a "do" is seen the moment it appears.  After that second the agent
// is idle and costs one look (and one stamp check) per wait.
#include "agent.h"

namespace {

enum { stamp_check_every_ms = 250 };

// Returns when "do" has a name (of any kind: serving tells them apart), when
// the stamp check fails, or when a stop was asked (looked at before every
// wait, so that an idle agent stops within one wait).  The look opens the
// name, as the protocol's existence tests do: on a network file system an
// open revalidates what the machine has cached about the folder, where a
// lookup may answer from it.
void wait_for_request(agent_state *agent, uint64_t last_request_ms)
{
    uint64_t stamp_checked_ms = platform_monotonic_ms();
    for (;;) {
        if (platform_stop_asked() || server_file_present(agent->do_path) == server_present)
            return;
        uint32_t every = server_look_interval(last_request_ms);
        bool idle = every >= server_wait_ms;
        // The frequent looks check the stamp now and then, so that a folder
        // taken away right after a request is still noticed within a wait.
        uint64_t now = platform_monotonic_ms();
        if (idle || now - stamp_checked_ms >= stamp_check_every_ms) {
            if (!agent_stamp_holds(agent))
                return;
            stamp_checked_ms = now;
        }
        server_watch_wait(&agent->watch, every, idle ? (uint32_t)server_watch_fallback_ms : every);
    }
}

} // namespace

int agent_serve(agent_state *agent)
{
    // Opened once per registration, so that a "do" created between a look
    // and the wait after it still ends that wait.
    server_watch_open(&agent->watch, agent->folder, 0, platform_watch_names | platform_watch_contents);
    uint64_t last_request_ms = 0;
    int step = agent_step_next;
    while (step == agent_step_next) {
        wait_for_request(agent, last_request_ms);
        // Before anything of the request is touched: a "do" left alone is
        // the client's to take back.
        if (platform_stop_asked()) {
            step = agent_step_stop;
            break;
        }
        if (!agent_stamp_holds(agent)) {
            agent_say("Corrupted server folder: %s\n", agent->folder);
            step = agent_step_reregister;
            break;
        }
        step = agent_serve_request(agent);
        last_request_ms = platform_monotonic_ms();
    }
    server_watch_close(&agent->watch);
    return step;
}
