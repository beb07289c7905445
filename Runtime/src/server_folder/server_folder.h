// The server-folder protocol, shared by the remote offload client in libZeq
// and the zeqworker agent.
//
// There is no socket and no server process: a client hands one share of a
// coload call to an agent through files in a folder tree that every machine
// mounts, and each side notices the other's steps by looking at the files.
//
//   root/x64/            the platform folder ("x32" on i386)
//   root/x64/<n>/        agent n's folder, n in decimal, 0 <= n < 1000000
//       tsc              8-byte agent stamp; the agent lives here
//       busy             8-byte claim stamp; one client holds the agent
//       args.bin         the request, then the response (layout below)
//       do               empty: the request is ready
//       done / err       "do" renamed by the agent: the outcome
//       dd               the client's scratch file, for bursts of changes
//       <base>_net.so    module copies (and .ocl / .ptx companions)
//
// Every step either side takes on the tree is written here once, on top of
// Platform, so that both sides agree on names, ordering and the request's
// bytes.  The only arbitration the tree offers is the atomicity of folder
// creation (agent numbers), of exclusive creation ("busy", "tsc") and of a
// rename that never replaces ("do" to "done"/"err").  Everything else has one
// writer by construction.
//
// Anything that can write the folder can write any bytes into it, so the
// agent's reads go through the checks here, which refuse a request rather
// than obey it, and files are opened without following links.
//
// Liveness: change notifications and advisory locks do not cross machines on
// network file systems, so an agent proves that it lives by rewriting the 8
// stamp bytes of its "tsc" with the same bytes every second.  The write gives
// "tsc" a fresh modification time from the clock of the machine that stores
// the folder, and a reader compares that time with the one the same machine
// gives a file the reader has just created.  No file or byte of the layout
// changes, so agents and clients that know nothing of the heartbeat still
// work with these ones.
#ifndef ZEQ_SERVER_FOLDER_H
#define ZEQ_SERVER_FOLDER_H

#include <stddef.h>
#include <stdint.h>

#include "platform.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "args.bin and the stamps are little-endian and read by plain loads");

// ---- results ---------------------------------------------------------------

// Every function here that says how a step went returns one of the names
// below, by one convention:
//   0         the step was done (for a question: its first answer);
//   positive  another answer, which is no failure (the folder existed
//             already, another client holds the agent, the agent lives);
//   negative  a failure: the step was not done, or the answer cannot be told.
// So `< 0` is "failed" for each of them, and a caller that tells answers
// apart compares with the names.  The numbers are the ones these functions
// have always returned (tests still compare with some of them), which is
// why names of different steps share them.  The path functions return a
// length instead, or server_path_unfit.
enum {
    // Plain steps (server_release, server_publish, request_write).
    server_step_done = 0,
    server_step_failed = -1,

    // Paths: the path would not fit, or names nothing.
    server_path_unfit = -1,

    // The request checks and request_read.
    request_accepted = 0,
    request_refused = -1,
    server_out_of_memory = -4,

    // request_write_response.
    request_response_written = 0,
    request_response_unopened = -1,  // cannot be opened or created, or is no regular file of one name
    request_response_unwritten = -2, // a write or the close failed

    // server_make_folder.
    server_folder_made = 0,
    server_folder_taken = 1, // existed already: not an error
    server_folder_failed = -1,

    // The stamps.
    server_ok = 0,
    server_missing = -1, // nothing has the name
    server_failed = -2,  // the system refused (the last error says why)
    server_short = -3,   // fewer bytes than a stamp, or not a regular file

    // server_file_present.
    server_absent = 0,
    server_present = 1,
    server_presence_unknown = -1,

    // server_file_kind: what has the name, links not followed.
    server_kind_none = 0,     // nothing has it
    server_kind_regular = 1,  // a regular file
    server_kind_other = 2,    // something else: a link, a folder, ...
    server_kind_unknown = -1, // it cannot be told

    // server_claim.
    server_claimed = 0,
    server_claim_held = 1, // another client holds the agent
    server_claim_failed = -1,

    // server_post.
    server_posted = 0,
    server_post_pending = 1, // an earlier request's "do" is still there
    server_post_failed = -1,

    // server_outcome.
    server_outcome_running = 0, // "do" exists
    server_outcome_done = 1,    // "done", and no "do"
    server_outcome_failed = 2,  // "err", and no "do" or "done"
    server_outcome_lost = 3,    // none of the three: the request is gone
    server_outcome_unknown = -1,

    // agent_is_alive.
    agent_dead = 0,
    agent_alive = 1,
    agent_liveness_unknown = -1,
};

// ---- names and limits ------------------------------------------------------

// The platform tag: everything of this flavour lives below root/<tag>/.
#define SERVER_PLATFORM_TAG (sizeof(void *) == 8 ? "x64" : "x32")

#define SERVER_NAME_TSC "tsc"
#define SERVER_NAME_BUSY "busy"
#define SERVER_NAME_ARGS "args.bin"
#define SERVER_NAME_DO "do"
#define SERVER_NAME_DONE "done"
#define SERVER_NAME_ERR "err"
#define SERVER_NAME_DD "dd"

enum {
    // An agent folder's path plus a module name stays below this many characters.
    server_path_limit = 260,
    // Room for any path formed here: a client's root is not bounded by the agent's limit.
    server_path_room = 4096,
    // The longest server root an agent accepts (its length plus 16 stays within 260).
    server_root_limit = server_path_limit - 16,
    // Agent numbers an agent may register under.
    server_agent_count = 1000000,
    // Agent numbers a client looks at.
    server_client_agent_count = 65536,
    // Every wait for a change on the tree ends after this long.
    server_wait_ms = 500,
    // The sleep that stands in for a wait whose notification cannot be set up (agent).
    server_watch_fallback_ms = 100,
    // How often the client creates and deletes "dd" after posting "do".
    server_dd_bursts = 5,
    // The agent rewrites its stamp this often ...
    server_heartbeat_ms = 1000,
    // ... and a "tsc" older than this, by the storing machine's clock, belongs to a dead agent.
    server_alive_bound_ms = 5000,
};

// ---- paths -----------------------------------------------------------------

// Each writes a NUL-terminated path into out and returns its length, or
// server_path_unfit (out holding "") when it would not fit into size bytes.
// Folder paths end with '/', so a file name can be appended directly.
// root + "/" + tag + "/" (no second '/' when root ends with one); an empty
// root names nothing (server_path_unfit).
int server_platform_folder(char *out, size_t size, const char *root);
// The platform folder + n + "/"; server_path_unfit for n outside
// [0, server_agent_count).
int server_agent_folder(char *out, size_t size, const char *root, int32_t number);
// folder + name.
int server_file_path(char *out, size_t size, const char *folder, const char *name);

// ---- the request file, args.bin --------------------------------------------

// All fields little-endian 32-bit; request and response share the layout:
//   0  args_header
//   32 module name, module_name_length bytes, NUL-terminated
//   32 + L          arg_count entries of args_entry
//   32 + L + 8 n    data block, data_size_low bytes: the arguments back to back
typedef struct args_header {
    int32_t version;            // 0
    int32_t share_count;        // members the work is split into
    int32_t share_index;        // the member this request computes
    int32_t function_number;    // the call site's line: the module's "fline<n>"
    int32_t arg_count;          // entries of the argument table
    uint32_t data_size_low;     // bytes of the data block
    uint32_t data_size_high;    // always 0
    int32_t module_name_length; // L: name bytes with the NUL, at least 5
} args_header;
static_assert(sizeof(args_header) == 32, "args.bin header");
static_assert(offsetof(args_header, share_count) == 4, "args.bin header");
static_assert(offsetof(args_header, share_index) == 8, "args.bin header");
static_assert(offsetof(args_header, function_number) == 12, "args.bin header");
static_assert(offsetof(args_header, arg_count) == 16, "args.bin header");
static_assert(offsetof(args_header, data_size_low) == 20, "args.bin header");
static_assert(offsetof(args_header, data_size_high) == 24, "args.bin header");
static_assert(offsetof(args_header, module_name_length) == 28, "args.bin header");

typedef struct args_entry {
    uint32_t data_offset; // file offset of the argument's first byte
    uint32_t kind;        // 1 In, 2 Out, 3 InOut, 4 Value; carried, never interpreted by the agent
} args_entry;
static_assert(sizeof(args_entry) == 8, "args.bin table entry");
static_assert(offsetof(args_entry, kind) == 4, "args.bin table entry");

enum {
    server_request_version = 0,
    server_min_name_length = 5,
    // The data block is smaller than 2^31 bytes.
    server_data_size_limit = 0x7fffffff,
};

// Where the parts of a request lie, from its header alone: the one place
// that knows the file's layout.  Every sum runs in 64 bits, with the 32-bit
// fields taken as unsigned, so no header can wrap an offset; whether the
// offsets are acceptable (data_size_high 0 among them) is for the checks to
// say.
typedef struct request_offsets {
    uint64_t name;  // 32: the module name
    uint64_t table; // name + L: the argument table
    uint64_t data;  // table + 8 n: the data block
    uint64_t end;   // data + data_size_low: one past the last byte
} request_offsets;
request_offsets request_offsets_of(const args_header *header);
// The file offset of entry i of the table that starts at table_offset.
static inline uint64_t request_entry_offset(uint64_t table_offset, uint32_t i)
{
    return table_offset + sizeof(args_entry) * (uint64_t)i;
}

// The offsets of a request that passed the header check, in 32 bits.
typedef struct request_layout {
    uint32_t name_offset;  // 32
    uint32_t table_offset; // 32 + L
    uint32_t data_offset;  // 32 + L + 8 n
    uint32_t total_size;   // data_offset + data size: the bytes a request needs
    uint32_t arg_count;    // entries of the table, n
} request_layout;
// The largest request the checks accept: its size and the 8 bytes of slack
// that request_read adds stay 32-bit numbers (on i386, a size_t).  Only a
// file of 4 GiB could hold more.
static const uint32_t server_request_size_limit = 0xfffffff0u;

// Outcome of the request checks.  request_accepted, or request_refused with a
// one-line message (ending in '\n') written into message for the agent to
// print.  The texts are the agent's: "Wrong coload version %d\n",
// "Incorrect coload configuration: %d\n", "Incorrect coload module name
// length: %d\n", "Failed to read %s\n" (args_path), and for hostile bodies
// "Incorrect coload module name: not terminated within %u bytes\n",
// "Incorrect coload module name: empty\n", "Incorrect coload module name:
// %s\n" (the name, every byte outside printable ASCII shown as '?') and
// "Incorrect coload argument offset: %u (argument %u)\n".  A message cut
// short by message_size still ends with '\n'.
// Checks a request header against the size of the file it came from and the
// length of the agent folder's path, in the agent's order: version,
// arg_count, module name length, then that the file holds every byte the
// header promises (table and data block included), that the data block
// stays below 2^31 bytes (data_size_high 0) and the whole request within
// server_request_size_limit; every sum in 64 bits.  A request that passes needs layout->total_size
// bytes, all of which the file holds: nothing is allocated for a request
// before it has passed.
int request_check_header(const args_header *header, uint64_t file_size, size_t folder_length,
                         const char *args_path, request_layout *layout, char *message, size_t message_size);
// Checks the whole request (layout->total_size bytes from offset 0): the
// module name ends with a NUL within L and names a file of the agent folder
// (no '/', '\\' or ".."); every data_offset lies inside the data block (its
// end allowed, for an empty last argument).  Entries may overlap: the agent
// does not know the arguments' sizes.
int request_check_body(const uint8_t *request, const request_layout *layout, char *message, size_t message_size);
// The argument words a module receives: word i = address of argument i's
// first byte in the request bytes.  words has layout->arg_count entries.
void request_argument_words(uint8_t *request, const request_layout *layout, void **words);

// Reads a whole request from args.bin: opens it (no link followed, regular
// files only: anything else is "Failed to open %s\n"), checks the header
// against the file's size, reads all of it (a header that differs from the
// one checked, the file having changed in between, is "Failed to read"),
// checks the body, and returns in *request a zero-filled
// allocation of layout->total_size + 8 bytes (the slack keeps a word read at
// the end of an empty last argument inside it) holding the request; the
// caller frees it with platform_free.  Returns request_accepted,
// request_refused (message set), or server_out_of_memory (message
// "Out of memory\n").
int request_read(const char *args_path, size_t folder_length, request_layout *layout, uint8_t **request,
                 char *message, size_t message_size);
// Rewrites args.bin with the response: the request's bytes as the module left
// them.  The existing file is opened without following a link and cut to
// nothing (a new one is created if there is none); a name that is not a
// regular file of one link is refused.  Returns request_response_written,
// request_response_unopened (also for a refused name) or
// request_response_unwritten.
int request_write_response(const char *args_path, const uint8_t *request, const request_layout *layout);

// The client's side: a request is written as the header, the name, the table,
// then the bytes of each argument from wherever they live.
typedef struct request_part {
    const void *bytes;
    uint32_t size;
} request_part;
// Fills in what request_write derives from the parts: arg_count, the data
// size (data_size_high 0) and module_name_length = strlen(module_name) + 1.
// Returns the data size in 64 bits, which a caller may check against
// server_data_size_limit.
uint64_t request_complete_header(args_header *header, const char *module_name, const request_part *parts,
                                 int32_t part_count);
// Creates args.bin (replacing an older one), writes every part, syncs and
// closes.  The header written is *header completed by
// request_complete_header; data_offset of entry i is
// computed from the sizes and its kind is kinds[i] (kinds and parts may be
// null when part_count is 0).  Nothing else is checked, so tests can write
// requests an agent refuses.  Whatever had the name is removed first and
// the file created exclusively: a link left under the name is never
// written through.  Returns server_step_done, or server_step_failed (also
// for a name of 260 bytes or more or more data than 2^31 - 1 bytes; the
// file may then be partial, and the client does not post).
int request_write(const char *args_path, const args_header *header, const char *module_name,
                  const uint32_t *kinds, const request_part *parts, int32_t part_count);

// ---- folders, stamps, claims -----------------------------------------------

// server_folder_made, server_folder_taken or server_folder_failed.
int server_make_folder(const char *path);

// A new stamp from the time-stamp counter.
uint64_t server_new_stamp(void);

// Creates "tsc" exclusively and writes the stamp.  Returns server_ok,
// server_failed when it cannot be created (the folder is corrupted), server_short
// when the stamp cannot be written (the file is closed, not removed).
int server_stamp_create(const char *tsc_path, uint64_t stamp);
// Reads the 8 stamp bytes of "tsc" or "busy".  server_ok, server_missing,
// server_failed (open or read failed otherwise: worth trying again) or server_short
// (also for a link under the name, which no retry can change).
int server_stamp_read(const char *path, uint64_t *stamp);
// Rewrites the same 8 bytes when the file still holds stamp: the heartbeat.
// Never creates or truncates the file.  server_ok, server_missing,
// server_failed (also when the write or the close fails), or server_short
// when it holds something else (nothing is written then).
int server_stamp_refresh(const char *tsc_path, uint64_t stamp);
// The last word of an agent that stops: when the file still holds stamp,
// its write time is set to the second day of 1970, so that every client
// reads the folder as dead at once (agent_is_alive) while "tsc" stays, as
// the scans for agents need it to.  The caller has stopped the heartbeat
// first.  Returns as server_stamp_refresh does.
int server_stamp_retire(const char *tsc_path, uint64_t stamp);

// server_present when something has the name, server_absent when nothing
// has, server_presence_unknown when it cannot be told.  It opens the name
// (no link followed) and closes it again, which on a network file system
// revalidates what a lookup alone may take from a cache.
int server_file_present(const char *path);
// What has the name, links not followed: a server_kind_* value.
int server_file_kind(const char *path);

// Claims an agent: creates "busy" with create-new and writes the claim stamp.
// server_claimed, server_claim_held, or server_claim_failed (a "busy" whose
// stamp could not be written is deleted again).
int server_claim(const char *busy_path, uint64_t stamp);
// Deletes "busy" (delete-on-close).  server_step_done or server_step_failed.
int server_release(const char *busy_path);

// The client posts a request in an agent folder whose args.bin is complete:
// deletes "err" and "done", creates "do" write-through, then creates and
// deletes "dd" five times.  A "do" that exists already belongs to a request
// whose outcome is not yet (wholly) published: nothing is touched then and
// the post returns server_post_pending.  "do" is created exclusively, never
// removed first; "dd" is removed and created exclusively.  Nothing is
// created through a link left under these names.  server_posted, or
// server_post_failed when "err" or "done" could not be removed or "do"
// could not be created; a failure among the "dd" changes nothing.  A create
// or close of "do" that reports a failure while "do", "done" or "err" exists
// afterwards posted the request all the same (server_posted): on a network
// folder the agent can take "do" before the create has returned.
int server_post(const char *agent_folder);

// What the client reads of a posted request.  "do" decides first: where the
// file system has no rename that refuses to replace, the agent publishes by
// a link and an unlink, and for a moment "do" and the outcome exist side by
// side; the request is over only once "do" has gone.  A server_outcome_*
// value.
int server_outcome(const char *agent_folder);

// The agent publishes an outcome by renaming "do" to "done" (success) or
// "err", never replacing.  server_step_done, or server_step_failed
// (platform_error_exists when the outcome is there already).
int server_publish(const char *agent_folder, int success);

// ---- liveness --------------------------------------------------------------

// agent_alive when the agent of the folder has refreshed its "tsc" within
// server_alive_bound_ms, by the clock of the machine that stores the folder;
// agent_dead when "tsc" is missing, older, or not a regular file;
// agent_liveness_unknown when it cannot be told.  A "tsc" newer than the
// reference is alive.  The reference time is that of "dd", created
// exclusively in the folder (whatever had the name removed first) and
// deleted again: call it only for a folder the caller has claimed ("busy" is
// the caller's), where "dd" is the caller's scratch file.  Agents that do
// not beat read as dead once idle for longer than the bound.
int agent_is_alive(const char *agent_folder);

// ---- waiting ---------------------------------------------------------------

// A watch kept open across waits, so that a change made between a look and
// the wait that follows it still ends the wait.
typedef struct server_watch {
    platform_watch watch;
    int32_t open; // 0: the notification could not be set up; waits sleep instead
    int32_t spare;
} server_watch;
// Watches folder (and its immediate subfolders when subtree is nonzero) for
// `what` (platform_watch_names / platform_watch_contents).
void server_watch_open(server_watch *watch, const char *folder, int subtree, uint32_t what);
// Waits at most timeout_ms; without a notification (or when the wait
// fails), sleeps fallback_ms, never longer than timeout_ms.
// Callers look at the files after every return, whatever it was.
void server_watch_wait(server_watch *watch, uint32_t timeout_ms, uint32_t fallback_ms);
void server_watch_close(server_watch *watch);

// How long a side that waits for the other should wait before it looks
// again, by when it last saw activity (a post, a collection, a request
// served; 0 for never).  Where the tree is on a network file system the
// other machine's changes raise no notification, so right after activity
// both sides look far more often than once per bounded wait: every
// millisecond for 100 ms (work arriving back to back), then every 10 ms for
// the rest of a second, then server_wait_ms, which means idle.
uint32_t server_look_interval(uint64_t last_activity_ms);

#endif
