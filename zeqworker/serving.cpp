// The serving loop: wait for "do", check the stamp, serve, and again.
//
// A wait never trusts a notification to come: on a network folder the
// client's "do" raises none on the agent's machine.  So the agent looks
// itself before every wait, and each wait ends after server_wait_ms.  Right
// after a request it looks every millisecond for a short while instead,
// because a client with more work posts the next request at once, and a
// burst served at one request per wait would crawl wherever notifications do
// not arrive.  Idle, the agent costs one look (and one stamp check) per wait.
#include "agent.h"

namespace {

enum {
    // After a request, look for the next "do" this often ...
    fast_look_ms = 1,
    // ... for this long, then go back to waiting for notifications.
    fast_phase_ms = 100,
};

// Returns when "do" has a name (of any kind: serving tells them apart) or
// when the stamp check fails.  The look opens the name, as the protocol's
// existence tests do: on a network file system an open revalidates what the
// machine has cached about the folder, where a lookup may answer from it.
void wait_for_request(agent_state *agent, uint64_t fast_until_ms)
{
    for (;;) {
        if (server_file_present(agent->do_path) > 0)
            return;
        if (platform_monotonic_ms() < fast_until_ms) {
            platform_sleep_ms(fast_look_ms);
            continue;
        }
        if (!agent_stamp_holds(agent))
            return;
        server_watch_wait(&agent->watch, server_wait_ms, server_watch_fallback_ms);
    }
}

} // namespace

int agent_serve(agent_state *agent)
{
    // Opened once per registration, so that a "do" created between a look
    // and the wait after it still ends that wait.
    server_watch_open(&agent->watch, agent->folder, 0, platform_watch_names | platform_watch_contents);
    uint64_t fast_until_ms = 0;
    int step = agent_step_next;
    while (step == agent_step_next) {
        wait_for_request(agent, fast_until_ms);
        if (!agent_stamp_holds(agent)) {
            agent_say("Corrupted server folder: %s\n", agent->folder);
            step = agent_step_reregister;
            break;
        }
        step = agent_serve_request(agent);
        fast_until_ms = platform_monotonic_ms() + fast_phase_ms;
    }
    server_watch_close(&agent->watch);
    return step;
}
