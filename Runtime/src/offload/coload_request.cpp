// One coload request on a CUDA or OpenCL slot: eligibility, argument
// bindings, geometry, the claim loop, launches and copy-back.
//
// A slot takes work in two ways.  Whole shares of other region members that
// no pool thread has started are claimed under job_lock, exactly as a picker
// would hand them out, except that the last unclaimed member is always left to
// the pool (so the region stays listed and pickers unlink it).  Pieces of the
// caller's own share are claimed under the lock keyed by the request, at most
// one launch's worth at a time, so several slots can split that share.  Every
// path ends in exactly one finish_request.
//
// The binding table and the parameter list live on the service thread's stack;
// only the device buffers are allocated per request.
#include "drivers.h"
#include "offload.h"
#include "diagnostics.h"

#include <string.h>

namespace {

struct arg_binding {
    intptr_t kind;
    uintptr_t bytes;
    uintptr_t host;
    uintptr_t device; // Value rows: the host address of the value
};

void free_rows(int s, const device_ops *ops, const arg_binding *rows, int count)
{
    for (int k = 0; k < count; ++k) {
        if (is_array_kind(rows[k].kind) && rows[k].device)
            ops->free_buffer(s, rows[k].device);
    }
}

struct request_plan {
    arg_binding rows[descriptor_rows_max];
    int row_count;
    intptr_t range;
    int *status_option; // null: no Status descriptor
    intptr_t shared;
    intptr_t group;
};

// Binds the call's rows, allocating and filling device buffers.  A list the
// device cannot take (more than max_arg_words words, a row with a null
// address or a size that is not positive) is declined.  Returns 0, or the
// failure; on failure the rows' buffers are already freed.
int bind_arguments(int s, device_slot *slot, const descriptor_list *list, request_plan *plan)
{
    const device_ops *ops = slot->ops;
    if (list->word_count > max_arg_words || list->verdict == descriptors_malformed ||
        list->verdict == descriptors_too_long)
        return -1;
    plan->row_count = 0;
    plan->range = list->range;
    plan->status_option = list->status;
    plan->shared = list->shared;
    plan->group = (list->options & descriptor_has_group) ? list->group : slot->group_multiple;
    int error = 0;
    for (int k = 0; k < list->row_count && error == 0; ++k) {
        const descriptor_row *from = &list->rows[k];
        arg_binding *row = &plan->rows[plan->row_count];
        row->kind = from->kind;
        row->host = from->host;
        row->bytes = (uintptr_t)from->bytes;
        row->device = row->host; // a value is passed from where it lives
        if (is_array_kind(from->kind)) {
            row->device = 0;
            error = ops->alloc_buffer(s, &row->device, row->bytes);
            if (error == 0 && from->kind != QIV_ARG_KIND_OUT)
                error = ops->write_buffer(s, row->device, (const void *)row->host, row->bytes, row->device);
            if (error != 0) {
                if (row->device)
                    ops->free_buffer(s, row->device);
                break;
            }
        }
        ++plan->row_count;
    }
    if (error != 0)
        free_rows(s, ops, plan->rows, plan->row_count);
    return error;
}

void record_status(coload_request *request, const request_plan *plan, int code)
{
    if (!plan->status_option)
        return;
    __atomic_or_fetch(&request->status_value, (intptr_t)code, __ATOMIC_RELAXED);
    __atomic_store_n(&request->status_ptr, plan->status_option, __ATOMIC_RELAXED); // other slots store it too
}

// A launch that cannot keep group-shared memory right fails the call's
// status whatever else any slot recorded: stored, like every write of the
// word, atomically, since other slots OR their results into it meanwhile.
void mark_status_failed(coload_request *request)
{
    __atomic_store_n(&request->status_value, (intptr_t)-1, __ATOMIC_RELAXED);
}

// Claims up to members_per_launch whole member shares; 0 when none was taken.
intptr_t claim_members(qiv_parallel_region *home, intptr_t pno, intptr_t per, intptr_t owner_share,
                       intptr_t members_per_launch, intptr_t *start)
{
    unsigned spins = 0;
    while (members_per_launch != 0 && __atomic_load_n(&home->unclaimed, __ATOMIC_ACQUIRE) != 0) {
        job_lock_acquire();
        intptr_t u = home->unclaimed;
        if (u == 0) {
            job_lock_release();
            return 0;
        }
        if (u == 1) {
            // The last member is the pool's: wait until a pool thread took it.
            job_lock_release();
            if (++spins % polls_per_yield == 0)
                platform_thread_yield();
            else
                __builtin_ia32_pause();
            continue;
        }
        intptr_t take = members_per_launch < u - 1 ? members_per_launch : u - 1;
        __atomic_store_n(&home->unclaimed, u - take, __ATOMIC_RELEASE);
        job_lock_release();
        __atomic_sub_fetch(&home->unfinished, take, __ATOMIC_SEQ_CST);
        *start = (pno - u - 1) * per + owner_share;
        return take * per;
    }
    return 0;
}

// Claims the next piece of the caller's own share; 0 when nothing is left.
intptr_t claim_owner_piece(coload_request *request, intptr_t owner_share, intptr_t group, intptr_t cap, intptr_t *start)
{
    if (!(__atomic_load_n(&request->owner_progress, __ATOMIC_RELAXED) < owner_share && owner_share >= group))
        return 0;
    intptr_t count = 0;
    qiv_exported_sync(request);
    intptr_t progress = request->owner_progress;
    if (progress < owner_share) {
        *start = progress;
        count = owner_share - progress < cap ? owner_share - progress : cap;
        if (count < 0)
            count = 0;
        __atomic_store_n(&request->owner_progress, progress + count, __ATOMIC_RELAXED);
        if (progress + count >= owner_share)
            __atomic_store_n(&request->claimed_all, 1, __ATOMIC_RELAXED);
        // Only a slot that took a piece clears it: one that read the
        // progress before an agent claimed the share and gave it up would
        // otherwise overwrite the agent's 1 and lose the share.
        if (count > 0)
            request->host_must_run = 0;
    }
    qiv_exported_unsync(request);
    return count;
}

// How a request's work items fall into claimable pieces on this slot: member
// p >= 1 owns per items from range % pno + p * per; the caller owns the first
// owner_share items.
struct share_geometry {
    qiv_parallel_region *home;
    intptr_t pno;                // members of the region
    intptr_t range;              // work items in all
    intptr_t per;                // items of one member share
    intptr_t members_per_launch; // whole shares one launch may take
    intptr_t owner_share;        // items of the caller's own share
    intptr_t cap;                // items one launch may take
};

// The kernel handle for the request, or kernel_missing when the slot has
// nothing to run it with: no context, a site too small for the slot, no such
// kernel, or the caller's share already claimed.
intptr_t kernel_for_request(int s, device_slot *slot, coload_request *request)
{
    qiv_coload_site *site = request->site;
    if (!slot->context || site->capacity <= s)
        return kernel_missing;
    if (site->kernel[s] == kernel_unknown)
        look_kernel_up(s, slot, request);
    intptr_t kernel = site->kernel[s];
    return __atomic_load_n(&request->claimed_all, __ATOMIC_RELAXED) ? kernel_missing : kernel;
}

// Fills the geometry; false when the slot must decline: a group size of 0 or
// less can neither be launched nor tested against, and group-shared memory
// needs member shares that are whole groups.
bool plan_geometry(const device_slot *slot, const coload_request *request, const request_plan *plan, share_geometry *g)
{
    g->home = request->region->home;
    g->pno = request->region->count;
    g->range = plan->range;
    intptr_t group = plan->group;
    if (group <= 0 || g->pno <= 0)
        return false;
    if (plan->shared != 0) {
        intptr_t items = g->range == 1 ? g->pno : g->range;
        if ((items / g->pno) % group != 0)
            return false;
    }
    g->cap = slot->compute_units * slot->group_multiple * launch_rounds_per_unit;
    if (g->cap > slot->max_groups)
        g->cap = slot->max_groups;
    if (g->range == 1) {
        g->per = 1;
        g->range = g->pno;
        g->members_per_launch = g->cap;
    } else if (g->pno <= 1) {
        g->per = 0;
        g->members_per_launch = 0;
    } else {
        g->per = g->range / g->pno;
        if (g->per <= 0) {
            g->members_per_launch = 0;
        } else {
            g->members_per_launch = g->cap / g->per;
            if (g->members_per_launch <= 0)
                g->members_per_launch = slot->max_groups > g->per ? 1 : 0;
        }
    }
    g->owner_share = g->range / g->pno + g->range % g->pno;
    return true;
}

// A balanced call's next piece on slot s: a run of members from the top,
// as long as the slot's speed makes worth its while (balance.h).  The
// caller's own member stays with the host.
intptr_t claim_balanced_run(int s, coload_request *request, const share_geometry *g, intptr_t *start)
{
    intptr_t left = __atomic_load_n(&g->home->unclaimed, __ATOMIC_ACQUIRE);
    intptr_t want = balance_members_for(request->balance, balance_slot_worker(s), left, g->members_per_launch);
    intptr_t first = 0;
    intptr_t members = balance_claim_run(g->home, want, -1, &first);
    *start = g->owner_share + (first - 1) * g->per;
    return members * g->per;
}

// The next piece this slot computes: whole member shares first, then a piece
// of the caller's own share.  Returns its item count, 0 when nothing is left.
intptr_t claim_piece(int s, coload_request *request, const request_plan *plan, const share_geometry *g,
                     intptr_t *start)
{
    if (request->balance && g->pno > 1)
        return claim_balanced_run(s, request, g, start);
    intptr_t count = claim_members(g->home, g->pno, g->per, g->owner_share, g->members_per_launch, start);
    if (count == 0)
        count = claim_owner_piece(request, g->owner_share, plan->group, g->cap, start);
    return count;
}

void set_kernel_arguments(int s, const device_ops *ops, intptr_t kernel, const request_plan *plan, int32_t *start_arg)
{
    for (int k = 0; k < plan->row_count; ++k) {
        const arg_binding *row = &plan->rows[k];
        if (is_array_kind(row->kind))
            ops->set_arg(s, kernel, k, sizeof(uintptr_t), &row->device);
        else
            ops->set_arg(s, kernel, k, row->bytes, reinterpret_cast<const void *>(row->device));
    }
    ops->set_arg(s, kernel, plan->row_count, sizeof *start_arg, start_arg);
}

// Launches count items from start in groups no larger than the kernel allows,
// and the remainder in groups of one.  A launch whose groups are not the
// requested size cannot keep group-shared memory right: it marks the status
// -1.  Returns the first launch failure, or 0.
int launch_piece(int s, const device_ops *ops, intptr_t kernel, coload_request *request, const request_plan *plan,
                 intptr_t start, intptr_t count, int32_t *start_arg, void **params)
{
    intptr_t shared = plan->shared, group = plan->group;
    intptr_t limit = request->site->group_limit[s];
    if (limit <= 1) {
        if (shared != 0)
            mark_status_failed(request);
        return ops->launch(s, kernel, count, 1, shared, params);
    }
    int error = 0;
    intptr_t g = limit < group ? limit : group;
    if (g < group && shared != 0)
        mark_status_failed(request);
    intptr_t groups = count / g, rest = count % g;
    // A piece shorter than one group has only the remainder launch.
    if (groups > 0)
        error = ops->launch(s, kernel, groups, g, shared, params);
    if (rest != 0) {
        if (shared != 0)
            mark_status_failed(request);
        *start_arg = (int32_t)(start + groups * g);
        ops->set_arg(s, kernel, plan->row_count, sizeof *start_arg, start_arg);
        int rest_error = ops->launch(s, kernel, rest, 1, shared, params);
        if (error == 0)
            error = rest_error;
        *start_arg = (int32_t)start;
    }
    return error;
}

// Where row's part of the piece lies in the host and device arrays; size 0
// when the row has no part in it.
void row_piece(const arg_binding *row, const request_plan *plan, const share_geometry *g, intptr_t start, intptr_t count,
               uintptr_t *offset, uintptr_t *size)
{
    uintptr_t unit = row->bytes / (uintptr_t)g->range;
    *offset = unit * (uintptr_t)start;
    *size = unit * (uintptr_t)count;
    if (unit == 0 && plan->shared != 0) {
        // One element per work group.
        uint64_t per_group = (uint64_t)row->bytes * (uint64_t)plan->group / (uint64_t)g->range;
        *offset = (uintptr_t)((uint64_t)(start / plan->group) * per_group);
        *size = (uintptr_t)((uint64_t)(count / plan->group) * per_group);
    }
}

// Reads the piece's part of every Out and InOut array back.  Sets *read to
// true when a read completed (and so waited for the launches before it);
// returns false when one failed.
//
// InOut parts go through a staging block and reach the caller's arrays only
// once every read of the piece succeeded: a piece that failed then left its
// InOut items as they were, so the host can compute it again without
// applying any item twice.  Out parts are read in place, since computing
// them again writes the same values.  No staging block: nothing is read.
bool copy_back(int s, const device_ops *ops, coload_request *request, const request_plan *plan, const share_geometry *g,
               intptr_t start, intptr_t count, bool *read)
{
    uintptr_t staged = 0, offset = 0, size = 0;
    for (int k = 0; k < plan->row_count; ++k)
        if (plan->rows[k].kind == QIV_ARG_KIND_INOUT) {
            row_piece(&plan->rows[k], plan, g, start, count, &offset, &size);
            staged += size;
        }
    uint8_t *stage = staged != 0 ? static_cast<uint8_t *>(platform_alloc_zeroed(staged)) : nullptr;
    if (staged != 0 && !stage) {
        zeq_log(zeq_log_decisions, "slot %d: no memory to stage %lu bytes read back", s, (unsigned long)staged);
        return false;
    }
    bool read_failed = false;
    uintptr_t at = 0;
    for (int k = 0; k < plan->row_count && !read_failed; ++k) {
        const arg_binding *row = &plan->rows[k];
        if (row->kind != QIV_ARG_KIND_OUT && row->kind != QIV_ARG_KIND_INOUT)
            continue;
        row_piece(row, plan, g, start, count, &offset, &size);
        if (size == 0)
            continue;
        void *into = row->kind == QIV_ARG_KIND_INOUT ? static_cast<void *>(stage + at)
                                                     : static_cast<void *>(reinterpret_cast<char *>(row->host) + offset);
        int result = ops->read_buffer(s, into, row->device + offset, size, row->device);
        record_status(request, plan, result);
        read_failed = result != 0;
        if (result == 0)
            *read = true;
        if (row->kind == QIV_ARG_KIND_INOUT)
            at += size;
    }
    at = 0;
    for (int k = 0; k < plan->row_count && !read_failed; ++k) {
        const arg_binding *row = &plan->rows[k];
        if (row->kind != QIV_ARG_KIND_INOUT)
            continue;
        row_piece(row, plan, g, start, count, &offset, &size);
        if (size != 0)
            memcpy(reinterpret_cast<char *>(row->host) + offset, stage + at, size);
        at += size;
    }
    platform_free(stage);
    return !read_failed;
}

bool has_inout_row(const request_plan *plan)
{
    for (int k = 0; k < plan->row_count; ++k)
        if (plan->rows[k].kind == QIV_ARG_KIND_INOUT)
            return true;
    return false;
}

// A piece that failed wrote none of its InOut items (copy_back), so it goes
// back to the caller whole: member pieces member by member.  A piece of the
// caller's own share sends the whole share back when every array it writes
// is Out; with InOut arrays the pieces read back before it must stay as they
// are, so the caller is given the rest that failed instead.
void give_piece_back(coload_request *request, const request_plan *plan, const share_geometry *g, intptr_t start,
                     intptr_t count)
{
    if (start >= g->owner_share) {
        intptr_t first = (start - g->owner_share) / g->per + 1;
        note_failed_members(request, first, first + count / g->per);
    } else if (!has_inout_row(plan)) {
        note_failed_members(request, 0, 1);
    } else {
        note_failed_owner_piece(request, start, count);
    }
}

// Claims, launches and copies back piece after piece until nothing is left or
// a step fails.
void run_pieces(int s, const device_ops *ops, intptr_t kernel, coload_request *request, request_plan *plan,
                const share_geometry *g)
{
    void *params[descriptor_rows_max + 1];
    int32_t start_arg = 0;
    for (int k = 0; k < plan->row_count; ++k)
        params[k] = is_array_kind(plan->rows[k].kind) ? static_cast<void *>(&plan->rows[k].device)
                                                 : reinterpret_cast<void *>(plan->rows[k].device);
    params[plan->row_count] = &start_arg;

    // Launches are asynchronous and only a blocking read waits for them; a
    // request whose last launch no read followed (no Out rows, or rows of
    // size 0 in this piece, or a failure) must still not finish while the
    // device runs it: the caller could return, free the arrays or exit.
    bool launch_unread = false;
    for (;;) {
        intptr_t start = 0;
        uint64_t claimed_ns = platform_monotonic_ns();
        intptr_t count = claim_piece(s, request, plan, g, &start);
        if (count <= 0)
            break;
        start_arg = (int32_t)start;
        set_kernel_arguments(s, ops, kernel, plan, &start_arg);
        int error = launch_piece(s, ops, kernel, request, plan, start, count, &start_arg, params);
        launch_unread = true;
        record_status(request, plan, error);
        if (error != 0) {
            zeq_log(zeq_log_decisions, "slot %d: the launch of items %ld..%ld of the call at line %d of %s failed (%d)",
                    s, (long)start, (long)(start + count), (int)request->site->line, request->site->source, error);
            if (request->balance)
                balance_share_done(request->balance, balance_slot_worker(s), count, 0, true);
            give_piece_back(request, plan, g, start, count);
            break;
        }
        __atomic_add_fetch(&offload.slot_items[s], (int64_t)count, __ATOMIC_RELAXED);
        bool read = false;
        bool read_ok = copy_back(s, ops, request, plan, g, start, count, &read);
        if (read)
            launch_unread = false;
        if (request->balance)
            balance_share_done(request->balance, balance_slot_worker(s), count,
                               platform_monotonic_ns() - claimed_ns, !read_ok);
        if (!read_ok) {
            zeq_log(zeq_log_decisions, "slot %d: reading items %ld..%ld of the call at line %d of %s back failed", s,
                    (long)start, (long)(start + count), (int)request->site->line, request->site->source);
            give_piece_back(request, plan, g, start, count);
            break;
        }
    }
    if (launch_unread)
        record_status(request, plan, ops->read_buffer(s, nullptr, 0, 0, 0));
}

} // namespace

// A balanced call that the rule gives this slot nothing of is finished
// before any buffer is made: uploading the arrays for nothing costs the
// caller, who waits for every slot, as much as a short call takes.
bool balance_gives_nothing(int s, coload_request *request)
{
    qiv_parallel_region *home = request->region->home;
    if (!request->balance || home->count <= 1)
        return false;
    intptr_t left = __atomic_load_n(&home->unclaimed, __ATOMIC_ACQUIRE);
    return balance_members_for(request->balance, balance_slot_worker(s), left, left) == 0;
}

// Bind the arguments, lay out the shares, then claim, launch and copy back
// piece by piece; every path ends in exactly one finish_request.
void process_request(int s, coload_request *request)
{
    device_slot *slot = &offload.device_table[s];
    intptr_t kernel = kernel_for_request(s, slot, request);
    request_plan plan;
    const char *declined = nullptr;
    if (!is_kernel_handle(kernel)) {
        bool claimed_all = __atomic_load_n(&request->claimed_all, __ATOMIC_RELAXED);
        declined = !slot->context ? "the device has no context" : claimed_all ? nullptr : "no kernel";
    } else if (!balance_gives_nothing(s, request)) {
        int bound = bind_arguments(s, slot, request->descriptors, &plan);
        // The start index follows the descriptors' rows.
        int wanted = bound == 0 && slot->ops == &cuda_ops ? cuda_kernel_arg_count(s, kernel) : -1;
        if (wanted >= 0 && wanted != plan.row_count + 1) {
            zeq_log(zeq_log_decisions, "slot %d: kernel fline%d of %s takes %d arguments, the call gives %d and the "
                    "start index", s, (int)request->site->line, request->site->source, wanted, plan.row_count);
            declined = "its descriptor list does not match the kernel's arguments";
            free_rows(s, slot->ops, plan.rows, plan.row_count);
        } else if (bound == 0) {
            share_geometry geometry;
            if (plan_geometry(slot, request, &plan, &geometry))
                run_pieces(s, slot->ops, kernel, request, &plan, &geometry);
            else
                declined = "the group size cannot be launched";
            free_rows(s, slot->ops, plan.rows, plan.row_count);
        } else {
            declined = "its arguments cannot be bound (a descriptor list the device cannot take, or no memory)";
        }
    }
    if (declined)
        zeq_log(zeq_log_decisions, "slot %d declines the call at line %d of %s: %s", s, (int)request->site->line,
                __atomic_load_n(&request->site->source, __ATOMIC_RELAXED), declined); // another slot may trim it
    finish_request(request);
}
