// A device kind of the tests' own, installed in place of the discovered table
// before the first coload call: its "memory" is the host heap, its modules are
// text files named *.fake that list the kernel names they hold, and a launch
// runs a C function once per work item.  It records what the dispatch code
// asked of it, so tests can check geometry, uploads and copy-back exactly, on
// both flavours and without any driver.
#ifndef ZEQ_TEST_FAKE_DEVICE_H
#define ZEQ_TEST_FAKE_DEVICE_H

#include "offload.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// A kernel item: params as the launch got them (array rows point at the device
// address word, value rows at the value), item = global index + first.
typedef void (*fake_item_fn)(void **params, int item);

struct fake_kernel_entry {
    const char *name;
    fake_item_fn item;
};

// The device address an array row's parameter holds.
inline intptr_t device_word(void **params, int k)
{
    return *static_cast<intptr_t *>(params[k]);
}

// y = a x + y, the kernel of the tests' saxpy calls: params y, x, a.
inline void saxpy_item(void **params, int i)
{
    float *y = reinterpret_cast<float *>(device_word(params, 0));
    const float *x = reinterpret_cast<const float *>(device_word(params, 1));
    y[i] = *static_cast<const float *>(params[2]) * x[i] + y[i];
}

// hits[i] += 1, the kernel of the tests' hits calls: params hits.
inline void hits_item(void **params, int i)
{
    reinterpret_cast<int *>(device_word(params, 0))[i] += 1;
}

struct fake_launch {
    int slot;
    intptr_t groups, group_size, shared;
    int first;
    int arg_count; // set_arg calls before this launch since the previous one
};

struct fake_module {
    std::string path;
    std::string text;
};

struct fake_device_state {
    std::mutex lock;
    std::vector<fake_launch> launches;
    std::vector<std::pair<int, uintptr_t>> writes; // slot, bytes
    std::vector<fake_module> modules;              // handle = index + 1
    std::vector<std::pair<int, std::string>> loaded_paths; // slot, path
    const fake_kernel_entry *kernels = nullptr;
    int kernel_count = 0;
    std::atomic<int> group_limit{1024};
    std::atomic<int> launch_result{0};
    std::atomic<int> delay_ms{0};
    int set_args_since_launch[QIV_COLOAD_SLOTS] = {};
    // Launches that no read has followed yet, as a device with an in-order
    // queue sees them, and the waits for the queue (reads of 0 bytes).
    int unread_launches[QIV_COLOAD_SLOTS] = {};
    int queue_waits[QIV_COLOAD_SLOTS] = {};
    std::atomic<int> wait_result{0};
    // Reads of data left until one copies half its bytes and fails; 0: none fails.
    std::atomic<int> reads_until_failure{0};
    const void *last_arg[QIV_COLOAD_SLOTS] = {}; // the start index is always set last
};

// Never destroyed: the exit probes end the process while a slot's thread
// still looks kernels up in it.
inline fake_device_state &fake_state()
{
    static fake_device_state *state = new fake_device_state;
    return *state;
}

inline int fake_get_kernel(int, intptr_t *out, uintptr_t module, const char *name)
{
    fake_device_state &st = fake_state();
    std::lock_guard<std::mutex> hold(st.lock);
    if (module == 0 || module > st.modules.size())
        return -44;
    const std::string &text = st.modules[module - 1].text;
    std::string word = std::string(" ") + name + " ";
    if (text.find(word) == std::string::npos)
        return -46;
    for (int i = 0; i < st.kernel_count; ++i) {
        if (strcmp(st.kernels[i].name, name) == 0) {
            *out = (intptr_t)(i + 1);
            return 0;
        }
    }
    return -46;
}

inline int fake_group_limit(int, intptr_t kernel)
{
    return kernel == 0 || kernel == -1 ? 1 : fake_state().group_limit.load();
}

inline int fake_write(int s, uintptr_t dst, const void *src, uintptr_t bytes, uintptr_t)
{
    memcpy((void *)dst, src, bytes);
    std::lock_guard<std::mutex> hold(fake_state().lock);
    fake_state().writes.push_back({s, bytes});
    return 0;
}

inline int fake_read(int s, void *dst, uintptr_t src, uintptr_t bytes, uintptr_t)
{
    fake_device_state &st = fake_state();
    st.unread_launches[s] = 0;
    if (bytes == 0) {
        ++st.queue_waits[s];
        return st.wait_result.load();
    }
    if (st.reads_until_failure.load() > 0 && --st.reads_until_failure == 0) {
        memcpy(dst, (const void *)src, bytes / 2);
        return -7;
    }
    memcpy(dst, (const void *)src, bytes);
    return 0;
}

inline int fake_set_arg(int s, intptr_t, int, uintptr_t, const void *value)
{
    __atomic_add_fetch(&fake_state().set_args_since_launch[s], 1, __ATOMIC_RELEASE); // polled by probes
    fake_state().last_arg[s] = value;
    return 0;
}

inline int fake_launch_op(int s, intptr_t kernel, intptr_t groups, intptr_t group_size, intptr_t shared, void **params)
{
    fake_device_state &st = fake_state();
    if (st.delay_ms.load())
        platform_sleep_ms((uint32_t)st.delay_ms.load());
    int first = *static_cast<const int32_t *>(st.last_arg[s]);
    {
        std::lock_guard<std::mutex> hold(st.lock);
        st.launches.push_back({s, groups, group_size, shared, first, st.set_args_since_launch[s]});
    }
    __atomic_store_n(&st.set_args_since_launch[s], 0, __ATOMIC_RELEASE);
    ++st.unread_launches[s];
    if (st.launch_result.load() != 0)
        return st.launch_result.load();
    fake_item_fn item = st.kernels[kernel - 1].item;
    for (intptr_t i = 0; i < groups * group_size; ++i)
        item(params, first + (int)i);
    return 0;
}

inline int fake_alloc(int, uintptr_t *out, uintptr_t bytes)
{
    *out = (uintptr_t)calloc(1, bytes);
    return *out ? 0 : -4;
}

inline void fake_free(int, uintptr_t address)
{
    free((void *)address);
}

inline int fake_init_slot(int) { return 0; }

inline int fake_load_module(int s, uintptr_t *out, const char *path)
{
    fake_device_state &st = fake_state();
    std::lock_guard<std::mutex> hold(st.lock);
    st.loaded_paths.push_back({s, path});
    *out = 0;
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char buffer[4096];
    size_t n = fread(buffer, 1, sizeof buffer - 1, f);
    fclose(f);
    buffer[n] = 0;
    if (strstr(buffer, "broken"))
        return -11; // a build failure: the row keeps handle 0
    st.modules.push_back({path, std::string(" ") + buffer + " "});
    for (char &c : st.modules.back().text)
        if (c == '\n')
            c = ' ';
    *out = st.modules.size();
    return 0;
}

inline void fake_unload(int, uintptr_t) {}
inline int fake_create_context(int, uintptr_t *context) { *context = 1; return 0; }
inline int fake_destroy_context(int, uintptr_t) { return 0; }

inline const device_ops fake_ops = {
    .get_kernel = fake_get_kernel,
    .kernel_group_limit = fake_group_limit,
    .write_buffer = fake_write,
    .read_buffer = fake_read,
    .set_arg = fake_set_arg,
    .launch = fake_launch_op,
    .alloc_buffer = fake_alloc,
    .free_buffer = fake_free,
    .init_slot = fake_init_slot,
    .load_module = fake_load_module,
    .unload_module = fake_unload,
    .create_context = fake_create_context,
    .destroy_context = fake_destroy_context,
    .module_pattern = "*.fake",
};

// Replaces the discovered table by slot 0 plus `devices` fake slots, each
// launching at most cap = compute_units * group_multiple * 32 items.
inline void install_fake_devices(int devices, intptr_t group_multiple, intptr_t compute_units, const fake_kernel_entry *kernels,
                                 int kernel_count)
{
    offload_state *o = zeq_internal_offload();
    if (o->devices_started)
        return;
    fake_state().kernels = kernels;
    fake_state().kernel_count = kernel_count;
    device_slot *table = static_cast<device_slot *>(platform_alloc_zeroed((size_t)(devices + 1) * sizeof(device_slot)));
    for (int s = 0; s <= devices; ++s) {
        // Slot 0 is the real remote slot, which never runs a kernel.
        table[s].service = zeq_internal_slot_service(s == 0);
        table[s].ops = s == 0 ? nullptr : &fake_ops;
        table[s].owner = owner_none;
        if (s > 0) {
            table[s].group_multiple = group_multiple;
            table[s].compute_units = compute_units;
            table[s].max_groups = 65536;
        }
    }
    device_slot *old = o->device_table;
    o->device_table = table;
    o->slot_count = devices + 1;
    o->live_slots = devices + 1;
    platform_free(old);
}

#endif
