// gravsim's physics against oracles of the test's own, not against a copy of
// the kernels' arithmetic: what the host step functions produce must conserve
// energy and momentum, and two bodies started on a circle must come round in
// the period that the model's law predicts.  A wrong sign, weight or factor in
// the .zeq bodies agrees with itself bit for bit; it fails here.
//
// The model (gravsim_state.h): unit inertia, and a pull between bodies i and j
// of w_i w_j d / (|d|^2 + eps)^(3/2), so body i's velocity changes by
// w_i * sum_j w_j d / (|d|^2 + eps)^(3/2) per unit time.  Every call runs on
// the host alone, so the result does not depend on the machine's devices.
#include "gravsim_host.h"

#include <gtest/gtest.h>
#include <math.h>

#include <vector>

namespace {

struct host_only_env : ::testing::Environment {
    void SetUp() override { gravsim_host_only(1); }
};
::testing::Environment *const host_only = ::testing::AddGlobalTestEnvironment(new host_only_env);

struct system_state {
    int n;
    std::vector<float> pos, vel, acc;
    explicit system_state(int count) : n(count), pos(4 * (size_t)count), vel(4 * (size_t)count), acc(3 * (size_t)count) {}
    void step(float eps, float dt)
    {
        gravsim_accelerations(pos.data(), acc.data(), n, 0.0f, eps, 0);
        gravsim_time_step(acc.data(), vel.data(), pos.data(), 1.0f, dt, n, 0);
    }
};

// Kinetic plus softened pair potential, in double, of positions and
// velocities given apart (see the conservation test for why).
double energy(const std::vector<float> &pos, const std::vector<double> &vel, int n, double eps)
{
    double e = 0;
    for (int i = 0; i < n; ++i) {
        const double *v = &vel[3 * i];
        const float *p = &pos[4 * i];
        e += 0.5 * (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        for (int j = i + 1; j < n; ++j) {
            const float *q = &pos[4 * j];
            double dx = (double)q[0] - p[0], dy = (double)q[1] - p[1], dz = (double)q[2] - p[2];
            e -= (double)p[3] * q[3] / sqrt(dx * dx + dy * dy + dz * dz + eps);
        }
    }
    return e;
}

// A lumpy cluster of our own: bodies in a unit ball, weights from 0.5 to 1.5
// of the mean (unequal weights make a fault that uses the wrong body's weight
// break the balance of the pulls), and random velocities of about half the
// virial speed.  No orbit is tuned: any state conserves the two sums.
system_state cluster(int n)
{
    system_state s(n);
    unsigned x = 12345u;
    auto uniform = [&x]() {
        x = x * 1103515245u + 12345u;
        return (double)(x >> 8) / 16777216.0;
    };
    for (int i = 0; i < n; ++i) {
        double p[3], r2;
        do {
            for (double &c : p)
                c = 2 * uniform() - 1;
            r2 = p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
        } while (r2 > 1);
        for (int c = 0; c < 3; ++c) {
            s.pos[4 * i + c] = (float)p[c];
            s.vel[4 * i + c] = (float)(0.6 * (2 * uniform() - 1));
        }
        s.pos[4 * i + 3] = (float)((0.5 + uniform()) / sqrt((double)n));
    }
    return s;
}

// 300 undamped steps of a 256-body cluster.  The step kicks, then drifts:
// the velocity it leaves stands half a step after the positions it moved
// from, so the energy is measured at those positions with the mean of the
// velocities before and after the step, the leapfrog's velocity at that time.
// Leapfrog is symplectic and of second order: the energy error stays bounded,
// of order (dt / crossing time)^2 (the softening keeps close passes smooth),
// about 2e-6 of |E| here with float positions.  The bound 1e-4 leaves a
// margin of forty, while a step that heats or cools the system (a lost half
// of the kick, a doubled drift, an attraction turned repulsion) moves it by
// per cents.
// The pulls are equal and opposite, so the momentum sum changes only by the
// rounding of float sums of 256 terms per step: 1e-6 of the speed sum bounds
// 300 steps of that (3e-8 measured) with a margin, and a one-sided weight or
// a lost term breaks it at once.
TEST(GravsimPhysics, UndampedStepsConserveEnergyAndMomentum)
{
    const float eps = 0.05f, dt = 0.004f;
    system_state s = cluster(256);
    const int n = s.n;
    double speed_sum = 0, p0[3] = {0, 0, 0};
    for (int i = 0; i < n; ++i) {
        const float *v = &s.vel[4 * i];
        speed_sum += sqrt((double)v[0] * v[0] + (double)v[1] * v[1] + (double)v[2] * v[2]);
        for (int c = 0; c < 3; ++c)
            p0[c] += v[c];
    }
    double e0 = 0, worst_e = 0, worst_p = 0;
    std::vector<double> mean_vel(3 * (size_t)n);
    for (int k = 0; k < 300; ++k) {
        system_state before = s;
        s.step(eps, dt);
        double p[3] = {0, 0, 0};
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < 3; ++c) {
                mean_vel[3 * i + c] = 0.5 * ((double)before.vel[4 * i + c] + s.vel[4 * i + c]);
                p[c] += s.vel[4 * i + c];
            }
        double e = energy(before.pos, mean_vel, n, eps);
        if (k == 0)
            e0 = e;
        worst_e = fmax(worst_e, fabs(e - e0) / fabs(e0));
        for (int c = 0; c < 3; ++c)
            worst_p = fmax(worst_p, fabs(p[c] - p0[c]) / speed_sum);
    }
    EXPECT_LT(worst_e, 1e-4) << "energy " << e0 << " drifted";
    EXPECT_LT(worst_p, 1e-6) << "momentum drifted";
}

// Two bodies of weights w1 and w2 at distance r, the rest weightless far
// away.  Their separation obeys d'' = -2 w1 w2 d / (|d|^2 + eps)^(3/2) (each
// body's acceleration is its own weight times the other's pull), so a circle
// of radius r is an orbit of angular speed omega = sqrt(2 w1 w2 / (r^2 +
// eps)^1.5): the period T = 2 pi sqrt(r^3 / GM) with GM = 2 w1 w2 and r^2
// made r^2 + eps by the softening.  Both bodies circle their common centre
// (their momenta cancel) at r/2, opposite each other.
//
// The step kicks before it drifts, so the velocity it carries stands half a
// step behind the positions; started there, the method is the second-order
// leapfrog, whose phase error after one period of N steps is
// 2 pi (2 pi / N)^2 / 24, 6.5e-5 rad for N = 400: 3e-5 at radius 0.5 (3.4e-5
// measured).  Rounding the positions costs about an ulp of 0.5 (6e-8) a
// step, 2.4e-5 over 400 steps.  The tolerance 5e-4 stands above both with a
// margin, and below the 6e-3 that a law without the softening would miss by
// at least (eps = 0.0025 stretches T by 0.19 per cent); a wrong factor in the
// weights or the step misses by far more.  Half a period puts the bodies on
// the opposite points, which also catches a step that runs the orbit twice
// as fast and so is back at the start after T as well.
TEST(GravsimPhysics, CircularTwoBodyOrbitKeepsItsPeriod)
{
    const int n = 256, steps = 400;
    const double eps = 0.0025, r = 1.0, w1 = 0.5, w2 = 2.0;
    const double omega = sqrt(2 * w1 * w2 / pow(r * r + eps, 1.5));
    const float dt = (float)(2 * M_PI / omega / steps);
    system_state s(n);
    for (int i = 2; i < n; ++i)
        s.pos[4 * i] = 100.0f + (float)i;
    // Body 0 at angle pi, body 1 at angle 0; velocities at time -dt/2.
    const double weights[2] = {w1, w2}, phase[2] = {M_PI, 0.0};
    for (int b = 0; b < 2; ++b) {
        double a = phase[b] - omega * dt / 2;
        s.pos[4 * b + 0] = (float)(r / 2 * cos(phase[b]));
        s.pos[4 * b + 1] = (float)(r / 2 * sin(phase[b]));
        s.pos[4 * b + 3] = (float)weights[b];
        s.vel[4 * b + 0] = (float)(-omega * r / 2 * sin(a));
        s.vel[4 * b + 1] = (float)(omega * r / 2 * cos(a));
    }
    const system_state start = s;
    // After T/2 each body stands where the other started, after T where it
    // started itself (steps * dt is T to float rounding, 1e-7 of it).
    for (int k = 1; k <= steps; ++k) {
        s.step((float)eps, dt);
        if (k != steps / 2 && k != steps)
            continue;
        for (int b = 0; b < 2; ++b) {
            int mark = k == steps ? b : 1 - b;
            double miss = hypot(s.pos[4 * b] - start.pos[4 * mark], s.pos[4 * b + 1] - start.pos[4 * mark + 1]);
            EXPECT_LT(miss, 5e-4) << "body " << b << " after " << k << " of " << steps << " steps";
            EXPECT_EQ(s.pos[4 * b + 2], 0.0f);
        }
    }
}

} // namespace
