// The end of a share: its results copied back, failures recorded, and the
// agent's record released from its request's chain.
//
// Results are the bytes of the response that differ from what the agent was
// sent.  The client cannot know the module's element size, and the work
// ranges give member 0 the remainder of an uneven split, so no byte range
// computed from the array size and the share index matches what an agent
// wrote for every element count; comparing with the copy kept at the post
// does, and it leaves every byte the agent did not change alone, whoever
// else wrote it meanwhile.  The cost is one copy of the Out and InOut arrays
// per share in flight, freed at the collection, and one buffer of
// compare_chunk bytes that only the monitor uses.
//
// The response must carry the header and argument table that were sent: an
// agent that answers with other offsets or sizes is a failed share, and
// nothing is copied from it.
#include "remote_client.h"

#include <string.h>

namespace {

enum { compare_chunk = 64 * 1024 };
uint8_t response_chunk[compare_chunk]; // the monitor's alone

// Copies the bytes of [0, bytes) where response differs from sent into
// host; true when it wrote any.
bool copy_changed(uint8_t *host, const uint8_t *sent, const uint8_t *response, size_t bytes)
{
    if (memcmp(sent, response, bytes) == 0)
        return false;
    size_t i = 0;
    while (i < bytes) {
        while (i < bytes && sent[i] == response[i])
            ++i;
        size_t start = i;
        while (i < bytes && sent[i] != response[i])
            ++i;
        if (i > start)
            memcpy(host + start, response + start, i - start);
    }
    return true;
}

// Streams one array of the response and copies back what changed; *wrote
// is set once any host byte changed.
bool read_array(intptr_t file, int64_t offset, uint8_t *host, const uint8_t *sent, uint64_t bytes, bool *wrote)
{
    for (uint64_t done = 0; done < bytes;) {
        size_t want = bytes - done < compare_chunk ? (size_t)(bytes - done) : (size_t)compare_chunk;
        if (platform_file_read_at(file, response_chunk, want, offset + (int64_t)done) != (int64_t)want)
            return false;
        if (copy_changed(host + done, sent + done, response_chunk, want))
            *wrote = true;
        done += want;
    }
    return true;
}

bool response_matches(intptr_t file, const sent_share *sent, const agent_slot *slot)
{
    platform_file_info info;
    if (platform_file_info_of(file, &info) != 0 || info.kind != platform_kind_regular)
        return false;
    args_header header;
    if (platform_file_read_at(file, &header, sizeof header, 0) != (int64_t)sizeof header ||
        memcmp(&header, &sent->header, sizeof header) != 0)
        return false;
    request_offsets at = request_offsets_of(&header);
    uint64_t offset = at.data;
    for (int32_t i = 0; i < slot->row_count; ++i) {
        args_entry entry;
        if (platform_file_read_at(file, &entry, sizeof entry, (int64_t)request_entry_offset(at.table, (uint32_t)i)) !=
                (int64_t)sizeof entry ||
            entry.data_offset != offset || entry.kind != slot->rows[i].kind)
            return false;
        offset += slot->rows[i].bytes;
    }
    return (uint64_t)info.size >= offset;
}

} // namespace

void record_failure(coload_request *request)
{
    __atomic_store_n(&request->status_value, (intptr_t)-1, __ATOMIC_RELEASE);
}

void record_failed_share(coload_request *request, int32_t index, int32_t count)
{
    record_failure(request);
    if (count <= 0)
        return;
    intptr_t pno = request->region->home->count;
    if (count == pno) {
        note_failed_members(request, index, index + 1);
        return;
    }
    // A run of members sent as one share: the members whose items are the
    // share's (balance_share_of_run chose the share so that they are).
    intptr_t range = request->descriptors->range, start = 0, end = 0, first = -1, last = -1;
    work_range(range, index, count, &start, &end);
    for (intptr_t m = 0; m < pno; ++m) {
        intptr_t m_start = 0, m_end = 0;
        work_range(range, m, pno, &m_start, &m_end);
        if (m_start >= start && m_end <= end && m_end > m_start) {
            if (first < 0)
                first = m;
            last = m;
        }
    }
    if (first >= 0)
        note_failed_members(request, first, last + 1);
}

coload_request *release_agent(int32_t n)
{
    agent_slot *slot = agent_record(n);
    coload_request *request = slot ? slot->request : nullptr;
    if (!request)
        return nullptr;
    int32_t prev = slot->prev_agent, next = slot->next_agent;
    if (prev >= 0)
        agent_record(prev)->next_agent = next;
    if (next >= 0)
        agent_record(next)->prev_agent = prev;
    bool open = remote_client.open_request == request;
    if (open && remote_client.open_tail == n)
        remote_client.open_tail = prev;
    slot->request = nullptr;
    slot->prev_agent = -1;
    slot->next_agent = -1;
    slot->row_count = 0;
    agent_watch *watch = agent_watch_of(n);
    platform_free(watch->sent);
    watch->sent = nullptr;
    __atomic_sub_fetch(&remote_client.claimed_agents, 1, __ATOMIC_SEQ_CST);
    return prev < 0 && next < 0 && !open ? request : nullptr;
}

bool collect_results(int32_t n, const char *agent_folder)
{
    const agent_slot *slot = agent_record(n);
    agent_watch *watch = agent_watch_of(n);
    sent_share *sent = slot ? watch->sent : nullptr;
    bool wrote = false;
    char path[remote_path_size];
    if (!sent || server_file_path(path, sizeof path, agent_folder, SERVER_NAME_ARGS) < 0)
        return false;
    intptr_t file = platform_file_open_existing(path, 0);
    if (file < 0)
        return false;
    bool ok = response_matches(file, sent, slot);
    uint64_t offset = request_offsets_of(&sent->header).data;
    const uint8_t *copy = sent_share_bytes(sent);
    for (int32_t i = 0; ok && i < slot->row_count; ++i) {
        const agent_row *row = &slot->rows[i];
        if (row->kind == QIV_ARG_KIND_OUT || row->kind == QIV_ARG_KIND_INOUT) {
            ok = read_array(file, (int64_t)offset, reinterpret_cast<uint8_t *>(row->host), copy, row->bytes, &wrote);
            copy += row->bytes;
        }
        offset += row->bytes;
    }
    platform_file_close(file);
    // A read that failed after results had been written leaves them mixed:
    // computing the share again would apply an InOut item twice.
    watch->partly_collected = !ok && wrote;
    return ok;
}

ZEQ_EXPORT int qiv_exported_agent_count(void)
{
    intptr_t posted = __atomic_load_n(&remote_client.posted_limit, __ATOMIC_ACQUIRE);
    return posted < remote_agent_count ? (int)posted : remote_agent_count;
}

ZEQ_EXPORT long long qiv_exported_agent_shares(int agent)
{
    if (agent < 0 || agent >= remote_agent_count)
        return 0;
    const agent_watch *watch = agent_watch_of(agent);
    return watch ? (long long)__atomic_load_n(&watch->shares_collected, __ATOMIC_RELAXED) : 0;
}

ZEQ_EXPORT long long qiv_exported_agent_items(int agent)
{
    if (agent < 0 || agent >= remote_agent_count)
        return 0;
    const agent_watch *watch = agent_watch_of(agent);
    return watch ? (long long)__atomic_load_n(&watch->items_collected, __ATOMIC_RELAXED) : 0;
}
