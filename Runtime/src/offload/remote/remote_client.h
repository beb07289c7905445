// The remote offload client: the records and process-wide state shared by its
// files, and the steps one file hands to another.
//
// Two threads work on the client.  The dispatcher is slot 0's service thread:
// it takes one request at a time, claims agents and posts one share to each.
// The monitor runs on a pool thread for the life of the process: it watches
// every claimed agent, copies results back, records failures and finishes
// requests.  They meet in the agent records, one per agent number, made in
// chunks as numbers are first claimed and never moved or freed
// (remote_records.cpp), so that neither thread waits for the other to read one.
//
// Locks: the address-keyed lock whose key is the agent number guards that
// agent's record; the one keyed by a request's address guards the request's
// chain of records, the open-request state below and the finishing step.
// Both threads take the agent's lock first.  Where two keys share a cell of
// the lock table the order between them could invert, so the monitor only
// ever tries the request's lock and backs off: it never waits while it holds
// an agent's lock.
#ifndef ZEQ_REMOTE_CLIENT_H
#define ZEQ_REMOTE_CLIENT_H

#include "offload.h"
#include "server_folder.h"

enum {
    remote_agent_count = server_client_agent_count, // numbers 0 .. 65535
    remote_max_rows = 128,
    remote_max_words = 128, // descriptor words before the terminating 0
    // Attempts at writing args.bin for one agent, and at one failing module
    // copy, before the agent counts as failed.
    remote_write_attempts = 5,
    remote_copy_attempts = 3,
    // Agents in a row that fail one share before the share is given up.
    remote_failed_agents_limit = 3,
    // How often the monitor asks whether a running agent still lives.
    remote_alive_check_ms = 1000,
    // A step on the server folder that has not ended after this long counts
    // as stalled (a network mount whose server stopped answering blocks the
    // thread in the kernel until the mount gives up): callers then keep
    // their calls from slot 0 instead of queueing behind the stalled thread.
    // Longer than every wait of the two threads between their marks.
    remote_stall_ms = 3000,
    // The longest the dispatcher waits for a held agent to become free
    // before the share goes to the host instead (remote_agents.cpp).
    remote_agent_wait_ms = 20000,
    remote_path_size = server_path_room,
    // The longest server root taken from the environment, terminator excluded.
    remote_root_limit = 259,
};

// One row of a share's arguments as sent: kind (1 to 4), byte count, host
// address, and for Value rows the host address again (0 for arrays).
struct agent_row {
    uintptr_t kind;
    uintptr_t bytes;
    uintptr_t host;
    uintptr_t value;
};

// One per agent number.  Every field changes only under the agent's lock
// and its request's lock together; the links also under the request's lock
// alone, since they belong to the request's chain.
struct agent_slot {
    coload_request *request; // the request this agent serves; null when free
    uint64_t claim_stamp;    // the stamp written into the agent's "busy"
    int32_t prev_agent;      // chain of the agents of one request, -1 at its ends
    int32_t next_agent;
    int32_t row_count;
    agent_row rows[remote_max_rows];
};
#if defined(__i386__)
static_assert(sizeof(agent_slot) == 2072, "i386 AgentSlot is 2072 bytes");
static_assert(offsetof(agent_slot, rows) == 24, "i386 AgentSlot rows follow six words");
#endif

// What was sent to a busy agent, kept from the post until the collection:
// the header as written and a copy of every Out and InOut array, back to
// back in row order, exactly the bytes that went into args.bin.  Results are
// the bytes of the response that differ from this copy, so that whatever
// range of elements the agent computed comes back whole and nothing else is
// touched, however the elements split between shares.
struct sent_share {
    args_header header;
    uint64_t result_bytes; // bytes of the copy that follows
    // followed by result_bytes bytes
};

static inline uint8_t *sent_share_bytes(sent_share *sent)
{
    return reinterpret_cast<uint8_t *>(sent + 1);
}

// Per agent number, beside the fixed record: owned by whoever holds the
// record's agent lock while the record is in use.
struct agent_watch {
    sent_share *sent;          // platform_alloc_zeroed; null when the record is free
    uint64_t alive_check_ms;   // when the monitor next asks whether the agent lives
    // Shares whose results came back from this agent number, and their work
    // items, for reports: written by the monitor alone, read by anyone, so
    // atomic.
    volatile int64_t shares_collected;
    volatile int64_t items_collected;
    int64_t items;      // the work items of the share in flight
    uint64_t posted_ns; // when it was posted: a balanced call learns the agent's rate from it
    // The collection failed after it had written results: the share is
    // lost, never computed again (the monitor's alone).
    bool partly_collected;
    // The remote module last copied into the agent's folder, the dispatcher's
    // alone: the source's path hash, and what the source and the copy were
    // right after the copy.  While both still are, the next share of the
    // same module skips the copy.
    uint32_t module_key;
    platform_file_info module_source;
    platform_file_info module_copy;
};

struct remote_client_state {
    // The server root as QIV_NETLOAD_SERVER named it, and its platform
    // folder ("root/x64/"); agent folders are formed from the root.
    char server_root[remote_root_limit + 1];
    char server_path[remote_path_size];
    volatile intptr_t server_length;    // 0 until the first request set the client up
    volatile intptr_t agent_limit;      // one past the highest agent number seen with "tsc"
    // One past the highest agent number ever posted to, never lowered: the
    // monitor's scans reach every record in use even when agent_limit has
    // dropped since (agent 0 gone while shares of later agents still run).
    volatile intptr_t posted_limit;
    volatile intptr_t monitor_running;  // 1 while the monitor runs
    // Records in use, and posts under way: counted before "do" is created,
    // so that a monitor woken by the agent's answer already scans for it.
    volatile intptr_t claimed_agents;
    // The monitor's thread record: a post wakes it from an idle wait.
    void *volatile monitor_thread;
    volatile uint64_t last_activity_ms; // last post or collection: both sides look often after it
    // The request the dispatcher is still posting shares of, and the last
    // agent of its chain (-1 while the chain is empty), under that request's
    // lock.  The monitor does not finish the open request when its chain
    // empties: posted shares may all be collected before the next is posted.
    coload_request *open_request;
    int32_t open_tail;
    // When the dispatcher last stepped on while it holds a request (0 while
    // it holds none), and when the monitor last came round its loop: the
    // marks that remote_stalled compares with the clock.
    volatile uint64_t dispatch_step_ms;
    volatile uint64_t monitor_round_ms;
};

extern remote_client_state remote_client;
// ---- remote_records.cpp ------------------------------------------------------
// Makes the record of agent n (and the others of its chunk) if it is not
// there yet; false when n is out of range or memory ran out.  Only the
// dispatcher makes records, on claiming an agent, before it posts to it.
bool agent_record_make(int32_t n);
// Agent n's record and watch, or null while none was made: such a number has
// never been posted to.
agent_slot *agent_record(int32_t n);
agent_watch *agent_watch_of(int32_t n);

// The address-keyed lock of an agent number: the number itself is the key.
static inline const volatile void *agent_key(int32_t n)
{
    return reinterpret_cast<const volatile void *>((uintptr_t)n);
}

// ---- the remote slot's service (remote_slot.cpp) ------------------------------
// Slot 0's service thread hands every request it takes to the client: on
// return the request is finished (declined) or owned by the client's monitor,
// which finishes it once its shares are collected.
void serve_remote_request(coload_request *request);
// 1 while the client's monitor runs; slot 0's service waits for 0 when it stops.
int remote_monitor_running(void);
// 0 while the remote slot would decline every request (no server named).
int remote_client_accepts(void);
// Whether some agent the client has seen would take a share of the balanced
// call now (remote_dispatch.cpp).
bool remote_balanced_share_wanted(coload_request *request);

// ---- remote_setup.cpp --------------------------------------------------------
// Sets the client up on the first request: 0, or -1 (declined; the next
// request tries again).
int remote_setup(void);
// Whether slot 0 has been told to stop.
bool remote_slot_stopping(void);
// Whether the dispatcher, or the monitor while shares run, has been inside
// one step for longer than remote_stall_ms.
bool remote_stalled(void);
// The dispatcher's progress mark: now, or 0 once it holds no request.
void remote_note_step(bool holding);

// ---- remote_agents.cpp ---------------------------------------------------------
// The per-call state of the dispatcher.
struct dispatch_call {
    coload_request *request;
    char module_folder[remote_path_size]; // the calling module's folder, ending in '/'
    char base_name[remote_path_size];     // the trimmed source name
    char module_name[remote_path_size];   // base_name + "_net.so"
    char agent_folder[remote_path_size];  // of the agent being served
    agent_row rows[remote_max_rows];
    int32_t row_count;
    int *status_option; // the Status descriptor's int, or null
    intptr_t range;     // the Range's work items, or -1 for a call without one
    uint64_t claim_stamp;
    // Agents that failed the share being dispatched, in a row: the next
    // claim tries other agents first.
    int32_t failed[remote_failed_agents_limit];
    int32_t failed_count;
};

enum {
    agent_found = 0,
    agent_none = -1, // no agent 0, or every agent there is dead: serve elsewhere
    agent_stop = -2, // slot 0 stops
};
// Claims a free, live agent, waiting while all are busy; one of
// call->failed only when no other agent is free.  agent_found with *number
// and call->agent_folder set, or agent_none / agent_stop.
int claim_free_agent(dispatch_call *call, int32_t *number);
enum {
    copy_done = 0,
    copy_failed = -1,      // this agent cannot take the module: try another
    copy_module_gone = -2, // the module itself is gone: no agent can take it
};
// Copies the module files into agent n's folder, unless the copy made for
// its last share is still there and the module has not changed since.
int copy_module_files(const dispatch_call *call, int32_t n);
// How long a look-and-wait loop waits now: short for a while after activity.
uint32_t remote_look_interval(void);
void remote_note_activity(void);

// ---- remote_dispatch.cpp -------------------------------------------------------
// serve_remote_request (offload.h).

// ---- remote_results.cpp --------------------------------------------------------
// Marks the request's share as failed.
void record_failure(coload_request *request);
// The same for a share that an agent was sent, (index, count) as in its
// args.bin: its members go back to the caller, who computes them again.
void record_failed_share(coload_request *request, int32_t index, int32_t count);
// Frees agent n's record (caller holds n's lock and the request's): unlinks
// it from the request's chain, drops what was sent, and returns the request
// when that chain has become empty and the dispatcher holds it open no
// longer (the caller finishes it once it released the locks), else null.
coload_request *release_agent(int32_t n);
// Copies the results of a done agent back; false when reading them failed
// (some may have been copied).
bool collect_results(int32_t n, const char *agent_folder);

// ---- remote_releases.cpp ---------------------------------------------------------
// Deletes the "busy" that claimed agent n with stamp; one that cannot be
// deleted is kept and tried again by remote_retry_releases (the monitor's).
void remote_release(const char *agent_folder, int32_t n, uint64_t stamp);
// Leaves the release to remote_retry_releases, which deletes "busy" only
// while it still holds stamp.
void remote_release_later(int32_t n, uint64_t stamp);
void remote_retry_releases(void);
// Whether the release of agent n's claim with stamp waits for a retry.
bool remote_release_pending(int32_t n, uint64_t stamp);

// ---- remote_agents.cpp (the dispatcher's) -------------------------------------
// Notes a stamp the dispatcher is about to write into "busy" files, so that
// a claim of this process that no share holds any more can be told from
// another client's (remote_agents.cpp).
void remote_note_claim_stamp(uint64_t stamp);

// ---- remote_monitor.cpp ----------------------------------------------------------
void remote_monitor(void);

#endif
