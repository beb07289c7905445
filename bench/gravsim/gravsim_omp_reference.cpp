// The peer of the benchmark: gravsim's accelerations as a plain loop over the
// bodies under `#pragma omp parallel for`, every partner read straight from
// pos, the same single-precision arithmetic as the .zeq body (the benchmark
// checks that both give the same bits).  The build compiles it several
// times, OMP_ACCELERATIONS naming each copy: with GCC's defaults at -O3,
// with -fno-math-errno as gravsim's own bodies are built, and with
// -ffast-math -march=native, which reorders the sums (for information only).
#include <math.h>

#ifndef OMP_ACCELERATIONS
#error "OMP_ACCELERATIONS names this copy"
#endif

void OMP_ACCELERATIONS(const float *pos, float *acc, int n, float eps)
{
#pragma omp parallel for schedule(static)
    for (int i = 0; i < n; ++i) {
        float px = pos[4 * i + 0], py = pos[4 * i + 1], pz = pos[4 * i + 2];
        float ax = 0.0f, ay = 0.0f, az = 0.0f;
        for (int j = 0; j < n; ++j) {
            float dx = pos[4 * j + 0] - px;
            float dy = pos[4 * j + 1] - py;
            float dz = pos[4 * j + 2] - pz;
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
