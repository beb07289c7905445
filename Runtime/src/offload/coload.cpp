// qiv_exported_coload: offers a coload call's work items to every device slot
// and sleeps until each slot with a service thread has finished with it; in
// a balanced call the caller runs pool members meanwhile (balance.h).
//
// The descriptor words arrive as variadic machine words; they are read once,
// into rows and options in this frame (no allocation on the region path), and
// every slot takes the call from that list (descriptors.h).
#include "offload.h"
#include "diagnostics.h"

namespace {

void start_devices_once(void)
{
    if (__atomic_load_n(&offload.devices_started, __ATOMIC_ACQUIRE))
        return;
    // The lock keyed by the null address guards the one start of the
    // service threads: a second caller waits until they are all set up.
    qiv_exported_sync(nullptr);
    if (!__atomic_load_n(&offload.devices_started, __ATOMIC_ACQUIRE)) {
        start_device_threads();
        __atomic_store_n(&offload.devices_started, 1, __ATOMIC_RELEASE);
    }
    qiv_exported_unsync(nullptr);
}

} // namespace

void finish_request(coload_request *request)
{
    // Once done is set the caller may return and its frame, which holds the
    // request, is gone: read what the wake needs first.
    thread_record *runner = reinterpret_cast<thread_record *>(request->region->runner);
    if (__atomic_sub_fetch(&request->pending, 1, __ATOMIC_ACQ_REL) != 0)
        return;
    __atomic_store_n(&request->done, 1, __ATOMIC_RELEASE);
    if (runner)
        qiv_exported_wake(runner);
}

void note_failed_members(coload_request *request, intptr_t first, intptr_t end)
{
    // Kept apart from host_must_run, which slots that claim pieces of the
    // caller's share clear meanwhile.
    if (first == 0) {
        __atomic_store_n(&request->own_share_failed, 1, __ATOMIC_RELEASE);
        first = 1;
    }
    if (first >= end)
        return;
    intptr_t slot = __atomic_fetch_add(&request->failed_runs, 1, __ATOMIC_ACQ_REL);
    if (slot >= failed_runs_max) {
        zeq_log(zeq_log_decisions, "members %ld..%ld of the call at line %d of %s are lost: too many failed shares",
                (long)first, (long)end - 1, (int)request->site->line, request->site->source);
        return;
    }
    request->failed_first[slot] = first;
    request->failed_end[slot] = end;
}

void note_failed_owner_piece(coload_request *request, intptr_t start, intptr_t count)
{
    qiv_exported_sync(request);
    if (request->owner_failed_items == 0 || start < request->owner_failed_first)
        request->owner_failed_first = start;
    if (request->owner_failed_items == 0 || start + count > request->owner_failed_end)
        request->owner_failed_end = start + count;
    request->owner_failed_items += count;
    qiv_exported_unsync(request);
    __atomic_store_n(&request->own_share_failed, 1, __ATOMIC_RELEASE);
}

namespace {

// Pieces of the caller's own share failed while others of it were read back:
// the caller's range is narrowed to the failed pieces and what nobody claimed
// after them, which the host computes over the arrays as the devices left
// them.  That is one range unless two slots failed with a good piece between
// them; then the failed pieces are lost and told (Status has -1 already).
// Returns what the call returns.
int settle_owner_rest(coload_request *request, thread_record *me)
{
    if (request->owner_failed_items == 0) {
        if (request->own_share_failed)
            zeq_log(zeq_log_decisions, "the caller's share of the call at line %d of %s failed elsewhere: computed here",
                    (int)request->site->line, request->site->source);
        return request->host_must_run || request->own_share_failed ? 1 : 0;
    }
    qiv_parallel_region *region = request->region;
    intptr_t n = request->descriptors->range;
    if (n <= 1)
        return 1; // one item per member: the failed piece was the whole share
    intptr_t start, end;
    work_range(n, 0, region->count, &start, &end);
    intptr_t claimed = request->owner_progress < end ? request->owner_progress : end;
    intptr_t first = request->owner_failed_first;
    intptr_t last = claimed < end ? end : request->owner_failed_end;
    if (request->owner_failed_items + (end - claimed) != last - first) {
        zeq_log(zeq_log_decisions, "items of the call at line %d of %s failed on two devices around items read back: "
                "lost", (int)request->site->line, request->site->source);
        return 0;
    }
    zeq_log(zeq_log_decisions, "items %ld..%ld of the call at line %d of %s failed on a device: computed here",
            (long)first, (long)last - 1, (int)request->site->line, request->site->source);
    me->rest_region = region;
    me->rest_n = n;
    me->rest_start = first;
    me->rest_end = last;
    me->rest_asked = 0;
    return 1;
}

// The members that slots claimed and failed, computed on this thread from
// the arrays as they were: a failed share wrote nothing back.
void run_failed_members(coload_request *request)
{
    intptr_t runs = __atomic_load_n(&request->failed_runs, __ATOMIC_ACQUIRE);
    if (runs > failed_runs_max)
        runs = failed_runs_max;
    qiv_parallel_region *home = request->region->home;
    for (intptr_t r = 0; r < runs; ++r) {
        zeq_log(zeq_log_decisions, "members %ld..%ld of the call at line %d of %s failed elsewhere: computed here",
                (long)request->failed_first[r], (long)request->failed_end[r] - 1, (int)request->site->line,
                request->site->source);
        for (intptr_t m = request->failed_first[r]; m < request->failed_end[r]; ++m)
            if (!run_member_again(home, m))
                zeq_log(zeq_log_decisions, "member %ld cannot be run again here: lost", (long)m);
    }
}

// The region whose shares the call offers, or null when the call must run on
// the host alone: slots wake the region's runner, so a caller that does not
// run the region would never be woken, and one without a region has no
// shares to offer.
qiv_parallel_region *offering_region(qiv_parallel_region *region)
{
    thread_record *me = get_thread_record();
    if (!me)
        return nullptr;
    if (!region)
        region = me->current_region;
    if (!region || reinterpret_cast<thread_record *>(region->runner) != me)
        return nullptr;
    return region;
}

void init_request(coload_request *request, qiv_parallel_region *region, qiv_coload_site *site, void *caller,
                  const descriptor_list *descriptors, intptr_t live)
{
    request->region = region;
    request->site = site;
    request->caller = caller;
    request->descriptors = descriptors;
    request->pending = live;
    request->done = 0;
    request->claimed_all = 0;
    request->owner_progress = 0;
    request->host_must_run = 1;
    request->status_ptr = nullptr;
    request->status_value = 0;
    for (int s = 0; s < max_slots; ++s)
        request->next[s] = nullptr;
    request->balance = nullptr;
    request->own_share_failed = 0;
    request->failed_runs = 0;
    request->owner_failed_items = 0;
    request->owner_failed_first = 0;
    request->owner_failed_end = 0;
}

// Queues the request on every slot that may take it and wakes their threads.
void offer_to_slots(coload_request *request)
{
    device_slot *table = offload.device_table;
    intptr_t slots = offload.slot_count;
    for (intptr_t s = 0; s < slots; ++s) {
        device_slot *slot = &table[s];
        if (!slot->service->accepts((int)s, request)) {
            // The slot could only decline: do it here, sparing a wake-up of
            // its service thread and one of this caller.  It counts in
            // `pending` unless it was given up.
            if (__atomic_load_n(&slot->owner, __ATOMIC_ACQUIRE) != owner_unavailable &&
                __atomic_sub_fetch(&request->pending, 1, __ATOMIC_ACQ_REL) == 0)
                __atomic_store_n(&request->done, 1, __ATOMIC_RELEASE);
            continue;
        }
        qiv_exported_sync(&slot->queue);
        request->next[s] = slot->queue;
        __atomic_store_n(&slot->queue, request, __ATOMIC_RELEASE);
        qiv_exported_unsync(&slot->queue);
        intptr_t owner = __atomic_load_n(&slot->owner, __ATOMIC_ACQUIRE);
        if (is_thread_owner(owner))
            qiv_exported_wake(reinterpret_cast<void *>(owner));
    }
}

void wait_until_done(coload_request *request)
{
    // A slot that declines answers within microseconds, and a service thread
    // usually finishes a short request just as soon: poll before sleeping.
    for (int i = 0; i < platform_spin_polls && !__atomic_load_n(&request->done, __ATOMIC_ACQUIRE); ++i)
        __builtin_ia32_pause();
    while (!__atomic_load_n(&request->done, __ATOMIC_ACQUIRE))
        qiv_exported_wait(0, 0);
}

// The caller's part in a balanced call.  It does what a pool thread does,
// runs the region's members from the bottom until none is left to hand out,
// instead of sleeping while the slots work (its own region's members alone:
// another region's, the remote client's monitor say, may never end).  Then
// it waits for the pool's last member and for the slots, noting when the
// pool finished, and tells the balance what the pool computed in that time.
// Its own member 0 is left to the host after the call.
void run_balanced(coload_request *request, balance_call *balance)
{
    qiv_parallel_region *home = request->region->home;
    while (pick_member_of(home))
        ;
    // Members ending elsewhere wake nobody while the caller's own is open:
    // the pool's last members, which end within a member's time, are waited
    // for yielding the processor; then the slots, whose finish wakes the
    // caller.
    uint64_t pool_done_ns = 0;
    for (unsigned polls = 1;; ++polls) {
        if (pool_done_ns == 0 && __atomic_load_n(&home->unfinished, __ATOMIC_ACQUIRE) <= 1)
            pool_done_ns = platform_monotonic_ns();
        if (pool_done_ns != 0 && __atomic_load_n(&request->done, __ATOMIC_ACQUIRE))
            break;
        if (pick_member_of(home))
            continue;
        if (pool_done_ns != 0)
            qiv_exported_wait(1, 1);
        else if (polls % polls_per_yield == 0)
            platform_thread_yield();
        else
            __builtin_ia32_pause();
    }
    intptr_t pool_members = home->count - 1 - __atomic_load_n(&home->taken_from_top, __ATOMIC_ACQUIRE);
    balance_call_end(balance, pool_done_ns, pool_members * balance->member_items);
}

} // namespace

// Offers the call to the slots and sleeps until each slot with a thread has
// finished with it; returns 1 when the host must still compute the caller's
// own share.
ZEQ_EXPORT int qiv_exported_coload(qiv_parallel_region *region, qiv_coload_site *site, ...)
{
    if (!offload.device_table)
        return 1;
    start_devices_once();
    if (!offload.device_table || !site || site->status != 0)
        return 1;
    // No slot with a thread would ever finish the request.
    intptr_t live = __atomic_load_n(&offload.live_slots, __ATOMIC_ACQUIRE);
    if (live <= 0)
        return 1;
    region = offering_region(region);
    if (!region)
        return 1;
    // offering_region found the record.
    thread_record *me = get_thread_record();
    me->rest_region = nullptr;

    descriptor_list descriptors;
    va_list ap;
    va_start(ap, site);
    descriptors_read_args(&descriptors, &ap);
    va_end(ap);

    coload_request request;
    init_request(&request, region, site, __builtin_return_address(0), &descriptors, live);
    // A balanced call needs members to share: with one, the rules above
    // already give the devices the whole range in pieces.
    balance_call balance;
    intptr_t members = region->home->count;
    if ((descriptors.options & descriptor_has_balanced) && members > 1) {
        balance_call_start(&balance, site, members, descriptors.range == 1 ? members : descriptors.range);
        request.balance = &balance;
    }
    offer_to_slots(&request);
    if (request.balance)
        run_balanced(&request, &balance);
    else
        wait_until_done(&request);
    run_failed_members(&request);
    if (request.status_ptr)
        *request.status_ptr = (int)request.status_value;
    return settle_owner_rest(&request, me);
}
