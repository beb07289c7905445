// CUDA slots.  Discovery already resolves the driver, counts its devices and
// reads each device's launch limits here (init_slot); the remaining operations
// are not built yet, so context creation fails and every CUDA slot declines
// its requests: the work stays with the pool, which is always correct.
#include "drivers.h"
#include "offload.h"

namespace {

enum { attribute_max_grid_x = 5, attribute_warp_size = 10, attribute_multiprocessors = 16 };
enum { not_built = -1 };

int cuda_get_kernel(int, intptr_t *, uintptr_t, const char *) { return not_built; }
int cuda_kernel_group_limit(int, intptr_t) { return 1; }
int cuda_write_buffer(int, uintptr_t, const void *, uintptr_t, uintptr_t) { return not_built; }
int cuda_read_buffer(int, void *, uintptr_t, uintptr_t, uintptr_t) { return not_built; }
int cuda_set_arg(int, intptr_t, int, uintptr_t, const void *) { return 0; }
int cuda_launch(int, intptr_t, intptr_t, intptr_t, intptr_t, void **) { return not_built; }
int cuda_alloc_buffer(int, uintptr_t *, uintptr_t) { return not_built; }
void cuda_free_buffer(int, uintptr_t) {}
int cuda_load_module(int, uintptr_t *out, const char *) { *out = 0; return not_built; }
void cuda_unload_module(int, uintptr_t) {}
int cuda_create_context(int, uintptr_t *) { return not_built; }
int cuda_destroy_context(int, uintptr_t) { return 0; }

int cuda_init_slot(int s)
{
    device_slot *slot = &offload.device_table[s];
    int device = 0, value = 0;
    cuda.cuDeviceGet(&device, s - 1);
    if (cuda.cuDeviceGetAttribute(&value, attribute_warp_size, device) == 0)
        slot->group_multiple = value;
    if (cuda.cuDeviceGetAttribute(&value, attribute_multiprocessors, device) == 0)
        slot->compute_units = value;
    if (cuda.cuDeviceGetAttribute(&value, attribute_max_grid_x, device) == 0)
        slot->max_groups = value;
    return 0;
}

} // namespace

const device_ops cuda_ops = {
    cuda_get_kernel,    cuda_kernel_group_limit, cuda_write_buffer, cuda_read_buffer, cuda_set_arg,
    cuda_launch,        cuda_alloc_buffer,       cuda_free_buffer,  cuda_init_slot,   cuda_load_module,
    cuda_unload_module, cuda_create_context,     cuda_destroy_context, "*.ptx",
};
