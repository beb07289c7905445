/* stand_in_driver.h: the driver entry points the stand-in answers, with the
 * types the runtime resolves them by (drivers.h): results are ints, handles
 * opaque pointers, device addresses uintptr_t (32-bit on i386, as the _v2
 * entry points take there).  The library defines them and the stand-in's own
 * test calls them; nothing else should include this. */
#ifndef ZEQ_STAND_IN_DRIVER_H
#define ZEQ_STAND_IN_DRIVER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int cuInit(unsigned flags);
int cuDeviceGetCount(int *count);
int cuDeviceGetProperties(void *properties, int device);
int cuDeviceGetAttribute(int *value, int attribute, int device);
int cuFuncGetAttribute(int *value, int attribute, void *function);
int cuFuncGetParamInfo(void *function, size_t index, size_t *offset, size_t *size);
int cuDeviceGet(int *device, int ordinal);
int cuCtxCreate_v2(void **context, unsigned flags, int device);
int cuModuleLoad(void **module, const char *path);
int cuModuleUnload(void *module);
int cuModuleGetFunction(void **function, void *module, const char *name);
int cuMemAlloc_v2(uintptr_t *pointer, size_t bytes);
int cuMemcpyHtoD_v2(uintptr_t dst, const void *src, size_t bytes);
int cuLaunchKernel(void *function, unsigned gx, unsigned gy, unsigned gz, unsigned bx, unsigned by, unsigned bz,
                   unsigned shared, void *stream, void **params, void **extra);
int cuMemcpyDtoH_v2(void *dst, uintptr_t src, size_t bytes);
int cuMemFree_v2(uintptr_t pointer);
int cuCtxDetach(void *context);
int cuCtxDestroy_v2(void *context);
int cuCtxSetCacheConfig(int config);
int cuCtxSynchronize(void);

/* Attribute numbers the stand-in answers. */
enum {
    stand_in_attribute_max_threads = 1,
    stand_in_attribute_max_grid_x = 5,
    stand_in_attribute_warp_size = 10,
    stand_in_attribute_multiprocessors = 16,
    stand_in_function_max_threads = 0,
};

#ifdef __cplusplus
}
#endif

#endif
