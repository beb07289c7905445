// cuda_stand_in.cpp: the stand-in driver's state, its entry points and its
// test-facing functions.
//
// All state is one record behind one mutex, made on first use and never
// destroyed: the runtime's service threads may still call in while the
// process exits, after static destructors would have run.  Handles are serial
// numbers, never pointers into the tables, and every call looks its handles up
// again: a stale, foreign or made-up handle gets an error instead of being
// followed into freed memory.  Serials are never reused, not even across
// stand_in_reset_records, so a handle from before a reset names nothing after.
//
// A launch copies its parameter values at once, sized from the module's PTX,
// and queues them on its context; the queue runs when the context is next
// synchronised.  Emulations run with the mutex released, since they may be
// slow and other contexts' threads must go on meanwhile.
#pragma GCC visibility push(default)
#include "cuda_stand_in.h"
#include "stand_in_driver.h"
#pragma GCC visibility pop

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "env_config.h"
#include "ptx_scan.h"

namespace {

// Every entry point once: the enum below and the names that tests and
// failure injection use come from this one list.
#define STAND_IN_ENTRY_POINTS(X)                                                                                 \
    X(cuInit) X(cuDeviceGetCount) X(cuDeviceGetProperties) X(cuDeviceGetAttribute) X(cuFuncGetAttribute)        \
    X(cuFuncGetParamInfo)                                                                                       \
    X(cuDeviceGet) X(cuCtxCreate_v2) X(cuModuleLoad) X(cuModuleUnload) X(cuModuleGetFunction) X(cuMemAlloc_v2)   \
    X(cuMemcpyHtoD_v2) X(cuLaunchKernel) X(cuMemcpyDtoH_v2) X(cuMemFree_v2) X(cuCtxDetach) X(cuCtxDestroy_v2)    \
    X(cuCtxSetCacheConfig) X(cuCtxSynchronize)
#define AS_ENUM(name) e_##name,
#define AS_NAME(name) #name,
enum entry_point { STAND_IN_ENTRY_POINTS(AS_ENUM) entry_count };
const char *const entry_names[] = {STAND_IN_ENTRY_POINTS(AS_NAME)};
#undef AS_ENUM
#undef AS_NAME

enum { proceed = -1 };          // from enter(): no injected failure, go on
enum { cache_config_count = 4 }; // none, shared, L1, equal

struct device_record {
    int warp_size, multiprocessors, max_grid_x, max_threads;
    bool attributes_fail;
};

struct kernel_record { // per kernel name, across modules and resets
    char name[ptx_name_max];
    stand_in_kernel_fn emulation;
    int max_threads; // 0: the device's
};

// Parameter bytes, each value at a 16-byte boundary so that an emulation can
// read any type straight through its pointer.
struct alignas(16) param_block {
    unsigned char bytes[16];
};

struct pending_launch {
    stand_in_launch record;
    std::vector<param_block> values;
    int offset[stand_in_max_params]; // of each value in values, in bytes
};

struct context_record {
    uintptr_t handle;
    int device;
    unsigned flags;
    bool live;
    std::vector<pending_launch> pending;
};

struct module_record {
    uintptr_t handle, context;
    bool live;
};

struct function_record {
    uintptr_t handle, module;
    ptx_entry entry;
};

struct allocation {
    uintptr_t base;
    size_t bytes;
};

struct fail_row {
    int entry, at_call, result;
};

struct state {
    std::mutex lock; // guards every field below but the atomics
    int device_count = 1;
    device_record devices[stand_in_max_devices];
    std::vector<kernel_record> kernels;
    std::vector<context_record> contexts; // in creation order
    std::vector<module_record> modules;
    std::vector<function_record> functions;
    std::vector<allocation> allocations;
    std::vector<stand_in_launch> launches;
    std::vector<fail_row> fails;
    uintptr_t next_handle = 1;
    int modules_loaded = 0, modules_unloaded = 0;

    std::atomic<bool> initialized{false};
    std::atomic<int> calls[entry_count] = {};
    std::atomic<int> synchronizes{0};

    state()
    {
        for (device_record &d : devices)
            d = {32, 4, 65535, 1024, false};
    }
};

state &the_state()
{
    static state *s = new state;
    return *s;
}

thread_local uintptr_t current_context = 0;

// Runs read(state) with the lock held: the reports below are all this.
template <typename F> auto locked(F read)
{
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    return read(s);
}

void *as_handle(uintptr_t serial) { return reinterpret_cast<void *>(serial); }
uintptr_t as_serial(void *handle) { return reinterpret_cast<uintptr_t>(handle); }

// Counts the call and answers an injected failure or a call before cuInit;
// proceed otherwise.
int enter(entry_point e)
{
    state &s = the_state();
    int n = ++s.calls[e];
    {
        std::lock_guard<std::mutex> hold(s.lock);
        for (size_t i = 0; i < s.fails.size(); ++i) {
            if (s.fails[i].entry == e && s.fails[i].at_call == n) {
                int result = s.fails[i].result;
                s.fails.erase(s.fails.begin() + (long)i);
                return result;
            }
        }
    }
    if (e != e_cuInit && !s.initialized)
        return stand_in_not_initialized;
    return proceed;
}

// Lookups; all with the lock held.
context_record *find_context(state &s, uintptr_t handle)
{
    for (context_record &c : s.contexts)
        if (c.handle == handle && c.live)
            return &c;
    return nullptr;
}

context_record *current(state &s) { return current_context ? find_context(s, current_context) : nullptr; }

module_record *find_module(state &s, uintptr_t handle)
{
    for (module_record &m : s.modules)
        if (m.handle == handle && m.live)
            return &m;
    return nullptr;
}

function_record *find_function(state &s, uintptr_t handle)
{
    for (function_record &f : s.functions)
        if (f.handle == handle)
            return find_module(s, f.module) ? &f : nullptr;
    return nullptr;
}

kernel_record *find_kernel(state &s, const char *name)
{
    for (kernel_record &k : s.kernels)
        if (strcmp(k.name, name) == 0)
            return &k;
    return nullptr;
}

// The allocation holding all of [address, address + bytes), if one does.
allocation *find_range(state &s, uintptr_t address, size_t bytes)
{
    for (allocation &a : s.allocations)
        if (address >= a.base && address - a.base < a.bytes)
            return bytes <= a.bytes - (address - a.base) ? &a : nullptr;
    return nullptr;
}

bool valid_device(state &s, int device) { return device >= 0 && device < s.device_count; }

int kernel_max_threads(state &s, const char *name, int device)
{
    kernel_record *k = find_kernel(s, name);
    return k && k->max_threads > 0 ? k->max_threads : s.devices[device].max_threads;
}

// Runs launches taken off a queue, in order, with the lock released.
void run_launches(std::vector<pending_launch> &work)
{
    state &s = the_state();
    for (pending_launch &p : work) {
        stand_in_kernel_fn emulation = nullptr;
        {
            std::lock_guard<std::mutex> hold(s.lock);
            kernel_record *k = find_kernel(s, p.record.kernel);
            emulation = k ? k->emulation : nullptr;
        }
        void *params[stand_in_max_params];
        for (int i = 0; i < p.record.param_count; ++i)
            params[i] = reinterpret_cast<unsigned char *>(p.values.data()) + p.offset[i];
        if (emulation)
            emulation(params, &p.record);
    }
}

// Runs what is pending on the calling thread's context.
int synchronize_current()
{
    state &s = the_state();
    std::vector<pending_launch> work;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        context_record *c = current(s);
        if (!c)
            return stand_in_invalid_context;
        work.swap(c->pending);
    }
    run_launches(work);
    return stand_in_success;
}

// Both copy directions.  The range is checked before the pending launches run
// (a refused copy changes nothing, not even through an emulation) and again
// after, since another thread may have freed it meanwhile.
int copy(uintptr_t device_address, void *host, size_t bytes, bool to_device)
{
    state &s = the_state();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (!current(s))
            return stand_in_invalid_context;
        if (bytes == 0)
            return stand_in_success;
        if (!host || !find_range(s, device_address, bytes))
            return stand_in_invalid_value;
    }
    int result = synchronize_current();
    if (result != stand_in_success)
        return result;
    std::lock_guard<std::mutex> hold(s.lock);
    if (!find_range(s, device_address, bytes))
        return stand_in_invalid_value;
    void *device = reinterpret_cast<void *>(device_address);
    memcpy(to_device ? device : host, to_device ? host : device, bytes);
    return stand_in_success;
}

int destroy_context(entry_point e, void *context)
{
    if (int injected = enter(e); injected != proceed)
        return injected;
    state &s = the_state();
    std::vector<pending_launch> work;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        context_record *c = find_context(s, as_serial(context));
        if (!c)
            return stand_in_invalid_context;
        c->live = false;
        work.swap(c->pending);
        if (current_context == c->handle)
            current_context = 0;
    }
    run_launches(work);
    return stand_in_success;
}

// Reads a whole file; false when it cannot be opened or read.
bool read_file(const char *path, std::vector<char> *text)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    char buffer[8192];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        text->insert(text->end(), buffer, buffer + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

// Copies what the launch needs at launch time: the values behind the
// caller's parameter pointers and the start item behind the last one.
void take_parameters(const function_record &f, void **params, pending_launch *p)
{
    int offset = 0;
    for (int i = 0; i < f.entry.param_count; ++i) {
        p->offset[i] = offset;
        offset += (f.entry.param_bytes[i] + 15) / 16 * 16;
    }
    p->values.resize((size_t)offset / 16 + 1);
    unsigned char *base = reinterpret_cast<unsigned char *>(p->values.data());
    for (int i = 0; i < f.entry.param_count; ++i) {
        memcpy(base + p->offset[i], params[i], (size_t)f.entry.param_bytes[i]);
        p->record.params[i] = params[i];
    }
    p->record.param_count = f.entry.param_count;
    p->record.first_item = 0;
    if (int last = f.entry.param_count - 1; last >= 0) {
        size_t bytes = f.entry.param_bytes[last] < 4 ? (size_t)f.entry.param_bytes[last] : 4;
        memcpy(&p->record.first_item, base + p->offset[last], bytes);
    }
}

void apply_environment()
{
    const char *text = getenv("ZEQ_CUDA_STAND_IN");
    if (!text)
        return;
    env_config config;
    parse_env_config(text, &config, stderr);
    if (config.devices >= 0)
        stand_in_set_device_count(config.devices);
    state &s = the_state();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        for (int d = 0; d < stand_in_max_devices; ++d) {
            device_record &r = s.devices[d];
            r.warp_size = config.warp > 0 ? config.warp : r.warp_size;
            r.multiprocessors = config.units > 0 ? config.units : r.multiprocessors;
            r.max_grid_x = config.grid > 0 ? config.grid : r.max_grid_x;
            r.max_threads = config.threads > 0 ? config.threads : r.max_threads;
            r.attributes_fail = r.attributes_fail || config.attributes_fail[d];
        }
    }
    for (int i = 0; i < config.fail_count; ++i)
        stand_in_fail_call(config.fails[i].entry, config.fails[i].nth, config.fails[i].result);
}

struct environment_reader {
    environment_reader() { apply_environment(); }
} const read_at_load;

} // namespace

// ---- Driver entry points ----------------------------------------------------

int cuInit(unsigned flags)
{
    if (int injected = enter(e_cuInit); injected != proceed)
        return injected;
    if (flags != 0)
        return stand_in_invalid_value;
    the_state().initialized = true;
    return stand_in_success;
}

int cuDeviceGetCount(int *count)
{
    if (int injected = enter(e_cuDeviceGetCount); injected != proceed)
        return injected;
    if (!count)
        return stand_in_invalid_value;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    *count = s.device_count;
    return stand_in_success;
}

int cuDeviceGetProperties(void *properties, int device)
{
    if (int injected = enter(e_cuDeviceGetProperties); injected != proceed)
        return injected;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!valid_device(s, device))
        return stand_in_invalid_device;
    return properties ? stand_in_success : stand_in_invalid_value;
}

int cuDeviceGetAttribute(int *value, int attribute, int device)
{
    if (int injected = enter(e_cuDeviceGetAttribute); injected != proceed)
        return injected;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!valid_device(s, device) || s.devices[device].attributes_fail)
        return stand_in_invalid_device;
    if (!value)
        return stand_in_invalid_value;
    const device_record &d = s.devices[device];
    switch (attribute) {
    case stand_in_attribute_max_threads: *value = d.max_threads; return stand_in_success;
    case stand_in_attribute_max_grid_x: *value = d.max_grid_x; return stand_in_success;
    case stand_in_attribute_warp_size: *value = d.warp_size; return stand_in_success;
    case stand_in_attribute_multiprocessors: *value = d.multiprocessors; return stand_in_success;
    default: return stand_in_invalid_value;
    }
}

// The entry of a call on a function handle: an injected failure, then the
// lock, then the handle's record, or the error a bad handle gets.
static int enter_function(entry_point entry, void *function, std::unique_lock<std::mutex> *hold, function_record **found)
{
    if (int injected = enter(entry); injected != proceed)
        return injected;
    hold->lock();
    *found = find_function(the_state(), as_serial(function));
    return *found ? stand_in_success : stand_in_invalid_handle;
}

int cuFuncGetParamInfo(void *function, size_t index, size_t *offset, size_t *size)
{
    state &s = the_state();
    std::unique_lock<std::mutex> hold(s.lock, std::defer_lock);
    function_record *f = nullptr;
    if (int failed = enter_function(e_cuFuncGetParamInfo, function, &hold, &f); failed != stand_in_success)
        return failed;
    if (!offset || index >= (size_t)f->entry.param_count)
        return stand_in_invalid_value;
    size_t at = 0;
    for (size_t k = 0; k < index; ++k)
        at += (size_t)f->entry.param_bytes[k];
    *offset = at;
    if (size)
        *size = (size_t)f->entry.param_bytes[index];
    return stand_in_success;
}

int cuFuncGetAttribute(int *value, int attribute, void *function)
{
    state &s = the_state();
    std::unique_lock<std::mutex> hold(s.lock, std::defer_lock);
    function_record *f = nullptr;
    if (int failed = enter_function(e_cuFuncGetAttribute, function, &hold, &f); failed != stand_in_success)
        return failed;
    if (!value || attribute != stand_in_function_max_threads)
        return stand_in_invalid_value;
    // The module's context may be gone; its device is still on its record.
    int device = 0;
    uintptr_t context = find_module(s, f->module)->context;
    for (const context_record &c : s.contexts)
        if (c.handle == context)
            device = c.device;
    *value = kernel_max_threads(s, f->entry.name, device);
    return stand_in_success;
}

int cuDeviceGet(int *device, int ordinal)
{
    if (int injected = enter(e_cuDeviceGet); injected != proceed)
        return injected;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!valid_device(s, ordinal))
        return stand_in_invalid_device;
    if (!device)
        return stand_in_invalid_value;
    *device = ordinal;
    return stand_in_success;
}

int cuCtxCreate_v2(void **context, unsigned flags, int device)
{
    if (int injected = enter(e_cuCtxCreate_v2); injected != proceed)
        return injected;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!valid_device(s, device))
        return stand_in_invalid_device;
    if (!context)
        return stand_in_invalid_value;
    context_record c;
    c.handle = s.next_handle++;
    c.device = device;
    c.flags = flags;
    c.live = true;
    s.contexts.push_back(c);
    current_context = c.handle;
    *context = as_handle(c.handle);
    return stand_in_success;
}

int cuModuleLoad(void **module, const char *path)
{
    if (int injected = enter(e_cuModuleLoad); injected != proceed)
        return injected;
    state &s = the_state();
    uintptr_t context = 0;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (!current(s))
            return stand_in_invalid_context;
        context = current_context;
    }
    if (!module || !path)
        return stand_in_invalid_value;
    std::vector<char> text;
    if (!read_file(path, &text))
        return stand_in_file_not_found;
    std::vector<ptx_entry> entries;
    if (int result = ptx_scan(text.data(), text.size(), &entries); result != stand_in_success)
        return result;
    std::lock_guard<std::mutex> hold(s.lock);
    if (!find_context(s, context))
        return stand_in_invalid_context; // destroyed while the file was read
    module_record m = {s.next_handle++, context, true};
    s.modules.push_back(m);
    for (const ptx_entry &e : entries)
        s.functions.push_back({s.next_handle++, m.handle, e});
    ++s.modules_loaded;
    *module = as_handle(m.handle);
    return stand_in_success;
}

int cuModuleUnload(void *module)
{
    if (int injected = enter(e_cuModuleUnload); injected != proceed)
        return injected;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!current(s))
        return stand_in_invalid_context;
    module_record *m = find_module(s, as_serial(module));
    if (!m)
        return stand_in_invalid_handle;
    if (m->context != current_context)
        return stand_in_invalid_context;
    m->live = false;
    ++s.modules_unloaded;
    return stand_in_success;
}

int cuModuleGetFunction(void **function, void *module, const char *name)
{
    if (int injected = enter(e_cuModuleGetFunction); injected != proceed)
        return injected;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!current(s))
        return stand_in_invalid_context;
    if (!function || !name)
        return stand_in_invalid_value;
    module_record *m = find_module(s, as_serial(module));
    if (!m)
        return stand_in_invalid_handle;
    if (m->context != current_context)
        return stand_in_invalid_context;
    for (const function_record &f : s.functions) {
        if (f.module == m->handle && strcmp(f.entry.name, name) == 0) {
            *function = as_handle(f.handle);
            return stand_in_success;
        }
    }
    return stand_in_not_found;
}

int cuMemAlloc_v2(uintptr_t *pointer, size_t bytes)
{
    if (int injected = enter(e_cuMemAlloc_v2); injected != proceed)
        return injected;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!current(s))
        return stand_in_invalid_context;
    if (!pointer || bytes == 0)
        return stand_in_invalid_value;
    void *memory = calloc(1, bytes);
    if (!memory)
        return stand_in_out_of_memory;
    s.allocations.push_back({reinterpret_cast<uintptr_t>(memory), bytes});
    *pointer = reinterpret_cast<uintptr_t>(memory);
    return stand_in_success;
}

int cuMemcpyHtoD_v2(uintptr_t dst, const void *src, size_t bytes)
{
    if (int injected = enter(e_cuMemcpyHtoD_v2); injected != proceed)
        return injected;
    return copy(dst, const_cast<void *>(src), bytes, true);
}

int cuMemcpyDtoH_v2(void *dst, uintptr_t src, size_t bytes)
{
    if (int injected = enter(e_cuMemcpyDtoH_v2); injected != proceed)
        return injected;
    return copy(src, dst, bytes, false);
}

int cuLaunchKernel(void *function, unsigned gx, unsigned gy, unsigned gz, unsigned bx, unsigned by, unsigned bz,
                   unsigned shared, void *stream, void **params, void **extra)
{
    if (int injected = enter(e_cuLaunchKernel); injected != proceed)
        return injected;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    context_record *c = current(s);
    if (!c)
        return stand_in_invalid_context;
    function_record *f = find_function(s, as_serial(function));
    if (!f)
        return stand_in_invalid_handle;
    if (find_module(s, f->module)->context != c->handle)
        return stand_in_invalid_context;
    // One dimension only, within the device's and the kernel's limits.
    if (gx < 1 || bx < 1 || gy != 1 || gz != 1 || by != 1 || bz != 1 ||
        bx > (unsigned)kernel_max_threads(s, f->entry.name, c->device) || gx > (unsigned)s.devices[c->device].max_grid_x)
        return stand_in_invalid_value;
    // Parameters come through params alone; each value must be there to copy.
    if (extra || (f->entry.param_count > 0 && !params))
        return stand_in_invalid_value;
    for (int i = 0; i < f->entry.param_count; ++i)
        if (!params[i])
            return stand_in_invalid_value;
    pending_launch p;
    memset(&p.record, 0, sizeof p.record);
    memcpy(p.record.kernel, f->entry.name, sizeof p.record.kernel);
    p.record.device = c->device;
    p.record.grid[0] = gx, p.record.grid[1] = gy, p.record.grid[2] = gz;
    p.record.block[0] = bx, p.record.block[1] = by, p.record.block[2] = bz;
    p.record.shared_bytes = shared;
    p.record.stream = as_serial(stream);
    take_parameters(*f, params, &p);
    s.launches.push_back(p.record);
    c->pending.push_back(std::move(p));
    return stand_in_success;
}

int cuMemFree_v2(uintptr_t pointer)
{
    if (int injected = enter(e_cuMemFree_v2); injected != proceed)
        return injected;
    state &s = the_state();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (!current(s))
            return stand_in_invalid_context;
    }
    // Freeing waits for the launches before it, which may still use the memory.
    synchronize_current();
    std::lock_guard<std::mutex> hold(s.lock);
    for (size_t i = 0; i < s.allocations.size(); ++i) {
        if (s.allocations[i].base == pointer) {
            free(reinterpret_cast<void *>(pointer));
            s.allocations.erase(s.allocations.begin() + (long)i);
            return stand_in_success;
        }
    }
    return stand_in_invalid_value;
}

int cuCtxDetach(void *context) { return destroy_context(e_cuCtxDetach, context); }

int cuCtxDestroy_v2(void *context) { return destroy_context(e_cuCtxDestroy_v2, context); }

int cuCtxSetCacheConfig(int config)
{
    if (int injected = enter(e_cuCtxSetCacheConfig); injected != proceed)
        return injected;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!current(s))
        return stand_in_invalid_context;
    return config >= 0 && config < cache_config_count ? stand_in_success : stand_in_invalid_value;
}

int cuCtxSynchronize(void)
{
    if (int injected = enter(e_cuCtxSynchronize); injected != proceed)
        return injected;
    int result = synchronize_current();
    if (result == stand_in_success)
        ++the_state().synchronizes;
    return result;
}

// ---- Configuration ------------------------------------------------------------

void stand_in_set_device_count(int count)
{
    if (count < 0 || count > stand_in_max_devices) {
        fprintf(stderr, "cuda_stand_in: ignoring a device count of %d (0..%d)\n", count, stand_in_max_devices);
        return;
    }
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    s.device_count = count;
}

void stand_in_set_limits(int device, int warp_size, int multiprocessors, int max_grid_x, int max_threads_per_block)
{
    if (device < 0 || device >= stand_in_max_devices) {
        fprintf(stderr, "cuda_stand_in: ignoring limits for device %d\n", device);
        return;
    }
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    device_record &d = s.devices[device];
    d.warp_size = warp_size, d.multiprocessors = multiprocessors;
    d.max_grid_x = max_grid_x, d.max_threads = max_threads_per_block;
}

void stand_in_fail_attributes(int device, int fail)
{
    if (device < 0 || device >= stand_in_max_devices)
        return;
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    s.devices[device].attributes_fail = fail != 0;
}

// The record of a kernel name, made on first mention; null for a name that
// would not fit (it could never match an entry).
static kernel_record *kernel_row(state &s, const char *kernel)
{
    if (!kernel || strlen(kernel) >= ptx_name_max) {
        fprintf(stderr, "cuda_stand_in: ignoring a kernel name longer than %d\n", ptx_name_max - 1);
        return nullptr;
    }
    if (kernel_record *k = find_kernel(s, kernel))
        return k;
    kernel_record k = {};
    strcpy(k.name, kernel);
    s.kernels.push_back(k);
    return &s.kernels.back();
}

void stand_in_set_kernel_threads(const char *kernel, int max_threads)
{
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (kernel_record *k = kernel_row(s, kernel))
        k->max_threads = max_threads;
}

void stand_in_register_kernel(const char *kernel, stand_in_kernel_fn fn)
{
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (kernel_record *k = kernel_row(s, kernel))
        k->emulation = fn;
}

void stand_in_fail_call(const char *entry, int nth, int result)
{
    int e = 0;
    while (e < entry_count && !(entry && strcmp(entry_names[e], entry) == 0))
        ++e;
    // A result of 0 would make the call a success that did nothing.
    if (e == entry_count || nth < 0 || (nth > 0 && result == stand_in_success)) {
        fprintf(stderr, "cuda_stand_in: ignoring failure %s:%d:%d\n", entry ? entry : "(null)", nth, result);
        return;
    }
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (nth == 0) {
        for (size_t i = s.fails.size(); i-- > 0;)
            if (s.fails[i].entry == e)
                s.fails.erase(s.fails.begin() + (long)i);
        return;
    }
    s.fails.push_back({e, s.calls[e] + nth, result});
}

void stand_in_reset_records(void)
{
    state &s = the_state();
    std::lock_guard<std::mutex> hold(s.lock);
    s.contexts.clear();
    s.modules.clear();
    s.functions.clear();
    s.launches.clear();
    s.fails.clear();
    s.modules_loaded = s.modules_unloaded = 0;
    s.synchronizes = 0;
    for (std::atomic<int> &c : s.calls)
        c = 0;
}

// ---- What happened ------------------------------------------------------------

int stand_in_launch_count(void) { return locked([](state &s) { return (int)s.launches.size(); }); }

int stand_in_get_launch(int index, stand_in_launch *out)
{
    return locked([&](state &s) {
        if (!out || index < 0 || index >= (int)s.launches.size())
            return -1;
        *out = s.launches[(size_t)index];
        return 0;
    });
}

int stand_in_pending_launches(void)
{
    return locked([](state &s) {
        int pending = 0;
        for (const context_record &c : s.contexts)
            pending += (int)c.pending.size();
        return pending;
    });
}

int stand_in_context_count(void) { return locked([](state &s) { return (int)s.contexts.size(); }); }

unsigned stand_in_context_flags(int index)
{
    return locked([&](state &s) { return index >= 0 && index < (int)s.contexts.size() ? s.contexts[(size_t)index].flags : 0u; });
}

int stand_in_context_device(int index)
{
    return locked([&](state &s) { return index >= 0 && index < (int)s.contexts.size() ? s.contexts[(size_t)index].device : -1; });
}

int stand_in_contexts_live(void)
{
    return locked([](state &s) {
        int live = 0;
        for (const context_record &c : s.contexts)
            live += c.live;
        return live;
    });
}

int stand_in_synchronize_count(void) { return the_state().synchronizes; }
int stand_in_modules_loaded(void) { return locked([](state &s) { return s.modules_loaded; }); }
int stand_in_modules_live(void) { return locked([](state &s) { return s.modules_loaded - s.modules_unloaded; }); }
long stand_in_allocations_live(void) { return locked([](state &s) { return (long)s.allocations.size(); }); }

int stand_in_calls(const char *entry)
{
    for (int e = 0; e < entry_count; ++e)
        if (entry && strcmp(entry_names[e], entry) == 0)
            return the_state().calls[e];
    return 0;
}
