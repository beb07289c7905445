// Makes one coload call on the OpenCL slot and exits at once, with status 0
// unless the process dies on the way out.  Two ways a driver could still be
// working for a call that already returned:
//   launch  - the call's kernel has no Out row, so no blocking read follows
//             its launch; the call must wait for the launch to complete.
//   decline - the first call, at a site whose status says "host only",
//             returns 1 at once; the service threads it started must have
//             built their modules before it returns.
// Run with an empty kernel cache so that the driver compiles for seconds.
#include "zeq_runtime.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

char source[] = "opencl_exit_probe.zeq";
qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 30);

QIV_REGION_OPENER int read_only_call(float *v, int n)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(2));
    int host = qiv_exported_coload(self, &site, QIV_ARG_IN("float*", v, 4, (intptr_t)n * 4), QIV_ARG_VALUE("int", &n, 4),
                                   QIV_ARG_RANGE(n), QIV_ARG_END);
    qiv_region_end_joined(self);
    return host;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || (strcmp(argv[1], "launch") != 0 && strcmp(argv[1], "decline") != 0)) {
        fprintf(stderr, "usage: opencl_exit_probe launch|decline\n");
        return 2;
    }
    static float v[4096];
    for (int i = 0; i < 4096; ++i)
        v[i] = (float)i;
    if (strcmp(argv[1], "decline") == 0)
        site.status = 1;
    int host = read_only_call(v, 4096);
    if (host != (site.status != 0 ? 1 : 0)) {
        fprintf(stderr, "coload returned %d\n", host);
        return 1;
    }
    long long device = qiv_exported_slot_count() > 1 ? qiv_exported_slot_items(1) : 0;
    printf("%s: returned %d, %lld items on slot 1\n", argv[1], host, device);
    fflush(stdout);
    exit(0);
}
