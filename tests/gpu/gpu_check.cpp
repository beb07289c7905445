// gpu_check: the CUDA slot on a real GPU, for a machine that has the driver
// and nvcc but none of the test suite's packages (no GoogleTest), so the
// checks are plain code that counts failures.
//
//   gpu_check [report] [bodies]
//
// 1. Slots: at least one CUDA slot, and OpenCL slots unused.
// 2. The slot's kernels (coload_cu.zeq, compiled by nvcc beside this program):
//    saxpy on the device alone and shared with the pool, one hit per item
//    with remainder launches, the N-body descriptor shape with group-shared
//    memory, and a kernel that writes no array.
// 3. gravsim's accelerations on GPU and pool against the host path, within
//    the tolerance the OpenCL comparison uses.
// 4. Interactions per second at `bodies` (default 65536): the GPU alone
//    (one-member regions), the pool alone, and both shared in balance in the
//    default regions and in regions of 16, 64 and 256 members, with the items
//    each slot computed, the balance, and balanced over GPU alone.
// Everything goes to standard output and to the report file (default
// gpu-check-report.txt); the exit status is the number of failed checks.
#include "Zeq.h"
#include "gravsim_host.h"
#include "gravsim_reference.h"
#include "gravsim_state.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vector>

namespace {

FILE *report = nullptr;
int failures = 0;

void say(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
    fflush(stdout);
    if (report) {
        va_start(ap, format);
        vfprintf(report, format, ap);
        va_end(ap);
        fflush(report);
    }
}

void check(bool ok, const char *what)
{
    say("%s  %s\n", ok ? "ok  " : "FAIL", what);
    failures += ok ? 0 : 1;
}

double now_seconds(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

// ---- the slot's kernels ---------------------------------------------------------

char cu_source_saxpy[] = "coload_cu.zeq";
char cu_source_hits[] = "coload_cu.zeq";
char cu_source_sample[] = "coload_cu.zeq";
char cu_source_reads[] = "coload_cu.zeq";
qiv_coload_site saxpy_site = QIV_COLOAD_SITE_INIT(cu_source_saxpy, 11);
qiv_coload_site hits_site = QIV_COLOAD_SITE_INIT(cu_source_hits, 21);
qiv_coload_site sample_site = QIV_COLOAD_SITE_INIT(cu_source_sample, 34);
qiv_coload_site reads_site = QIV_COLOAD_SITE_INIT(cu_source_reads, 44);

struct kernel_call {
    float *y, *x, *acc;
    int *hits;
    float a, spare, eps;
    int n, members, group, status, result;
};

QIV_REGION_OPENER void saxpy(kernel_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, c->members, QIV_LIMIT_TIGHT(1));
    int host = 1;
    intptr_t bytes = (intptr_t)c->n * 4;
    if (qiv_exported_pix() == 0)
        c->result = host = qiv_exported_coload(self, &saxpy_site, QIV_ARG_INOUT("float*", c->y, 4, bytes), QIV_ARG_IN("float*", c->x, 4, bytes),
                                               QIV_ARG_VALUE("float", &c->a, 4), QIV_ARG_RANGE(c->n), QIV_ARG_STATUS(&c->status), QIV_ARG_END);
    if (host) {
        int end = qiv_exported_range_end(c->n);
        for (int i = qiv_exported_range_start(c->n); i < end; ++i)
            c->y[i] = c->a * c->x[i] + c->y[i];
    }
    qiv_region_end_joined(self);
}

QIV_REGION_OPENER void hits(kernel_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, c->members, QIV_LIMIT_TIGHT(1));
    int host = 1;
    if (qiv_exported_pix() == 0)
        c->result = host = qiv_exported_coload(self, &hits_site, QIV_ARG_INOUT("int*", c->hits, 4, (intptr_t)c->n * 4),
                                               QIV_ARG_GROUP_SIZE(c->group), QIV_ARG_RANGE(c->n), QIV_ARG_STATUS(&c->status), QIV_ARG_END);
    if (host) {
        int end = qiv_exported_range_end(c->n);
        for (int i = qiv_exported_range_start(c->n); i < end; ++i)
            c->hits[i] += 1;
    }
    qiv_region_end_joined(self);
}

// The device alone: one member, and the caller leaves its share to the slot.
QIV_REGION_OPENER void sample(kernel_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    c->result = qiv_exported_coload(self, &sample_site, QIV_ARG_IN("float*", c->x, 4, 16 * (intptr_t)c->n),
                                    QIV_ARG_OUT("float*", c->acc, 4, 12 * (intptr_t)c->n), QIV_ARG_VALUE("int", &c->n, 4),
                                    QIV_ARG_VALUE("float", &c->spare, 4), QIV_ARG_VALUE("float", &c->eps, 4), QIV_ARG_SHARED_BYTES(4096),
                                    QIV_ARG_GROUP_SIZE(256), QIV_ARG_RANGE(c->n), QIV_ARG_STATUS(&c->status), QIV_ARG_END);
    qiv_region_end_joined(self);
}

QIV_REGION_OPENER void reads_only(kernel_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    c->result = qiv_exported_coload(self, &reads_site, QIV_ARG_IN("float*", c->x, 4, 4 * (intptr_t)c->n), QIV_ARG_RANGE(c->n),
                                    QIV_ARG_STATUS(&c->status), QIV_ARG_END);
    qiv_region_end_joined(self);
}

void check_slots(void)
{
    int slots = qiv_exported_slot_count(), cuda_slots = 0, other = 0;
    for (int s = 1; s < slots; ++s) {
        const char *kind = qiv_exported_slot_kind(s);
        say("slot %d: %s\n", s, kind);
        if (strcmp(kind, "CUDA") == 0)
            ++cuda_slots;
        else
            ++other;
    }
    check(cuda_slots > 0, "the driver gives at least one CUDA slot");
    check(other == 0, "no OpenCL slots beside the CUDA ones");
}

void check_kernels(void)
{
    const int n = 1 << 20;
    std::vector<float> y(n), x(n);
    for (int members : {1, 16}) {
        for (int i = 0; i < n; ++i) {
            x[i] = (float)(i % 1000);
            y[i] = 1.0f;
        }
        long long before = qiv_exported_slot_items(1);
        kernel_call c = {y.data(), x.data(), nullptr, nullptr, 2.0f, 0, 0, n, members, 0, 0, -1};
        saxpy(&c);
        bool right = true;
        for (int i = 0; i < n && right; ++i)
            right = y[i] == 2.0f * (float)(i % 1000) + 1.0f;
        say("saxpy, %d member(s): returned %d, status %d, slot 1 took %lld items\n", members, c.result, c.status,
            qiv_exported_slot_items(1) - before);
        check(right && c.status == 0, "saxpy computes every item");
        if (members == 1)
            check(c.result == 0 && qiv_exported_slot_items(1) - before == n, "a one-member call runs wholly on the GPU");
    }

    const int m = 100003;
    std::vector<int> hit(m, 0);
    kernel_call h = {nullptr, nullptr, nullptr, hit.data(), 0, 0, 0, m, 8, 6, 0, -1};
    hits(&h);
    bool once = true;
    for (int i = 0; i < m && once; ++i)
        once = hit[i] == 1;
    check(once && h.status == 0, "groups of 6 with remainder launches hit every item exactly once");

    const int bodies = 65536;
    std::vector<float> pos(4 * (size_t)bodies), acc(3 * (size_t)bodies, -1.0f);
    for (size_t i = 0; i < pos.size(); ++i)
        pos[i] = (float)(i % 977) * 0.001f;
    kernel_call s = {nullptr, pos.data(), acc.data(), nullptr, 0, 0, 0.25f, bodies, 1, 256, 0, -1};
    sample(&s);
    bool shaped = true;
    for (int i = 0; i < bodies && shaped; ++i)
        shaped = acc[3 * (size_t)i] == pos[4 * (size_t)i] * 2.0f + 0.25f;
    say("sample shape: returned %d, status %d\n", s.result, s.status);
    check(shaped && s.status == 0 && s.result == 0, "the N-body descriptor list with 4096 shared bytes runs on the GPU");

    kernel_call r = {nullptr, x.data(), nullptr, nullptr, 0, 0, 0, n, 1, 0, 7, -1};
    reads_only(&r);
    check(r.status == 0 && r.result == 0, "a kernel that writes no array completes with status 0");
}

// ---- gravsim ----------------------------------------------------------------------

const float softening = 0.0025f;

void check_gravsim(void)
{
    const int n = 16384;
    gravsim_bodies b;
    if (gravsim_bodies_alloc(&b, n) != 0) {
        check(false, "memory for the bodies");
        return;
    }
    gravsim_disk(&b, 20240611u, softening);
    gravsim_host_only(1);
    gravsim_accelerations(b.pos, b.acc, n, 0.0f, softening, 0);
    std::vector<float> want(b.acc, b.acc + 3 * (size_t)n);
    gravsim_host_only(0);
    for (int members : {1, 16, 64}) {
        memset(b.acc, 0, 3 * sizeof(float) * (size_t)n);
        long long before = qiv_exported_slot_items(1);
        gravsim_accelerations(b.pos, b.acc, n, 0.0f, softening, members);
        std::vector<float> got(b.acc, b.acc + 3 * (size_t)n);
        double error = reference_relative_error(got.data(), want.data(), want.size());
        say("gravsim accelerations, %d member(s): slot 1 took %lld of %d bodies, error %.2e of the RMS\n", members,
            qiv_exported_slot_items(1) - before, n, error);
        check(error < reference_acc_tolerance, "accelerations agree with the host path");
    }
    gravsim_bodies_free(&b);
}

// Interactions per second of whole steps (accelerations and time step) with
// the workers `mode` picks, after two untimed steps: the first calls load
// the kernels, and balanced calls learn the workers' rates from them.
double measure(const char *what, gravsim_bodies *b, int mode, int members, int steps)
{
    gravsim_use_workers(mode);
    for (int i = 0; i < 2; ++i) {
        gravsim_accelerations(b->pos, b->acc, b->n, 0.0f, softening, members);
        gravsim_time_step(b->acc, b->vel, b->pos, 1.0f, 0.004f, b->n, members);
    }
    int slots = qiv_exported_slot_count();
    std::vector<long long> before(slots > 0 ? slots : 1);
    for (int s = 0; s < slots; ++s)
        before[s] = qiv_exported_slot_items(s);
    gravsim_tally_reset();
    double start = now_seconds();
    for (int i = 0; i < steps; ++i) {
        gravsim_accelerations(b->pos, b->acc, b->n, 0.0f, softening, members);
        gravsim_time_step(b->acc, b->vel, b->pos, 1.0f, 0.004f, b->n, members);
    }
    double elapsed = now_seconds() - start;
    double rate = elapsed > 0 ? (double)b->n * (double)b->n * steps / elapsed : 0;
    gravsim_tally t;
    gravsim_tally_read(gravsim_site_accelerations, &t);
    long long host = 0;
    for (int m = 0; m < gravsim_max_members; ++m)
        host += t.host_items[m];
    say("%-24s %3d steps %8.3f s  %10.3g interactions/s  accelerations: %5.1f%% on the pool", what, steps, elapsed, rate,
        t.items ? 100.0 * (double)host / (double)t.items : 0.0);
    for (int s = 1; s < slots; ++s)
        say(", slot %d %lld items", s, qiv_exported_slot_items(s) - before[s]);
    double mean, worst;
    if (gravsim_balance(&t, &mean, &worst) > 0)
        say(", balance %.0f%% (worst %.0f%%)", 100.0 * mean, 100.0 * worst);
    say("\n");
    gravsim_use_workers(gravsim_workers_all);
    return rate;
}

// The GPU alone (a one-member region, whole calls to the slot), the pool
// alone, and both shared in balance: in the program's default regions, then
// in regions of 16, 64 and 256 members.  Balanced against GPU alone is what
// the pool adds to the GPU; under 1 the sharing costs more than it brings.
void measure_all(int n)
{
    gravsim_bodies b;
    if (gravsim_bodies_alloc(&b, n) != 0) {
        check(false, "memory for the bodies");
        return;
    }
    gravsim_disk(&b, 20240611u, softening);
    gravsim_idle(b.pos, n, 1);
    say("throughput at %d bodies:\n", n);
    double gpu = measure("GPU alone (1 member)", &b, gravsim_workers_alone, 1, 20);
    double pool = measure("pool alone", &b, gravsim_workers_pool, 0, 2);
    char what[64];
    snprintf(what, sizeof what, "balanced, %d members", gravsim_region_members(n, 0));
    double balanced = measure(what, &b, gravsim_workers_all, 0, 20);
    for (int members : {16, 64, 256}) {
        snprintf(what, sizeof what, "balanced, %d members", members);
        measure(what, &b, gravsim_workers_all, members, 20);
    }
    say("balanced / GPU alone: %.3f (the pool alone is %.3f of the GPU alone)\n", gpu > 0 ? balanced / gpu : 0.0,
        gpu > 0 ? pool / gpu : 0.0);
    gravsim_bodies_free(&b);
}

} // namespace

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "gpu-check-report.txt";
    int bodies = argc > 2 ? atoi(argv[2]) : 65536;
    if (bodies < gravsim_tile || bodies % gravsim_tile != 0) {
        fprintf(stderr, "Usage: gpu_check [report] [bodies, a multiple of %d]\n", gravsim_tile);
        return -1;
    }
    report = fopen(path, "w");
    if (!report)
        fprintf(stderr, "cannot write %s: the report goes to standard output only\n", path);
    check_slots();
    if (failures == 0) {
        check_kernels();
        check_gravsim();
        measure_all(bodies);
    }
    say("%d check(s) failed\n", failures);
    if (report)
        fclose(report);
    return failures;
}
