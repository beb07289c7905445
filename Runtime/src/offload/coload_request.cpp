// One coload request on a CUDA or OpenCL slot: eligibility, kernel lookup,
// argument bindings, geometry, the claim loop, launches and copy-back.
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
#include "offload.h"

namespace {

struct arg_binding {
    intptr_t kind;
    uintptr_t bytes;
    uintptr_t host;
    uintptr_t device; // Value rows: the host address of the value
};

bool is_array(intptr_t kind)
{
    return kind == QIV_ARG_KIND_IN || kind == QIV_ARG_KIND_OUT || kind == QIV_ARG_KIND_INOUT;
}

// Keeps the part after the last separator and cuts it at the first dot; the
// name stays trimmed, so a second pass changes nothing.  Several slots may
// trim one site at once: the lock keyed by the field makes them take turns.
void trim_source(qiv_coload_site *site)
{
    qiv_exported_sync(&site->source);
    char *name = site->source;
    size_t length = 0;
    while (name[length])
        ++length;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == '/' || name[i] == '\\')
            site->source = name + i + 1;
        else if (name[i] == '.')
            name[i] = 0;
    }
    qiv_exported_unsync(&site->source);
}

void attempt_lookup(int s, device_slot *slot, qiv_coload_site *site)
{
    site->kernel[s] = -1;
    site->group_limit[s] = 1;
    const char *source = site->source;
    intptr_t rows = __atomic_load_n(&slot->module_count, __ATOMIC_ACQUIRE);
    for (intptr_t i = 0; i < rows; ++i) {
        if (name_equal_nocase(slot->modules[i].name, source) != 0)
            continue;
        // A line that is not a non-negative number names no kernel.
        if (site->line < 0)
            return;
        char name[24] = "fline00000000";
        format_decimal(name + 5, (uintptr_t)site->line);
        slot->ops->get_kernel(s, &site->kernel[s], slot->modules[i].handle, name);
        site->group_limit[s] = slot->ops->kernel_group_limit(s, site->kernel[s]);
        return;
    }
}

void look_kernel_up(int s, device_slot *slot, coload_request *request)
{
    qiv_coload_site *site = request->site;
    if (!site->source) {
        site->kernel[s] = -1;
        return;
    }
    trim_source(site);
    attempt_lookup(s, slot, site);
    if (site->kernel[s] == -1) {
        load_device_modules(s, request->caller);
        attempt_lookup(s, slot, site);
    }
}

void free_rows(int s, const device_ops *ops, const arg_binding *rows, int count)
{
    for (int k = 0; k < count; ++k) {
        if (is_array(rows[k].kind) && rows[k].device)
            ops->free_buffer(s, rows[k].device);
    }
}

struct request_plan {
    arg_binding rows[max_arg_words];
    int row_count;
    intptr_t range;
    int *status_option; // null: no Status descriptor
    intptr_t shared;
    intptr_t group;
};

// Reads the descriptor list into rows, allocating and filling device buffers.
// Returns 0, or the failure; on failure the rows' buffers are already freed.
int bind_arguments(int s, device_slot *slot, const intptr_t *w, request_plan *plan)
{
    const device_ops *ops = slot->ops;
    int words = 0;
    while (w[words] != 0)
        ++words;
    if (words > max_arg_words)
        return -1;
    plan->row_count = 0;
    plan->range = 1;
    plan->status_option = nullptr;
    plan->shared = 0;
    plan->group = slot->group_multiple;
    int error = 0;
    for (int i = 0; i < words && error == 0;) {
        intptr_t kind = w[i];
        if (is_array(kind)) {
            arg_binding *row = &plan->rows[plan->row_count];
            row->kind = kind;
            row->host = (uintptr_t)w[i + 2];
            row->bytes = (uintptr_t)(w[i + 4] != -1 ? w[i + 4] : w[i + 3]);
            row->device = 0;
            i += w[i + 4] == -1 ? 5 : 6;
            // A null array or a size that is not positive cannot be copied.
            if (row->host == 0 || (intptr_t)row->bytes <= 0) {
                error = -1;
                break;
            }
            error = ops->alloc_buffer(s, &row->device, row->bytes);
            if (error == 0 && kind != QIV_ARG_KIND_OUT)
                error = ops->write_buffer(s, row->device, (const void *)row->host, row->bytes, row->device);
            if (error != 0) {
                if (row->device)
                    ops->free_buffer(s, row->device);
                break;
            }
            ++plan->row_count;
        } else if (kind == QIV_ARG_KIND_VALUE) {
            arg_binding *row = &plan->rows[plan->row_count];
            row->kind = kind;
            row->bytes = (uintptr_t)w[i + 3];
            row->host = (uintptr_t)w[i + 2];
            row->device = row->host;
            i += 4;
            if (row->host == 0 || (intptr_t)row->bytes <= 0) {
                error = -1;
                break;
            }
            ++plan->row_count;
        } else if (kind == QIV_ARG_KIND_RANGE || kind == QIV_ARG_KIND_STATUS || kind == QIV_ARG_KIND_SHARED_BYTES ||
                   kind == QIV_ARG_KIND_GROUP_SIZE) {
            intptr_t value = w[i + 1];
            if (kind == QIV_ARG_KIND_RANGE)
                plan->range = value;
            else if (kind == QIV_ARG_KIND_STATUS)
                plan->status_option = reinterpret_cast<int *>(value);
            else if (kind == QIV_ARG_KIND_SHARED_BYTES)
                plan->shared = value;
            else
                plan->group = value;
            i += 2;
        } else {
            i += 1;
        }
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
    request->status_ptr = plan->status_option;
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
            if (++spins % 64 == 0)
                platform_thread_yield();
            else
                __builtin_ia32_pause();
            continue;
        }
        intptr_t take = members_per_launch < u - 1 ? members_per_launch : u - 1;
        home->unclaimed = u - take;
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
    if (!(request->owner_progress < owner_share && owner_share >= group))
        return 0;
    request->host_must_run = 0;
    intptr_t count = 0;
    qiv_exported_sync(request);
    intptr_t progress = request->owner_progress;
    if (progress < owner_share) {
        *start = progress;
        count = owner_share - progress < cap ? owner_share - progress : cap;
        if (count < 0)
            count = 0;
        request->owner_progress = progress + count;
        if (progress + count >= owner_share)
            request->claimed_all = 1;
    }
    qiv_exported_unsync(request);
    return count;
}

} // namespace

void process_request(int s, coload_request *request)
{
    device_slot *slot = &offload.device_table[s];
    const device_ops *ops = slot->ops;
    qiv_coload_site *site = request->site;
    if (!slot->context || site->capacity <= s) {
        finish_request(request);
        return;
    }
    if (site->kernel[s] == 0)
        look_kernel_up(s, slot, request);
    intptr_t kernel = site->kernel[s];
    if (kernel == -1 || kernel == 0 || request->claimed_all) {
        finish_request(request);
        return;
    }

    request_plan plan;
    if (bind_arguments(s, slot, request->args, &plan) != 0) {
        finish_request(request);
        return;
    }
    qiv_parallel_region *home = request->region->home;
    intptr_t pno = request->region->count;
    intptr_t range = plan.range, group = plan.group, shared = plan.shared;
    // A group size of 0 or less can neither be launched nor tested against.
    bool decline = group <= 0 || pno <= 0;
    if (!decline && shared != 0) {
        intptr_t items = range == 1 ? pno : range;
        decline = (items / pno) % group != 0;
    }
    if (decline) {
        free_rows(s, ops, plan.rows, plan.row_count);
        finish_request(request);
        return;
    }

    // Geometry: member p >= 1 owns per items from range % pno + p * per; the
    // caller owns the first owner_share items.
    intptr_t cap = slot->compute_units * slot->group_multiple * 32;
    if (cap > slot->max_groups)
        cap = slot->max_groups;
    intptr_t per, members_per_launch;
    if (range == 1) {
        per = 1;
        range = pno;
        members_per_launch = cap;
    } else if (pno <= 1) {
        per = 0;
        members_per_launch = 0;
    } else {
        per = range / pno;
        if (per <= 0) {
            members_per_launch = 0;
        } else {
            members_per_launch = cap / per;
            if (members_per_launch <= 0)
                members_per_launch = slot->max_groups > per ? 1 : 0;
        }
    }
    intptr_t owner_share = range / pno + range % pno;

    void *params[max_arg_words + 1];
    int32_t start_arg = 0;
    for (int k = 0; k < plan.row_count; ++k)
        params[k] = is_array(plan.rows[k].kind) ? static_cast<void *>(&plan.rows[k].device)
                                                : reinterpret_cast<void *>(plan.rows[k].device);
    params[plan.row_count] = &start_arg;

    // Launches are asynchronous and only a blocking read waits for them; a
    // request whose last launch no read followed (no Out rows, or rows of
    // size 0 in this piece, or a failure) must still not finish while the
    // device runs it: the caller could return, free the arrays or exit.
    bool launch_unread = false;
    for (;;) {
        intptr_t start = 0;
        intptr_t count = claim_members(home, pno, per, owner_share, members_per_launch, &start);
        if (count == 0)
            count = claim_owner_piece(request, owner_share, group, cap, &start);
        if (count <= 0)
            break;

        for (int k = 0; k < plan.row_count; ++k) {
            const arg_binding *row = &plan.rows[k];
            if (is_array(row->kind))
                ops->set_arg(s, kernel, k, sizeof(uintptr_t), &row->device);
            else
                ops->set_arg(s, kernel, k, row->bytes, reinterpret_cast<const void *>(row->device));
        }
        start_arg = (int32_t)start;
        ops->set_arg(s, kernel, plan.row_count, sizeof start_arg, &start_arg);

        int error = 0;
        intptr_t limit = site->group_limit[s];
        if (limit <= 1) {
            if (shared != 0)
                request->status_value = -1;
            error = ops->launch(s, kernel, count, 1, shared, params);
        } else {
            intptr_t g = limit < group ? limit : group;
            if (g < group && shared != 0)
                request->status_value = -1;
            intptr_t groups = count / g, rest = count % g;
            // A piece shorter than one group has only the remainder launch.
            if (groups > 0)
                error = ops->launch(s, kernel, groups, g, shared, params);
            if (rest != 0) {
                if (shared != 0)
                    request->status_value = -1;
                start_arg = (int32_t)(start + groups * g);
                ops->set_arg(s, kernel, plan.row_count, sizeof start_arg, &start_arg);
                int rest_error = ops->launch(s, kernel, rest, 1, shared, params);
                if (error == 0)
                    error = rest_error;
                start_arg = (int32_t)start;
            }
        }
        launch_unread = true;
        record_status(request, &plan, error);
        if (error != 0)
            break;
        __atomic_add_fetch(&offload.slot_items[s], (int64_t)count, __ATOMIC_RELAXED);

        bool read_failed = false;
        for (int k = 0; k < plan.row_count; ++k) {
            const arg_binding *row = &plan.rows[k];
            if (row->kind != QIV_ARG_KIND_OUT && row->kind != QIV_ARG_KIND_INOUT)
                continue;
            uintptr_t unit = row->bytes / (uintptr_t)range;
            uintptr_t offset = unit * (uintptr_t)start, size = unit * (uintptr_t)count;
            if (unit == 0 && shared != 0) {
                // One element per work group.
                uint64_t per_group = (uint64_t)row->bytes * (uint64_t)group / (uint64_t)range;
                offset = (uintptr_t)((uint64_t)(start / group) * per_group);
                size = (uintptr_t)((uint64_t)(count / group) * per_group);
            }
            if (size == 0)
                continue;
            int result = ops->read_buffer(s, reinterpret_cast<char *>(row->host) + offset, row->device + offset, size, row->device);
            record_status(request, &plan, result);
            read_failed = read_failed || result != 0;
            if (result == 0)
                launch_unread = false;
        }
        if (read_failed)
            break;
    }
    if (launch_unread)
        record_status(request, &plan, ops->read_buffer(s, nullptr, 0, 0, 0));
    free_rows(s, ops, plan.rows, plan.row_count);
    finish_request(request);
}
