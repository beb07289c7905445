// The program's calls of gravsim.zeq's coload functions.  The host side of
// each call (its call site record, its descriptor list, the region whose
// member 0 offers it to the runtime's workers and whose members run the host
// body over what nobody took) is zeqhost's translation of gravsim.zeq,
// compiled from the build folder, where the .zeq functions accelerations,
// time_step and idle are host functions.  The host bodies are the text the
// devices run, translated as zeqremote translates it, so the .zeq text is
// the single definition of the arithmetic that the tests compare bit for bit.
//
// What is the program's own is here, passed to each call through
// zeq_call_options: the region's member count, the host-only pass, the
// accelerations body in the vector width in use (gravsim_widths.cpp) and the
// count of each member's items; the call's Status and its site record come
// back through the same options.  Every call is one form that the pool,
// every device slot and every agent take at once, in balance: the arguments,
// the Range of n bodies, the tile's group size and group memory
// (accelerations only, which agents ignore), a Status, the balanced opt-in
// and the host range, so that an agent can take a run of members as one
// share (gravsim_net.so, built from the same translation, serves it).
//
// A failed share leaves its results missing or partial, and says so in the
// Status: a device that can only launch groups smaller than the tile computes
// wrong sums, an agent may die or answer with an error.  The call is then
// computed again on the host from the arrays as they were before it: acc is
// Out and pos In for the accelerations, so they are as they were; the time
// step keeps a copy of vel and pos for it whenever anyone but the pool may
// take a share.
#include "gravsim_host.h"

#include "zeq_host.h"
#include "zeq_runtime.h"

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// gravsim.zeq's functions, as zeqhost translates them.
void accelerations(float *pos, float *acc, int n, float spare, float eps);
void time_step(float *acc, float *vel, float *pos, float damping, float dt, int n);
void idle(float *pos, int n);

namespace {

int workers = gravsim_workers_all;
int recompute_failed = 1;

// Per site: calls, items, host items per member index, and the balance of
// the last calls.  Members add with atomics; readers see totals between calls.
gravsim_tally tallies[gravsim_sites];

// The member's share as the host body saw it, counted after it ran (the
// calls' member_done); context is the site's tally.
void tally_host(void *context, int member, long long items)
{
    gravsim_tally *t = static_cast<gravsim_tally *>(context);
    if (member < 0 || member >= gravsim_max_members)
        member = gravsim_max_members - 1;
    __atomic_add_fetch(&t->host_items[member], items, __ATOMIC_RELAXED);
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

// The options of a call at a site: the region's members, whether the host
// computes it alone, and the host tally of every member's items.
zeq_call_options call_options(int site, int members, int host_only)
{
    zeq_call_options o = {};
    o.members = members;
    o.host_only = host_only;
    o.member_done = tally_host;
    o.context = &tallies[site];
    return o;
}

// The call site records of the translated calls, each known from the first
// call at it on: the workers mode sets their status words (the runtime reads
// them in every offer), and each call's balance is read from its record.
qiv_coload_site *sites[gravsim_sites];

void note_site(int site, qiv_coload_site *record)
{
    if (record)
        sites[site] = record;
}

// A site's record before any call of its own: an empty call (no bodies) on
// the host learns it, which computes nothing, offers nothing and counts
// nothing.
qiv_coload_site *site_record(int site)
{
    if (!sites[site]) {
        zeq_call_options o = {};
        o.members = 1;
        o.host_only = 1;
        zeq_next_call(&o);
        if (site == gravsim_site_accelerations)
            accelerations(nullptr, nullptr, 0, 0.0f, 1.0f);
        else if (site == gravsim_site_time_step)
            time_step(nullptr, nullptr, nullptr, 1.0f, 0.0f, 0);
        else
            idle(nullptr, 0);
        note_site(site, o.site);
    }
    return sites[site];
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
    int site = gravsim_site_accelerations;
    zeq_call_options o = call_options(site, gravsim_region_members(n, members), 0);
    o.body = reinterpret_cast<void (*)(void)>(gravsim_accelerations_host_body());
    zeq_next_call(&o);
    accelerations(pos, acc, n, spare, eps);
    note_site(site, o.site);
    tally_balance(site, o.site);
    if (o.status != 0 && recompute_failed) {
        // acc is Out: whatever the failed share left there is computed anew.
        note_failure("a share of the accelerations failed on a device or an agent");
        o.host_only = 1;
        zeq_next_call(&o);
        accelerations(pos, acc, n, spare, eps);
    }
    tally_work(site, &before, n);
}

void gravsim_time_step(const float *acc, float *vel, float *pos, float damping, float dt, int n, int members)
{
    work_counts before;
    read_work_counts(&before);
    int site = gravsim_site_time_step;
    zeq_call_options o = call_options(site, gravsim_region_members(n, members), 0);
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
            o.host_only = 1;
        }
    }
    // acc is only read: its group says In, so no device writes it back.
    float *acc_in = const_cast<float *>(acc);
    zeq_next_call(&o);
    time_step(acc_in, vel, pos, damping, dt, n);
    note_site(site, o.site);
    tally_balance(site, o.site);
    // Only a device or an agent fails a share, and then the copy was made.
    if (o.status != 0 && kept) {
        note_failure("a share of the time step failed on a device or an agent");
        memcpy(vel, kept, bytes);
        memcpy(pos, kept + 4 * (size_t)n, bytes);
        o.host_only = 1;
        zeq_next_call(&o);
        time_step(acc_in, vel, pos, damping, dt, n);
    }
    free(kept);
    tally_work(site, &before, n);
}

void gravsim_idle(float *pos, int n, int members)
{
    work_counts before;
    read_work_counts(&before);
    // The empty kernel changes nothing, so a failed share leaves nothing to
    // compute again.  Its first call starts the device service threads and
    // the remote client, and copies the module to the agents it reaches.
    int site = gravsim_site_idle;
    zeq_call_options o = call_options(site, gravsim_region_members(n, members), 0);
    zeq_next_call(&o);
    idle(pos, n);
    note_site(site, o.site);
    tally_balance(site, o.site);
    tally_work(site, &before, n);
}

void gravsim_use_workers(int mode)
{
    workers = mode;
    for (int s = 0; s < gravsim_sites; ++s)
        site_record(s)->status = mode == gravsim_workers_pool;
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

void gravsim_tally_read(int site, gravsim_tally *out)
{
    *out = tallies[site];
}

int gravsim_site_line(int site)
{
    if (site < 0 || site >= gravsim_sites)
        return -1;
    return (int)site_record(site)->line;
}

void gravsim_tally_reset(void)
{
    for (int s = 0; s < gravsim_sites; ++s)
        tallies[s] = gravsim_tally{};
}
