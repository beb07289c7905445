/* gravsim_reference.h: the N-body arithmetic written plainly, one body after
 * the other and one partner after the other, for the tests to compare the
 * translated host bodies against.  No tiles, no regions, no runtime: if the
 * tiled and shared versions agree with this bit for bit, the tiling, the
 * share boundaries and the partial sums kept in acc changed nothing. */
#ifndef GRAVSIM_REFERENCE_H
#define GRAVSIM_REFERENCE_H

#include <math.h>
#include <stddef.h>
#include <string.h>

#include <vector>

#include "gravsim_state.h"

/* How far device results may stand from the host path: the largest
 * difference relative to the host's RMS.  The accelerations' partial sums run
 * in another order on a device, which stays far below 1e-4 of the typical
 * acceleration; the time step has no sums. */
static const double reference_acc_tolerance = 1e-4;
static const double reference_step_tolerance = 1e-5;

/* The largest difference of got from want, relative to want's RMS. */
static inline double reference_relative_error(const float *got, const float *want, size_t count)
{
    double squares = 0, worst = 0;
    for (size_t k = 0; k < count; ++k) {
        squares += (double)want[k] * want[k];
        worst = fmax(worst, fabs((double)got[k] - want[k]));
    }
    double rms = count ? sqrt(squares / (double)count) : 0;
    return rms > 0 ? worst / rms : worst;
}

static inline void reference_accelerations(const float *pos, float *acc, int n, float eps)
{
    for (int i = 0; i < n; ++i) {
        float ax = 0.0f, ay = 0.0f, az = 0.0f;
        for (int j = 0; j < n; ++j) {
            float dx = pos[4 * j + 0] - pos[4 * i + 0];
            float dy = pos[4 * j + 1] - pos[4 * i + 1];
            float dz = pos[4 * j + 2] - pos[4 * i + 2];
            float r2 = (dx * dx + dy * dy) + dz * dz;
            r2 = r2 + eps;
            float s = (float)sqrt((double)r2);
            float inv = 1.0f / s;
            float inv3 = inv * (inv * inv);
            float f = inv3 * pos[4 * j + 3];
            ax += f * dx;
            ay += f * dy;
            az += f * dz;
        }
        acc[3 * i + 0] = ax;
        acc[3 * i + 1] = ay;
        acc[3 * i + 2] = az;
    }
}

static inline void reference_time_step(const float *acc, float *vel, float *pos, float damping, float dt, int n)
{
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) {
            float v = vel[4 * i + c] + acc[3 * i + c] * pos[4 * i + 3] * dt;
            v = v * damping;
            pos[4 * i + c] = pos[4 * i + c] + v * dt;
            vel[4 * i + c] = v;
        }
}

/* Whether two arrays hold the same bits, and where they first differ (the
 * smaller size when they agree that far), for the bit-for-bit comparisons
 * and their failure messages. */
static inline bool same_bits(const std::vector<float> &a, const std::vector<float> &b)
{
    return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

static inline size_t first_difference(const std::vector<float> &a, const std::vector<float> &b)
{
    size_t k = 0;
    while (k < a.size() && k < b.size() && memcmp(&a[k], &b[k], sizeof(float)) == 0)
        ++k;
    return k;
}

/* A set of n bodies, zeroed; disk gives the sample's disk. */
struct bodies {
    int n;
    std::vector<float> pos, vel, acc;
    explicit bodies(int count) : n(count), pos(4 * (size_t)count), vel(4 * (size_t)count), acc(3 * (size_t)count) {}
};

static inline bodies disk(int n, uint32_t seed, float eps)
{
    bodies b(n);
    gravsim_bodies g = {n, b.pos.data(), b.vel.data(), b.acc.data()};
    gravsim_disk(&g, seed, eps);
    return b;
}

#endif
