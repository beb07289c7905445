// The host side of gravsim.zeq, in the shape compiled Zeq code takes: for each
// coload function a static call-site record, a function that opens a region,
// lets member 0 offer the call to the runtime's workers with the descriptor
// list of the function's arguments, and runs the host body over the member's
// own share when the call returns 1 (and in every other member).
//
// The host body is not written here: it is fline<line>_, zeqremote's output of
// the same body text the devices run, compiled into this program.  So the
// .zeq text is the single definition of the arithmetic, and the host path that
// the tests compare bit for bit is the translated one.
//
// Each kernel has one call site and one form of call, which the pool, every
// device slot and every zeqworker agent take at once: the arguments, the
// Range of n bodies, the tile's launch shape (accelerations only: group
// memory for one tile, groups of one tile), a Status, and the two one-word
// options.  Balanced: the runtime hands runs of members to the devices and
// agents sized by what it learned of their speed, so all finish together.
// Host range: the bodies loop over their member's range, so an agent can take
// a run of members as one share (gravsim_net.so, built from the same
// translation, serves it) and ignores the launch shape, which only devices
// need.  Two forms, one with the launch shape for the devices and one without
// for the agents, would keep every call to one kind of worker.
//
// A failed share leaves its results missing or partial, and says so in the
// Status: a device that can only launch groups smaller than the tile computes
// wrong sums, an agent may die or answer with an error.  The call is then
// computed again on the host from the arrays as they were before it: acc is
// Out and pos In for the accelerations, so they are as they were; the time
// step keeps a copy of vel and pos for it whenever anyone but the pool may
// take a share.
//
// Each region function takes one pointer to a record of its arguments: the
// members resume on copies of the function's frame, so everything they share
// is reached through that pointer, and the Value descriptors point into the
// record, which outlives the call.  The regions use the tight limit for one
// stack argument word, so on i386 the pointer is inside the copied window.
#include "gravsim_host.h"

#include "zeq_runtime.h"

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The translated bodies (gravsim_net.cpp, generated at build time); the
// accelerations body in the width in use comes from gravsim_widths.cpp.
void fline345_(float *acc, float *vel, float *pos, float damping, float dt, int n, int qiv_extra_arg_offs);
void fline420_(float *pos, int n, int qiv_extra_arg_offs);

namespace {

// Writable: the runtime trims the name to its base in place, once per site.
// The remote client copies the module gravsim_net.so after the base name.
char accelerations_source[] = "gravsim.zeq";
char time_step_source[] = "gravsim.zeq";
char idle_source[] = "gravsim.zeq";

qiv_coload_site accelerations_site = QIV_COLOAD_SITE_INIT(accelerations_source, gravsim_line_accelerations);
qiv_coload_site time_step_site = QIV_COLOAD_SITE_INIT(time_step_source, gravsim_line_time_step);
qiv_coload_site idle_site = QIV_COLOAD_SITE_INIT(idle_source, gravsim_line_idle);

int workers = gravsim_workers_all;
int recompute_failed = 1;

// Per site: calls, items, host items per member index, and the balance of
// the last calls.  Members add with atomics; readers see totals between calls.
gravsim_tally tallies[gravsim_sites];

// The member's share as the host body sees it, counted after it ran.
void tally_host(int site, int n)
{
    int member = qiv_exported_pix();
    if (member < 0 || member >= gravsim_max_members)
        member = gravsim_max_members - 1;
    long long items = qiv_exported_range_end(n) - qiv_exported_range_start(n);
    __atomic_add_fetch(&tallies[site].host_items[member], items, __ATOMIC_RELAXED);
}

// What the runtime has counted so far: items per device slot and per agent
// number.  A call's work is the difference across it; the calls of this
// program never overlap.
struct work_counts {
    long long slot_items[gravsim_max_slots];
    long long agent_items[gravsim_max_agents];
};

void read_work_counts(work_counts *out)
{
    int slots = qiv_exported_slot_count();
    for (int s = 0; s < gravsim_max_slots; ++s)
        out->slot_items[s] = s < slots ? qiv_exported_slot_items(s) : 0;
    int agents = qiv_exported_agent_count();
    for (int a = 0; a < gravsim_max_agents; ++a)
        out->agent_items[a] = a < agents ? qiv_exported_agent_items(a) : 0;
    // Numbers past the table's rows are counted in its last row.
    for (int a = gravsim_max_agents; a < agents; ++a)
        out->agent_items[gravsim_max_agents - 1] += qiv_exported_agent_items(a);
}

// The runtime keeps the balance of a site's last balanced call until the
// next one: a report the same as the one read after the site's previous call
// means this call was not shared in balance (one member, or no device slot
// with a service thread to offer it to), and it is not counted again.  Kept
// across resets.
long long last_report[gravsim_sites][2];

void tally_balance(int site, const qiv_coload_site *record)
{
    long long first = 0, last = 0;
    int took_part = 0;
    if (qiv_exported_call_balance(record, &first, &last, &took_part) != 0)
        return;
    if (first == last_report[site][0] && last == last_report[site][1])
        return;
    last_report[site][0] = first;
    last_report[site][1] = last;
    // A call that one worker computed alone finished in perfect balance,
    // which says nothing: the ring keeps the calls that were shared.
    if (took_part < 2)
        return;
    gravsim_tally *t = &tallies[site];
    t->balance[t->balanced_calls % gravsim_balance_window] = last > 0 ? (double)first / (double)last : 1.0;
    t->balanced_calls += 1;
}

void tally_work(int site, const work_counts *before, int n)
{
    work_counts after;
    read_work_counts(&after);
    gravsim_tally *t = &tallies[site];
    t->calls += 1;
    t->items += n;
    for (int s = 0; s < gravsim_max_slots; ++s)
        t->slot_items[s] += after.slot_items[s] - before->slot_items[s];
    for (int a = 0; a < gravsim_max_agents; ++a)
        t->agent_items[a] += after.agent_items[a] - before->agent_items[a];
}

struct accelerations_call {
    float *pos;
    float *acc;
    int n;
    float spare;
    float eps;
    int members;
    int host;     // offer nothing: the host computes every share
    int status;   // the call's Status: -1 when a share failed
    gravsim_accelerations_body_fn *body; // the host body in the width in use
};

struct time_step_call {
    float *acc;
    float *vel;
    float *pos;
    float damping;
    float dt;
    int n;
    int members;
    int host;
    int status;
};

struct idle_call {
    float *pos;
    int n;
    int members;
    int status;
};

int offer_accelerations(qiv_parallel_region *self, accelerations_call *c)
{
    if (c->host)
        return 1;
    return qiv_exported_coload(self, &accelerations_site, GRAVSIM_ACCELERATIONS_ARGS(c), GRAVSIM_TILE_SHAPE,
                               QIV_ARG_RANGE(c->n), QIV_ARG_STATUS(&c->status), QIV_ARG_BALANCED,
                               QIV_ARG_HOST_RANGE, QIV_ARG_END);
}

int offer_time_step(qiv_parallel_region *self, time_step_call *c)
{
    if (c->host)
        return 1;
    return qiv_exported_coload(self, &time_step_site, GRAVSIM_TIME_STEP_ARGS(c), QIV_ARG_RANGE(c->n),
                               QIV_ARG_STATUS(&c->status), QIV_ARG_BALANCED, QIV_ARG_HOST_RANGE, QIV_ARG_END);
}

int offer_idle(qiv_parallel_region *self, idle_call *c)
{
    return qiv_exported_coload(self, &idle_site, GRAVSIM_IDLE_ARGS(c), QIV_ARG_RANGE(c->n),
                               QIV_ARG_STATUS(&c->status), QIV_ARG_BALANCED, QIV_ARG_HOST_RANGE, QIV_ARG_END);
}

QIV_REGION_OPENER void accelerations_region(accelerations_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, c->members, QIV_LIMIT_TIGHT(1));
    if (qiv_exported_pix() != 0 || offer_accelerations(self, c) != 0) {
        c->body(c->pos, c->acc, c->n, c->spare, c->eps, 0);
        tally_host(gravsim_site_accelerations, c->n);
    }
    qiv_region_end_joined(self);
}

QIV_REGION_OPENER void time_step_region(time_step_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, c->members, QIV_LIMIT_TIGHT(1));
    if (qiv_exported_pix() != 0 || offer_time_step(self, c) != 0) {
        fline345_(c->acc, c->vel, c->pos, c->damping, c->dt, c->n, 0);
        tally_host(gravsim_site_time_step, c->n);
    }
    qiv_region_end_joined(self);
}

QIV_REGION_OPENER void idle_region(idle_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, c->members, QIV_LIMIT_TIGHT(1));
    if (qiv_exported_pix() != 0 || offer_idle(self, c) != 0) {
        fline420_(c->pos, c->n, 0);
        tally_host(gravsim_site_idle, c->n);
    }
    qiv_region_end_joined(self);
}

// Whether anyone but the pool may take a share of a call: a device slot
// (slot 0 is the remote slot, present always) or, with a server folder
// named, an agent.  The device table is built when the library loads.
bool shares_may_leave_the_pool(void)
{
    if (workers == gravsim_workers_pool)
        return false;
    const char *server = getenv("QIV_NETLOAD_SERVER");
    return qiv_exported_slot_count() > 1 || (server && *server);
}

// Reports the first failed call of the run; the caller computes it again on
// the host.
void note_failure(const char *what)
{
    static int reported;
    if (__atomic_exchange_n(&reported, 1, __ATOMIC_RELAXED) == 0)
        fprintf(stderr, "gravsim: %s; that call and any later failed one are computed again on the host\n", what);
}

} // namespace

int gravsim_region_members(int n, int members)
{
    if (workers == gravsim_workers_alone)
        return 1;
    if (members > 0)
        return members;
    int tiles = n / gravsim_tile;
    int count = 1;
    while (count * 2 <= gravsim_balanced_members && tiles % (count * 2) == 0)
        count *= 2;
    return count;
}

void gravsim_accelerations(float *pos, float *acc, int n, float spare, float eps, int members)
{
    work_counts before;
    read_work_counts(&before);
    gravsim_accelerations_body_fn *body = gravsim_accelerations_host_body();
    accelerations_call c = {pos, acc, n, spare, eps, gravsim_region_members(n, members), 0, 0, body};
    accelerations_region(&c);
    tally_balance(gravsim_site_accelerations, &accelerations_site);
    if (c.status != 0 && recompute_failed) {
        // acc is Out: whatever the failed share left there is computed anew.
        note_failure("a share of the accelerations failed on a device or an agent");
        c.host = 1;
        c.status = 0;
        accelerations_region(&c);
    }
    tally_work(gravsim_site_accelerations, &before, n);
}

void gravsim_time_step(const float *acc, float *vel, float *pos, float damping, float dt, int n, int members)
{
    work_counts before;
    read_work_counts(&before);
    // acc is only read: the descriptor says In, so no device writes it back.
    time_step_call c = {const_cast<float *>(acc), vel, pos, damping, dt, n, gravsim_region_members(n, members), 0, 0};
    // A failed share may have moved some bodies already: keep the arrays to
    // start again from.  Without memory for the copy, the host computes all.
    size_t bytes = 16 * (size_t)n;
    float *kept = nullptr;
    if (n > 0 && recompute_failed && shares_may_leave_the_pool()) {
        kept = static_cast<float *>(malloc(2 * bytes));
        if (kept) {
            memcpy(kept, vel, bytes);
            memcpy(kept + 4 * (size_t)n, pos, bytes);
        } else {
            c.host = 1;
        }
    }
    time_step_region(&c);
    tally_balance(gravsim_site_time_step, &time_step_site);
    // Only a device or an agent fails a share, and then the copy was made.
    if (c.status != 0 && kept) {
        note_failure("a share of the time step failed on a device or an agent");
        memcpy(vel, kept, bytes);
        memcpy(pos, kept + 4 * (size_t)n, bytes);
        c.host = 1;
        c.status = 0;
        time_step_region(&c);
    }
    free(kept);
    tally_work(gravsim_site_time_step, &before, n);
}

void gravsim_idle(float *pos, int n, int members)
{
    work_counts before;
    read_work_counts(&before);
    // The empty kernel changes nothing, so a failed share leaves nothing to
    // compute again.  Its first call starts the device service threads and
    // the remote client, and copies the module to the agents it reaches.
    idle_call c = {pos, n, gravsim_region_members(n, members), 0};
    idle_region(&c);
    tally_balance(gravsim_site_idle, &idle_site);
    tally_work(gravsim_site_idle, &before, n);
}

void gravsim_use_workers(int mode)
{
    workers = mode;
    int pool = mode == gravsim_workers_pool;
    accelerations_site.status = pool;
    time_step_site.status = pool;
    idle_site.status = pool;
}

void gravsim_recompute_failed_calls(int on)
{
    recompute_failed = on;
}

void gravsim_host_only(int on)
{
    gravsim_use_workers(on ? gravsim_workers_pool : gravsim_workers_all);
}

int gravsim_processors(void)
{
    cpu_set_t set;
    int threads = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    return threads > 0 ? threads : 1;
}

int gravsim_balance(const gravsim_tally *t, double *mean, double *worst)
{
    int calls = t->balanced_calls < gravsim_balance_window ? (int)t->balanced_calls : gravsim_balance_window;
    double sum = 0, least = 1;
    for (int i = 0; i < calls; ++i) {
        sum += t->balance[i];
        least = t->balance[i] < least ? t->balance[i] : least;
    }
    *mean = calls > 0 ? sum / calls : 0;
    *worst = calls > 0 ? least : 0;
    return calls;
}

int gravsim_site_line(int site)
{
    const qiv_coload_site *record = site == gravsim_site_accelerations ? &accelerations_site
                                    : site == gravsim_site_time_step   ? &time_step_site
                                                                       : &idle_site;
    return (int)record->line;
}

void gravsim_tally_read(int site, gravsim_tally *out)
{
    *out = tallies[site];
}

void gravsim_tally_reset(void)
{
    for (int s = 0; s < gravsim_sites; ++s)
        tallies[s] = gravsim_tally{};
}
