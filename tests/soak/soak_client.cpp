// The soak's client and reference: gravsim steps from gravsim's own disk,
// each step's time on standard output as it ends, and the bodies' final
// positions and velocities in a state file for the driver to compare.
//
//   zeq_soak --client <state file> <bodies> <steps> <stop file> agents|pool
//
// steps 0: run until the stop file exists (the client, whose length the
// faults decide); otherwise exactly that many (the reference).  "agents"
// alternates balanced steps (pool and agents) with steps in one-member
// regions, where an agent takes the whole call: on a machine whose cores
// the agents share, the balance keeps slow agents out of most calls, and the
// soak wants them to serve.  "pool" keeps every call on the pool.  The
// bodies are the same in every mode and flavour, so the modes must agree bit
// for bit.
#include "soak.h"

#include "gravsim_host.h"
#include "gravsim_state.h"
#include "zeq_runtime.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

const float time_step = 0.004f;
const float softening = 0.0025f;
const uint32_t disk_seed = 20240611u;

double now_ms(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return 1e3 * (double)t.tv_sec + 1e-6 * (double)t.tv_nsec;
}

int write_state(const char *path, const gravsim_bodies &b, int steps)
{
    FILE *out = fopen(path, "wb");
    if (!out)
        return -1;
    int32_t head[2] = {b.n, steps};
    bool ok = fwrite(head, sizeof head, 1, out) == 1 && fwrite(b.pos, sizeof(float) * 4, (size_t)b.n, out) == (size_t)b.n &&
              fwrite(b.vel, sizeof(float) * 4, (size_t)b.n, out) == (size_t)b.n;
    return fclose(out) == 0 && ok ? 0 : -1;
}

void print_tallies(FILE *out)
{
    for (int a = 0; a < qiv_exported_agent_count(); ++a)
        fprintf(out, "agent %d shares %lld items %lld\n", a, qiv_exported_agent_shares(a), qiv_exported_agent_items(a));
    fflush(out);
}

// SIGTERM from the driver, which gave up on a hung step: the tallies so far
// for its report, then the end.  The counters are atomics the runtime keeps
// current; stdio here is not signal-safe, but the process ends right after.
void on_term(int)
{
    print_tallies(stdout);
    _exit(5);
}

} // namespace

int soak_client_main(int argc, char **argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: zeq_soak --client <state file> <bodies> <steps> <stop file> agents|pool\n");
        return 2;
    }
    const char *state_path = argv[2], *stop_path = argv[5];
    int bodies = atoi(argv[3]), steps = atoi(argv[4]);
    bool agents = strcmp(argv[6], "agents") == 0;
    gravsim_bodies b;
    if (bodies < gravsim_tile || bodies % gravsim_tile != 0 || gravsim_bodies_alloc(&b, bodies) != 0) {
        fprintf(stderr, "zeq_soak: bad body count %d\n", bodies);
        return 2;
    }
    gravsim_disk(&b, disk_seed, softening);
    signal(SIGTERM, on_term);
    gravsim_use_workers(agents ? gravsim_workers_all : gravsim_workers_pool);
    // The runtime alone answers for failed shares: gravsim's own fallback,
    // which computes a failed call again whole, would hide a loss.
    gravsim_recompute_failed_calls(0);
    gravsim_idle(b.pos, b.n, 0);
    // Devices compute other bits: the soak compares the pool with agents
    // alone, so a device slot here spoils the run rather than passing it.
    if (qiv_exported_slot_count() != 1) {
        fprintf(stderr, "zeq_soak: %d device slot(s) present, the soak runs without devices\n",
                qiv_exported_slot_count() - 1);
        return 3;
    }
    int done = 0;
    while (steps > 0 ? done < steps : access(stop_path, F_OK) != 0) {
        if (agents)
            gravsim_use_workers(done % 2 ? gravsim_workers_alone : gravsim_workers_all);
        double t0 = now_ms();
        gravsim_accelerations(b.pos, b.acc, b.n, 0.0f, softening, 0);
        gravsim_time_step(b.acc, b.vel, b.pos, 1.0f, time_step, b.n, 0);
        ++done;
        printf("step %d %.3f\n", done, now_ms() - t0);
        fflush(stdout);
    }
    print_tallies(stdout);
    int written = write_state(state_path, b, done);
    printf("steps %d\n", done);
    gravsim_bodies_free(&b);
    return written == 0 ? 0 : 4;
}

void soak_read_progress(soak_run *run)
{
    std::ifstream in(run->client_out);
    if (!in)
        return;
    in.seekg(run->progress.offset);
    std::string line;
    // Only whole lines: the client may be writing the next one now.
    while (std::getline(in, line) && !in.eof()) {
        run->progress.offset += (long)line.size() + 1;
        int step = 0;
        double ms = 0;
        if (sscanf(line.c_str(), "step %d %lf", &step, &ms) == 2) {
            run->progress.steps = step;
            run->progress.last_change = soak_now();
            if (ms > run->progress.longest_ms) {
                run->progress.longest_ms = ms;
                run->progress.longest_step = step;
            }
        }
    }
}
