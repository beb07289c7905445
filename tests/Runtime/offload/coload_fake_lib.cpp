// A shared library that makes a coload call of its own: its kernel file lies
// beside the library, not beside the program, so the runtime finds it only by
// the calling module's folder after a first miss.
#include "zeq_runtime.h"

static char lib_source[] = "libsite.zeq";
static qiv_coload_site lib_site = QIV_COLOAD_SITE_INIT(lib_source, 60);

extern "C" __attribute__((visibility("default"))) qiv_coload_site *fake_lib_site(void)
{
    return &lib_site;
}

// Adds 1 to every element of hits[0 .. n), in a one-member region.
extern "C" __attribute__((visibility("default"))) QIV_REGION_OPENER int fake_lib_bump(int *hits, int n)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(2));
    int host = qiv_exported_coload(self, &lib_site, QIV_ARG_INOUT("int*", hits, sizeof(int), (intptr_t)n * (intptr_t)sizeof(int)),
                                   QIV_ARG_GROUP_SIZE(1), QIV_ARG_RANGE(n), QIV_ARG_END);
    if (host) {
        for (int i = 0; i < n; ++i)
            hits[i] += 1;
    }
    qiv_region_end_joined(self);
    return host;
}
