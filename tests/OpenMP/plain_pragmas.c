/* A plain C program with OpenMP parallel pragmas, compiled by a compiler with
 * OpenMP support and linked against the runtime only (-lDeviro): shared
 * variables, firstprivate scalars of several types, the thread-count clause
 * in the runtime's encoding, a region without a clause and one that an
 * if-clause makes serial.  The exit status says whether every check held. */
#include <stdint.h>
#include <stdio.h>

int qiv_exported_pix(void);
int qiv_exported_pno(void);

/* The runtime reads the thread-count value as 2 x (members + 1), plus 1 for
 * a region whose owner does not wait for its members. */
#define JOINED(members) (((members) + 1) * 2)

static int failures;

static void check(int ok, const char *what)
{
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        failures++;
}

static int firstprivate_scalars(void)
{
    char c = 'z';
    short s = -12345;
    int i = 0x7fff1234;
    long long ll = -0x123456789abcdefLL;
    float f = 3.25f;
    double d = -1.0e300;
    int *p = &i;
    int members = 0, wrong = 0, seen[8] = {0};
#pragma omp parallel num_threads(JOINED(4)) firstprivate(c, s, i, ll, f, d, p) shared(members, wrong, seen)
    {
        if (c != 'z' || s != -12345 || i != 0x7fff1234 || ll != -0x123456789abcdefLL || f != 3.25f ||
            d != -1.0e300 || p == 0)
            __atomic_add_fetch(&wrong, 1, __ATOMIC_SEQ_CST);
        int me = qiv_exported_pix();
        /* Each member changes its own copies only. */
        c += me;
        s += me;
        i += me;
        ll += me;
        f += me;
        d += me;
        p += me;
        if (me < 8)
            __atomic_add_fetch(&seen[me], 1, __ATOMIC_SEQ_CST);
        if (qiv_exported_pno() != 4)
            __atomic_add_fetch(&wrong, 1, __ATOMIC_SEQ_CST);
        __atomic_add_fetch(&members, 1, __ATOMIC_SEQ_CST);
    }
    int numbered = seen[0] == 1 && seen[1] == 1 && seen[2] == 1 && seen[3] == 1;
    printf("num_threads(JOINED(4)): %d members, %d saw wrong values\n", members, wrong);
    check(members == 4 && wrong == 0 && numbered, "four members, each with the original firstprivate values");
    check(c == 'z' && s == -12345 && i == 0x7fff1234 && ll == -0x123456789abcdefLL && f == 3.25f &&
              d == -1.0e300 && p == &i,
          "the owner's variables are untouched by the members' copies");
    return members;
}

static void shared_sum(void)
{
    long long total = 0;
    double weights[64];
    for (int k = 0; k < 64; ++k)
        weights[k] = k;
    /* Each member adds its own slice of the shared array into the shared total. */
#pragma omp parallel num_threads(JOINED(3)) shared(total, weights)
    {
        int me = qiv_exported_pix(), n = qiv_exported_pno();
        long long part = 0;
        for (int k = me; k < 64; k += n)
            part += (long long)weights[k];
        __atomic_add_fetch(&total, part, __ATOMIC_SEQ_CST);
    }
    printf("shared sum over 3 members: %lld\n", total);
    check(total == 63 * 64 / 2, "the members' slices add up");
}

static int default_count(void)
{
    int members = 0;
#pragma omp parallel
    {
        __atomic_add_fetch(&members, 1, __ATOMIC_SEQ_CST);
    }
    printf("no clause: %d members\n", members);
    check(members >= 1, "a region without a clause runs one member per pool thread");
    return members;
}

static void serial_by_if_clause(int pool, int condition)
{
    int members = 0;
#pragma omp parallel num_threads(JOINED(4)) if (condition)
    {
        __atomic_add_fetch(&members, 1, __ATOMIC_SEQ_CST);
    }
    check(members == 1, "if(0) runs the block once, on the caller");
    /* The push made before the if-clause was tested must not reach this one. */
    int next = default_count();
    check(next == pool, "the next region is not shaped by the serial one's clause");
}

int main(int argc, char **argv)
{
    firstprivate_scalars();
    shared_sum();
    int pool = default_count();
    serial_by_if_clause(pool, argc > 100);
    return failures != 0;
}
