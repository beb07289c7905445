// The host side of gravsim.zeq, in the shape compiled Zeq code takes: for each
// coload function a static call-site record, a function that opens a region,
// lets member 0 offer the call to the device slots with the descriptor list
// of the function's arguments, and runs the host body over the member's own
// share when the call returns 1 (and in every other member).
//
// The host body is not written here: it is fline<line>_, zeqremote's output of
// the same body text the devices run, compiled into this program.  So the
// .zeq text is the single definition of the arithmetic, and the host path that
// the tests compare bit for bit is the translated one.
//
// Each call has two forms.  The devices' form carries the Range, group size
// and group memory that a kernel launch needs.  The agents' form is the
// argument list alone, without those three, which is what the remote slot
// takes (it declines any call that has them): its regions hand member shares
// to zeqworker agents, which run gravsim_net.so (built from the same
// translation) on them, while the pool computes the members no agent took.
// Its sites have a capacity of one slot, slot 0, so that no device slot
// takes a call without the launch shape its kernel needs.  An agents' call
// carries a Status descriptor: when a share fails, its results are missing or
// partial, and the call is computed again in the devices' form, from the
// arrays as they were before it.  The devices' accelerations carry one too:
// a device that can only launch groups smaller than the tile computes wrong
// sums and says so there, and the call is then computed on the host.
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
char accelerations_source[] = "gravsim.zeq";
char time_step_source[] = "gravsim.zeq";
char idle_source[] = "gravsim.zeq";

qiv_coload_site accelerations_site = QIV_COLOAD_SITE_INIT(accelerations_source, gravsim_line_accelerations);
qiv_coload_site time_step_site = QIV_COLOAD_SITE_INIT(time_step_source, gravsim_line_time_step);
qiv_coload_site idle_site = QIV_COLOAD_SITE_INIT(idle_source, gravsim_line_idle);

// The agents' sites: the same source name (the remote client copies the
// module gravsim_net.so after it) and lines, and slot 0 alone.
char accelerations_agents_source[] = "gravsim.zeq";
char time_step_agents_source[] = "gravsim.zeq";
char idle_agents_source[] = "gravsim.zeq";
qiv_coload_site accelerations_agents_site = QIV_COLOAD_AGENTS_SITE_INIT(accelerations_agents_source, gravsim_line_accelerations);
qiv_coload_site time_step_agents_site = QIV_COLOAD_AGENTS_SITE_INIT(time_step_agents_source, gravsim_line_time_step);
qiv_coload_site idle_agents_site = QIV_COLOAD_AGENTS_SITE_INIT(idle_agents_source, gravsim_line_idle);

int agents_form; // nonzero: calls take the agents' form
int host_only;

// Per site: calls, items, and host items per member index.  Members add with
// atomics; readers see totals between calls.
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

// What the runtime has counted so far: items per device slot and shares
// per agent number.  A call's work is the difference across it; the calls
// of this program never overlap.
struct work_counts {
    long long slot_items[gravsim_max_slots];
    long long agent_shares[gravsim_max_agents];
};

void read_work_counts(work_counts *out)
{
    int slots = qiv_exported_slot_count();
    for (int s = 0; s < gravsim_max_slots; ++s)
        out->slot_items[s] = s < slots ? qiv_exported_slot_items(s) : 0;
    int agents = qiv_exported_agent_count();
    for (int a = 0; a < gravsim_max_agents; ++a)
        out->agent_shares[a] = a < agents ? qiv_exported_agent_shares(a) : 0;
    // Numbers past the table's rows are counted in its last row.
    for (int a = gravsim_max_agents; a < agents; ++a)
        out->agent_shares[gravsim_max_agents - 1] += qiv_exported_agent_shares(a);
}

// A call's items by device slot and by agent.  An agent's items are the
// shares it returned times the share's size: the agents' regions have a
// member count that divides n, so every share is n / members bodies.
void tally_work(int site, const work_counts *before, int n, int agent_members)
{
    work_counts after;
    read_work_counts(&after);
    gravsim_tally *t = &tallies[site];
    t->calls += 1;
    t->items += n;
    for (int s = 0; s < gravsim_max_slots; ++s)
        t->slot_items[s] += after.slot_items[s] - before->slot_items[s];
    if (agent_members <= 0)
        return;
    t->agent_calls += 1;
    for (int a = 0; a < gravsim_max_agents; ++a)
        t->agent_items[a] += (after.agent_shares[a] - before->agent_shares[a]) * (n / agent_members);
}

struct accelerations_call {
    float *pos;
    float *acc;
    int n;
    float spare;
    float eps;
    int members;
    int agents;   // the agents' form
    int status;   // the call's Status: -1 when a share failed or a launch could not keep the tile
    int host;     // offer nothing: the host computes every share
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
    int agents;
    int status;
};

struct idle_call {
    float *pos;
    int n;
    int members;
    int agents;
    int status;
};

int offer_accelerations(qiv_parallel_region *self, accelerations_call *c)
{
    if (c->agents)
        return qiv_exported_coload(self, &accelerations_agents_site, GRAVSIM_ACCELERATIONS_ARGS(c),
                                   QIV_ARG_STATUS(&c->status), QIV_ARG_END);
    if (c->host)
        return 1;
    return qiv_exported_coload(self, &accelerations_site, GRAVSIM_ACCELERATIONS_ARGS(c), GRAVSIM_TILE_SHAPE,
                               QIV_ARG_RANGE(c->n), QIV_ARG_STATUS(&c->status), QIV_ARG_END);
}

int offer_time_step(qiv_parallel_region *self, time_step_call *c)
{
    if (c->agents)
        return qiv_exported_coload(self, &time_step_agents_site, GRAVSIM_TIME_STEP_ARGS(c),
                                   QIV_ARG_STATUS(&c->status), QIV_ARG_END);
    return qiv_exported_coload(self, &time_step_site, GRAVSIM_TIME_STEP_ARGS(c), QIV_ARG_RANGE(c->n), QIV_ARG_END);
}

int offer_idle(qiv_parallel_region *self, idle_call *c)
{
    if (c->agents)
        return qiv_exported_coload(self, &idle_agents_site, GRAVSIM_IDLE_ARGS(c), QIV_ARG_STATUS(&c->status),
                                   QIV_ARG_END);
    return qiv_exported_coload(self, &idle_site, GRAVSIM_IDLE_ARGS(c), QIV_ARG_RANGE(c->n), QIV_ARG_END);
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

// The agents' regions: four times as many members as there are processors,
// so that the remote client still finds members that no pool thread has
// taken when it has claimed an agent and copied the module to it (the pool
// starts on the members at once, with more threads than processors while
// the device slots' service threads block), and at most one per tile: the
// largest power of two within both, which divides n.
int agents_members(int n)
{
    int threads = gravsim_processors();
    int tiles = n / gravsim_tile;
    int members = 1;
    while (members * 2 <= 4 * threads && members * 2 <= tiles)
        members *= 2;
    return members;
}

bool use_agents(void)
{
    return agents_form && !host_only;
}

// Reports the first failed call of the run; the caller computes it again,
// without agents or on the host.
void note_failure(const char *what)
{
    static int reported;
    if (__atomic_exchange_n(&reported, 1, __ATOMIC_RELAXED) == 0)
        fprintf(stderr, "gravsim: %s; that call and any later failed one are computed again\n", what);
}

} // namespace

void gravsim_accelerations(float *pos, float *acc, int n, float spare, float eps, int members)
{
    work_counts before;
    read_work_counts(&before);
    gravsim_accelerations_body_fn *body = gravsim_accelerations_host_body();
    accelerations_call c = {pos, acc, n, spare, eps, members, 0, 0, 0, body};
    if (use_agents()) {
        c.agents = 1;
        c.members = agents_members(n);
        accelerations_region(&c);
        if (c.status == 0) {
            tally_work(gravsim_site_accelerations, &before, n, c.members);
            return;
        }
        // acc is Out: whatever the failed share left there is computed anew.
        note_failure("a share of the accelerations failed on an agent");
        c = accelerations_call{pos, acc, n, spare, eps, members, 0, 0, 0, body};
    }
    accelerations_region(&c);
    if (c.status != 0) {
        note_failure("a device could not launch the accelerations in groups of a whole tile");
        c = accelerations_call{pos, acc, n, spare, eps, members, 0, 0, 1, body};
        accelerations_region(&c);
    }
    tally_work(gravsim_site_accelerations, &before, n, 0);
}

void gravsim_time_step(const float *acc, float *vel, float *pos, float damping, float dt, int n, int members)
{
    work_counts before;
    read_work_counts(&before);
    // acc is only read: the descriptor says In, so no device writes it back.
    time_step_call c = {const_cast<float *>(acc), vel, pos, damping, dt, n, members, 0, 0};
    // A failed share may have moved some bodies already, so an agents' step
    // keeps a copy to start again from; without memory for it, no agents.
    size_t floats = 4 * (size_t)n;
    float *kept = use_agents() && n > 0 ? static_cast<float *>(malloc(2 * floats * sizeof(float))) : nullptr;
    if (kept) {
        memcpy(kept, vel, floats * sizeof(float));
        memcpy(kept + floats, pos, floats * sizeof(float));
        c.agents = 1;
        c.members = agents_members(n);
        time_step_region(&c);
        bool failed = c.status != 0;
        if (failed) {
            note_failure("a share of the time step failed on an agent");
            memcpy(vel, kept, floats * sizeof(float));
            memcpy(pos, kept + floats, floats * sizeof(float));
        }
        free(kept);
        if (!failed) {
            tally_work(gravsim_site_time_step, &before, n, c.members);
            return;
        }
        c = time_step_call{const_cast<float *>(acc), vel, pos, damping, dt, n, members, 0, 0};
    }
    time_step_region(&c);
    tally_work(gravsim_site_time_step, &before, n, 0);
}

void gravsim_idle(float *pos, int n, int members)
{
    work_counts before;
    read_work_counts(&before);
    if (use_agents()) {
        // The agents' empty call: it sets the remote client up and copies
        // the module to the agents it reaches, before any timed step.
        idle_call a = {pos, n, agents_members(n), 1, 0};
        idle_region(&a);
    }
    idle_call c = {pos, n, members, 0, 0};
    idle_region(&c);
    tally_work(gravsim_site_idle, &before, n, 0);
}

void gravsim_host_only(int on)
{
    host_only = on != 0;
    accelerations_site.status = on != 0;
    time_step_site.status = on != 0;
    idle_site.status = on != 0;
}

int gravsim_processors(void)
{
    cpu_set_t set;
    int threads = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    return threads > 0 ? threads : 1;
}

void gravsim_use_agents(int on)
{
    agents_form = on != 0;
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
