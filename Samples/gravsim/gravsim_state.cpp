// Initial state and invariants of a gravsim run.  The generator is a 32-bit
// xorshift of our own rather than a library distribution, whose algorithms
// differ between library versions: a seed must give the same bodies on every
// build, both flavours included.
#include "gravsim_state.h"

#include <math.h>
#include <stdlib.h>

namespace {

uint32_t next_random(uint32_t *state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x;
}

// Uniform in [0, 1), 24 bits.
double uniform(uint32_t *state)
{
    return (double)(next_random(state) >> 8) * (1.0 / 16777216.0);
}

} // namespace

int gravsim_bodies_alloc(gravsim_bodies *b, int n)
{
    b->n = n;
    b->pos = static_cast<float *>(calloc((size_t)n * 4, sizeof(float)));
    b->vel = static_cast<float *>(calloc((size_t)n * 4, sizeof(float)));
    b->acc = static_cast<float *>(calloc((size_t)n * 3, sizeof(float)));
    if (!b->pos || !b->vel || !b->acc) {
        gravsim_bodies_free(b);
        return -1;
    }
    return 0;
}

void gravsim_bodies_free(gravsim_bodies *b)
{
    free(b->pos);
    free(b->vel);
    free(b->acc);
    b->pos = b->vel = b->acc = nullptr;
}

void gravsim_disk(gravsim_bodies *b, uint32_t seed, float eps)
{
    uint32_t state = seed ? seed : 1;
    int n = b->n;
    double w = 1.0 / sqrt((double)n);
    double mean[3] = {0, 0, 0};
    for (int i = 0; i < n; ++i) {
        // Uniform surface density: the radius goes as the root of a uniform
        // number, which is also the share of the bodies inside it.
        double inside = uniform(&state);
        double r = sqrt(inside);
        double angle = 2.0 * M_PI * uniform(&state);
        double z = 0.02 * (uniform(&state) + uniform(&state) + uniform(&state) - 1.5);
        float *p = b->pos + 4 * i;
        p[0] = (float)(r * cos(angle));
        p[1] = (float)(r * sin(angle));
        p[2] = (float)z;
        p[3] = (float)w;
        // Circular speed in the softened field of the weight inside r, as if
        // it sat at the centre: v^2 = w * W r^2 / (r^2 + eps)^(3/2) with
        // W = w n * inside.
        double field = w * (w * n * inside) * r * r / pow(r * r + eps, 1.5);
        double v = sqrt(field);
        // A random part of a fifth of the circular speed warms the disk: a
        // perfectly cold one breaks up into filaments within a few steps.
        double vr = 0.2 * v * (uniform(&state) + uniform(&state) - 1.0);
        double vt = v * (1.0 + 0.2 * (uniform(&state) + uniform(&state) - 1.0));
        float *q = b->vel + 4 * i;
        q[0] = (float)(vr * cos(angle) - vt * sin(angle));
        q[1] = (float)(vr * sin(angle) + vt * cos(angle));
        q[2] = 0.0f;
        q[3] = 0.0f;
        mean[0] += q[0];
        mean[1] += q[1];
    }
    for (int i = 0; i < n; ++i) {
        b->vel[4 * i + 0] -= (float)(mean[0] / n);
        b->vel[4 * i + 1] -= (float)(mean[1] / n);
    }
}

void gravsim_measure(const gravsim_bodies *b, float eps, gravsim_invariants *out)
{
    double kinetic = 0, potential = 0, speed = 0;
    double momentum[3] = {0, 0, 0};
    for (int i = 0; i < b->n; ++i) {
        const float *v = b->vel + 4 * i;
        double v2 = (double)v[0] * v[0] + (double)v[1] * v[1] + (double)v[2] * v[2];
        kinetic += 0.5 * v2;
        speed += sqrt(v2);
        for (int c = 0; c < 3; ++c)
            momentum[c] += v[c];
        const float *p = b->pos + 4 * i;
        for (int j = i + 1; j < b->n; ++j) {
            const float *q = b->pos + 4 * j;
            double dx = (double)q[0] - p[0], dy = (double)q[1] - p[1], dz = (double)q[2] - p[2];
            potential -= (double)p[3] * q[3] / sqrt(dx * dx + dy * dy + dz * dz + eps);
        }
    }
    out->energy = kinetic + potential;
    for (int c = 0; c < 3; ++c)
        out->momentum[c] = momentum[c];
    out->speed_sum = speed;
}
