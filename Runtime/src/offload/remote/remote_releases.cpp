// Releasing the client's claims on agents, and trying again those whose
// "busy" could not be deleted when their share ended.
//
// A release fails when the folder fails under the client: a network mount
// that is gone, or a server that stopped answering until the mount gave up.
// The agent may well live on, and with our "busy" left in its folder nobody
// could claim it again, for ever.  So a failed release is kept, with the
// stamp it wrote, and the monitor tries it again on its later rounds until
// the file is gone or holds another stamp (the folder was cleaned, or someone
// else holds the agent now).  A busy left in the folder of an agent that has
// died meanwhile is harmless: no client claims a dead agent.
#include "remote_client.h"
#include "diagnostics.h"

namespace {

enum { stale_claims_max = 64 };

struct stale_claim {
    int32_t agent;
    uint64_t stamp;
};

// Under the address-keyed lock of `stale_claims`.
stale_claim stale_claims[stale_claims_max];
volatile intptr_t stale_count;

} // namespace

void remote_release_later(int32_t n, uint64_t stamp)
{
    qiv_exported_sync(stale_claims);
    intptr_t count = stale_count;
    if (count < stale_claims_max) {
        stale_claims[count].agent = n;
        stale_claims[count].stamp = stamp;
        __atomic_store_n(&stale_count, count + 1, __ATOMIC_RELEASE);
    }
    qiv_exported_unsync(stale_claims);
    zeq_log(zeq_log_decisions, "agent %d: its \"busy\" could not be removed%s", (int)n,
            count < stale_claims_max ? "; tried again later" : ", and too many are waiting: it stays held");
}

namespace {

// 1 when the claim is over (released, gone, someone else's), 0 to keep it.
int settle(const stale_claim *claim)
{
    char folder[remote_path_size], busy[remote_path_size];
    if (server_agent_folder(folder, sizeof folder, remote_client.server_root, claim->agent) < 0 ||
        server_file_path(busy, sizeof busy, folder, SERVER_NAME_BUSY) < 0)
        return 1;
    uint64_t stamp = 0;
    int read = server_stamp_read(busy, &stamp);
    if (read == server_failed)
        return 0;
    if (read != server_ok || stamp != claim->stamp)
        return 1;
    return server_release(busy) == server_step_done ? 1 : 0;
}

} // namespace

void remote_release(const char *agent_folder, int32_t n, uint64_t stamp)
{
    char busy[remote_path_size];
    if (server_file_path(busy, sizeof busy, agent_folder, SERVER_NAME_BUSY) < 0)
        return;
    if (server_release(busy) != server_step_done && platform_last_error() != platform_error_not_found)
        remote_release_later(n, stamp);
}

void remote_retry_releases(void)
{
    if (__atomic_load_n(&stale_count, __ATOMIC_ACQUIRE) == 0)
        return;
    // Tried outside the lock: a step on the folder may block for long, and
    // the dispatcher must still be able to add a claim meanwhile.
    stale_claim tried[stale_claims_max];
    qiv_exported_sync(stale_claims);
    intptr_t count = stale_count;
    for (intptr_t i = 0; i < count; ++i)
        tried[i] = stale_claims[i];
    qiv_exported_unsync(stale_claims);
    bool over[stale_claims_max];
    for (intptr_t i = 0; i < count; ++i)
        over[i] = settle(&tried[i]) != 0;
    qiv_exported_sync(stale_claims);
    intptr_t kept = 0;
    for (intptr_t i = 0; i < stale_count; ++i) {
        // Entries past `count` were added meanwhile and not tried yet.
        if (i < count && over[i])
            continue;
        stale_claims[kept++] = stale_claims[i];
    }
    __atomic_store_n(&stale_count, kept, __ATOMIC_RELEASE);
    qiv_exported_unsync(stale_claims);
}

bool remote_release_pending(int32_t n, uint64_t stamp)
{
    bool pending = false;
    qiv_exported_sync(stale_claims);
    for (intptr_t i = 0; i < stale_count; ++i)
        pending = pending || (stale_claims[i].agent == n && stale_claims[i].stamp == stamp);
    qiv_exported_unsync(stale_claims);
    return pending;
}
