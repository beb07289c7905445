// What the device table tells from outside: the slots, their kinds and the
// work items each launched, for programs' summaries, and the table itself for
// white-box tests.  Reads only; the table's life is device_table.cpp's.
#include "offload.h"

ZEQ_EXPORT offload_state *zeq_internal_offload(void)
{
    return &offload;
}

ZEQ_EXPORT const slot_service *zeq_internal_slot_service(int remote)
{
    return remote ? &remote_service : &device_service;
}

ZEQ_EXPORT int qiv_exported_slot_count(void)
{
    return offload.device_table ? (int)offload.slot_count : 0;
}

ZEQ_EXPORT long long qiv_exported_slot_items(int slot)
{
    if (!offload.device_table || slot < 0 || slot >= offload.slot_count)
        return -1;
    return (long long)__atomic_load_n(&offload.slot_items[slot], __ATOMIC_RELAXED);
}

ZEQ_EXPORT const char *qiv_exported_slot_kind(int slot)
{
    if (!offload.device_table || slot < 0 || slot >= offload.slot_count)
        return nullptr;
    const device_slot *record = &offload.device_table[slot];
    return record->ops == &opencl_ops ? "OpenCL" : record->ops == &cuda_ops ? "CUDA" : record->service->kind;
}
