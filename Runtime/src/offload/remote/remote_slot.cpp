// Slot 0, the remote slot.  Its operations do nothing: the slot never runs a
// kernel itself, its service thread hands each request to the remote offload
// client (serve_remote_request).
#include "offload.h"

namespace {

int remote_get_kernel(int, intptr_t *, uintptr_t, const char *) { return 0; }
int remote_kernel_group_limit(int, intptr_t) { return 1; }
int remote_write_buffer(int, uintptr_t, const void *, uintptr_t, uintptr_t) { return 0; }
int remote_read_buffer(int, void *, uintptr_t, uintptr_t, uintptr_t) { return 0; }
int remote_set_arg(int, intptr_t, int, uintptr_t, const void *) { return 0; }
int remote_launch(int, intptr_t, intptr_t, intptr_t, intptr_t, void **) { return 0; }
int remote_alloc_buffer(int, uintptr_t *, uintptr_t) { return 0; }
void remote_free_buffer(int, uintptr_t) {}
int remote_init_slot(int) { return 0; }
int remote_load_module(int, uintptr_t *, const char *) { return 0; }
void remote_unload_module(int, uintptr_t) {}
int remote_create_context(int, uintptr_t *) { return 0; }
int remote_destroy_context(int, uintptr_t) { return 0; }

} // namespace

const device_ops remote_ops = {
    remote_get_kernel,     remote_kernel_group_limit, remote_write_buffer, remote_read_buffer,   remote_set_arg,
    remote_launch,         remote_alloc_buffer,       remote_free_buffer,  remote_init_slot,     remote_load_module,
    remote_unload_module,  remote_create_context,     remote_destroy_context, nullptr,
};
