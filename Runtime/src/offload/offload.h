// The offload part of libZeq: the device table, its operation tables, the
// request record of a coload call, and the routines the offload files share.
//
// Records keep their fixed word order; every word is a machine word, and the
// i386 flavour asserts the sizes that the 32-bit interface fixes.
//
// A slot is served by one of two services, each in a file of its own, picked
// for the slot when the table is built: the device service
// (device_service.cpp) runs kernels through the slot's device_ops, and the
// remote service (remote/remote_slot.cpp) hands requests to the remote
// client.  Generic code never asks which service or device kind a slot has;
// device kinds differ only in their device_ops table.
#ifndef ZEQ_OFFLOAD_H
#define ZEQ_OFFLOAD_H

#include "balance.h"
#include "descriptors.h"
#include "runtime.h"

enum : intptr_t {
    owner_stop = 0,         // stop requested by shutdown
    owner_none = -1,        // no service thread (before the start, after it ended)
    owner_unavailable = -2, // no pool thread could be given to the slot
};

// True when a slot's owner word holds a running service thread's record,
// which may be woken; false for the three states above.
static inline bool is_thread_owner(intptr_t owner)
{
    return owner != owner_stop && owner != owner_none && owner != owner_unavailable;
}

// A site's kernel word for a slot: kernel_unknown until the slot has looked
// the kernel up, kernel_missing when the slot has none; anything else is the
// driver's handle.
enum : intptr_t {
    kernel_unknown = 0,
    kernel_missing = -1,
};

static inline bool is_kernel_handle(intptr_t kernel)
{
    return kernel != kernel_unknown && kernel != kernel_missing;
}

// Slot 0 is the remote slot; device slots follow it.
enum { remote_slot = 0 };

enum {
    max_slots = QIV_COLOAD_SLOTS, // one queue link per slot in a request, one cache entry in a site
    max_modules = 4096,
    max_arg_words = descriptor_words_max, // descriptor words a device slot accepts before the terminating 0
    owner_share_wait_ms = 100,
    // One launch covers at most this many rounds of the device's default
    // group size on each compute unit: enough to keep a device busy between
    // two copies back, few enough that several slots split a share.
    launch_rounds_per_unit = 32,
    // A slot waiting for the pool to take a region's last member yields its
    // processor once in this many polls.
    polls_per_yield = 64,
    // Runs of failed members one request keeps for the host to compute again.
    failed_runs_max = 16,
};

// One coload call in flight, in the caller's frame until the call returns.
struct coload_request {
    qiv_parallel_region *region;
    qiv_coload_site *site;
    void *caller;                  // return address: locates the calling module's folder
    const descriptor_list *descriptors; // read once by the caller
    volatile intptr_t pending;     // slots that have not finished the request
    volatile intptr_t done;        // set by the slot that brings pending to 0
    volatile intptr_t claimed_all; // the caller's own share is fully claimed
    volatile intptr_t owner_progress; // items of the caller's share claimed (under the request's lock)
    volatile intptr_t host_must_run;  // returned by the call
    int *volatile status_ptr;         // recorded by a slot after its first launch
    volatile intptr_t status_value;   // launch and read results OR-ed, or -1
    coload_request *next[max_slots];  // per-slot queue links
    // Set for a balanced call with more than one member: slots and agents
    // take runs of members from the top, sized by balance.h's rule, and
    // report every share's timing there.  Null: the claiming rules above.
    balance_call *balance;
    // Runs of members [first, end) that a slot claimed and then failed: the
    // caller runs them again on the host before the call returns.  Slots
    // reserve entries by the count; past failed_runs_max a failure is only
    // told (Status -1, ZEQ_LOG).  Read by the caller once every slot is done.
    volatile intptr_t own_share_failed; // a failed piece sends the caller's whole share back to it
    volatile intptr_t failed_runs;
    intptr_t failed_first[failed_runs_max];
    intptr_t failed_end[failed_runs_max];
    // Pieces of the caller's own share that failed where other pieces of it
    // were read back (InOut arrays), under the request's lock: their items
    // in all and the span they lie in.
    intptr_t owner_failed_items;
    intptr_t owner_failed_first;
    intptr_t owner_failed_end;
};

struct module_entry {
    char *name;       // file name less its extension; platform_alloc_zeroed
    uintptr_t handle; // program or module; 0 when loading failed
};

// The operations of one device kind.  All take the slot index first and return
// the driver's result code (0 = success) unless noted.  Device addresses are
// machine words; `base` is the address alloc_buffer returned for the buffer
// that contains the address.
struct device_ops {
    int (*get_kernel)(int s, intptr_t *out, uintptr_t module, const char *name);
    int (*kernel_group_limit)(int s, intptr_t kernel); // 1 for what is no kernel handle
    int (*write_buffer)(int s, uintptr_t dst, const void *src, uintptr_t bytes, uintptr_t base);
    // bytes 0: reads nothing and returns once every launch of the slot has
    // completed, with the driver's result for that wait.
    int (*read_buffer)(int s, void *dst, uintptr_t src, uintptr_t bytes, uintptr_t base);
    int (*set_arg)(int s, intptr_t kernel, int index, uintptr_t size, const void *value);
    int (*launch)(int s, intptr_t kernel, intptr_t groups, intptr_t group_size, intptr_t shared, void **params);
    int (*alloc_buffer)(int s, uintptr_t *out, uintptr_t bytes);
    void (*free_buffer)(int s, uintptr_t address);
    int (*init_slot)(int s);
    int (*load_module)(int s, uintptr_t *out, const char *path);
    void (*unload_module)(int s, uintptr_t module);
    int (*create_context)(int s, uintptr_t *context);
    int (*destroy_context)(int s, uintptr_t context);
    const char *module_pattern; // "*.ocl", "*.ptx", or null: the slot loads no modules
};

// What a slot does with the requests queued to it.  Every operation takes
// the slot's index and runs on the slot's service thread, except accepts,
// which callers ask before they queue.
struct slot_service {
    const char *kind; // what the slot reports when its device_ops name no driver
    // 0 when the service would take no part in the request (it declines
    // every request, or a balanced call's rule gives its slot nothing):
    // callers then decline on its behalf without queueing, sparing two
    // wake-ups and the wait for a thread that may wait for a processor.
    int (*accepts)(int s, coload_request *request);
    // Sets the slot up before it is taken (a device's context and modules).
    void (*start)(int s);
    // Serves one request; every path ends in exactly one finish_request.
    void (*serve)(int s, coload_request *request);
    // Once the slot stops taking requests: releases what start made and
    // waits for any thread of the service's own.
    void (*stop)(int s);
};

extern const slot_service device_service; // device_service.cpp
extern const slot_service remote_service; // remote/remote_slot.cpp

struct device_slot {
    intptr_t group_multiple;          // default work-group size; 0 for the remote slot
    intptr_t compute_units;
    intptr_t max_groups;              // most work groups in one launch
    volatile intptr_t owner;          // service thread's record, or owner_stop/none/unavailable
    const slot_service *service;
    const device_ops *ops;            // the device kind's; null for the remote slot
    coload_request *volatile queue;   // newest first; under the lock keyed by &queue
    uintptr_t context;                // 0 when creation failed: the slot declines everything
    volatile intptr_t module_count;
    module_entry modules[max_modules];
};

static_assert(offsetof(coload_request, next) == 11 * sizeof(void *), "request links follow eleven words");
static_assert(offsetof(device_slot, modules) == 9 * sizeof(void *), "slot rows follow nine words");
static_assert(sizeof(device_ops) == 14 * sizeof(void *), "DeviceOps is fourteen words");
static_assert(offsetof(qiv_coload_site, kernel) == 4 * sizeof(void *), "site caches follow four words");
#if defined(__i386__)
static_assert(sizeof(module_entry) == 8, "i386 ModuleEntry is 8 bytes");
static_assert(sizeof(device_ops) == 56, "i386 DeviceOps is 56 bytes");
static_assert(sizeof(qiv_coload_site) == 272, "i386 ColoadSite is 68 words");
#endif

// Process-wide offload state, zero until discovery.
struct offload_state {
    device_slot *volatile device_table; // slot_count slots, or null
    volatile intptr_t slot_count;
    volatile intptr_t live_slots;       // slots with a service thread: initial `pending`
    volatile intptr_t devices_started;  // set once the service threads were started
    volatile int64_t slot_items[max_slots]; // work items each slot has launched, for reports
};
extern offload_state offload;

// Tests look at (and may replace, before the first coload call) the table.
ZEQ_EXPORT offload_state *zeq_internal_offload(void);
// The remote service (remote nonzero) or the device service, for tests that
// build a table of their own.
ZEQ_EXPORT const slot_service *zeq_internal_slot_service(int remote);

extern const device_ops opencl_ops;
extern const device_ops cuda_ops;

// ---- device_discovery.cpp -----------------------------------------------------
int discover_devices(void);

// ---- device_table.cpp (its exports for reports: device_reports.cpp) ------------------------------------------------------------
void shutdown_devices(int process_terminating);
// Called by a service thread once it released everything (owner is owner_none).
void notify_service_thread_ended(void);

// ---- device_threads.cpp ----------------------------------------------------------
void start_device_threads(void);

// ---- kernel_lookup.cpp -----------------------------------------------------------
// Loads the slot's module files not loaded yet from the folder of the file
// that holds address (the executable for null).  A file that fails to load
// still gets a row, with handle 0, so that it is not tried again.
void load_device_modules(int s, const void *address);
// Fills the site's kernel and group-limit entries of slot s (-1: no kernel).
void look_kernel_up(int s, device_slot *slot, coload_request *request);
// Trims the site's source to its base name in place: the text after the last
// '/' or '\\', cut at its first '.'.  Module files of every kind, the remote
// module included, are named after it.
void trim_site_source(qiv_coload_site *site);
// 0 when the names are equal but for the case of ASCII letters, else -1.
int name_equal_nocase(const char *a, const char *b);

// ---- coload.cpp / coload_request.cpp ---------------------------------------------
void finish_request(coload_request *request);
// Members [first, end) of the request's region were claimed by a slot and
// failed: the caller computes them again before the call returns.  Member 0
// (the caller's own share, whole) makes the call return 1.  Callable from
// any slot's thread while the request is open.
void note_failed_members(coload_request *request, intptr_t first, intptr_t end);
// Items [start, start + count) of the caller's own share failed on a slot
// and wrote nothing back, while other pieces of that share may have: the
// call returns 1 with the caller's range narrowed to what failed.
void note_failed_owner_piece(coload_request *request, intptr_t start, intptr_t count);
// True when request is a balanced call whose rule gives slot s nothing now.
bool balance_gives_nothing(int s, coload_request *request);
// The device service's serve: runs the request's pieces on slot s.
void process_request(int s, coload_request *request);

#endif
