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
// Each region function takes one pointer to a record of its arguments: the
// members resume on copies of the function's frame, so everything they share
// is reached through that pointer, and the Value descriptors point into the
// record, which outlives the call.  The regions use the tight limit for one
// stack argument word, so on i386 the pointer is inside the copied window.
#include "gravsim_host.h"

#include "Zeq.h"

// The translated bodies (gravsim_net.cpp, generated at build time).
void fline144_(float *pos, float *acc, int n, float spare, float eps, int qiv_extra_arg_offs);
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

void tally_call(int site, int n)
{
    tallies[site].calls += 1;
    tallies[site].items += n;
}

struct accelerations_call {
    float *pos;
    float *acc;
    int n;
    float spare;
    float eps;
    int members;
};

struct time_step_call {
    float *acc;
    float *vel;
    float *pos;
    float damping;
    float dt;
    int n;
    int members;
};

struct idle_call {
    float *pos;
    int n;
    int members;
};

QIV_REGION_OPENER void accelerations_region(accelerations_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, c->members, QIV_LIMIT_TIGHT(1));
    if (qiv_exported_pix() != 0 ||
        qiv_exported_coload(self, &accelerations_site,
                            QIV_ARG_IN("float*", c->pos, sizeof(float), (intptr_t)c->n * 16),
                            QIV_ARG_OUT("float*", c->acc, sizeof(float), (intptr_t)c->n * 12),
                            QIV_ARG_VALUE("int", &c->n, sizeof(int)),
                            QIV_ARG_VALUE("float", &c->spare, sizeof(float)),
                            QIV_ARG_VALUE("float", &c->eps, sizeof(float)),
                            QIV_ARG_SHARED_BYTES(gravsim_tile * 16), QIV_ARG_GROUP_SIZE(gravsim_tile),
                            QIV_ARG_RANGE(c->n), QIV_ARG_END) != 0) {
        fline144_(c->pos, c->acc, c->n, c->spare, c->eps, 0);
        tally_host(gravsim_site_accelerations, c->n);
    }
    qiv_region_end_joined(self);
}

QIV_REGION_OPENER void time_step_region(time_step_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, c->members, QIV_LIMIT_TIGHT(1));
    if (qiv_exported_pix() != 0 ||
        qiv_exported_coload(self, &time_step_site,
                            QIV_ARG_IN("float*", c->acc, sizeof(float), (intptr_t)c->n * 12),
                            QIV_ARG_INOUT("float*", c->vel, sizeof(float), (intptr_t)c->n * 16),
                            QIV_ARG_INOUT("float*", c->pos, sizeof(float), (intptr_t)c->n * 16),
                            QIV_ARG_VALUE("float", &c->damping, sizeof(float)),
                            QIV_ARG_VALUE("float", &c->dt, sizeof(float)),
                            QIV_ARG_VALUE("int", &c->n, sizeof(int)),
                            QIV_ARG_RANGE(c->n), QIV_ARG_END) != 0) {
        fline345_(c->acc, c->vel, c->pos, c->damping, c->dt, c->n, 0);
        tally_host(gravsim_site_time_step, c->n);
    }
    qiv_region_end_joined(self);
}

QIV_REGION_OPENER void idle_region(idle_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, c->members, QIV_LIMIT_TIGHT(1));
    if (qiv_exported_pix() != 0 ||
        qiv_exported_coload(self, &idle_site,
                            QIV_ARG_IN("float*", c->pos, sizeof(float), (intptr_t)c->n * 16),
                            QIV_ARG_VALUE("int", &c->n, sizeof(int)),
                            QIV_ARG_RANGE(c->n), QIV_ARG_END) != 0) {
        fline420_(c->pos, c->n, 0);
        tally_host(gravsim_site_idle, c->n);
    }
    qiv_region_end_joined(self);
}

} // namespace

void gravsim_accelerations(float *pos, float *acc, int n, float spare, float eps, int members)
{
    accelerations_call c = {pos, acc, n, spare, eps, members};
    accelerations_region(&c);
    tally_call(gravsim_site_accelerations, n);
}

void gravsim_time_step(const float *acc, float *vel, float *pos, float damping, float dt, int n, int members)
{
    // acc is only read: the descriptor says In, so no device writes it back.
    time_step_call c = {const_cast<float *>(acc), vel, pos, damping, dt, n, members};
    time_step_region(&c);
    tally_call(gravsim_site_time_step, n);
}

void gravsim_idle(float *pos, int n, int members)
{
    idle_call c = {pos, n, members};
    idle_region(&c);
    tally_call(gravsim_site_idle, n);
}

void gravsim_host_only(int on)
{
    accelerations_site.status = on != 0;
    time_step_site.status = on != 0;
    idle_site.status = on != 0;
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
