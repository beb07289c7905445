/* gravsim_state.h: the bodies of a run, their initial state and the
 * conserved quantities the program reports.
 *
 * A body has unit inertia and a weight w that gravity acts on: the force
 * between i and j is w_i w_j / r^2 (softened), and the time step adds
 * acc * w * dt to the velocity.  So the conserved quantities are the momentum
 * sum of v and the energy sum of v^2 / 2 less the softened pair potential
 * w_i w_j / sqrt(r^2 + eps).  Both are summed in double, in a fixed order.
 */
#ifndef GRAVSIM_STATE_H
#define GRAVSIM_STATE_H

#include <stdint.h>

struct gravsim_bodies {
    int n;
    float *pos; /* 4 * n: x, y, z, w */
    float *vel; /* 4 * n: x, y, z, unused */
    float *acc; /* 3 * n */
};

/* Allocates the three arrays (zeroed); 0 on success, -1 when out of memory. */
int gravsim_bodies_alloc(struct gravsim_bodies *b, int n);
void gravsim_bodies_free(struct gravsim_bodies *b);

/* A rotating disk of radius 1 and thickness about 0.02, total w^2 n of
 * 1, from a fixed seed: the same bodies on every machine and flavour.  Each
 * body moves near the circular orbit of the softened field of the bodies
 * inside its radius, with a random part; the mean velocity is removed. */
void gravsim_disk(struct gravsim_bodies *b, uint32_t seed, float eps);

struct gravsim_invariants {
    double energy;
    double momentum[3];
    double speed_sum; /* sum of |v|: the scale the momentum drift is measured on */
};

/* Direct O(n^2) sums in double. */
void gravsim_measure(const struct gravsim_bodies *b, float eps, struct gravsim_invariants *out);

#endif
