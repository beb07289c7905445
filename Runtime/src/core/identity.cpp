// Who am I, how many are we, and which part of an iteration range is mine.
//
// Every answer comes from the calling thread's current region.  Asking for the
// identity also declares the caller as possibly blocking, and the pool lets
// one more worker into the active phase to make up for it.
#include "runtime.h"

ZEQ_EXPORT void *qiv_exported_pid(void)
{
    thread_record *rec = get_thread_record();
    if (!rec)
        return nullptr;
    qiv_parallel_region *region = rec->current_region;
    if (!region || region->blocking == 1)
        return rec;
    region->blocking = 1;
    __atomic_sub_fetch(&pool.active_count, 1, __ATOMIC_SEQ_CST);
    platform_semaphore_release(&pool.park_semaphore, 1);
    intptr_t parked = __atomic_sub_fetch(&pool.parked_count, 1, __ATOMIC_SEQ_CST);
    if (parked >= 1)
        return rec;
    // Nobody was parked to take the release: a new worker takes the place.
    return add_worker() == 0 ? rec : nullptr;
}

namespace {

qiv_parallel_region *current_region(void)
{
    thread_record *rec = get_thread_record();
    return rec ? rec->current_region : nullptr;
}

} // namespace

ZEQ_EXPORT int qiv_exported_pix(void)
{
    qiv_parallel_region *region = current_region();
    return region ? (int)region->index : 0;
}

ZEQ_EXPORT int qiv_exported_pno(void)
{
    qiv_parallel_region *region = current_region();
    return region ? (int)region->count : 0;
}

void own_range(qiv_parallel_region *region, intptr_t n, intptr_t asked, intptr_t *start, intptr_t *end)
{
    work_range(n, region->index, region->count, start, end);
    thread_record *rec = get_thread_record();
    if (!rec || rec->rest_region != region || region->index != 0 || rec->rest_n != n)
        return;
    *start = rec->rest_start;
    *end = rec->rest_end;
    rec->rest_asked |= asked;
    if (rec->rest_asked == 3)
        rec->rest_region = nullptr;
}

// Slices: the owner takes the first q + n % c iterations, every other member q,
// so the slices tile 0 .. n for n >= 0 and are empty for n < 0.  The owner's
// slice is narrower after a call whose devices computed part of it.
ZEQ_EXPORT int qiv_exported_range_start(int n)
{
    qiv_parallel_region *region = current_region();
    if (!region)
        return 0;
    intptr_t start, end;
    own_range(region, n, 1, &start, &end);
    return (int)start;
}

ZEQ_EXPORT int qiv_exported_range_end(int n)
{
    qiv_parallel_region *region = current_region();
    if (!region)
        return 0;
    intptr_t start, end;
    own_range(region, n, 2, &start, &end);
    return (int)end;
}
