// Opening parallel regions and handing their members out to threads.
//
// A region's members are not functions: the opener captured its context in the
// home record, and a thread that picks a member makes a private copy of that
// record in its own frame, captures a direct context to come back to, and
// resumes the opener's context on a copy of the opener's frame below its own.
// The member ends by switching back to that direct context, so everything it
// used lies below this frame and disappears with it; nothing is allocated.
#include "runtime.h"

#include <string.h>

ZEQ_EXPORT int qiv_exported_parallel(int n, qiv_parallel_region *region)
{
    thread_record *rec = get_thread_record();
    intptr_t count = !rec ? 1 : n > 0 ? n : __atomic_load_n(&pool.pool_size, __ATOMIC_RELAXED);
    region->taken_from_top = 0;
    region->blocking = 0;
    region->index = 0;
    region->count = count;
    region->unstarted = count - 1;
    region->unclaimed = count - 1;
    region->unfinished = count;
    region->owner = reinterpret_cast<qiv_thread_record *>(rec);
    region->runner = reinterpret_cast<qiv_thread_record *>(rec);
    region->home = region;
    region->return_context = nullptr;
    region->enclosing = nullptr;
    region->next_job = nullptr;
    if (rec) {
        region->enclosing = rec->current_region;
        rec->current_region = region;
    }
    if (count == 1)
        return 0;
    job_lock_acquire();
    region->next_job = pool.job_list;
    __atomic_store_n(&pool.job_list, region, __ATOMIC_RELAXED);
    job_lock_release();
    return platform_semaphore_release(&pool.job_semaphore, (int32_t)(count - 1));
}

namespace {

// Members that ran at least this long yield the processor after they end.
const uint64_t member_yield_after_ns = 100000;

// The helping rule: a thread waiting inside `region` may take the head of the
// list unless the nearest enclosing region that still has members to hand out
// is that head.  Called with job_lock held and the list non-empty.
bool may_help(qiv_parallel_region *region)
{
    if (region->unclaimed != 0 || region->enclosing == nullptr)
        return true;
    qiv_parallel_region *x = region;
    for (;;) {
        x = x->enclosing;
        if (!x)
            return false;
        x = x->home;
        if (x->unclaimed == 0)
            continue;
        return pool.job_list != x;
    }
}

// Runs member `index` of the region whose home record `from` copies, on
// this thread.  Kept out of line so that the private records live in a
// frame of their own below the caller's.
__attribute__((noinline)) void run_member_copy(thread_record *rec, const qiv_parallel_region *from, intptr_t index)
{
    qiv_parallel_region member;
    qiv_exec_context back;
    memcpy(&member, from, sizeof(member));
    member.index = index;
    member.return_context = &back;
    member.blocking = 0;
    const uint64_t started_ns = platform_monotonic_ns();
    if (qiv_exported_set_exectx(&back, nullptr) == 0) {
        back.resume_value = -1;
        member.runner = reinterpret_cast<qiv_thread_record *>(rec);
        member.enclosing = rec->current_region;
        member.context.resume_value = (intptr_t)&member;
        qiv_exported_swap_exectx(&member.context);
    }
    // A thread that woke while the member ran (a device slot's, the remote
    // client's: they feed the other workers of a call) would otherwise wait
    // for the scheduler's next tick behind pool threads that never block.
    // Short members skip the system call.
    if (platform_monotonic_ns() - started_ns >= member_yield_after_ns)
        platform_thread_yield();
}

// Hands out the next member of the region that *link lists and runs it on
// this thread.  Called with job_lock held and the list non-empty; releases
// the lock.
int run_listed_member(thread_record *rec, qiv_parallel_region **link)
{
    // The record is copied under the lock: its counters change once it is
    // released.
    qiv_parallel_region copy;
    qiv_parallel_region *head = *link;
    memcpy(&copy, head, sizeof(copy));
    // Balanced coload calls take members from the top for their devices
    // and agents; the pickers go on from the bottom.
    intptr_t index = head->count - head->unclaimed - head->taken_from_top;
    // Waiting owners and device slots read both without the lock.
    __atomic_store_n(&head->unclaimed, head->unclaimed - 1, __ATOMIC_RELEASE);
    if (head->unclaimed == 0)
        __atomic_store_n(link, copy.next_job, __ATOMIC_RELAXED);
    job_lock_release();
    run_member_copy(rec, &copy, index);
    return __atomic_load_n(&pool.job_list, __ATOMIC_RELAXED) != nullptr;
}

int run_head_member(thread_record *rec)
{
    return run_listed_member(rec, const_cast<qiv_parallel_region **>(&pool.job_list));
}

} // namespace

int run_member_again(qiv_parallel_region *home, intptr_t index)
{
    thread_record *rec = get_thread_record();
    // A record that no opener captured (a test's own) has no code to resume.
    if (!rec || index <= 0 || index >= home->count || home->context.resume_address == 0)
        return 0;
    // Whoever claimed the member counted it finished; its end counts again.
    __atomic_add_fetch(&home->unfinished, 1, __ATOMIC_SEQ_CST);
    run_member_copy(rec, home, index);
    return 1;
}

int pick_member_of(qiv_parallel_region *home)
{
    thread_record *rec = get_thread_record();
    if (!rec || __atomic_load_n(&home->unclaimed, __ATOMIC_ACQUIRE) == 0)
        return 0;
    job_lock_acquire();
    qiv_parallel_region **link = const_cast<qiv_parallel_region **>(&pool.job_list);
    while (*link && *link != home)
        link = &(*link)->next_job;
    if (!*link || home->unclaimed == 0) {
        job_lock_release();
        return 0;
    }
    run_listed_member(rec, link);
    return 1;
}

ZEQ_EXPORT int qiv_exported_pick_job(void)
{
    thread_record *rec = get_thread_record();
    if (!rec)
        return 0;
    job_lock_acquire();
    if (!pool.job_list) {
        job_lock_release();
        return 0;
    }
    return run_head_member(rec);
}

ZEQ_EXPORT int qiv_exported_pick_nested_job(qiv_parallel_region *region)
{
    if (!__atomic_load_n(&pool.job_list, __ATOMIC_RELAXED))
        return 0; // nothing listed: spare the waiting owner the lock
    thread_record *rec = get_thread_record();
    job_lock_acquire();
    if (!pool.job_list || !may_help(region)) {
        job_lock_release();
        return 0;
    }
    return run_head_member(rec);
}
