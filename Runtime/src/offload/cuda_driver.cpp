// CUDA slots: kernels come from the .ptx files found beside the program (or
// the calling library), loaded as modules into one context per device.
//
// A device address is a CUdeviceptr, a machine word on both flavours; an
// address inside a buffer is the buffer's address plus a byte offset, so the
// transfer operations ignore `base`.  Arguments are not set one by one: the
// launch passes the request's parameter array (pointers to the device address
// words, to the host values and to the start index), built once per request.
//
// Copies are synchronous, so a read after a launch returns the kernel's
// results; only a request that ends on a launch waits with cuCtxSynchronize,
// since the caller may otherwise return (free its arrays, exit) while the
// kernel still runs.  The context is created with blocking synchronisation,
// so that a waiting service thread sleeps in the driver instead of spinning.
//
// init_slot runs on the thread that loads the library; every other operation
// runs on the slot's service thread, on which its context is current for the
// thread's whole life, so no driver call needs a lock.  A device whose limits
// could not be read gets no context: with no usable group or piece size the
// slot could only misjudge the work, so it declines all of it.
#include "drivers.h"
#include "offload.h"

namespace {

enum : int {
    attribute_max_grid_x = 5,
    attribute_warp_size = 10,
    attribute_multiprocessors = 16,
    function_max_threads_per_block = 0,
    context_blocking_sync = 4,
    cuda_error_invalid_device = 101,
};

device_slot *slot_of(int s)
{
    return &offload.device_table[s];
}

int device_ordinal(int s)
{
    return s - 1;
}

cu_handle_t handle(uintptr_t value)
{
    return reinterpret_cast<cu_handle_t>(value);
}

int cuda_get_kernel(int, intptr_t *out, uintptr_t module, const char *name)
{
    cu_handle_t function = nullptr;
    int result = cuda.cuModuleGetFunction(&function, handle(module), name);
    if (result == 0)
        *out = reinterpret_cast<intptr_t>(function);
    return result;
}

int cuda_kernel_group_limit(int, intptr_t kernel)
{
    if (!is_kernel_handle(kernel))
        return 1;
    int value = 1;
    if (cuda.cuFuncGetAttribute(&value, function_max_threads_per_block, reinterpret_cast<cu_handle_t>(kernel)) != 0 || value < 1)
        return 1;
    return value;
}

// A launch reads as many parameters as the kernel declares from the array it
// is given, so a descriptor list shorter than the kernel's would make the
// driver read past it.  Drivers that can say how many there are
// (cuFuncGetParamInfo) are asked; with older ones the count stays unknown.
} // namespace

int cuda_kernel_arg_count(int, intptr_t kernel)
{
    if (!cuda_optional.cuFuncGetParamInfo || !is_kernel_handle(kernel))
        return -1;
    enum { most = 4096 };
    int count = 0;
    size_t offset = 0, size = 0;
    while (count < most && cuda_optional.cuFuncGetParamInfo(handle((uintptr_t)kernel), (size_t)count, &offset, &size) == 0)
        ++count;
    return count;
}

namespace {

int cuda_write_buffer(int, uintptr_t dst, const void *src, uintptr_t bytes, uintptr_t)
{
    return cuda.cuMemcpyHtoD_v2(dst, src, bytes);
}

// A read of 0 bytes is the wait that ends a request whose last launch no read
// followed.
int cuda_read_buffer(int, void *dst, uintptr_t src, uintptr_t bytes, uintptr_t)
{
    if (bytes == 0)
        return cuda.cuCtxSynchronize();
    return cuda.cuMemcpyDtoH_v2(dst, src, bytes);
}

// Arguments travel in the launch's parameter array.
int cuda_set_arg(int, intptr_t, int, uintptr_t, const void *)
{
    return 0;
}

int cuda_launch(int, intptr_t kernel, intptr_t groups, intptr_t group_size, intptr_t shared, void **params)
{
    return cuda.cuLaunchKernel(reinterpret_cast<cu_handle_t>(kernel), (unsigned)groups, 1, 1, (unsigned)group_size, 1, 1,
                               (unsigned)shared, nullptr, params, nullptr);
}

int cuda_alloc_buffer(int, uintptr_t *out, uintptr_t bytes)
{
    cu_device_ptr_t pointer = 0;
    int result = cuda.cuMemAlloc_v2(&pointer, bytes);
    *out = result == 0 ? pointer : 0;
    return result;
}

void cuda_free_buffer(int, uintptr_t address)
{
    if (address)
        cuda.cuMemFree_v2(address);
}

// Limits the slot cannot work without are left 0 when a query fails; the
// context creation then refuses the slot.
int cuda_init_slot(int s)
{
    device_slot *slot = slot_of(s);
    int device = 0, warp = 0, units = 0, grid = 0;
    bool read = cuda.cuDeviceGet(&device, device_ordinal(s)) == 0 &&
                cuda.cuDeviceGetAttribute(&warp, attribute_warp_size, device) == 0 &&
                cuda.cuDeviceGetAttribute(&units, attribute_multiprocessors, device) == 0 &&
                cuda.cuDeviceGetAttribute(&grid, attribute_max_grid_x, device) == 0;
    bool usable = read && warp > 0 && units > 0 && grid > 0;
    slot->group_multiple = usable ? warp : 0;
    slot->compute_units = usable ? units : 0;
    slot->max_groups = usable ? grid : 0;
    return 0;
}

int cuda_load_module(int, uintptr_t *out, const char *path)
{
    cu_handle_t module = nullptr;
    int result = cuda.cuModuleLoad(&module, path);
    *out = result == 0 ? reinterpret_cast<uintptr_t>(module) : 0;
    return result;
}

void cuda_unload_module(int, uintptr_t module)
{
    if (module)
        cuda.cuModuleUnload(handle(module));
}

int cuda_create_context(int s, uintptr_t *context)
{
    *context = 0;
    device_slot *slot = slot_of(s);
    if (slot->group_multiple <= 0 || slot->compute_units <= 0 || slot->max_groups <= 0)
        return cuda_error_invalid_device;
    int device = 0;
    int result = cuda.cuDeviceGet(&device, device_ordinal(s));
    if (result != 0)
        return result;
    cu_handle_t created = nullptr;
    result = cuda.cuCtxCreate_v2(&created, context_blocking_sync, device);
    if (result == 0)
        *context = reinterpret_cast<uintptr_t>(created);
    return result;
}

int cuda_destroy_context(int, uintptr_t context)
{
    return context ? cuda.cuCtxDestroy_v2(handle(context)) : 0;
}

} // namespace

const device_ops cuda_ops = {
    .get_kernel = cuda_get_kernel,
    .kernel_group_limit = cuda_kernel_group_limit,
    .write_buffer = cuda_write_buffer,
    .read_buffer = cuda_read_buffer,
    .set_arg = cuda_set_arg,
    .launch = cuda_launch,
    .alloc_buffer = cuda_alloc_buffer,
    .free_buffer = cuda_free_buffer,
    .init_slot = cuda_init_slot,
    .load_module = cuda_load_module,
    .unload_module = cuda_unload_module,
    .create_context = cuda_create_context,
    .destroy_context = cuda_destroy_context,
    .module_pattern = "*.ptx",
};
