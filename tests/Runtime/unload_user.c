/* A library that uses libZeq, loaded and unloaded by unload_probe: unloading it
 * unloads libZeq while the process goes on.  Besides plain regions it makes a
 * coload call, which starts the runtime's service threads, so that the unload
 * has to stop them too. */
#include <zeq_runtime.h>

static int hits[8];
static char site_source[] = "unload_user.zeq";
static qiv_coload_site site = QIV_COLOAD_SITE_INIT(site_source, 1);

QIV_REGION_OPENER static void region(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 8, QIV_LIMIT_TIGHT(0));
    __atomic_add_fetch(&hits[qiv_exported_pix()], 1, __ATOMIC_SEQ_CST);
    qiv_region_end_joined(self);
}

/* No device has a kernel for this site: every member computes on the host. */
QIV_REGION_OPENER static void coload_region(int n, int *out)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 4, QIV_LIMIT_TIGHT(2));
    if (qiv_exported_pix() != 0 ||
        qiv_exported_coload(self, &site, QIV_ARG_OUT("int*", out, sizeof *out, (intptr_t)n * sizeof *out),
                            QIV_ARG_RANGE(n), QIV_ARG_END) != 0) {
        int end = qiv_exported_range_end(n);
        for (int i = qiv_exported_range_start(n); i < end; ++i)
            out[i] = i;
    }
    qiv_region_end_joined(self);
}

__attribute__((visibility("default"))) int unload_user_run(int rounds)
{
    static int out[1000];
    for (int i = 0; i < 8; ++i)
        hits[i] = 0;
    for (int r = 0; r < rounds; ++r)
        region();
    int total = 0;
    for (int i = 0; i < 8; ++i)
        total += hits[i] == rounds;
    for (int i = 0; i < 1000; ++i)
        out[i] = -1;
    coload_region(1000, out);
    for (int i = 0; i < 1000; ++i)
        if (out[i] != i)
            return -1;
    return total;
}
