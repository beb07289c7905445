// The entry points of the two driver libraries, as the runtime calls them.
//
// The libraries are loaded by name at library load and never linked: a machine
// without them still runs every program.  The types are spelled out here
// rather than taken from vendor headers so that both flavours build without
// them; only the calls the runtime makes are declared, with the widths the
// drivers use on Linux (handles are pointers, sizes are size_t, OpenCL
// bitfields are 64-bit).
#ifndef ZEQ_DRIVERS_H
#define ZEQ_DRIVERS_H

#include <stddef.h>
#include <stdint.h>

typedef int32_t cl_int_t;
typedef uint32_t cl_uint_t;
typedef uint64_t cl_bits_t;
typedef void *cl_handle_t; // platform, device, context, queue, program, kernel, memory object

// The device types that get slots: GPUs and accelerators.  CPU devices are
// left out, since the pool already runs the host's share on every processor.
enum : cl_bits_t { cl_device_type_gpu_or_accelerator = 0x4 | 0x8 };

struct opencl_api {
    cl_handle_t (*clCreateKernel)(cl_handle_t program, const char *name, cl_int_t *err);
    cl_int_t (*clGetKernelWorkGroupInfo)(cl_handle_t kernel, cl_handle_t device, cl_uint_t param, size_t size, void *value, size_t *size_ret);
    cl_int_t (*clEnqueueReadBuffer)(cl_handle_t queue, cl_handle_t buffer, cl_uint_t blocking, size_t offset, size_t size, void *ptr,
                                    cl_uint_t events, const cl_handle_t *wait_list, cl_handle_t *event);
    cl_int_t (*clEnqueueWriteBuffer)(cl_handle_t queue, cl_handle_t buffer, cl_uint_t blocking, size_t offset, size_t size, const void *ptr,
                                     cl_uint_t events, const cl_handle_t *wait_list, cl_handle_t *event);
    cl_int_t (*clSetKernelArg)(cl_handle_t kernel, cl_uint_t index, size_t size, const void *value);
    cl_int_t (*clEnqueueNDRangeKernel)(cl_handle_t queue, cl_handle_t kernel, cl_uint_t dims, const size_t *offset, const size_t *global,
                                       const size_t *local, cl_uint_t events, const cl_handle_t *wait_list, cl_handle_t *event);
    cl_handle_t (*clCreateBuffer)(cl_handle_t context, cl_bits_t flags, size_t size, void *host, cl_int_t *err);
    cl_int_t (*clReleaseMemObject)(cl_handle_t buffer);
    cl_int_t (*clGetDeviceIDs)(cl_handle_t platform, cl_bits_t type, cl_uint_t entries, cl_handle_t *devices, cl_uint_t *count);
    cl_int_t (*clGetDeviceInfo)(cl_handle_t device, cl_uint_t param, size_t size, void *value, size_t *size_ret);
    cl_handle_t (*clCreateProgramWithSource)(cl_handle_t context, cl_uint_t count, const char **strings, const size_t *lengths, cl_int_t *err);
    cl_int_t (*clBuildProgram)(cl_handle_t program, cl_uint_t devices, const cl_handle_t *device_list, const char *options,
                               void (*notify)(cl_handle_t, void *), void *user_data);
    cl_int_t (*clReleaseProgram)(cl_handle_t program);
    cl_int_t (*clReleaseCommandQueue)(cl_handle_t queue);
    cl_int_t (*clReleaseContext)(cl_handle_t context);
    cl_handle_t (*clCreateContext)(const intptr_t *properties, cl_uint_t devices, const cl_handle_t *device_list,
                                   void (*notify)(const char *, const void *, size_t, void *), void *user_data, cl_int_t *err);
    cl_handle_t (*clCreateCommandQueue)(cl_handle_t context, cl_handle_t device, cl_bits_t properties, cl_int_t *err);
    cl_int_t (*clGetPlatformIDs)(cl_uint_t entries, cl_handle_t *platforms, cl_uint_t *count);
    cl_int_t (*clFinish)(cl_handle_t queue);
};

// CUDA driver calls; device pointers are 64-bit on x86-64 and 32-bit on i386,
// which is what the _v2 entry points take on each.
typedef int cu_result_t;
typedef uintptr_t cu_device_ptr_t;
typedef void *cu_handle_t; // context, module, function

struct cuda_api {
    cu_result_t (*cuInit)(unsigned flags);
    cu_result_t (*cuDeviceGetCount)(int *count);
    cu_result_t (*cuDeviceGetProperties)(void *properties, int device);
    cu_result_t (*cuDeviceGetAttribute)(int *value, int attribute, int device);
    cu_result_t (*cuFuncGetAttribute)(int *value, int attribute, cu_handle_t function);
    cu_result_t (*cuDeviceGet)(int *device, int ordinal);
    cu_result_t (*cuCtxCreate_v2)(cu_handle_t *context, unsigned flags, int device);
    cu_result_t (*cuModuleLoad)(cu_handle_t *module, const char *path);
    cu_result_t (*cuModuleUnload)(cu_handle_t module);
    cu_result_t (*cuModuleGetFunction)(cu_handle_t *function, cu_handle_t module, const char *name);
    cu_result_t (*cuMemAlloc_v2)(cu_device_ptr_t *pointer, size_t bytes);
    cu_result_t (*cuMemcpyHtoD_v2)(cu_device_ptr_t dst, const void *src, size_t bytes);
    cu_result_t (*cuLaunchKernel)(cu_handle_t function, unsigned gx, unsigned gy, unsigned gz, unsigned bx, unsigned by, unsigned bz,
                                  unsigned shared, void *stream, void **params, void **extra);
    cu_result_t (*cuMemcpyDtoH_v2)(void *dst, cu_device_ptr_t src, size_t bytes);
    cu_result_t (*cuMemFree_v2)(cu_device_ptr_t pointer);
    cu_result_t (*cuCtxDetach)(cu_handle_t context);
    cu_result_t (*cuCtxDestroy_v2)(cu_handle_t context);
    cu_result_t (*cuCtxSetCacheConfig)(int config);
    cu_result_t (*cuCtxSynchronize)(void);
};

// Entry points that newer drivers add: null where the library lacks them.
struct cuda_optional_api {
    cu_result_t (*cuFuncGetParamInfo)(cu_handle_t function, size_t index, size_t *offset, size_t *size);
};

// Filled by discovery when every entry point of a library resolved; never
// changed afterwards.  A kind whose library or names were missing stays zero.
extern opencl_api opencl;
extern cuda_api cuda;
extern cuda_optional_api cuda_optional;

// The arguments a kernel of the chosen kind takes, or -1 where its driver
// cannot tell (OpenCL needs no asking: a missing argument fails the launch,
// CL_INVALID_KERNEL_ARGS, which gives the piece back).
int cuda_kernel_arg_count(int s, intptr_t kernel);

#endif
