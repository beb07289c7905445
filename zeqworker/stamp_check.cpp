// The stamp check: is the folder still this registration's?  "tsc" must
// exist, hold 8 bytes and equal the stamp written at registration.
//
// An open that fails for a reason other than a missing file (a network file
// system that hiccups, a descriptor shortage) is worth another try, but not
// for ever: a folder whose "tsc" cannot be read for stamp_check_tries tries,
// stamp_check_pause_ms apart, is treated as corrupted, and the agent
// registers again elsewhere rather than stall (it would serve nobody while
// stalled, and a client cannot tell a stalled agent from a slow one).
#include "agent.h"

namespace {

enum {
    stamp_check_tries = 50,
    stamp_check_pause_ms = 10,
};

} // namespace

int agent_stamp_holds(const agent_state *agent)
{
    uint64_t found = 0;
    int read = server_stamp_read(agent->tsc_path, &found);
    for (int tries = 1; read == server_failed && tries < stamp_check_tries; ++tries) {
        platform_sleep_ms(stamp_check_pause_ms);
        read = server_stamp_read(agent->tsc_path, &found);
    }
    return read == server_ok && found == agent->stamp;
}
