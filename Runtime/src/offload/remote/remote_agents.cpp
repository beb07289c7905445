// Finding an agent for one share: the scan of agent folders, the claim of a
// free one, and the copies of the remote module into its folder.
//
// The scan runs from agent 0 up to the first folder without "tsc", claiming
// the first agent whose "busy" it can create.  An agent that reads as dead
// once claimed (its "tsc" no longer refreshed) is released at once and never
// sent anything: agent folders outlive their agents, and a request posted to
// a dead one would never be answered.  When every agent is busy, or every
// number the client may use is taken, the dispatcher waits and scans again:
// busy agents become free as their shares complete, whereas declining would
// send the work to the host only because others were quicker to claim.  When
// there is no agent 0, or every agent there is reads as dead and none is
// busy, nothing would ever become free: the share goes elsewhere.
//
// Waiting is on the platform folder's tree, bounded, and frequent for a while
// after activity: where the folder is on a network file system another
// machine's changes raise no notification, and one look per bounded wait
// would cost each share half a second.
#include "remote_client.h"
#include "diagnostics.h"

#include <string.h>

namespace {

enum scan_result {
    scan_claimed,
    scan_wait,    // agents exist but none could be claimed now
    scan_nothing, // no agent 0, or only dead ones and none busy
};

// Whether the agent of a held folder is dead.  A "busy" someone else holds
// usually means a busy agent, worth waiting for.  But it can also be left in
// the folder of an agent that died while it was claimed (its client's
// release failed, or its client died too), and a client that waited for
// such a claim would wait for ever.  So a held agent is asked whether it
// lives, each at most once a second: the verdicts are kept in a small table
// (the dispatcher's alone), by number.
bool held_agent_dead(const dispatch_call *call, int32_t n)
{
    struct verdict {
        int32_t agent;
        bool dead;
        uint64_t until_ms;
    };
    static verdict verdicts[64];
    verdict *v = &verdicts[n % 64];
    uint64_t now = platform_monotonic_ms();
    if (v->agent == n && now < v->until_ms)
        return v->dead;
    v->agent = n;
    v->dead = agent_is_alive(call->agent_folder) == agent_dead;
    v->until_ms = now + remote_alive_check_ms;
    return v->dead;
}

// The stamps this process wrote into "busy" files lately (the dispatcher's
// alone, as every claim is its).  A "busy" of a live agent that holds one
// of them while no share of ours holds the agent is a claim this process
// lost track of: a share given up while the folder failed under us, whose
// release could not tell the file was ours.  Nobody else would ever delete
// it, and the dispatcher would wait for that agent for ever.  It is deleted
// once it has stood so, unheld, for a second: a share that just ended
// deletes its own within that time.
enum { claim_stamps_kept = 256 };
uint64_t claim_stamps[claim_stamps_kept];
uint32_t claim_stamps_next;

struct orphan_sighting {
    int32_t agent;
    uint64_t stamp;
    uint64_t since_ms;
};
orphan_sighting orphan_sightings[64];

bool own_stamp(uint64_t stamp)
{
    for (uint64_t kept : claim_stamps)
        if (kept == stamp && stamp != 0)
            return true;
    return false;
}

// Whether agent n's "busy" is an orphan of ours that has stood for long
// enough; then it is deleted, and the caller may claim the agent again.
bool released_own_orphan(const dispatch_call *call, int32_t n)
{
    char busy[remote_path_size];
    uint64_t stamp = 0;
    if (server_file_path(busy, sizeof busy, call->agent_folder, SERVER_NAME_BUSY) < 0 ||
        server_stamp_read(busy, &stamp) != server_ok || !own_stamp(stamp) || remote_release_pending(n, stamp))
        return false;
    if (agent_slot *slot = agent_record(n)) {
        qiv_exported_sync(agent_key(n));
        bool held = slot->request && slot->claim_stamp == stamp;
        qiv_exported_unsync(agent_key(n));
        if (held)
            return false;
    }
    orphan_sighting *seen = &orphan_sightings[n % 64];
    uint64_t now = platform_monotonic_ms();
    if (seen->agent != n || seen->stamp != stamp) {
        *seen = orphan_sighting{n, stamp, now};
        return false;
    }
    if (now - seen->since_ms < remote_alive_check_ms || server_release(busy) != server_step_done)
        return false;
    *seen = orphan_sighting{};
    zeq_log(zeq_log_decisions, "agent %d: a claim of this process that no share held was left in its folder: removed",
            (int)n);
    return true;
}

// Tries agent n, whose folder call->agent_folder has a "tsc": 1 claimed (and
// alive), 0 busy or unusable now, -1 dead.
int try_agent(dispatch_call *call, int32_t n)
{
    char busy[remote_path_size];
    if (server_file_path(busy, sizeof busy, call->agent_folder, SERVER_NAME_BUSY) < 0)
        return 0;
    int claimed = server_claim(busy, call->claim_stamp);
    if (claimed == server_claim_held && held_agent_dead(call, n))
        return -1;
    if (claimed == server_claim_held && released_own_orphan(call, n))
        claimed = server_claim(busy, call->claim_stamp);
    if (claimed != server_claimed)
        return 0;
    if (agent_is_alive(call->agent_folder) == agent_dead) {
        remote_release(call->agent_folder, n, call->claim_stamp);
        zeq_log(zeq_log_decisions, "agent folder %s reads as dead (no beat within %d ms): skipped", call->agent_folder,
                (int)server_alive_bound_ms);
        return -1;
    }
    // A "do" still there is an earlier request's, which its client gave up
    // (the agent stopped past the liveness bound, say) and the agent may
    // still answer: its answer goes into args.bin, and a request written
    // there before "do" has gone could be overwritten by it, or read back as
    // this share's results.  Such an agent counts as busy.
    int outcome = server_outcome(call->agent_folder);
    if (outcome == server_outcome_running || outcome == server_outcome_unknown) {
        remote_release(call->agent_folder, n, call->claim_stamp);
        zeq_log(zeq_log_decisions, "agent folder %s still holds an earlier request: skipped", call->agent_folder);
        return 0;
    }
    return 1;
}

bool failed_before(const dispatch_call *call, int32_t n)
{
    for (int32_t i = 0; i < call->failed_count; ++i)
        if (call->failed[i] == n)
            return true;
    return false;
}

scan_result scan_pass(dispatch_call *call, int32_t *number, bool skip_failed, bool *skipped)
{
    bool any_usable = false;
    for (int32_t n = 0; n < remote_agent_count; ++n) {
        char tsc[remote_path_size];
        if (server_agent_folder(call->agent_folder, sizeof call->agent_folder, remote_client.server_root, n) < 0 ||
            server_file_path(tsc, sizeof tsc, call->agent_folder, SERVER_NAME_TSC) < 0)
            return scan_nothing;
        if (server_file_present(tsc) != server_present) {
            if (n == 0) {
                __atomic_store_n(&remote_client.agent_limit, 0, __ATOMIC_RELEASE);
                return scan_nothing;
            }
            if (__atomic_load_n(&remote_client.agent_limit, __ATOMIC_ACQUIRE) < n)
                __atomic_store_n(&remote_client.agent_limit, (intptr_t)n, __ATOMIC_RELEASE);
            return any_usable ? scan_wait : scan_nothing;
        }
        if (__atomic_load_n(&remote_client.agent_limit, __ATOMIC_ACQUIRE) < n + 1)
            __atomic_store_n(&remote_client.agent_limit, (intptr_t)n + 1, __ATOMIC_RELEASE);
        if (skip_failed && failed_before(call, n)) {
            *skipped = true;
            continue;
        }
        int tried = try_agent(call, n);
        if (tried > 0) {
            *number = n;
            return scan_claimed;
        }
        if (tried == 0)
            any_usable = true;
    }
    // Every number the client may use is taken: wait as for busy agents.
    return scan_wait;
}

// An agent that failed this share is tried again only when no other one is
// free: with a single agent, a failure that passes still gets its retries.
scan_result scan_agents(dispatch_call *call, int32_t *number)
{
    bool skipped = false;
    scan_result scanned = scan_pass(call, number, true, &skipped);
    if (scanned != scan_claimed && skipped)
        scanned = scan_pass(call, number, false, &skipped);
    return scanned;
}

// The warning that the server folder has no live agent, given once until an
// agent is found again (every call would say it otherwise).
void note_agents_found(scan_result scanned)
{
    static int32_t warned;
    if (scanned == scan_claimed) {
        __atomic_store_n(&warned, 0, __ATOMIC_RELAXED);
        return;
    }
    if (scanned == scan_nothing && __atomic_exchange_n(&warned, 1, __ATOMIC_RELAXED) == 0)
        zeq_log(zeq_log_decisions, "warning: the server folder %s has no live agent; calls run on this machine",
                remote_client.server_root);
}

} // namespace

void remote_note_claim_stamp(uint64_t stamp)
{
    claim_stamps[claim_stamps_next++ % claim_stamps_kept] = stamp;
}

void remote_note_activity(void)
{
    __atomic_store_n(&remote_client.last_activity_ms, platform_monotonic_ms(), __ATOMIC_RELEASE);
}

uint32_t remote_look_interval(void)
{
    return server_look_interval(__atomic_load_n(&remote_client.last_activity_ms, __ATOMIC_ACQUIRE));
}

int claim_free_agent(dispatch_call *call, int32_t *number)
{
    server_watch watch;
    bool watching = false;
    int result = agent_none;
    uint64_t waiting_since = platform_monotonic_ms();
    for (;;) {
        remote_note_step(true);
        if (remote_slot_stopping()) {
            result = agent_stop;
            break;
        }
        scan_result scanned = scan_agents(call, number);
        note_agents_found(scanned);
        if (scanned == scan_claimed) {
            result = agent_found;
            break;
        }
        // A balanced call whose members are all taken needs no agent: the
        // dispatcher must not wait for one that is busy.
        const volatile intptr_t *unclaimed = &call->request->region->home->unclaimed;
        if (scanned == scan_nothing || (call->request->balance && __atomic_load_n(unclaimed, __ATOMIC_ACQUIRE) < 2)) {
            result = agent_none;
            break;
        }
        // Agents held for longer than any share takes are held by something
        // this client cannot see end (a claim whose "busy" a failing folder
        // kept, another client gone): waiting on would keep the call from
        // ending at all, whereas the work can always go to the host.
        if (platform_monotonic_ms() - waiting_since > remote_agent_wait_ms) {
            zeq_log(zeq_log_decisions,
                    "no agent of %s became free within %d ms: the call at line %d of %s goes on without agents",
                    remote_client.server_root, (int)remote_agent_wait_ms, (int)call->request->site->line,
                    call->request->site->source);
            result = agent_none;
            break;
        }
        // Opened on the first wait only: most shares find a free agent at once.
        if (!watching) {
            server_watch_open(&watch, remote_client.server_path, 1, platform_watch_names);
            watching = true;
        }
        uint32_t wait = remote_look_interval();
        server_watch_wait(&watch, wait, wait);
    }
    if (watching)
        server_watch_close(&watch);
    return result;
}

namespace {

const char *const module_suffixes[] = {".so", ".ocl", ".ptx"};
enum { module_levels_max = 64 };

// base + "_net" (level + 1) times + suffix; false when it does not fit.
bool module_file_name(char *out, size_t size, const char *base, int level, const char *suffix)
{
    size_t base_length = strlen(base), suffix_length = strlen(suffix);
    size_t length = base_length + 4 * (size_t)(level + 1) + suffix_length;
    if (length >= size)
        return false;
    memcpy(out, base, base_length);
    char *p = out + base_length;
    for (int i = 0; i <= level; ++i, p += 4)
        memcpy(p, "_net", 4);
    memcpy(p, suffix, suffix_length + 1);
    return true;
}

enum copy_outcome {
    copied,
    source_missing,
    copy_error,
};

copy_outcome copy_one(const dispatch_call *call, const char *name, int attempts)
{
    char from[remote_path_size], to[remote_path_size];
    if (server_file_path(from, sizeof from, call->module_folder, name) < 0 ||
        server_file_path(to, sizeof to, call->agent_folder, name) < 0)
        return copy_error;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (platform_file_copy_replace(from, to) == 0)
            return copied;
        // A missing agent folder reads "not found" too: only a missing source is the end.
        if (platform_last_error() == platform_error_not_found && platform_file_exists(from) == 0)
            return source_missing;
    }
    return copy_error;
}


uint32_t path_hash(const char *path)
{
    uint32_t hash = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(path); *p; ++p)
        hash = (hash ^ *p) * 16777619u;
    return hash;
}

bool same_file_state(const platform_file_info *a, const platform_file_info *b)
{
    return a->kind == platform_kind_regular && a->kind == b->kind && a->size == b->size &&
           a->modified_ns == b->modified_ns;
}

// The level-0 module's path in the calling module's folder and in the agent's.
bool module_paths(const dispatch_call *call, char *from, char *to)
{
    char name[remote_path_size];
    return module_file_name(name, sizeof name, call->base_name, 0, module_suffixes[0]) &&
           server_file_path(from, remote_path_size, call->module_folder, name) >= 0 &&
           server_file_path(to, remote_path_size, call->agent_folder, name) >= 0;
}

int copy_all_levels(const dispatch_call *call);

} // namespace

// A balanced call posts several shares to each agent, and copying the
// module for every one of them costs more than some shares compute.  The
// copy is skipped only while the source and the copy are as the last copy
// left them (size and time of the last write), so a rebuilt module, or a
// copy that anyone changed or removed, is copied again.  That is no weaker
// than copying: whoever can write the agent's folder can change the copy
// between any copy and the agent's load of it.
int copy_module_files(const dispatch_call *call, int32_t n)
{
    agent_watch *watch = agent_watch_of(n);
    char from[remote_path_size], to[remote_path_size];
    bool named = module_paths(call, from, to);
    platform_file_info source, copy;
    uint32_t key = named ? path_hash(from) : 0;
    if (named && watch && watch->module_key == key && platform_path_info(from, &source) == 0 &&
        platform_path_info(to, &copy) == 0 && same_file_state(&source, &watch->module_source) &&
        same_file_state(&copy, &watch->module_copy))
        return copy_done;
    int outcome = copy_all_levels(call);
    if (watch) {
        watch->module_key = 0;
        if (outcome == copy_done && named && platform_path_info(from, &watch->module_source) == 0 &&
            platform_path_info(to, &watch->module_copy) == 0)
            watch->module_key = key;
    }
    return outcome;
}

namespace {

// Level 0 is the module and its companions; each further level, named with
// one more "_net", is copied when its module exists, so that a remote module
// that itself offloads finds its own remote module beside it.
int copy_all_levels(const dispatch_call *call)
{
    for (int level = 0; level < module_levels_max; ++level) {
        char name[remote_path_size];
        if (!module_file_name(name, sizeof name, call->base_name, level, module_suffixes[0]))
            return level == 0 ? copy_failed : copy_done;
        copy_outcome outcome = copy_one(call, name, remote_copy_attempts);
        if (outcome == source_missing)
            return level == 0 ? copy_module_gone : copy_done;
        if (outcome != copied)
            return copy_failed;
        for (int k = 1; k < 3; ++k) {
            if (module_file_name(name, sizeof name, call->base_name, level, module_suffixes[k]))
                copy_one(call, name, 1);
        }
    }
    return copy_done;
}

} // namespace
