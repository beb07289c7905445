/* A library that uses libZeq, loaded and unloaded by unload_probe: unloading it
 * unloads libZeq while the process goes on. */
#include <Zeq.h>

static int hits[8];

QIV_NOINLINE static void region(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 8, QIV_LIMIT_TIGHT(0));
    __atomic_add_fetch(&hits[qiv_exported_pix()], 1, __ATOMIC_SEQ_CST);
    qiv_region_end_joined(self);
}

__attribute__((visibility("default"))) int unload_user_run(int rounds)
{
    for (int i = 0; i < 8; ++i)
        hits[i] = 0;
    for (int r = 0; r < rounds; ++r)
        region();
    int total = 0;
    for (int i = 0; i < 8; ++i)
        total += hits[i] == rounds;
    return total;
}
