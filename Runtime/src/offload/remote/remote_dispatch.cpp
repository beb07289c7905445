// The dispatcher: serve_remote_request, on slot 0's service thread.
//
// A request is declined (finished at once, so the other slots and the host
// compute it) unless the calling module has a remote module beside it and
// the descriptors can travel: arrays and values only, at most 128 words.
// Otherwise the dispatcher posts share after share, each to an agent of its
// own: first whole member shares claimed from the region exactly as a pool
// picker would take them, then the caller's own share.  In a balanced call
// it posts runs of members from the top instead, each sized by the speed of
// the agent that takes it, and an agent that finishes one takes the next;
// the caller's share stays with the host (balance.h).
//
// The request is held open while shares are still being posted: the monitor
// may collect every share posted so far before the next one is, and must not
// finish the request then.  The dispatcher lets go once it has posted the
// last share or stopped posting; whichever of the two sides sees the chain
// empty and the request let go finishes it, exactly once.
//
// When no agent can be had any more (no agent 0, only dead agents, slot 0
// stopping), or three agents in a row fail one share, the dispatcher stops:
// members it has not claimed stay with the pool, and the caller's share, if
// not yet posted, runs on the host.  A member share that it had claimed and
// could not post is recorded as failed: the pool no longer hands it out.
#include "remote_client.h"
#include "diagnostics.h"

#include <stdio.h>
#include <string.h>

namespace {

const char remote_module_suffix[] = "_net.so";

bool is_result(uintptr_t kind)
{
    return kind == QIV_ARG_KIND_OUT || kind == QIV_ARG_KIND_INOUT;
}

bool copy_text(char *out, size_t size, const char *text, size_t length)
{
    if (length >= size)
        return false;
    memcpy(out, text, length);
    out[length] = 0;
    return true;
}

// The calling module's folder and the remote module's name; false when
// there is no calling module or no remote module beside it.
bool locate_module(dispatch_call *call, coload_request *request)
{
    char path[remote_path_size];
    if (platform_module_path_of_address(request->caller, path, sizeof path) <= 0)
        return false;
    const char *slash = strrchr(path, '/');
    if (!slash || !copy_text(call->module_folder, sizeof call->module_folder, path, (size_t)(slash - path) + 1))
        return false;
    trim_site_source(request->site);
    const char *base = request->site->source;
    size_t base_length = strlen(base);
    if (base_length == 0 || !copy_text(call->base_name, sizeof call->base_name, base, base_length) ||
        server_file_path(call->module_name, sizeof call->module_name, base, remote_module_suffix) < 0 ||
        server_file_path(path, sizeof path, call->module_folder, call->module_name) < 0)
        return false;
    intptr_t file = platform_file_open_read(path);
    if (file < 0)
        return false;
    platform_file_close(file);
    return true;
}

// Takes the call's rows; false declines.  Only whole lists of arrays and
// values (and a Status) travel, within remote_max_words words and as much
// data as args.bin holds.
bool take_rows(dispatch_call *call, const descriptor_list *list)
{
    // A Range travels only when the call says its host body covers its
    // range: a body written for one item per work item would compute one
    // item of each share on an agent.  The launch shape concerns devices.
    int32_t staying = descriptor_has_range | descriptor_has_shared | descriptor_has_group;
    if (list->options & descriptor_has_host_range)
        staying = 0;
    call->range = (list->options & descriptor_has_range) ? list->range : -1;
    if (list->verdict != descriptors_whole || list->word_count > remote_max_words || (list->options & staying) ||
        list->row_count > remote_max_rows)
        return false;
    call->status_option = list->status;
    call->row_count = 0;
    uint64_t total = 0;
    for (int32_t k = 0; k < list->row_count; ++k) {
        const descriptor_row *from = &list->rows[k];
        agent_row row = {};
        row.kind = (uintptr_t)from->kind;
        row.host = from->host;
        row.bytes = (uintptr_t)from->bytes;
        row.value = from->kind == QIV_ARG_KIND_VALUE ? from->host : 0;
        total += row.bytes;
        if (total > server_data_size_limit)
            return false;
        call->rows[call->row_count++] = row;
    }
    return true;
}

enum { share_none = -1 };

// One share as the agent sees it: the region (index of count) its module
// runs in, and the work items that makes.
struct agent_share {
    int32_t index; // share_none: nothing was chosen
    int32_t count;
    int64_t items;
};

// A member's items: the work ranges give the caller the remainder; without
// a Range a member is one item.
int64_t member_items(const dispatch_call *call, intptr_t members, intptr_t member)
{
    if (call->range < 0)
        return 1;
    intptr_t start, end;
    work_range(call->range, member, members, &start, &end);
    return end - start;
}

// A balanced call's next share for agent n: a run of members from the top,
// sized by the agent's speed, sent as the one share whose range is the
// run's (one member at a time without a Range: the module's range is then
// its member's slice of a count it knows alone).
agent_share choose_balanced_share(const dispatch_call *call, int32_t n)
{
    coload_request *request = call->request;
    qiv_parallel_region *home = request->region->home;
    agent_share share = {share_none, 0, 0};
    intptr_t left = __atomic_load_n(&home->unclaimed, __ATOMIC_ACQUIRE);
    intptr_t want = balance_members_for(request->balance, balance_agent_worker(n), left, call->range < 0 ? 1 : left);
    intptr_t first = 0;
    intptr_t run = balance_claim_run(home, want, call->range, &first);
    if (run == 0)
        return share;
    share.index = (int32_t)first;
    share.count = (int32_t)home->count;
    // balance_claim_run cut an agent's run until one share expresses it.
    if (run > 1)
        balance_share_of_run(call->range, home->count, first, run, &share.index, &share.count);
    share.items = run * member_items(call, home->count, first);
    return share;
}

// The next share: a member that no picker has taken (never the last one,
// which the pool unlinks), else the caller's own share once, else none.
// The caller's share is claimed as a device slot claims it, so that no other
// slot computes it too: all of it, whatever a Range makes its size.
agent_share choose_share(const dispatch_call *call, int32_t n)
{
    coload_request *request = call->request;
    if (request->balance)
        return choose_balanced_share(call, n);
    qiv_parallel_region *home = request->region->home;
    agent_share share = {share_none, (int32_t)home->count, 0};
    if (__atomic_load_n(&home->unclaimed, __ATOMIC_ACQUIRE) != 0) {
        job_lock_acquire();
        intptr_t u = home->unclaimed;
        if (u >= 2) {
            __atomic_store_n(&home->unclaimed, u - 1, __ATOMIC_RELEASE);
            job_lock_release();
            __atomic_sub_fetch(&home->unfinished, 1, __ATOMIC_SEQ_CST);
            share.index = (int32_t)(home->count - u);
            share.items = member_items(call, home->count, share.index);
            return share;
        }
        job_lock_release();
    }
    qiv_exported_sync(request);
    if (!request->claimed_all && request->owner_progress == 0) {
        int64_t items = member_items(call, home->count, 0);
        __atomic_store_n(&request->owner_progress, items > 0 ? (intptr_t)items : 1, __ATOMIC_RELAXED);
        __atomic_store_n(&request->claimed_all, 1, __ATOMIC_RELAXED); // slots read both without the lock
        share.index = 0;
        share.items = items;
    }
    qiv_exported_unsync(request);
    return share;
}

// Writes args.bin for the share from the rows, the Out and InOut arrays from
// the copy kept for the collection, so that what the agent compares against
// is exactly what it was sent.  Returns the copy, or null.
sent_share *write_request(const dispatch_call *call, const agent_share *share)
{
    uint64_t result_bytes = 0;
    for (int32_t i = 0; i < call->row_count; ++i)
        if (is_result(call->rows[i].kind))
            result_bytes += call->rows[i].bytes;
    sent_share *sent = static_cast<sent_share *>(platform_alloc_zeroed(sizeof(sent_share) + (size_t)result_bytes));
    if (!sent)
        return nullptr;
    sent->result_bytes = result_bytes;
    uint32_t kinds[remote_max_rows];
    request_part parts[remote_max_rows];
    uint8_t *copy = sent_share_bytes(sent);
    for (int32_t i = 0; i < call->row_count; ++i) {
        const agent_row *row = &call->rows[i];
        kinds[i] = (uint32_t)row->kind;
        parts[i].size = (uint32_t)row->bytes;
        parts[i].bytes = reinterpret_cast<const void *>(row->host);
        if (is_result(row->kind)) {
            memcpy(copy, reinterpret_cast<const void *>(row->host), row->bytes);
            parts[i].bytes = copy;
            copy += row->bytes;
        }
    }
    coload_request *request = call->request;
    args_header *header = &sent->header;
    header->version = server_request_version;
    header->share_count = share->count;
    header->share_index = share->index;
    header->function_number = (int32_t)request->site->line;
    char path[remote_path_size];
    if (server_file_path(path, sizeof path, call->agent_folder, SERVER_NAME_ARGS) >= 0) {
        for (int attempt = 0; attempt < remote_write_attempts; ++attempt) {
            if (request_write(path, header, call->module_name, kinds, parts, call->row_count) == server_step_done) {
                // The header as request_write completed it, for the collection's check.
                request_complete_header(header, call->module_name, parts, call->row_count);
                return sent;
            }
        }
    }
    platform_free(sent);
    return nullptr;
}

// A record still in use when its agent was claimed anew belongs to a share
// whose "busy" someone removed: that share is lost.  Caller holds n's lock.
void drop_stale_record(int32_t n)
{
    coload_request *stale = agent_record(n)->request;
    if (!stale)
        return;
    qiv_exported_sync(stale);
    const sent_share *sent = agent_watch_of(n)->sent;
    if (sent)
        record_failed_share(stale, sent->header.share_index, sent->header.share_count);
    else
        record_failure(stale);
    coload_request *finished = release_agent(n);
    qiv_exported_unsync(stale);
    if (finished)
        finish_request(finished);
}

// Posts the written request to agent n and links its record into the chain.
bool post_share(dispatch_call *call, int32_t n, sent_share *sent, const agent_share *share)
{
    coload_request *request = call->request;
    qiv_exported_sync(agent_key(n));
    drop_stale_record(n);
    qiv_exported_sync(request);
    // Counted first: an agent may answer before the post returns, and a
    // monitor that then found no record in use would wait its idle wait.
    __atomic_add_fetch(&remote_client.claimed_agents, 1, __ATOMIC_SEQ_CST);
    remote_note_activity();
    qiv_exported_wake(__atomic_load_n(&remote_client.monitor_thread, __ATOMIC_ACQUIRE));
    bool posted = server_post(call->agent_folder) == server_posted;
    if (!posted)
        __atomic_sub_fetch(&remote_client.claimed_agents, 1, __ATOMIC_SEQ_CST);
    if (posted) {
        agent_slot *slot = agent_record(n);
        slot->request = request;
        slot->claim_stamp = call->claim_stamp;
        slot->prev_agent = remote_client.open_tail;
        slot->next_agent = -1;
        slot->row_count = call->row_count;
        memcpy(slot->rows, call->rows, sizeof(agent_row) * (size_t)call->row_count);
        if (remote_client.open_tail >= 0)
            agent_record(remote_client.open_tail)->next_agent = n;
        remote_client.open_tail = n;
        agent_watch *watch = agent_watch_of(n);
        watch->sent = sent;
        watch->items = share->items;
        watch->posted_ns = platform_monotonic_ns();
        watch->alive_check_ms = platform_monotonic_ms() + remote_alive_check_ms;
        if (call->status_option)
            __atomic_store_n(&request->status_ptr, call->status_option, __ATOMIC_RELAXED);
        if (__atomic_load_n(&remote_client.posted_limit, __ATOMIC_ACQUIRE) < n + 1)
            __atomic_store_n(&remote_client.posted_limit, (intptr_t)n + 1, __ATOMIC_RELEASE);
    }
    qiv_exported_unsync(request);
    qiv_exported_unsync(agent_key(n));
    if (posted) {
        remote_note_activity();
        // Without a Range a member is one call of the body, not one item.
        char items[48] = "";
        if (call->range >= 0)
            snprintf(items, sizeof items, " (%lld items)", (long long)share->items);
        zeq_log(zeq_log_decisions, "share %d of %d%s of the call at line %d of %s sent to agent %d", (int)share->index,
                (int)share->count, items, (int)request->site->line, request->site->source, (int)n);
    } else {
        zeq_log(zeq_log_decisions, "agent %d: the post failed; the share goes to another agent", (int)n);
    }
    return posted;
}

void release_claim(const dispatch_call *call, int32_t n)
{
    remote_release(call->agent_folder, n, call->claim_stamp);
}

// A chosen share that no agent took goes back to the caller: the caller's
// own runs on the host as always, a member's the caller computes again.
void give_share_up(dispatch_call *call, const agent_share *share)
{
    coload_request *request = call->request;
    if (share->index == share_none)
        return;
    if (share->index == 0 && !request->balance) {
        request->host_must_run = 1;
        return;
    }
    if (call->status_option)
        __atomic_store_n(&request->status_ptr, call->status_option, __ATOMIC_RELAXED);
    zeq_log(zeq_log_decisions, "share %d of the call at line %d of %s was claimed but no agent took it",
            (int)share->index, (int)request->site->line, request->site->source);
    record_failed_share(request, share->index, share->count);
}

} // namespace

// Some agent the client has seen would take a share of a balanced call now:
// one not measured yet would (a probe), a measured one when the rule gives
// it members.  Claiming an agent, only to find that the rule gives it
// nothing, costs file operations that a short call waits for.
bool remote_balanced_share_wanted(coload_request *request)
{
    intptr_t left = __atomic_load_n(&request->region->home->unclaimed, __ATOMIC_ACQUIRE);
    intptr_t seen = __atomic_load_n(&remote_client.agent_limit, __ATOMIC_ACQUIRE);
    intptr_t limit = seen < 1 ? 1 : seen < balance_agent_rows ? seen : (intptr_t)balance_agent_rows;
    for (intptr_t a = 0; a < limit; ++a) {
        if (balance_members_for(request->balance, balance_agent_worker((int32_t)a), left, left) > 0)
            return true;
    }
    return false;
}

namespace {

void dispatch_shares(dispatch_call *call)
{
    agent_share chosen = {share_none, 0, 0}; // chosen, not yet posted
    call->failed_count = 0;
    for (;;) {
        int32_t n = -1;
        if (call->request->balance && !remote_balanced_share_wanted(call->request))
            break;
        if (claim_free_agent(call, &n) != agent_found)
            break;
        if (!agent_record_make(n)) { // out of memory: no record can be kept
            release_claim(call, n);
            break;
        }
        remote_note_step(true);
        int copied = copy_module_files(call, n);
        if (copied == copy_module_gone) {
            release_claim(call, n);
            break;
        }
        if (copied == copy_done && chosen.index == share_none) {
            chosen = choose_share(call, n);
            if (chosen.index == share_none) {
                release_claim(call, n);
                return;
            }
        }
        remote_note_step(true);
        sent_share *sent = copied == copy_done ? write_request(call, &chosen) : nullptr;
        bool own = chosen.index == 0 && !call->request->balance;
        if (!sent || !post_share(call, n, sent, &chosen)) {
            platform_free(sent);
            release_claim(call, n);
            call->failed[call->failed_count++] = n;
            if (call->failed_count >= remote_failed_agents_limit)
                break;
            continue;
        }
        call->failed_count = 0;
        // A failure of the caller's own share, which the monitor may have
        // recorded already, sends it back through own_share_failed.
        if (own) {
            call->request->host_must_run = 0;
            return;
        }
        chosen.index = share_none;
    }
    give_share_up(call, &chosen);
}

} // namespace

void serve_remote_request(coload_request *request)
{
    // One request at a time on this thread: the per-call state is static,
    // which keeps some 20 KiB of paths and rows off the service thread's stack.
    static dispatch_call call;
    remote_note_step(true);
    const char *declined = nullptr;
    bool serving = remote_setup() == 0;
    if (!serving)
        declined = "no server folder (QIV_NETLOAD_SERVER)";
    else if (!locate_module(&call, request))
        declined = "no remote module <base>_net.so beside the calling program or library";
    else if (!take_rows(&call, request->descriptors))
        declined = "its arguments cannot travel (a Range without QIV_ARG_HOST_RANGE, a launch shape, too many words "
                   "or too much data)";
    if (declined) {
        // Without a server folder the remote slot declines every call:
        // that is no decision worth a line.
        if (serving)
            zeq_log(zeq_log_decisions, "the remote slot declines the call at line %d of %s: %s",
                    (int)request->site->line, request->site->source, declined);
        remote_note_step(false);
        finish_request(request);
        return;
    }
    call.request = request;
    call.claim_stamp = server_new_stamp();
    remote_note_claim_stamp(call.claim_stamp);
    qiv_exported_sync(request);
    remote_client.open_request = request;
    remote_client.open_tail = -1;
    qiv_exported_unsync(request);

    dispatch_shares(&call);

    qiv_exported_sync(request);
    __atomic_store_n(&remote_client.open_request, nullptr, __ATOMIC_RELEASE);
    bool chain_empty = remote_client.open_tail < 0;
    remote_client.open_tail = -1;
    qiv_exported_unsync(request);
    remote_note_step(false);
    if (chain_empty)
        finish_request(request);
}
