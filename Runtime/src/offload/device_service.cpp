// The device service: a slot that runs kernels through its device kind's
// device_ops.  Its context and module files are made when its service thread
// starts and released when it stops; in between each request runs piece by
// piece (coload_request.cpp).  Every call here is on the slot's own service
// thread, so the driver calls need no locking.
#include "offload.h"

namespace {

// A slot whose kernel for the site is known takes no part in a balanced
// call that the rule gives it nothing of; any other request is queued.
int device_accepts(int s, coload_request *request)
{
    const qiv_coload_site *site = request->site;
    bool known = site->capacity > s && is_kernel_handle(__atomic_load_n(&site->kernel[s], __ATOMIC_ACQUIRE));
    return known && balance_gives_nothing(s, request) ? 0 : 1;
}

void device_start(int s)
{
    device_slot *slot = &offload.device_table[s];
    if (slot->ops->create_context(s, &slot->context) != 0)
        slot->context = 0;
    else
        load_device_modules(s, nullptr);
}

void device_stop(int s)
{
    device_slot *slot = &offload.device_table[s];
    if (!slot->context)
        return;
    for (intptr_t i = 0; i < slot->module_count; ++i) {
        slot->ops->unload_module(s, slot->modules[i].handle);
        platform_free(slot->modules[i].name);
        slot->modules[i].name = nullptr;
        slot->modules[i].handle = 0;
    }
    slot->module_count = 0;
    slot->ops->destroy_context(s, slot->context);
    slot->context = 0;
}

} // namespace

const slot_service device_service = {
    .kind = "device",
    .accepts = device_accepts,
    .start = device_start,
    .serve = process_request,
    .stop = device_stop,
};
