// The host side of blend.zeq, in the shape compiled Zeq code takes: a region
// whose member 0 offers the call to the device slots, the remote slot among
// them; the members nobody claimed compute their share here.
//
// Each round makes the call twice.  The devices' form carries the launch
// range, which the device slots need and the remote slot declines; the
// agents' form has none and a site of the remote slot alone, so it goes to
// agents (with QIV_NETLOAD_SERVER set) and the pool.  The program prints how many items each kind of worker
// computed and checks every item.
#include <zeq_runtime.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

namespace {

// The line of the coload header's closing parenthesis in blend.zeq.
enum { blend_line = 14 };

// Writable: the runtime trims the names to their base in place.  The
// agents' site is served by the remote slot alone: on a device a call
// without a range is one work item per member, which this body is not.
char blend_source[] = "blend.zeq";
char blend_agents_source[] = "blend.zeq";
qiv_coload_site blend_site = QIV_COLOAD_SITE_INIT(blend_source, blend_line);
qiv_coload_site blend_agents_site = QIV_COLOAD_AGENTS_SITE_INIT(blend_agents_source, blend_line);

struct blend_args {
    float *out;
    const float *x;
    const float *y;
    float w;
    int n;
    int *where; // 1: a device or an agent, 2: the pool
    int members;
    bool with_range;
};

QIV_REGION_OPENER void blend(blend_args *args)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, args->members, QIV_LIMIT_TIGHT(1));
    intptr_t bytes = (intptr_t)args->n * (intptr_t)sizeof(float);
    intptr_t where_bytes = (intptr_t)args->n * (intptr_t)sizeof(int);
    int declined = 1;
    if (qiv_exported_pix() == 0) {
        if (args->with_range)
            declined = qiv_exported_coload(
                self, &blend_site, QIV_ARG_OUT("float*", args->out, sizeof(float), bytes),
                QIV_ARG_IN("float*", args->x, sizeof(float), bytes), QIV_ARG_IN("float*", args->y, sizeof(float), bytes),
                QIV_ARG_VALUE("float", &args->w, sizeof(float)), QIV_ARG_VALUE("int", &args->n, sizeof(int)),
                QIV_ARG_INOUT("int*", args->where, sizeof(int), where_bytes), QIV_ARG_RANGE(args->n), QIV_ARG_END);
        else
            declined = qiv_exported_coload(
                self, &blend_agents_site, QIV_ARG_OUT("float*", args->out, sizeof(float), bytes),
                QIV_ARG_IN("float*", args->x, sizeof(float), bytes), QIV_ARG_IN("float*", args->y, sizeof(float), bytes),
                QIV_ARG_VALUE("float", &args->w, sizeof(float)), QIV_ARG_VALUE("int", &args->n, sizeof(int)),
                QIV_ARG_INOUT("int*", args->where, sizeof(int), where_bytes), QIV_ARG_END);
    }
    if (declined != 0) {
        int end = qiv_exported_range_end(args->n);
        for (int i = qiv_exported_range_start(args->n); i < end; ++i) {
            args->out[i] = args->x[i] + args->w * (args->y[i] - args->x[i]);
            args->where[i] = 2;
        }
    }
    qiv_region_end_joined(self);
}

} // namespace

int main(int argc, char **argv)
{
    int n = argc > 1 ? atoi(argv[1]) : 100003;
    int rounds = argc > 2 ? atoi(argv[2]) : 3;
    if (n < 1 || rounds < 1) {
        fprintf(stderr, "Usage: blend [items] [rounds]\n");
        return 2;
    }
    std::vector<float> x(n), y(n), out(n);
    std::vector<int> where(n);
    // Small integers and halves: every worker's arithmetic gives these exactly.
    for (int i = 0; i < n; ++i) {
        x[i] = (float)(i % 1000);
        y[i] = (float)(2 * (i % 7));
    }
    long elsewhere[2] = {0, 0}, pooled[2] = {0, 0};
    for (int round = 0; round < rounds; ++round) {
        for (int form = 0; form < 2; ++form) {
            std::fill(out.begin(), out.end(), -1.0f);
            std::fill(where.begin(), where.end(), 0);
            blend_args args = {out.data(), x.data(), y.data(), 0.5f, n, where.data(), 4, form == 0};
            blend(&args);
            for (int i = 0; i < n; ++i) {
                float expected = x[i] + 0.5f * (y[i] - x[i]);
                if (out[i] != expected || (where[i] != 1 && where[i] != 2)) {
                    fprintf(stderr, "round %d, %s form, item %d: %g (marked %d), expected %g\n", round + 1,
                            form == 0 ? "devices'" : "agents'", i, out[i], where[i], expected);
                    return 1;
                }
                ++(where[i] == 1 ? elsewhere[form] : pooled[form]);
            }
        }
    }
    printf("devices' form: devices %ld items, pool %ld items\n", elsewhere[0], pooled[0]);
    printf("agents' form: agents %ld items, pool %ld items\n", elsewhere[1], pooled[1]);
    printf("%d items x %d rounds x 2 forms: all correct\n", n, rounds);
    return 0;
}
