// coexec_bench: how well one gravsim call shared in balance uses the workers
// it has, against each of them alone, every figure from this one process.
//
//   coexec_bench calls <bodies> <timed calls> [alone]
//       The accelerations on the pool alone, on the one non-pool worker alone
//       (with "alone": the device slot or the one agent present) and shared
//       by all in balance: median milliseconds per call, the balance of the
//       balanced calls and where their items went.
//   coexec_bench steps <bodies> <steps per batch> <batches>
//       Whole steps (accelerations and time step), on the pool alone and
//       shared by all: median steps per second over the batches.
//
// Workers are whatever the environment gives: QIV_NETLOAD_SERVER for agents,
// a device library for device slots.  bench/coexec/run.sh sets the scenes
// and works out the efficiency from the figures, printed one per line as
// "name value" for it to read.
//
// The modes take turns call by call (pool, alone, balanced, pool, ...), so
// that a neighbour's load on the machine falls on all of them alike rather
// than on whichever ran last.  Warm-up calls come first in every mode: the
// first calls copy the module to the agents, compile the device kernels and
// teach the runtime the workers' rates, which it keeps for the process.
//
// Every mode's result is checked against the pool's: bit for bit where only
// the host and agents computed (the same translated arithmetic), within the
// tests' device tolerance where a device took part.  A figure from a wrong
// result is no figure: the program then says so and exits 1.
#include "gravsim_host.h"
#include "gravsim_reference.h"
#include "gravsim_state.h"
#include "zeq_runtime.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const float eps = 0.0025f;
const int warm_up_calls = 3;

enum { mode_pool, mode_alone, mode_all, modes };
const char *const mode_names[modes] = {"pool", "alone", "co"};
const int mode_workers[modes] = {gravsim_workers_pool, gravsim_workers_alone, gravsim_workers_all};

double now_ms(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return 1e3 * (double)t.tv_sec + 1e-6 * (double)t.tv_nsec;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t h = v.size() / 2;
    return v.size() % 2 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

// Items per worker as the runtime counts them: device slots from 1, then the
// agents; the pool's are what is left of the calls' items.
struct worker_items {
    std::vector<long long> slots, agents;
};

void read_items(worker_items *w)
{
    int slots = qiv_exported_slot_count(), agents = qiv_exported_agent_count();
    w->slots.assign(slots > 1 ? slots - 1 : 0, 0);
    for (int s = 1; s < slots; ++s)
        w->slots[s - 1] = qiv_exported_slot_items(s);
    w->agents.assign(agents > 0 ? agents : 0, 0);
    for (int a = 0; a < agents; ++a)
        w->agents[a] = qiv_exported_agent_items(a);
}

// Adds what each worker computed between two readings to *sum.
void add_items(worker_items *sum, const worker_items &before, const worker_items &after)
{
    sum->slots.resize(after.slots.size());
    sum->agents.resize(after.agents.size());
    for (size_t s = 0; s < after.slots.size(); ++s)
        sum->slots[s] += after.slots[s] - (s < before.slots.size() ? before.slots[s] : 0);
    for (size_t a = 0; a < after.agents.size(); ++a)
        sum->agents[a] += after.agents[a] - (a < before.agents.size() ? before.agents[a] : 0);
}

// "pool 51.2% slot1 48.8% agent0 0.0%": each worker's part of `total` items.
std::string shares(const worker_items &took, long long total)
{
    std::string text;
    long long others = 0;
    char part[64];
    for (size_t s = 0; s < took.slots.size(); ++s) {
        others += took.slots[s];
        snprintf(part, sizeof part, " slot%zu %.1f%%", s + 1, 100.0 * (double)took.slots[s] / (double)total);
        text += part;
    }
    for (size_t a = 0; a < took.agents.size(); ++a) {
        others += took.agents[a];
        snprintf(part, sizeof part, " agent%zu %.1f%%", a, 100.0 * (double)took.agents[a] / (double)total);
        text += part;
    }
    snprintf(part, sizeof part, "pool %.1f%%", 100.0 * (double)(total - others) / (double)total);
    return part + text;
}

struct mode_figures {
    std::vector<double> ms;
    std::vector<double> balance; // first worker's finish over the last one's, balanced calls only
    worker_items took;           // items per worker over the timed calls
    double error = 0;
    bool exact = true;
};

// The balance of the accelerations call just made, when the runtime shared
// it in balance (gravsim's tally then counts one balanced call more).
bool last_balance(long long balanced_before, double *balance)
{
    gravsim_tally t;
    gravsim_tally_read(gravsim_site_accelerations, &t);
    if (t.balanced_calls == balanced_before)
        return false;
    *balance = t.balance[(t.balanced_calls - 1) % gravsim_balance_window];
    return true;
}

long long balanced_calls(void)
{
    gravsim_tally t;
    gravsim_tally_read(gravsim_site_accelerations, &t);
    return t.balanced_calls;
}

// One timed call of the accelerations in `mode`, and its balance.
void timed_call(gravsim_bodies *b, int mode, mode_figures *f)
{
    gravsim_use_workers(mode_workers[mode]);
    long long before = balanced_calls();
    double start = now_ms();
    gravsim_accelerations(b->pos, b->acc, b->n, 0.0f, eps, 0);
    f->ms.push_back(now_ms() - start);
    double balance;
    if (last_balance(before, &balance))
        f->balance.push_back(balance);
}

// The bodies every mode starts from, the same disk in every run.
bool prepare_bodies(gravsim_bodies *b, int n)
{
    if (gravsim_bodies_alloc(b, n) != 0) {
        fprintf(stderr, "coexec_bench: out of memory\n");
        return false;
    }
    gravsim_disk(b, 20240611u, eps);
    return true;
}

int run_calls(int n, int calls, bool alone)
{
    gravsim_bodies b;
    if (!prepare_bodies(&b, n))
        return 1;
    gravsim_use_workers(gravsim_workers_pool);
    gravsim_accelerations(b.pos, b.acc, n, 0.0f, eps, 0);
    std::vector<float> want(b.acc, b.acc + 3 * (size_t)n);

    mode_figures figures[modes];
    std::vector<int> used = {mode_pool, mode_all};
    if (alone)
        used.insert(used.begin() + 1, mode_alone);
    for (int mode : used)
        for (int w = 0; w < warm_up_calls; ++w) {
            mode_figures ignored;
            timed_call(&b, mode, &ignored);
        }
    for (int c = 0; c < calls; ++c)
        for (int mode : used) {
            mode_figures *f = &figures[mode];
            worker_items before, after;
            read_items(&before);
            memset(b.acc, 0, 3 * sizeof(float) * (size_t)n);
            timed_call(&b, mode, f);
            read_items(&after);
            add_items(&f->took, before, after);
            f->error = std::max(f->error, reference_relative_error(b.acc, want.data(), want.size()));
            f->exact = f->exact && memcmp(b.acc, want.data(), want.size() * sizeof(float)) == 0;
        }

    int wrong = 0;
    for (int mode : used) {
        mode_figures *f = &figures[mode];
        printf("T_%s_ms %.3f\n", mode_names[mode], median(f->ms));
        printf("%s_items %s\n", mode_names[mode], shares(f->took, (long long)n * calls).c_str());
        bool device_took = std::any_of(f->took.slots.begin(), f->took.slots.end(), [](long long s) { return s > 0; });
        bool right = device_took ? f->error < reference_acc_tolerance : f->exact;
        printf("%s_result %s (largest difference %.2e of the RMS)\n", mode_names[mode],
               right ? (f->exact ? "exact" : "within the device tolerance") : "WRONG", f->error);
        wrong += right ? 0 : 1;
    }
    mode_figures *co = &figures[mode_all];
    if (!co->balance.empty())
        printf("balance_pct %.1f\nbalance_worst_pct %.1f\n", 100.0 * median(co->balance),
               100.0 * *std::min_element(co->balance.begin(), co->balance.end()));
    gravsim_bodies_free(&b);
    if (wrong)
        fprintf(stderr, "coexec_bench: %d mode(s) computed wrong accelerations: their times mean nothing\n", wrong);
    return wrong ? 1 : 0;
}

// Whole steps: the accelerations, then the time step, as gravsim runs them.
double steps_per_s(gravsim_bodies *b, int mode, int steps)
{
    gravsim_use_workers(mode_workers[mode]);
    double start = now_ms();
    for (int s = 0; s < steps; ++s) {
        gravsim_accelerations(b->pos, b->acc, b->n, 0.0f, eps, 0);
        gravsim_time_step(b->acc, b->vel, b->pos, 1.0f, 0.004f, b->n, 0);
    }
    double ms = now_ms() - start;
    return ms > 0 ? 1e3 * steps / ms : 0;
}

int run_steps(int n, int steps, int batches)
{
    gravsim_bodies b;
    if (!prepare_bodies(&b, n))
        return 1;
    const int used[] = {mode_pool, mode_all};
    std::vector<double> rates[modes];
    for (int mode : used)
        steps_per_s(&b, mode, steps);
    for (int c = 0; c < batches; ++c)
        for (int mode : used)
            rates[mode].push_back(steps_per_s(&b, mode, steps));
    for (int mode : used)
        printf("%s_steps_per_s %.2f\n", mode_names[mode], median(rates[mode]));
    // The accelerations' balance over the last balanced steps.
    gravsim_tally t;
    gravsim_tally_read(gravsim_site_accelerations, &t);
    double mean, worst;
    if (gravsim_balance(&t, &mean, &worst) > 0)
        printf("balance_pct %.1f\nbalance_worst_pct %.1f\n", 100.0 * mean, 100.0 * worst);
    gravsim_bodies_free(&b);
    return 0;
}

int usage(void)
{
    fprintf(stderr, "Usage: coexec_bench calls <bodies> <timed calls> [alone]\n"
                    "       coexec_bench steps <bodies> <steps per batch> <batches>\n"
                    "bodies: a positive multiple of %d\n",
            gravsim_tile);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4)
        return usage();
    int n = atoi(argv[2]), count = atoi(argv[3]);
    if (n < gravsim_tile || n % gravsim_tile != 0 || count < 1)
        return usage();
    printf("processors %d\nvector_width %s\n", gravsim_processors(), gravsim_vector_width());
    if (strcmp(argv[1], "calls") == 0 && argc <= 5)
        return run_calls(n, count, argc == 5 && strcmp(argv[4], "alone") == 0);
    if (strcmp(argv[1], "steps") == 0 && argc == 5 && atoi(argv[4]) > 0)
        return run_steps(n, count, atoi(argv[4]));
    return usage();
}
