// The heartbeat: a thread of its own that rewrites the stamp of the agent's
// current "tsc" every server_heartbeat_ms, so that a client on any machine
// can tell a live agent from the folder of a dead one by the file's
// modification time alone (change notifications and locks do not cross
// machines).  A thread, not a step of the serving loop, because a module may
// run for minutes and the agent is alive all the while.
//
// The refresh never creates "tsc" and writes only over our own stamp, so an
// old folder that someone emptied or took over is left alone.  The current
// path and stamp change when the agent registers again; beat_lock guards
// them, and is held across the refresh so that a refresh never writes the
// folder the agent has just left.
#include "agent.h"

#include <string.h>

namespace {

platform_critical_section beat_lock;   // guards beat_tsc, beat_stamp
char beat_tsc[agent_path_room];
uint64_t beat_stamp;

// The main thread's alone.
int32_t beat_lock_ready;
platform_thread beat_thread;
int32_t beat_running;
int32_t beat_stop_asked;               // set by the main thread, polled by the heartbeat
platform_event beat_wake;              // ends the sleep early when stopping

void beat(void *)
{
    while (!__atomic_load_n(&beat_stop_asked, __ATOMIC_ACQUIRE)) {
        platform_event_wait_timeout(&beat_wake, server_heartbeat_ms);
        if (__atomic_load_n(&beat_stop_asked, __ATOMIC_ACQUIRE))
            break;
        platform_critical_section_enter(&beat_lock);
        server_stamp_refresh(beat_tsc, beat_stamp);
        platform_critical_section_leave(&beat_lock);
    }
}

} // namespace

void agent_heartbeat_follow(const char *tsc_path, uint64_t stamp)
{
    if (!beat_lock_ready) {
        platform_critical_section_init(&beat_lock);
        beat_lock_ready = 1;
    }
    platform_critical_section_enter(&beat_lock);
    strncpy(beat_tsc, tsc_path, sizeof beat_tsc - 1);
    beat_stamp = stamp;
    platform_critical_section_leave(&beat_lock);
    // Without the thread the agent still serves; a client then sees it as
    // dead once it has been idle for server_alive_bound_ms.
    if (!beat_running && platform_thread_start(&beat_thread, beat, nullptr) == 0)
        beat_running = 1;
}

void agent_heartbeat_stop(void)
{
    if (!beat_running)
        return;
    __atomic_store_n(&beat_stop_asked, 1, __ATOMIC_RELEASE);
    platform_event_set(&beat_wake);
    platform_thread_join(beat_thread);
    beat_running = 0;
}
