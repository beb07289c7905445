// The monitor: one pool thread that watches every claimed agent until its
// share is over, for the life of the process.
//
// While agents are claimed it waits between two scans on the platform
// folder's tree, never longer than the bounded wait, and only briefly for a
// while after a post or a collection, so that a share finished on a network
// folder (whose changes by other machines raise no notification here) is
// still seen within milliseconds.  With no agent claimed it waits on its own
// wake event, which each post sets, one bounded wait after another, and
// looks at slot 0's owner after each: it ends within one wait plus one scan
// of slot 0 stopping.
//
// A share is over when its agent published an outcome, when its "busy" is
// gone or holds another stamp (someone took the agent away), or when the
// agent no longer lives: "do" can stay for ever in the folder of an agent
// that was killed, so each running agent is asked about once a second
// whether its "tsc" is still refreshed.  The share's outcome is decided under
// the agent's lock; the record is then released under the request's lock
// too, and "busy" deleted before the request may be finished: once finished,
// the caller may return and its process end, and an agent left with a
// "busy" would serve nobody again.
#include "remote_client.h"
#include "diagnostics.h"

namespace {

enum share_state {
    share_running,
    share_collected, // results copied back
    share_failed,    // "err", no outcome, unreadable results, or a dead agent
    share_lost,      // "busy" is not ours any more: left alone
    share_unreadable, // "busy" cannot be read: failed, released when it can be
};

// The request's lock, taken while agent n's is held.  Where both keys share
// a cell this thread holds it already; elsewhere it is only tried, so that
// the two threads can never wait for each other.
bool try_request_lock(coload_request *request, int32_t n)
{
    if (sync_hash(request) == sync_hash(agent_key(n))) {
        qiv_exported_sync(request);
        return true;
    }
    return qiv_exported_trysync(request) != 0;
}

share_state look_at_share(int32_t n, const char *folder)
{
    agent_slot *slot = agent_record(n);
    char busy[remote_path_size];
    uint64_t stamp = 0;
    if (server_file_path(busy, sizeof busy, folder, SERVER_NAME_BUSY) < 0)
        return share_lost;
    int read = server_stamp_read(busy, &stamp);
    // A "busy" that cannot be read at all (the folder fails under us, as a
    // network mount that went away does) says nothing about whose it is:
    // the share is given up as failed, and its release left to the retries.
    if (read == server_failed)
        return share_unreadable;
    if (read != server_ok || stamp != slot->claim_stamp)
        return share_lost;
    int outcome = server_outcome(folder);
    if (outcome == server_outcome_running || outcome == server_outcome_unknown) {
        uint64_t now = platform_monotonic_ms();
        agent_watch *watch = agent_watch_of(n);
        if (now < watch->alive_check_ms)
            return share_running;
        watch->alive_check_ms = now + remote_alive_check_ms;
        if (agent_is_alive(folder) != agent_dead)
            return share_running;
        zeq_log(zeq_log_decisions, "agent %d reads as dead while it holds a share", (int)n);
        return share_failed;
    }
    if (outcome == server_outcome_done)
        return collect_results(n, folder) ? share_collected : share_failed;
    return share_failed;
}

// Ends agent n's share; the caller holds n's lock and has decided the state.
// Returns with n's lock released.
void end_share(int32_t n, coload_request *request, share_state state, const char *folder)
{
    agent_slot *slot = agent_record(n);
    uint64_t stamp = slot->claim_stamp;
    while (!try_request_lock(request, n)) {
        qiv_exported_unsync(agent_key(n));
        platform_thread_yield();
        qiv_exported_sync(agent_key(n));
        // Only a lost share's record can change meanwhile: the dispatcher
        // may claim that agent anew and drop the record itself.
        if (slot->request != request || slot->claim_stamp != stamp) {
            qiv_exported_unsync(agent_key(n));
            return;
        }
    }
    agent_watch *watch = agent_watch_of(n);
    if (state != share_collected) {
        zeq_log(zeq_log_decisions, "the share on agent %d of the call at line %d of %s failed%s", (int)n,
                (int)request->site->line, request->site->source,
                state == share_lost ? ": its claim was taken over" : "");
        if (watch->sent && !watch->partly_collected) {
            record_failed_share(request, watch->sent->header.share_index, watch->sent->header.share_count);
        } else {
            zeq_log(zeq_log_decisions, "its results came back in part: the share is lost, not computed again");
            record_failure(request);
        }
        watch->partly_collected = false;
    } else {
        __atomic_add_fetch(&watch->shares_collected, 1, __ATOMIC_RELAXED);
        __atomic_add_fetch(&watch->items_collected, watch->items, __ATOMIC_RELAXED);
    }
    // Before the release: the last release may finish the request, whose
    // balance record lies in the caller's frame.
    if (request->balance)
        balance_share_done(request->balance, balance_agent_worker(n), (intptr_t)watch->items,
                           platform_monotonic_ns() - watch->posted_ns, state != share_collected);
    coload_request *finished = release_agent(n);
    qiv_exported_unsync(request);
    qiv_exported_unsync(agent_key(n));
    if (state == share_unreadable)
        remote_release_later(n, stamp);
    else if (state != share_lost)
        remote_release(folder, n, stamp);
    remote_note_activity();
    if (finished)
        finish_request(finished);
}

// Records in use lie below both limits' maximum: agent_limit as the
// dispatcher's scans last saw it, posted_limit for agents posted to before.
intptr_t scan_limit(void)
{
    intptr_t seen = __atomic_load_n(&remote_client.agent_limit, __ATOMIC_ACQUIRE);
    intptr_t posted = __atomic_load_n(&remote_client.posted_limit, __ATOMIC_ACQUIRE);
    return seen > posted ? seen : posted;
}

void scan_agents(bool stopping)
{
    for (int32_t n = 0; n < scan_limit(); ++n) {
        if (__atomic_load_n(&remote_client.claimed_agents, __ATOMIC_ACQUIRE) == 0)
            return;
        qiv_exported_sync(agent_key(n));
        const agent_slot *slot = agent_record(n);
        coload_request *request = slot ? slot->request : nullptr;
        char folder[remote_path_size];
        if (!request || server_agent_folder(folder, sizeof folder, remote_client.server_root, n) < 0) {
            qiv_exported_unsync(agent_key(n));
            continue;
        }
        // On the way out every share still running is given up, so that no
        // caller waits for a monitor that has gone.
        share_state state = stopping ? share_failed : look_at_share(n, folder);
        if (state == share_running) {
            qiv_exported_unsync(agent_key(n));
            continue;
        }
        end_share(n, request, state, folder);
    }
}

} // namespace

void remote_monitor(void)
{
    __atomic_store_n(&remote_client.monitor_running, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&remote_client.monitor_thread, static_cast<void *>(get_thread_record()), __ATOMIC_RELEASE);
    server_watch watch;
    server_watch_open(&watch, remote_client.server_path, 1, platform_watch_names);
    // Once slot 0 stops, the dispatcher stops posting within one of its own
    // looks; the monitor stays until then, so that no share is posted after
    // its last sweep.
    while (!remote_slot_stopping() || __atomic_load_n(&remote_client.open_request, __ATOMIC_ACQUIRE)) {
        __atomic_store_n(&remote_client.monitor_round_ms, platform_monotonic_ms(), __ATOMIC_RELEASE);
        remote_retry_releases();
        // With no agent claimed nothing on the tree concerns the monitor:
        // it waits for the dispatcher's wake instead, which a post sends
        // whether or not the file system notifies anyone of it.
        if (__atomic_load_n(&remote_client.claimed_agents, __ATOMIC_ACQUIRE) == 0) {
            qiv_exported_wait(1, server_wait_ms);
            continue;
        }
        // The platform folder appears with the first agent: watch it once it does.
        if (!watch.open)
            server_watch_open(&watch, remote_client.server_path, 1, platform_watch_names);
        uint32_t wait = remote_look_interval();
        server_watch_wait(&watch, wait, wait);
        scan_agents(false);
    }
    scan_agents(true);
    server_watch_close(&watch);
    __atomic_store_n(&remote_client.monitor_running, 0, __ATOMIC_RELEASE);
}
