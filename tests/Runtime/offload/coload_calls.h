// The coload calls the offload tests make, written as a coload function's host
// side is: a region whose member 0 offers the items to the slots and computes
// its own share when the call returns 1, every other member computing its own;
// and whether slot 1 is an OpenCL device, for the tests that need one.
#ifndef ZEQ_TEST_COLOAD_CALLS_H
#define ZEQ_TEST_COLOAD_CALLS_H

#include "zeq_runtime.h"
#include "offload.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <unistd.h>

#include <vector>

namespace {

struct saxpy_call {
    qiv_coload_site *site;
    float *y;
    const float *x;
    float a;
    int n;            // 0: no Range descriptor (one item per member)
    int members;
    intptr_t group;   // 0: no GroupSize descriptor
    int result;
};

[[maybe_unused]] QIV_REGION_OPENER void run_saxpy(saxpy_call *call)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, call->members, QIV_LIMIT_TIGHT(1));
    int host = 1;
    int items = call->n ? call->n : qiv_exported_pno();
    intptr_t bytes = (intptr_t)items * (intptr_t)sizeof(float);
    if (qiv_exported_pix() == 0) {
        if (call->n && call->group)
            host = qiv_exported_coload(self, call->site, QIV_ARG_INOUT("float*", call->y, 4, bytes), QIV_ARG_IN("float*", call->x, 4, bytes),
                                       QIV_ARG_VALUE("float", &call->a, 4), QIV_ARG_GROUP_SIZE(call->group), QIV_ARG_RANGE(call->n),
                                       QIV_ARG_END);
        else if (call->n)
            host = qiv_exported_coload(self, call->site, QIV_ARG_INOUT("float*", call->y, 4, bytes), QIV_ARG_IN("float*", call->x, 4, bytes),
                                       QIV_ARG_VALUE("float", &call->a, 4), QIV_ARG_RANGE(call->n), QIV_ARG_END);
        else
            host = qiv_exported_coload(self, call->site, QIV_ARG_INOUT("float*", call->y, 4, bytes), QIV_ARG_IN("float*", call->x, 4, bytes),
                                       QIV_ARG_VALUE("float", &call->a, 4), QIV_ARG_END);
        call->result = host;
    }
    if (host) {
        int end = qiv_exported_range_end(items);
        for (int i = qiv_exported_range_start(items); i < end; ++i)
            call->y[i] = call->a * call->x[i] + call->y[i];
    }
    qiv_region_end_joined(self);
}

// y = 2x + 1 over n items in `members` members, every item checked; returns
// what the coload call returned (0: the devices computed the caller's share).
[[maybe_unused]] int run_checked_saxpy(qiv_coload_site *site, int n, int members = 4)
{
    std::vector<float> y(n, 1.0f), x(n);
    for (int i = 0; i < n; ++i)
        x[i] = (float)i;
    saxpy_call call = {site, y.data(), x.data(), 2.0f, n, members, 0, -1};
    run_saxpy(&call);
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(y[i], 2.0f * (float)i + 1.0f) << "item " << i;
    return call.result;
}

struct hits_call {
    qiv_coload_site *site;
    int *hits;
    int n;
    int members;
    intptr_t group;
    int result;
    int balanced = 0;      // nonzero: the call asks to be shared in balance
    int host_pause_us = 0; // a host member sleeps this long before its slice
};

[[maybe_unused]] QIV_REGION_OPENER void run_hits(hits_call *call)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, call->members, QIV_LIMIT_TIGHT(1));
    int host = 1;
    if (qiv_exported_pix() == 0) {
        if (call->balanced)
            host = qiv_exported_coload(self, call->site, QIV_ARG_INOUT("int*", call->hits, 4, (intptr_t)call->n * 4),
                                       QIV_ARG_GROUP_SIZE(call->group), QIV_ARG_RANGE(call->n), QIV_ARG_BALANCED,
                                       QIV_ARG_END);
        else
            host = qiv_exported_coload(self, call->site, QIV_ARG_INOUT("int*", call->hits, 4, (intptr_t)call->n * 4),
                                       QIV_ARG_GROUP_SIZE(call->group), QIV_ARG_RANGE(call->n), QIV_ARG_END);
        call->result = host;
    }
    if (host) {
        if (call->host_pause_us > 0)
            usleep((useconds_t)call->host_pause_us);
        int end = qiv_exported_range_end(call->n);
        for (int i = qiv_exported_range_start(call->n); i < end; ++i)
            call->hits[i] += 1;
    }
    qiv_region_end_joined(self);
}

// The N-body sample's accelerations call: an In and an Out array, three
// values, 4096 group-shared bytes, groups of 256, a range and a status.
struct sample_call {
    qiv_coload_site *site;
    float *pos, *acc;
    int n;
    float unused, eps;
    int status;
    int result;
};

[[maybe_unused]] QIV_REGION_OPENER void run_sample(sample_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    c->result = qiv_exported_coload(self, c->site, QIV_ARG_IN("float*", c->pos, 4, 16 * c->n), QIV_ARG_OUT("float*", c->acc, 4, 12 * c->n),
                                    QIV_ARG_VALUE("int", &c->n, 4), QIV_ARG_VALUE("float", &c->unused, 4), QIV_ARG_VALUE("float", &c->eps, 4),
                                    QIV_ARG_SHARED_BYTES(4096), QIV_ARG_GROUP_SIZE(256), QIV_ARG_RANGE(c->n), QIV_ARG_STATUS(&c->status),
                                    QIV_ARG_END);
    qiv_region_end_joined(self);
}

// The sample call over n bodies with pos = 0, 1, 2, ..., the status preset
// to 77, and every result checked against the tests' sample kernels,
// acc = 2 pos + eps.  The record stays, so tests can look at its addresses.
struct sample_run {
    std::vector<float> pos, acc;
    sample_call call;
};

[[maybe_unused]] void run_checked_sample(sample_run *r, qiv_coload_site *site, int n, float eps)
{
    r->pos.assign(4 * (size_t)n, 0.0f);
    r->acc.assign(3 * (size_t)n, -1.0f);
    for (size_t i = 0; i < r->pos.size(); ++i)
        r->pos[i] = (float)i;
    r->call = {site, r->pos.data(), r->acc.data(), n, 0.0f, eps, 77, -1};
    run_sample(&r->call);
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(r->acc[3 * i + k], r->pos[4 * i + k] * 2.0f + eps) << i;
}

// Slot 1 is an OpenCL device (whose modules are the .ocl files).
[[maybe_unused]] bool opencl_usable()
{
    offload_state *o = zeq_internal_offload();
    return o->device_table && o->slot_count > 1 && o->device_table[1].ops->module_pattern &&
           strcmp(o->device_table[1].ops->module_pattern, "*.ocl") == 0;
}

// ZEQ_TEST_REQUIRE_OPENCL (set by the launcher under ZEQ_REQUIRE_ALL_TESTS)
// makes a missing platform a failure instead of a skip.
#define REQUIRE_OPENCL()                                                                                   \
    do {                                                                                                   \
        if (!opencl_usable() && getenv("ZEQ_TEST_REQUIRE_OPENCL"))                                         \
            FAIL() << "no usable OpenCL platform with GPU devices, and ZEQ_REQUIRE_ALL_TESTS wants one";   \
        if (!opencl_usable())                                                                              \
            GTEST_SKIP() << "no usable OpenCL platform with GPU devices (none exists for the i386 flavour)"; \
    } while (0)

} // namespace

#endif
