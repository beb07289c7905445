// Exits right after a coload call whose kernel writes no array, on the
// stand-in CUDA driver.  The stand-in runs a launch only when its context is
// next synchronised, so a call that returned without waiting for the device
// leaves the launch pending (unless freeing its buffers happened to run it):
// the probe says how many are and whether the call waited for the device,
// then returns from main at once, and the test wants 0, a wait and a clean
// exit.
#include "zeq_runtime.h"
#include "cuda_stand_in.h"

#include <stdio.h>

namespace {

char source[] = "coload_cu.zeq";
qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 44);
float x[4096];

QIV_REGION_OPENER int offer(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(0));
    int host = qiv_exported_coload(self, &site, QIV_ARG_IN("float*", x, 4, (intptr_t)sizeof x), QIV_ARG_RANGE(4096), QIV_ARG_END);
    qiv_region_end_joined(self);
    return host;
}

} // namespace

int main()
{
    int host = offer();
    printf("returned %d, %d launched, pending after the call: %d, synchronised %d\n", host, stand_in_launch_count(),
           stand_in_pending_launches(), stand_in_synchronize_count());
    return 0;
}
