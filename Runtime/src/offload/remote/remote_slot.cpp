// Slot 0, the remote slot.  Its operations do nothing: the slot never runs a
// kernel itself, its service thread hands each request to the remote offload
// client.  Until that client exists, handing over means finishing the request
// at once without taking any work, so the caller and the pool compute it.
#include "offload.h"

namespace {

int host_get_kernel(int, intptr_t *, uintptr_t, const char *) { return 0; }
int host_kernel_group_limit(int, intptr_t) { return 1; }
int host_write_buffer(int, uintptr_t, const void *, uintptr_t, uintptr_t) { return 0; }
int host_read_buffer(int, void *, uintptr_t, uintptr_t, uintptr_t) { return 0; }
int host_set_arg(int, intptr_t, int, uintptr_t, const void *) { return 0; }
int host_launch(int, intptr_t, intptr_t, intptr_t, intptr_t, void **) { return 0; }
int host_alloc_buffer(int, uintptr_t *, uintptr_t) { return 0; }
void host_free_buffer(int, uintptr_t) {}
int host_init_slot(int) { return 0; }
int host_load_module(int, uintptr_t *, const char *) { return 0; }
void host_unload_module(int, uintptr_t) {}
int host_create_context(int, uintptr_t *) { return 0; }
int host_destroy_context(int, uintptr_t) { return 0; }

} // namespace

const device_ops host_ops = {
    host_get_kernel,     host_kernel_group_limit, host_write_buffer, host_read_buffer,   host_set_arg,
    host_launch,         host_alloc_buffer,       host_free_buffer,  host_init_slot,     host_load_module,
    host_unload_module,  host_create_context,     host_destroy_context, nullptr,
};

void remote_take_request(coload_request *request)
{
    finish_request(request);
}

int remote_client_accepts(void)
{
    return 0;
}

int remote_monitor_running(void)
{
    return 0;
}
