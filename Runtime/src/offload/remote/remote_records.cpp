// The agent records, made as agent numbers are first claimed.
//
// One record per agent number was static storage: 65536 records of some
// 4 KiB, 258 MiB of bss mapped by every program that links libZeq, the
// hello-world kind included, though most never name a server folder.  The
// records now come in chunks of agent_chunk_records, allocated zeroed when
// the dispatcher first claims a number in the chunk.  A chunk's pointer is
// published once (a compare-exchange, so a second maker frees its copy) and
// never changes while the library is loaded, so the monitor and the report
// exports read records without a lock: a number whose chunk is not there
// yet has no record, and so no share.  The chunks are never freed: a
// record may be read by the monitor up to the moment the process ends.
//
// Growing by chunk keeps a record's address fixed, which the chains of
// agent numbers and the per-agent locks rely on; a table that doubled and
// moved would need a lock around every read.
#include "remote_client.h"

namespace {

enum { agent_chunk_records = 256 };

struct agent_chunk {
    agent_slot slots[agent_chunk_records];
    agent_watch watches[agent_chunk_records];
};

agent_chunk *agent_chunks[remote_agent_count / agent_chunk_records];

agent_chunk *chunk_of(int32_t n)
{
    if (n < 0 || n >= remote_agent_count)
        return nullptr;
    return __atomic_load_n(&agent_chunks[n / agent_chunk_records], __ATOMIC_ACQUIRE);
}

} // namespace

bool agent_record_make(int32_t n)
{
    if (n < 0 || n >= remote_agent_count)
        return false;
    if (chunk_of(n))
        return true;
    agent_chunk *made = static_cast<agent_chunk *>(platform_alloc_zeroed(sizeof(agent_chunk)));
    if (!made)
        return false;
    agent_chunk *expected = nullptr;
    if (!__atomic_compare_exchange_n(&agent_chunks[n / agent_chunk_records], &expected, made, false,
                                     __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        platform_free(made);
    return true;
}

agent_slot *agent_record(int32_t n)
{
    agent_chunk *chunk = chunk_of(n);
    return chunk ? &chunk->slots[n % agent_chunk_records] : nullptr;
}

agent_watch *agent_watch_of(int32_t n)
{
    agent_chunk *chunk = chunk_of(n);
    return chunk ? &chunk->watches[n % agent_chunk_records] : nullptr;
}
