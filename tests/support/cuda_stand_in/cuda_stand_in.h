/* cuda_stand_in.h: the test-facing side of the stand-in CUDA driver.
 *
 * libcuda.so.1 in tests/support/cuda_stand_in answers the driver entry points
 * that the runtime resolves, on the host: devices with configurable limits,
 * contexts that record their flags and are current per thread, modules read
 * from real PTX files (their ".entry" names), memory in host allocations with
 * real copies, and launches that run a host emulation the test registers per
 * kernel name.  Launches run when the context is next synchronised (a copy, a
 * context synchronise or destroy), as a real device runs them after the launch
 * call has returned: a request that finished without waiting leaves launches
 * pending, which a test can see.
 *
 * Tests link the library directly (its soname is libcuda.so.1, so the
 * runtime's dlopen of that name finds this same copy) and call the functions
 * below.  Programs started by a test configure it through the environment
 * variable ZEQ_CUDA_STAND_IN instead, read when the library is loaded:
 *     "devices=2,warp=32,units=4,grid=65535,threads=1024,fail=cuLaunchKernel:1:719"
 * (every key optional; fail may repeat, entry:nth:result).
 */
#ifndef ZEQ_CUDA_STAND_IN_H
#define ZEQ_CUDA_STAND_IN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { stand_in_max_devices = 8, stand_in_max_params = 64 };

/* Driver results the stand-in gives, with the real driver's values. */
enum {
    stand_in_success = 0,
    stand_in_invalid_value = 1,
    stand_in_out_of_memory = 2,
    stand_in_not_initialized = 3,
    stand_in_no_device = 100,
    stand_in_invalid_device = 101,
    stand_in_invalid_image = 200,
    stand_in_invalid_context = 201,
    stand_in_invalid_ptx = 218,
    stand_in_file_not_found = 301,
    stand_in_invalid_handle = 400,
    stand_in_not_found = 500,
    stand_in_launch_failed = 719,
};

/* One launch as the driver received it.  params holds the first param_count
 * entries of the kernel-parameter array (param_count from the .entry's
 * parameter list in the PTX, at most stand_in_max_params). */
typedef struct stand_in_launch {
    char kernel[64];
    int device;                 /* ordinal of the current context's device */
    unsigned grid[3], block[3];
    unsigned shared_bytes;
    uintptr_t stream;
    int param_count;
    void *params[stand_in_max_params];
    int32_t first_item;         /* the int behind the last parameter, at launch time */
} stand_in_launch;

/* A kernel's host emulation: called once per launch, when it runs, with the
 * launch's parameter array as the launch received it; it computes items
 * first_item + 0 .. grid[0] * block[0] - 1. */
typedef void (*stand_in_kernel_fn)(void **params, const stand_in_launch *launch);

/* Configuration, before the runtime discovers devices (or before it is made
 * to discover again).  Limits are per device; a device whose attribute
 * queries fail answers every cuDeviceGetAttribute with invalid_device. */
void stand_in_set_device_count(int count);
void stand_in_set_limits(int device, int warp_size, int multiprocessors, int max_grid_x, int max_threads_per_block);
void stand_in_fail_attributes(int device, int fail);
/* The maximum threads per block that cuFuncGetAttribute reports for kernels
 * of this name (default: the device's max_threads_per_block). */
void stand_in_set_kernel_threads(const char *kernel, int max_threads);
void stand_in_register_kernel(const char *kernel, stand_in_kernel_fn fn);
/* The nth call (1-based, counted from now) of entry point `entry` (e.g.
 * "cuLaunchKernel", "cuMemcpyDtoH_v2") returns result without doing anything.
 * nth 0 disarms the entry. */
void stand_in_fail_call(const char *entry, int nth, int result);
/* Forgets recorded launches, contexts, modules and failures (not the
 * configuration or registered kernels). */
void stand_in_reset_records(void);

/* What happened. */
int stand_in_launch_count(void);
int stand_in_get_launch(int index, stand_in_launch *out); /* 0, or -1 past the end */
int stand_in_pending_launches(void);  /* launched, not yet run */
int stand_in_context_count(void);     /* created, in order */
unsigned stand_in_context_flags(int index);
int stand_in_context_device(int index);
int stand_in_contexts_live(void);     /* created less destroyed */
int stand_in_synchronize_count(void); /* cuCtxSynchronize calls */
int stand_in_modules_loaded(void);    /* successful cuModuleLoad calls */
int stand_in_modules_live(void);      /* loaded less unloaded */
long stand_in_allocations_live(void); /* cuMemAlloc less cuMemFree */
int stand_in_calls(const char *entry);/* calls of an entry point since the last reset */

#ifdef __cplusplus
}
#endif

#endif
