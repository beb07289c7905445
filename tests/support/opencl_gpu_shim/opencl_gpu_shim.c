/* A test-only stand-in for libOpenCL.so.1: it forwards the entry points the
 * runtime resolves to the system's OpenCL library, opened by its full path,
 * and presents every device of that library as a GPU.  The CPU implementation
 * used for tests reports its device as a CPU, and the runtime, like real
 * deployments, counts only GPUs and accelerators.  Tests put the folder of this
 * library first on the library search path.
 *
 * Every forwarded entry point is resolved once, when this library is loaded,
 * from one table.  Resolving on first use instead would call dlsym from inside
 * whatever OpenCL call came first, and a service thread's release calls run
 * while an unloading thread holds the loader's lock and waits for it: the
 * first dlsym there never returns. */
#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#ifndef ZEQ_SYSTEM_OPENCL
#error "ZEQ_SYSTEM_OPENCL must name the system's OpenCL library by full path"
#endif

typedef int32_t cl_int;
typedef uint32_t cl_uint;
typedef uint64_t cl_bitfield;
typedef void *cl_object;

enum { device_type_all = 0xFFFFFFFF, device_type_gpu = 4, device_type_query = 0x1000 };

/* The system library's entry points, filled by resolve_all at load. */
static struct {
    cl_object (*clCreateKernel)(cl_object, const char *, cl_int *);
    cl_int (*clGetKernelWorkGroupInfo)(cl_object, cl_object, cl_uint, size_t, void *, size_t *);
    cl_int (*clEnqueueReadBuffer)(cl_object, cl_object, cl_uint, size_t, size_t, void *, cl_uint, const cl_object *, cl_object *);
    cl_int (*clEnqueueWriteBuffer)(cl_object, cl_object, cl_uint, size_t, size_t, const void *, cl_uint, const cl_object *,
                                   cl_object *);
    cl_int (*clSetKernelArg)(cl_object, cl_uint, size_t, const void *);
    cl_int (*clEnqueueNDRangeKernel)(cl_object, cl_object, cl_uint, const size_t *, const size_t *, const size_t *, cl_uint,
                                     const cl_object *, cl_object *);
    cl_object (*clCreateBuffer)(cl_object, cl_bitfield, size_t, void *, cl_int *);
    cl_int (*clReleaseMemObject)(cl_object);
    cl_int (*clGetDeviceIDs)(cl_object, cl_bitfield, cl_uint, cl_object *, cl_uint *);
    cl_int (*clGetDeviceInfo)(cl_object, cl_uint, size_t, void *, size_t *);
    cl_object (*clCreateProgramWithSource)(cl_object, cl_uint, const char **, const size_t *, cl_int *);
    cl_int (*clBuildProgram)(cl_object, cl_uint, const cl_object *, const char *, void (*)(cl_object, void *), void *);
    cl_int (*clReleaseProgram)(cl_object);
    cl_int (*clReleaseCommandQueue)(cl_object);
    cl_int (*clReleaseContext)(cl_object);
    cl_object (*clCreateContext)(const intptr_t *, cl_uint, const cl_object *, void (*)(const char *, const void *, size_t, void *),
                                 void *, cl_int *);
    cl_object (*clCreateCommandQueue)(cl_object, cl_object, cl_bitfield, cl_int *);
    cl_int (*clGetPlatformIDs)(cl_uint, cl_object *, cl_uint *);
    cl_int (*clFinish)(cl_object);
} real;

#define ENTRY(n) {#n, offsetof(__typeof__(real), n)}
static const struct {
    const char *name;
    size_t offset;
} entries[] = {
    ENTRY(clCreateKernel),       ENTRY(clGetKernelWorkGroupInfo), ENTRY(clEnqueueReadBuffer),  ENTRY(clEnqueueWriteBuffer),
    ENTRY(clSetKernelArg),       ENTRY(clEnqueueNDRangeKernel),   ENTRY(clCreateBuffer),       ENTRY(clReleaseMemObject),
    ENTRY(clGetDeviceIDs),       ENTRY(clGetDeviceInfo),          ENTRY(clCreateProgramWithSource), ENTRY(clBuildProgram),
    ENTRY(clReleaseProgram),     ENTRY(clReleaseCommandQueue),    ENTRY(clReleaseContext),     ENTRY(clCreateContext),
    ENTRY(clCreateCommandQueue), ENTRY(clGetPlatformIDs),         ENTRY(clFinish),
};
#undef ENTRY
_Static_assert(sizeof entries / sizeof entries[0] == sizeof real / sizeof(void *), "every forwarded entry point is in the table");

__attribute__((constructor)) static void resolve_all(void)
{
    void *library = dlopen(ZEQ_SYSTEM_OPENCL, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "opencl_gpu_shim: cannot open %s\n", ZEQ_SYSTEM_OPENCL);
        abort();
    }
    for (size_t i = 0; i < sizeof entries / sizeof entries[0]; ++i) {
        void *address = dlsym(library, entries[i].name);
        if (!address) {
            fprintf(stderr, "opencl_gpu_shim: %s missing in %s\n", entries[i].name, ZEQ_SYSTEM_OPENCL);
            abort();
        }
        *(void **)((char *)&real + entries[i].offset) = address;
    }
}

#define FORWARD(ret, name, params, args) \
    ret name params                      \
    {                                    \
        return real.name args;           \
    }

FORWARD(cl_object, clCreateKernel, (cl_object p, const char *n, cl_int *e), (p, n, e))
FORWARD(cl_int, clGetKernelWorkGroupInfo, (cl_object k, cl_object d, cl_uint q, size_t s, void *v, size_t *r), (k, d, q, s, v, r))
FORWARD(cl_int, clEnqueueReadBuffer,
        (cl_object q, cl_object b, cl_uint bl, size_t o, size_t s, void *p, cl_uint n, const cl_object *w, cl_object *e),
        (q, b, bl, o, s, p, n, w, e))
FORWARD(cl_int, clEnqueueWriteBuffer,
        (cl_object q, cl_object b, cl_uint bl, size_t o, size_t s, const void *p, cl_uint n, const cl_object *w, cl_object *e),
        (q, b, bl, o, s, p, n, w, e))
FORWARD(cl_int, clSetKernelArg, (cl_object k, cl_uint i, size_t s, const void *v), (k, i, s, v))
FORWARD(cl_int, clEnqueueNDRangeKernel,
        (cl_object q, cl_object k, cl_uint d, const size_t *o, const size_t *g, const size_t *l, cl_uint n, const cl_object *w,
         cl_object *e),
        (q, k, d, o, g, l, n, w, e))
FORWARD(cl_object, clCreateBuffer, (cl_object c, cl_bitfield f, size_t s, void *h, cl_int *e), (c, f, s, h, e))
FORWARD(cl_int, clReleaseMemObject, (cl_object m), (m))
FORWARD(cl_object, clCreateProgramWithSource, (cl_object c, cl_uint n, const char **s, const size_t *l, cl_int *e), (c, n, s, l, e))
FORWARD(cl_int, clBuildProgram, (cl_object p, cl_uint n, const cl_object *d, const char *o, void (*f)(cl_object, void *), void *u),
        (p, n, d, o, f, u))
FORWARD(cl_int, clReleaseProgram, (cl_object p), (p))
FORWARD(cl_int, clReleaseCommandQueue, (cl_object q), (q))
FORWARD(cl_int, clReleaseContext, (cl_object c), (c))
FORWARD(cl_object, clCreateContext,
        (const intptr_t *p, cl_uint n, const cl_object *d, void (*f)(const char *, const void *, size_t, void *), void *u, cl_int *e),
        (p, n, d, f, u, e))
FORWARD(cl_object, clCreateCommandQueue, (cl_object c, cl_object d, cl_bitfield p, cl_int *e), (c, d, p, e))
FORWARD(cl_int, clGetPlatformIDs, (cl_uint n, cl_object *p, cl_uint *c), (n, p, c))
FORWARD(cl_int, clFinish, (cl_object q), (q))

/* Asking for GPUs or accelerators finds every device. */
cl_int clGetDeviceIDs(cl_object platform, cl_bitfield type, cl_uint entries, cl_object *devices, cl_uint *count)
{
    if (type & 0xC)
        type = device_type_all;
    return real.clGetDeviceIDs(platform, type, entries, devices, count);
}

/* Every device answers that it is a GPU. */
cl_int clGetDeviceInfo(cl_object device, cl_uint param, size_t size, void *value, size_t *size_ret)
{
    cl_int result = real.clGetDeviceInfo(device, param, size, value, size_ret);
    if (result == 0 && param == device_type_query && value && size >= sizeof(cl_bitfield))
        *(cl_bitfield *)value = device_type_gpu;
    return result;
}
