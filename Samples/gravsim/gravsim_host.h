/* gravsim_host.h: the program's calls of gravsim.zeq's three coload functions.
 *
 * zeqhost translates gravsim.zeq into the host side of each call (the call
 * site, the descriptor list, the region): each call opens a parallel region,
 * offers the work from member 0 to the runtime's workers, which share it in
 * balance (the pool, every device slot and every zeqworker agent at once),
 * and runs the host body over every member that no device or agent took.
 * The functions here steer those calls (members, who may take a share, the
 * body's vector width), count where the work ran, and compute a call again
 * on the host when a share failed.  The region's member count is a
 * parameter: 0 gives the default (gravsim_region_members), 1 the one-member
 * region of the remote module, where the devices take the range in pieces
 * and the calling thread computes whatever they leave.
 *
 * Arrays are plain floats by record: pos and vel four per body (x, y, z, w),
 * acc three.  n is a positive multiple of 256.
 */
#ifndef GRAVSIM_HOST_H
#define GRAVSIM_HOST_H

enum {
    gravsim_tile = 256,          /* bodies per tile of the force sum */
    gravsim_max_members = 64,    /* pool members the host tally tells apart */
    gravsim_max_agents = 64,     /* agent numbers the tally tells apart */
    gravsim_max_slots = 32,      /* device slots the tally tells apart (slot 0 is the remote slot) */
    gravsim_balanced_members = 64, /* the most members a default region has */
    gravsim_balance_window = 20, /* calls whose balance the tally keeps */
};

/* acc = accelerations of all n bodies from all n bodies.  spare is passed on
 * to the devices and read by nobody. */
void gravsim_accelerations(float *pos, float *acc, int n, float spare, float eps, int members);

/* One damped time step of velocities and positions. */
void gravsim_time_step(const float *acc, float *vel, float *pos, float damping, float dt, int n, int members);

/* The empty kernel: a whole coload call that changes nothing. */
void gravsim_idle(float *pos, int n, int members);

/* Who computes the later calls.  all (the default): the pool, the device
 * slots and, where QIV_NETLOAD_SERVER names a server folder, the agents, in
 * balance.  pool: the pool alone (the call sites' status word, which the
 * runtime reads and never writes).  alone: a one-member region, so the whole
 * call goes to the one worker present besides the pool, a device slot or an
 * agent, and the calling thread computes it only if nobody takes it. */
enum { gravsim_workers_all, gravsim_workers_pool, gravsim_workers_alone };
void gravsim_use_workers(int mode);
/* Nonzero (the default): a call whose Status says a share failed is
 * computed again on the host, whole, from the arrays as they were before
 * it.  That covers what the runtime cannot compute again for the caller (a
 * device that computed wrong sums with groups smaller than the tile).  Zero:
 * the results stand as the runtime leaves them, which computes every share
 * that failed again itself; the chaos soak checks exactly that. */
void gravsim_recompute_failed_calls(int on);

/* Nonzero: gravsim_use_workers(gravsim_workers_pool); zero: all. */
void gravsim_host_only(int on);

/* The region's member count for a call of n bodies given `members`: 1 in
 * the alone mode, else `members` when positive, else the default, the
 * largest power of two up to gravsim_balanced_members that divides the
 * tiles.  Many members keep the caller's own (member 0, which the host
 * computes after everyone else is done) small and the pool's last members
 * short; a whole number of tiles in every member lets a device take any of
 * them, in groups of one tile. */
int gravsim_region_members(int n, int members);

/* The vector width of the host's accelerations body: "AVX-512", "AVX2" or
 * "SSE2" (the baseline of both flavours), the widest this processor runs
 * unless gravsim_use_vector_width chose another.  Every width gives the same
 * bits.  The program's pool and the agents' module gravsim_net.so both take
 * their body from here (gravsim_widths.cpp). */
const char *gravsim_vector_width(void);
/* 0, or -1 when the name is none of the three or the processor lacks it. */
int gravsim_use_vector_width(const char *name);
typedef void gravsim_accelerations_body_fn(float *pos, float *acc, int n, float spare, float eps,
                                           int qiv_extra_arg_offs);
/* The accelerations body in the width in use. */
gravsim_accelerations_body_fn *gravsim_accelerations_host_body(void);

/* The processors this process may run on: the pool's threads. */
int gravsim_processors(void);

/* Where each call site's items ran since the last reset: on the host per
 * region member, on the devices per slot, on the agents per agent number (a
 * call computed again on the host after a failed share counts both times);
 * and how well the last balanced calls were balanced. */
struct gravsim_tally {
    long long calls;
    long long items;                              /* n summed over the calls */
    long long host_items[gravsim_max_members];    /* by member index; the last row takes the rest */
    long long slot_items[gravsim_max_slots];      /* by device slot */
    long long agent_items[gravsim_max_agents];    /* by agent number; the last row takes the rest */
    long long balanced_calls;                     /* calls shared in balance by two workers or more */
    /* Per balanced call, the time its first worker finished as a fraction of
     * its last's: 1 is perfect balance.  A ring of the last calls, the call
     * numbered k in row k % gravsim_balance_window. */
    double balance[gravsim_balance_window];
};

enum { gravsim_site_accelerations, gravsim_site_time_step, gravsim_site_idle, gravsim_sites };

/* The line of gravsim.zeq that a call site's record names (the kernel is
 * fline<line> in the generated sources), for the program's reports; -1 for
 * no site. */
int gravsim_site_line(int site);

void gravsim_tally_read(int site, struct gravsim_tally *out);
/* The mean and the worst (lowest) balance of the tally's last balanced
 * calls; returns how many calls they cover (0: none, and both are 0). */
int gravsim_balance(const struct gravsim_tally *t, double *mean, double *worst);
void gravsim_tally_reset(void);

#endif
