/* gravsim_host.h: the host side of gravsim.zeq's three coload functions.
 *
 * Each call opens a parallel region, offers the work to the runtime's device
 * slots from member 0 and runs the translated host body (zeqremote's output
 * of the same .zeq text) over every share that no device claimed.  The
 * region's member count is a parameter: 0 spreads a call over the whole pool,
 * 1 gives the one-member region of the remote module, where the devices take
 * the range in pieces and the calling thread computes whatever they leave.
 *
 * Arrays are plain floats by record: pos and vel four per body (x, y, z, w),
 * acc three.  n is a positive multiple of 256.
 */
#ifndef GRAVSIM_HOST_H
#define GRAVSIM_HOST_H

enum {
    gravsim_tile = 256,          /* bodies per tile of the force sum */
    gravsim_line_accelerations = 144,
    gravsim_line_time_step = 345,
    gravsim_line_idle = 420,
    gravsim_max_members = 64,    /* pool members the host tally tells apart */
};

/* acc = accelerations of all n bodies from all n bodies.  spare is passed on
 * to the devices and read by nobody. */
void gravsim_accelerations(float *pos, float *acc, int n, float spare, float eps, int members);

/* One damped time step of velocities and positions. */
void gravsim_time_step(const float *acc, float *vel, float *pos, float damping, float dt, int n, int members);

/* The empty kernel: a whole coload call that changes nothing. */
void gravsim_idle(float *pos, int n, int members);

/* Nonzero: every later call runs on the host alone (the call sites' status
 * word, which the runtime reads and never writes). */
void gravsim_host_only(int on);

/* Items computed on the host since the last reset, per call site and per
 * region member; items of a call that the host did not compute went to the
 * device slots; which slot took how many, the runtime reports for the whole
 * run (qiv_exported_slot_items, as gravsim_main prints it). */
struct gravsim_tally {
    long long calls;
    long long items;                              /* n summed over the calls */
    long long host_items[gravsim_max_members];    /* by member index; the last row takes the rest */
};

enum { gravsim_site_accelerations, gravsim_site_time_step, gravsim_site_idle, gravsim_sites };

void gravsim_tally_read(int site, struct gravsim_tally *out);
void gravsim_tally_reset(void);

#endif
