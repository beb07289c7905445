// The host side of saxpy.zeq, written by hand in the shape compiled Zeq code
// takes: a region over the pool, whose member 0 offers the call to the device
// slots; whatever no device claimed runs here.  Every item records who
// computed it (1 = a device slot, 2 + p = pool member p), so the program can
// say where the work went; it checks every result against the formula.
#include "zeq_runtime.h"

#include <stdio.h>
#include <stdlib.h>

#include <vector>

namespace {

// The line of the coload header's closing parenthesis in saxpy.zeq.
enum { saxpy_line = 10 };

char saxpy_source[] = "saxpy.zeq";
qiv_coload_site saxpy_site = QIV_COLOAD_SITE_INIT(saxpy_source, saxpy_line);

struct saxpy_args {
    float *y;
    const float *x;
    float a;
    int n;
    int *where;
};

QIV_REGION_OPENER void saxpy(saxpy_args *args)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 0, QIV_LIMIT_TIGHT(1));
    intptr_t bytes = (intptr_t)args->n * (intptr_t)sizeof(float);
    if (qiv_exported_pix() != 0 ||
        qiv_exported_coload(self, &saxpy_site, QIV_ARG_INOUT("float*", args->y, sizeof(float), bytes),
                            QIV_ARG_IN("float*", args->x, sizeof(float), bytes), QIV_ARG_VALUE("float", &args->a, sizeof(float)),
                            QIV_ARG_INOUT("int*", args->where, sizeof(int), (intptr_t)args->n * (intptr_t)sizeof(int)),
                            QIV_ARG_RANGE(args->n), QIV_ARG_END) != 0) {
        int end = qiv_exported_range_end(args->n);
        int me = 2 + qiv_exported_pix();
        for (int i = qiv_exported_range_start(args->n); i < end; ++i) {
            args->y[i] = args->a * args->x[i] + args->y[i];
            args->where[i] = me;
        }
    }
    qiv_region_end_joined(self);
}

} // namespace

int main(int argc, char **argv)
{
    int n = argc > 1 ? atoi(argv[1]) : 1 << 22;
    int calls = argc > 2 ? atoi(argv[2]) : 4;
    if (n < 1 || calls < 1) {
        fprintf(stderr, "Usage: saxpy [items] [calls]\n");
        return -1;
    }
    std::vector<float> x(n), y(n, 1.0f);
    std::vector<int> where(n);
    for (int i = 0; i < n; ++i)
        x[i] = (float)(i % 1000);
    saxpy_args args = {y.data(), x.data(), 0.5f, n, where.data()};
    int pool = qiv_exported_pno() > 0 ? qiv_exported_pno() : 1;
    for (int c = 0; c < calls; ++c) {
        saxpy(&args);
        std::vector<long> counts(2 + 64);
        for (int i = 0; i < n; ++i)
            ++counts[where[i] >= 0 && where[i] < (int)counts.size() ? where[i] : 0];
        printf("call %d: device slots %ld items", c + 1, counts[1]);
        for (size_t p = 2; p < counts.size(); ++p)
            if (counts[p])
                printf(", pool member %zu %ld items", p - 2, counts[p]);
        printf("\n");
    }
    (void)pool;
    // The runtime's own count, per slot and over all calls.
    for (int s = 1; s < qiv_exported_slot_count(); ++s)
        printf("slot %d (%s): %lld items in all calls\n", s, qiv_exported_slot_kind(s), qiv_exported_slot_items(s));
    // y = 1 + calls * a * x, exactly representable for these values.
    for (int i = 0; i < n; ++i) {
        float expected = 1.0f;
        for (int c = 0; c < calls; ++c)
            expected = 0.5f * x[i] + expected;
        if (y[i] != expected) {
            fprintf(stderr, "item %d: %g, expected %g\n", i, y[i], expected);
            return -2;
        }
    }
    printf("%d items x %d calls: all correct\n", n, calls);
    return 0;
}
