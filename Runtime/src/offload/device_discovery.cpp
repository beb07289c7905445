// Device discovery at library load: which driver libraries exist, how many
// devices of each kind they offer, and the device table built from that.
//
// Each library's entry points are resolved from one table of names in one
// loop, stopping at the first missing name: a library that lacks any of them
// is treated as absent.  One kind is chosen for the whole process, CUDA before
// OpenCL, and never mixed, so every slot of a table shares one DeviceOps.
#include "drivers.h"
#include "offload.h"

opencl_api opencl;
cuda_api cuda;
cuda_optional_api cuda_optional;

namespace {

struct entry_point {
    const char *name;
    size_t offset; // of the function pointer inside the api record
};

#define OPENCL_ENTRY(n) {#n, offsetof(opencl_api, n)}
const entry_point opencl_entries[] = {
    OPENCL_ENTRY(clCreateKernel),        OPENCL_ENTRY(clGetKernelWorkGroupInfo), OPENCL_ENTRY(clEnqueueReadBuffer),
    OPENCL_ENTRY(clEnqueueWriteBuffer),  OPENCL_ENTRY(clSetKernelArg),           OPENCL_ENTRY(clEnqueueNDRangeKernel),
    OPENCL_ENTRY(clCreateBuffer),        OPENCL_ENTRY(clReleaseMemObject),       OPENCL_ENTRY(clGetDeviceIDs),
    OPENCL_ENTRY(clGetDeviceInfo),       OPENCL_ENTRY(clCreateProgramWithSource), OPENCL_ENTRY(clBuildProgram),
    OPENCL_ENTRY(clReleaseProgram),      OPENCL_ENTRY(clReleaseCommandQueue),    OPENCL_ENTRY(clReleaseContext),
    OPENCL_ENTRY(clCreateContext),       OPENCL_ENTRY(clCreateCommandQueue),     OPENCL_ENTRY(clGetPlatformIDs),
    OPENCL_ENTRY(clFinish),
};
#undef OPENCL_ENTRY

#define CUDA_ENTRY(n) {#n, offsetof(cuda_api, n)}
const entry_point cuda_entries[] = {
    CUDA_ENTRY(cuInit),          CUDA_ENTRY(cuDeviceGetCount),    CUDA_ENTRY(cuDeviceGetProperties), CUDA_ENTRY(cuDeviceGetAttribute),
    CUDA_ENTRY(cuFuncGetAttribute), CUDA_ENTRY(cuDeviceGet),      CUDA_ENTRY(cuCtxCreate_v2),        CUDA_ENTRY(cuModuleLoad),
    CUDA_ENTRY(cuModuleUnload),  CUDA_ENTRY(cuModuleGetFunction), CUDA_ENTRY(cuMemAlloc_v2),         CUDA_ENTRY(cuMemcpyHtoD_v2),
    CUDA_ENTRY(cuLaunchKernel),  CUDA_ENTRY(cuMemcpyDtoH_v2),     CUDA_ENTRY(cuMemFree_v2),          CUDA_ENTRY(cuCtxDetach),
    CUDA_ENTRY(cuCtxDestroy_v2), CUDA_ENTRY(cuCtxSetCacheConfig), CUDA_ENTRY(cuCtxSynchronize),
};
#undef CUDA_ENTRY

static_assert(sizeof opencl_entries / sizeof opencl_entries[0] == sizeof(opencl_api) / sizeof(void *), "every OpenCL entry resolved");
static_assert(sizeof cuda_entries / sizeof cuda_entries[0] == sizeof(cuda_api) / sizeof(void *), "every CUDA entry resolved");

// Loads the library and fills api; true only when every name was found.  The
// library stays loaded either way: nothing is ever unloaded.
bool resolve(const char *library_name, const entry_point *entries, size_t count, void *api, size_t api_size,
             void **opened)
{
    void *library = platform_library_open(library_name);
    *opened = library;
    if (!library)
        return false;
    char *record = static_cast<char *>(api);
    for (size_t i = 0; i < count; ++i) {
        void *address = platform_library_symbol(library, entries[i].name);
        if (!address) {
            for (size_t b = 0; b < api_size; ++b)
                record[b] = 0;
            return false;
        }
        *reinterpret_cast<void **>(record + entries[i].offset) = address;
    }
    return true;
}

intptr_t count_opencl_devices(void)
{
    void *library = nullptr;
    if (!resolve("libOpenCL.so.1", opencl_entries, sizeof opencl_entries / sizeof opencl_entries[0], &opencl, sizeof opencl,
                 &library))
        return 0;
    cl_handle_t platform = nullptr;
    cl_uint_t devices = 0;
    opencl.clGetPlatformIDs(1, &platform, nullptr);
    if (!platform)
        return 0;
    opencl.clGetDeviceIDs(platform, cl_device_type_gpu_or_accelerator, 0, nullptr, &devices);
    return (intptr_t)devices;
}

intptr_t count_cuda_devices(void)
{
    void *library = nullptr;
    if (!resolve("libcuda.so.1", cuda_entries, sizeof cuda_entries / sizeof cuda_entries[0], &cuda, sizeof cuda, &library))
        return 0;
    cuda_optional.cuFuncGetParamInfo = reinterpret_cast<decltype(cuda_optional.cuFuncGetParamInfo)>(
        platform_library_symbol(library, "cuFuncGetParamInfo"));
    int devices = 0;
    cuda.cuInit(0);
    cuda.cuDeviceGetCount(&devices);
    return devices > 0 ? devices : 0;
}

} // namespace

int discover_devices(void)
{
    intptr_t opencl_count = count_opencl_devices();
    intptr_t cuda_count = count_cuda_devices();
    const device_ops *kind = nullptr;
    intptr_t n = 0;
    if (cuda_count > 0) {
        kind = &cuda_ops;
        n = cuda_count;
    } else if (opencl_count > 0) {
        kind = &opencl_ops;
        n = opencl_count;
    }
    // Requests and sites carry one entry per slot, 32 in all: devices past the
    // first 31 are left unused rather than refusing offload altogether.
    if (n > max_slots - 1)
        n = max_slots - 1;
    device_slot *table = static_cast<device_slot *>(platform_alloc_zeroed((size_t)(n + 1) * sizeof(device_slot)));
    if (!table) {
        offload.slot_count = 0;
        return 0;
    }
    offload.slot_count = n + 1;
    offload.live_slots = n + 1;
    offload.device_table = table;
    table[remote_slot].service = &remote_service;
    table[remote_slot].owner = owner_none;
    for (intptr_t s = remote_slot + 1; s <= n; ++s) {
        table[s].service = &device_service;
        table[s].ops = kind;
        table[s].ops->init_slot((int)s);
        table[s].owner = owner_none;
    }
    return 0;
}
