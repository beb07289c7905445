// OpenCL slots: kernels are built at run time from the .ocl source files
// found beside the program (or the calling library), one program per file and
// slot, compiled for the slot's device.
//
// A device address is the value of a memory object's handle; an address
// inside the buffer is that value plus a byte offset, which the transfer
// operations recover as address - base.  All transfers block on the slot's
// in-order queue, so a read after a launch sees the kernel's results without
// events; only a request that ends on a launch waits with clFinish, since
// PoCL may still be compiling or running it on threads of its own when the
// caller goes on (and exits).  Every operation except init_slot runs on the slot's
// service thread only.  Null handles are answered here with the driver's own
// error codes instead of being passed on, since a loader may not check them.
#include "drivers.h"
#include "offload.h"

namespace {

enum : cl_int_t {
    cl_invalid_value = -30,
    cl_invalid_program = -44,
    cl_out_of_host_memory = -6,
};
enum : cl_uint_t {
    cl_device_max_compute_units = 0x1002,
    cl_kernel_work_group_size = 0x11B0,
};
enum : cl_bits_t { cl_mem_read_write = 1 };

// What an OpenCL slot reports to the dispatch code.  The default group size
// is a multiple of every GPU's scheduling width we know of; the work-group
// limit of a kernel is clamped to what an int result can carry.
const intptr_t default_group_multiple = 32;
const intptr_t groups_per_launch_max = 65536;
const size_t group_limit_max = 0x7FFFFFFF;

device_slot *slot_of(int s)
{
    return &offload.device_table[s];
}

// The driver's own handles of each slot, beside the generic slot record,
// which knows nothing of OpenCL.  Written by init_slot at discovery and by
// the slot's service thread after.
struct opencl_slot {
    uintptr_t device;
    uintptr_t queue;
};
opencl_slot cl_slots[max_slots];

cl_handle_t handle(uintptr_t value)
{
    return reinterpret_cast<cl_handle_t>(value);
}

int cl_get_kernel(int s, intptr_t *out, uintptr_t program, const char *name)
{
    if (!program)
        return cl_invalid_program;
    cl_int_t err = 0;
    cl_handle_t kernel = opencl.clCreateKernel(handle(program), name, &err);
    if (err == 0)
        *out = reinterpret_cast<intptr_t>(kernel);
    return err;
}

int cl_kernel_group_limit(int s, intptr_t kernel)
{
    if (!is_kernel_handle(kernel))
        return 1;
    size_t value = 1;
    opencl.clGetKernelWorkGroupInfo(reinterpret_cast<cl_handle_t>(kernel), handle(cl_slots[s].device),
                                    cl_kernel_work_group_size, sizeof value, &value, nullptr);
    return value > group_limit_max ? (int)group_limit_max : (int)value;
}

int cl_write_buffer(int s, uintptr_t dst, const void *src, uintptr_t bytes, uintptr_t base)
{
    return opencl.clEnqueueWriteBuffer(handle(cl_slots[s].queue), handle(base), 1, dst - base, bytes, src, 0, nullptr, nullptr);
}

// A read of 0 bytes is the wait that ends a request whose last launch no read
// followed (an empty read is an error in OpenCL, so it never reaches the queue).
int cl_read_buffer(int s, void *dst, uintptr_t src, uintptr_t bytes, uintptr_t base)
{
    if (bytes == 0)
        return opencl.clFinish(handle(cl_slots[s].queue));
    return opencl.clEnqueueReadBuffer(handle(cl_slots[s].queue), handle(base), 1, src - base, bytes, dst, 0, nullptr, nullptr);
}

int cl_set_arg(int, intptr_t kernel, int index, uintptr_t size, const void *value)
{
    return opencl.clSetKernelArg(reinterpret_cast<cl_handle_t>(kernel), (cl_uint_t)index, size, value);
}

// Shared bytes and the parameter list are not used: the kernel source declares
// its group-shared memory and the arguments were set one by one.
int cl_launch(int s, intptr_t kernel, intptr_t groups, intptr_t group_size, intptr_t, void **)
{
    size_t global = (size_t)groups * (size_t)group_size, local = (size_t)group_size;
    return opencl.clEnqueueNDRangeKernel(handle(cl_slots[s].queue), reinterpret_cast<cl_handle_t>(kernel), 1, nullptr,
                                         &global, &local, 0, nullptr, nullptr);
}

int cl_alloc_buffer(int s, uintptr_t *out, uintptr_t bytes)
{
    cl_int_t err = 0;
    cl_handle_t buffer = opencl.clCreateBuffer(handle(slot_of(s)->context), cl_mem_read_write, bytes, nullptr, &err);
    *out = reinterpret_cast<uintptr_t>(buffer);
    return err;
}

void cl_free_buffer(int, uintptr_t buffer)
{
    if (buffer)
        opencl.clReleaseMemObject(handle(buffer));
}

int cl_init_slot(int s)
{
    device_slot *slot = slot_of(s);
    intptr_t entries = offload.slot_count - 1;
    cl_handle_t *devices = static_cast<cl_handle_t *>(platform_alloc_zeroed((size_t)offload.slot_count * sizeof(cl_handle_t)));
    if (!devices)
        return cl_out_of_host_memory;
    cl_handle_t platform = nullptr;
    opencl.clGetPlatformIDs(1, &platform, nullptr);
    opencl.clGetDeviceIDs(platform, cl_device_type_gpu_or_accelerator, (cl_uint_t)entries, devices, nullptr);
    slot->group_multiple = default_group_multiple;
    cl_slots[s].device = reinterpret_cast<uintptr_t>(devices[s - 1]);
    cl_uint_t units = 0;
    cl_int_t result = opencl.clGetDeviceInfo(devices[s - 1], cl_device_max_compute_units, sizeof units, &units, nullptr);
    slot->compute_units = (intptr_t)units;
    slot->max_groups = groups_per_launch_max;
    platform_free(devices);
    return result;
}

// Builds one .ocl file for the slot's device.  Every failure leaves *out 0:
// the module's row keeps handle 0 and every lookup in it fails.
int cl_load_module(int s, uintptr_t *out, const char *path)
{
    *out = 0;
    int result = -1;
    char *text = nullptr;
    cl_handle_t program = nullptr;
    intptr_t file = platform_file_open_read(path);
    if (file < 0)
        return result;
    int64_t size = platform_file_size(file);
    if (size < 0 || (uint64_t)size >= (uint64_t)SIZE_MAX)
        goto done;
    // One byte more than the file keeps the text terminated for the compiler
    // even though its length is passed.
    text = static_cast<char *>(platform_alloc_zeroed((size_t)size + 1));
    if (!text) {
        result = cl_out_of_host_memory;
        goto done;
    }
    if (platform_file_read_all(file, text, (size_t)size) != 0)
        goto done;
    {
        cl_int_t err = 0;
        const char *strings[1] = {text};
        size_t lengths[1] = {(size_t)size};
        program = opencl.clCreateProgramWithSource(handle(slot_of(s)->context), 1, strings, lengths, &err);
        if (err != 0 || !program) {
            result = err != 0 ? err : cl_invalid_value;
            goto done;
        }
    }
    result = opencl.clBuildProgram(program, 0, nullptr, "", nullptr, nullptr);
    // A program that failed to build stays referenced by nobody: release it.
    if (result != 0)
        opencl.clReleaseProgram(program);
    else
        *out = reinterpret_cast<uintptr_t>(program);
done:
    platform_file_close(file);
    platform_free(text);
    return result;
}

void cl_unload_module(int, uintptr_t program)
{
    if (program)
        opencl.clReleaseProgram(handle(program));
}

int cl_create_context(int s, uintptr_t *context)
{
    opencl_slot *slot = &cl_slots[s];
    cl_int_t err = 0;
    cl_handle_t device = handle(slot->device);
    *context = reinterpret_cast<uintptr_t>(opencl.clCreateContext(nullptr, 1, &device, nullptr, nullptr, &err));
    if (!*context)
        return err != 0 ? err : cl_invalid_value;
    slot->queue = reinterpret_cast<uintptr_t>(opencl.clCreateCommandQueue(handle(*context), device, 0, &err));
    if (err == 0 && !slot->queue)
        err = cl_invalid_value;
    if (err != 0) {
        // The slot runs on with context 0 and declines everything: nothing
        // would release this context later.
        opencl.clReleaseContext(handle(*context));
        *context = 0;
        slot->queue = 0;
    }
    return err;
}

int cl_destroy_context(int s, uintptr_t context)
{
    opencl_slot *slot = &cl_slots[s];
    if (slot->queue)
        opencl.clReleaseCommandQueue(handle(slot->queue));
    slot->queue = 0;
    return context ? opencl.clReleaseContext(handle(context)) : 0;
}

} // namespace

const device_ops opencl_ops = {
    .get_kernel = cl_get_kernel,
    .kernel_group_limit = cl_kernel_group_limit,
    .write_buffer = cl_write_buffer,
    .read_buffer = cl_read_buffer,
    .set_arg = cl_set_arg,
    .launch = cl_launch,
    .alloc_buffer = cl_alloc_buffer,
    .free_buffer = cl_free_buffer,
    .init_slot = cl_init_slot,
    .load_module = cl_load_module,
    .unload_module = cl_unload_module,
    .create_context = cl_create_context,
    .destroy_context = cl_destroy_context,
    .module_pattern = "*.ocl",
};
