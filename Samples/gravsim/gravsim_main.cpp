// gravsim: a gravitational N-body simulation whose kernels are gravsim.zeq's
// coload functions.  Every step computes all pair accelerations
// (accelerations) and moves the bodies (time_step); each call is shared in
// balance between the host pool, the device slots of the runtime and, with
// QIV_NETLOAD_SERVER naming a server folder, the zeqworker agents serving it,
// all at once, in shares sized by each worker's speed.  At the end the program says where
// the work ran, how well the accelerations were balanced, how fast it went,
// how well energy and momentum were kept, and draws the bodies.
//
//   gravsim [bodies] [steps] [picture] [frame_every] [members]
//
// The arguments are read strictly (a whole number in range, nothing after
// it), and the picture's path is tried before the run, so that a mistyped
// argument or folder stops the program at once rather than after a long run.
#include "zeq_runtime.h"
#include "gravsim_host.h"
#include "gravsim_picture.h"
#include "gravsim_state.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

const float time_step = 0.004f;
const float softening = 0.0025f; // eps: squared softening length
const float damping = 1.0f;
const uint32_t seed = 20240611u;
const int picture_size = 640;
const float picture_extent = 1.4f;
// The most bodies: far beyond any run that ends in reasonable time (every
// step is n^2 pair terms), and small enough that no size of the arrays or
// of a device argument overflows, in either flavour.
const int max_bodies = 1 << 24;
// A sound run's energy drift is the leapfrog's error, bounded and of order
// (dt / crossing time)^2: at most 1.3e-3 measured over 1 to 20000 steps of
// 256 to 16384 bodies.  The momentum changes only by float rounding, which
// adds up over the steps: 2e-9 after one step, up to 1.5e-10 a step over
// longer runs, measured.  A share computed wrong (bodies left out or counted
// twice) moves both by orders of magnitude.
const double healthy_energy_drift = 1e-2;
const double healthy_momentum_drift_least = 1e-7;
const double healthy_momentum_drift_per_step = 1e-9;

struct options {
    int bodies;
    int steps;
    const char *picture; // null: none
    int frame_every;
    int members;
};

double now_seconds(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

void usage(void)
{
    fprintf(stderr,
            "Usage: gravsim [bodies] [steps] [picture] [frame_every] [members]\n"
            "  bodies       a positive multiple of %d, at most %d (default 4096)\n"
            "  steps        time steps, at least 1 (default 300)\n"
            "  picture      the PNG drawn at the end (default gravsim.png; - for none)\n"
            "  frame_every  also draw <picture>_<step>.png every k steps (default 0: no frames)\n"
            "  members      shares (region members) each call is cut into (default 0: the largest power\n"
            "               of two up to 64 that divides bodies / %d; 1: one share, taken in pieces)\n",
            gravsim_tile, max_bodies, gravsim_tile);
}

// The whole of text as a decimal number from low to high; else says which
// argument is wrong and returns -1.
int parse_whole(const char *text, const char *name, long low, long high, int *out)
{
    char *end = nullptr;
    errno = 0;
    long value = text[0] >= '0' && text[0] <= '9' ? strtol(text, &end, 10) : 0;
    if (!end || *end != '\0' || errno != 0 || value < low || value > high) {
        fprintf(stderr, "gravsim: %s must be a whole number from %ld to %ld, not '%s'\n", name, low, high, text);
        return -1;
    }
    *out = (int)value;
    return 0;
}

// Positional arguments; 0 on success, -1 with a message and the usage on a
// bad one.
int parse_options(int argc, char **argv, options *o)
{
    *o = options{4096, 300, "gravsim.png", 0, 0};
    if (argc > 6) {
        fprintf(stderr, "gravsim: %d arguments, at most 5 are read\n", argc - 1);
        usage();
        return -1;
    }
    if ((argc > 1 && parse_whole(argv[1], "bodies", 1, max_bodies, &o->bodies) != 0) ||
        (argc > 2 && parse_whole(argv[2], "steps", 1, INT_MAX, &o->steps) != 0) ||
        (argc > 4 && parse_whole(argv[4], "frame_every", 0, INT_MAX, &o->frame_every) != 0) ||
        (argc > 5 && parse_whole(argv[5], "members", 0, o->bodies, &o->members) != 0)) {
        usage();
        return -1;
    }
    if (o->bodies % gravsim_tile != 0) {
        fprintf(stderr, "gravsim: bodies must be a positive multiple of %d, and %d is not\n", gravsim_tile, o->bodies);
        usage();
        return -1;
    }
    if (argc > 3)
        o->picture = strcmp(argv[3], "-") == 0 ? nullptr : argv[3];
    return 0;
}

// Whether path can be written, without changing it: a file that is not
// there yet is made and removed again.  0, or -1 with errno set.
int try_writing(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        close(fd);
        unlink(path);
        return 0;
    }
    if (errno != EEXIST)
        return -1;
    fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

// 0, or -1 after saying the picture could not be written.
int write_picture(const char *path, const gravsim_bodies *b)
{
    int result = gravsim_picture_write(path, b, picture_size, picture_extent);
    if (result == gravsim_picture_unsupported)
        printf("picture: not written, this build has no PNG writer (no libpng for this flavour)\n");
    else if (result != 0) {
        fprintf(stderr, "gravsim: cannot write the picture %s\n", path);
        return -1;
    }
    return 0;
}

int write_frame(const options *o, int step, const gravsim_bodies *b)
{
    char path[4096];
    const char *dot = strrchr(o->picture, '.');
    int stem = dot ? (int)(dot - o->picture) : (int)strlen(o->picture);
    snprintf(path, sizeof path, "%.*s_%05d.png", stem, o->picture, step);
    return write_picture(path, b);
}

void show_progress(int step, int steps, double elapsed, int interactive)
{
    double rate = elapsed > 0 ? step / elapsed : 0;
    if (interactive) {
        printf("\rstep %d/%d  t = %.3f  %.1f steps/s ", step, steps, step * (double)time_step, rate);
        fflush(stdout);
    } else if (steps >= 10 && step % (steps / 10) == 0) {
        printf("step %d/%d  t = %.3f  %.1f steps/s\n", step, steps, step * (double)time_step, rate);
        fflush(stdout);
    }
}

void report_line(const char *who, long long items, long long total)
{
    printf("  %-24s%12lld items (%5.1f%%)\n", who, items, total > 0 ? 100.0 * (double)items / (double)total : 0.0);
}

// Where one call site's items ran: the pool (its members together), each
// device slot (the remote slot 0 launches nothing and is left out) and each
// agent; with `balance`, how close together the workers of the last
// balanced calls finished.  The kernel is named by its function in
// gravsim.zeq and the line of its call site.
void report_site(const char *function, int site, bool balance)
{
    gravsim_tally t;
    gravsim_tally_read(site, &t);
    if (t.calls == 0)
        return;
    printf("%s [line %d]: %lld calls, %lld items\n", function, gravsim_site_line(site), t.calls, t.items);
    long long pool = 0;
    for (int m = 0; m < gravsim_max_members; ++m)
        pool += t.host_items[m];
    report_line("pool", pool, t.items);
    char who[64];
    for (int s = 1; s < gravsim_max_slots && s < qiv_exported_slot_count(); ++s) {
        snprintf(who, sizeof who, "%s device (slot %d)", qiv_exported_slot_kind(s), s);
        report_line(who, t.slot_items[s], t.items);
    }
    for (int a = 0; a < gravsim_max_agents; ++a)
        if (t.agent_items[a]) {
            snprintf(who, sizeof who, "agent %d", a);
            report_line(who, t.agent_items[a], t.items);
        }
    double mean, worst;
    int calls = gravsim_balance(&t, &mean, &worst);
    if (balance && calls > 0)
        printf("  balance of the last %d shared call%s: first worker finished at %.0f %% of the last (mean), %.0f %% "
               "worst\n",
               calls, calls == 1 ? "" : "s", 100 * mean, 100 * worst);
}

double length3(const double *v)
{
    return sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    if (parse_options(argc, argv, &o) != 0)
        return 2;
    if (o.picture && gravsim_picture_available() && try_writing(o.picture) != 0) {
        fprintf(stderr, "gravsim: cannot write the picture %s: %s\n", o.picture, strerror(errno));
        return 1;
    }
    gravsim_bodies b;
    if (gravsim_bodies_alloc(&b, o.bodies) != 0) {
        fprintf(stderr, "gravsim: out of memory for %d bodies\n", o.bodies);
        return 1;
    }
    gravsim_disk(&b, seed, softening);
    o.members = gravsim_region_members(o.bodies, o.members);
    // GRAVSIM_WIDTH=SSE2 (or AVX2, AVX-512) runs a narrower host body than
    // the widest, to compare them.
    const char *width = getenv("GRAVSIM_WIDTH");
    if (width && *width && gravsim_use_vector_width(width) != 0)
        fprintf(stderr, "gravsim: GRAVSIM_WIDTH=%s is not a vector width this processor runs (AVX-512, AVX2, SSE2)\n",
                width);
    printf("gravsim: %d bodies, %d steps, dt %g, eps %g, damping %g\n", o.bodies, o.steps, (double)time_step,
           (double)softening, (double)damping);
    if (o.members == 1)
        printf("each kernel call is one share (a one-member region): the devices and agents take pieces of it, the\n"
               "calling thread computes what they leave\n");
    else
        printf("each kernel call is cut into %d shares (the members of its parallel region), which the pool's\n"
               "threads, the devices and the agents take in balance\n",
               o.members);
    printf("host vector width: %s (the pool's accelerations, %d bodies side by side)\n", gravsim_vector_width(),
           QIV_HOST_LANES);

    gravsim_invariants before, after;
    gravsim_measure(&b, softening, &before);

    const char *server = getenv("QIV_NETLOAD_SERVER");
    int agents = server && *server;
    if (agents)
        printf("agents: the zeqworker agents of %s share every step with the pool and the devices\n", server);

    // The empty kernel first: it starts the device service threads (and,
    // with agents, the remote client, which copies the module to them), so
    // the timed steps measure the work and not the runtime's start-up.
    gravsim_idle(b.pos, b.n, o.members);
    gravsim_tally_reset();

    int interactive = isatty(1);
    double start = now_seconds(), drawing = 0;
    int failed = 0;
    for (int step = 1; step <= o.steps && !failed; ++step) {
        gravsim_accelerations(b.pos, b.acc, b.n, 0.0f, softening, o.members);
        gravsim_time_step(b.acc, b.vel, b.pos, damping, time_step, b.n, o.members);
        if (o.picture && o.frame_every > 0 && step % o.frame_every == 0) {
            double t0 = now_seconds();
            failed = write_frame(&o, step, &b) != 0;
            drawing += now_seconds() - t0;
        }
        show_progress(step, o.steps, now_seconds() - start - drawing, interactive);
    }
    double elapsed = now_seconds() - start - drawing;
    if (interactive)
        printf("\n");

    gravsim_measure(&b, softening, &after);
    double steps_per_s = elapsed > 0 ? o.steps / elapsed : 0;
    double interactions = (double)b.n * (double)b.n * o.steps;
    printf("done in %.2f s: %.1f steps/s, %.3g body-body interactions/s\n", elapsed, steps_per_s,
           elapsed > 0 ? interactions / elapsed : 0.0);
    report_site("accelerations", gravsim_site_accelerations, true);
    report_site("time_step", gravsim_site_time_step, false);

    double momentum_change[3];
    for (int c = 0; c < 3; ++c)
        momentum_change[c] = after.momentum[c] - before.momentum[c];
    double energy_drift = fabs(after.energy - before.energy) / fabs(before.energy);
    double momentum_drift = length3(momentum_change) / before.speed_sum;
    double momentum_bound = fmax(healthy_momentum_drift_least, healthy_momentum_drift_per_step * o.steps);
    printf("energy: %.6f -> %.6f, relative drift %.2e (%s below %.0e, the time step's error)\n", before.energy,
           after.energy, energy_drift, energy_drift < healthy_energy_drift ? "healthy:" : "TOO LARGE, healthy is",
           healthy_energy_drift);
    printf("momentum: |sum v| %.2e -> %.2e, drift %.2e of sum |v| (%s below %.1e, float rounding only)\n",
           length3(before.momentum), length3(after.momentum), momentum_drift,
           momentum_drift < momentum_bound ? "healthy:" : "TOO LARGE, healthy is", momentum_bound);
    if (energy_drift >= healthy_energy_drift || momentum_drift >= momentum_bound)
        printf("  a drift far above its bound means some share was computed wrong: bodies left out or counted twice\n");

    if (o.picture && !failed) {
        failed = write_picture(o.picture, &b) != 0;
        if (!failed && gravsim_picture_available()) {
            printf("picture: %s (%dx%d)\n", o.picture, picture_size, picture_size);
            printf("  the bodies from above (x right, y up, -%g to %g each way; the disk began with radius 1),\n"
                   "  brighter where more lie (log scale), orange when slow to light blue at twice the mean speed\n",
                   (double)picture_extent, (double)picture_extent);
        }
    }
    gravsim_bodies_free(&b);
    return failed ? 1 : 0;
}
