// The host sides of remote_kernels.zeq's coload functions, written in the
// shape compiled code takes, for the remote offload tests and for the client
// program that two of them run beside each other.
//
// The remote slot declines a Range descriptor, so these calls have none:
// each region member is one share, and a share's items are the member's
// slice of the element count, as the module's QIV_RANGE_START/END compute it
// from the index and count that the agent's region carries.  The host loop
// computes the very same slice for every member that stays on the host and
// counts, per member index, how often the host ran it, so that a test can put
// the agents' log (every share an agent ran) beside the host's count.
#ifndef ZEQ_TESTS_REMOTE_CALLS_H
#define ZEQ_TESTS_REMOTE_CALLS_H

#include "zeq_runtime.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

// The lines of the headers' closing parentheses in remote_kernels.zeq.
enum {
    fill_line = 26,
    accelerations_line = 72,
    fault_line = 86,
};

inline char remote_kernels_source[] = "remote_kernels.zeq";
inline qiv_coload_site fill_site = QIV_COLOAD_SITE_INIT(remote_kernels_source, fill_line);
inline qiv_coload_site accelerations_site = QIV_COLOAD_SITE_INIT(remote_kernels_source, accelerations_line);
inline qiv_coload_site fault_site = QIV_COLOAD_SITE_INIT(remote_kernels_source, fault_line);

enum { max_members = 64 };

// fill: rec[i] = {2 x[i], x[i] + tag, -x[i]} and hits[i] += 1 over a share.
struct fill_call {
    qiv_coload_site *site;  // null: fill_site
    const int32_t *x;
    int32_t *rec;           // 3 n
    int32_t *hits;          // n
    int32_t n;
    int32_t tag;            // names the call in the agents' log
    int32_t pause_ms;       // the module sleeps this long in every share
    int members;            // of the region
    int host_pause_ms;      // a host member sleeps this long before its slice
    int status;             // the Status descriptor's int
    int result;             // what qiv_exported_coload returned
    int host_runs[max_members]; // per member index: how often the host ran it
    int options;            // fill_* below: how the call offers its items
};

enum {
    fill_plain = 0,      // arrays and values alone: one share per member
    fill_balanced = 1,   // with its Range, balanced, the body said to cover its range
    fill_pix_style = 2,  // with its Range, balanced, the body not said to cover it
    fill_missing_value = 3, // plain, with pause_ms left out of the descriptor list
};

// Member p's slice of n items among count members (the runtime's split:
// member 0 takes the remainder).
inline void member_slice(int p, int count, int n, int *first, int *end)
{
    int q = n / count, m = n % count;
    *first = p == 0 ? 0 : p * q + m;
    *end = p == 0 ? q + m : (p + 1) * q + m;
}

inline void host_fill(fill_call *c, int p, int count)
{
    __atomic_add_fetch(&c->host_runs[p], 1, __ATOMIC_RELAXED);
    if (c->host_pause_ms > 0)
        usleep((useconds_t)c->host_pause_ms * 1000);
    int first, end;
    member_slice(p, count, c->n, &first, &end);
    for (int i = first; i < end; ++i) {
        c->rec[3 * i] = 2 * c->x[i];
        c->rec[3 * i + 1] = c->x[i] + c->tag;
        c->rec[3 * i + 2] = -c->x[i];
        c->hits[i] += 1;
    }
}

// The coload call itself, from member 0 of region (a region the caller runs).
inline int offer_fill(qiv_parallel_region *region, fill_call *c)
{
    intptr_t n = c->n;
    qiv_coload_site *site = c->site ? c->site : &fill_site;
#define FILL_ARGS                                                                                       \
    QIV_ARG_IN("int*", c->x, 4, 4 * n), QIV_ARG_OUT("int*", c->rec, 4, 12 * n),                        \
        QIV_ARG_INOUT("int*", c->hits, 4, 4 * n), QIV_ARG_VALUE("int", &c->n, 4),                      \
        QIV_ARG_VALUE("int", &c->tag, 4), QIV_ARG_VALUE("int", &c->pause_ms, 4), QIV_ARG_STATUS(&c->status)
    if (c->options == fill_balanced)
        return qiv_exported_coload(region, site, FILL_ARGS, QIV_ARG_RANGE(n), QIV_ARG_BALANCED, QIV_ARG_HOST_RANGE,
                                   QIV_ARG_END);
    if (c->options == fill_pix_style)
        return qiv_exported_coload(region, site, FILL_ARGS, QIV_ARG_RANGE(n), QIV_ARG_BALANCED, QIV_ARG_END);
    if (c->options == fill_missing_value)
        return qiv_exported_coload(region, site, QIV_ARG_IN("int*", c->x, 4, 4 * n), QIV_ARG_OUT("int*", c->rec, 4, 12 * n),
                                   QIV_ARG_INOUT("int*", c->hits, 4, 4 * n), QIV_ARG_VALUE("int", &c->n, 4),
                                   QIV_ARG_VALUE("int", &c->tag, 4), QIV_ARG_STATUS(&c->status), QIV_ARG_END);
    return qiv_exported_coload(region, site, FILL_ARGS, QIV_ARG_END);
#undef FILL_ARGS
}

// The coload call from a region record of the test's own, which no pool
// thread sees: `count` members, all but the caller's unclaimed, so that
// nothing but the dispatcher takes them.
inline QIV_REGION_OPENER void offer_from_own_region(fill_call *call, qiv_parallel_region *region, int count)
{
    memset(region, 0, sizeof *region);
    qiv_thread_record *me = static_cast<qiv_thread_record *>(qiv_exported_pid());
    region->count = count;
    region->unstarted = count - 1;
    region->unclaimed = count - 1;
    region->unfinished = count;
    region->owner = me;
    region->runner = me;
    region->home = region;
    call->result = offer_fill(region, call);
}

// The coload function: a region of c->members members.
inline QIV_REGION_OPENER void run_fill(fill_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, c->members, QIV_LIMIT_TIGHT(1));
    int host = 1;
    if (qiv_exported_pix() == 0) {
        host = offer_fill(self, c);
        c->result = host;
    }
    if (host)
        host_fill(c, qiv_exported_pix(), qiv_exported_pno());
    qiv_region_end_joined(self);
}

// fault: out[0] == 0 makes the module trap.
inline QIV_REGION_OPENER int run_fault(int32_t *out, int *status)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    int result = qiv_exported_coload(self, &fault_site, QIV_ARG_INOUT("int*", out, 4, 8), QIV_ARG_STATUS(status), QIV_ARG_END);
    qiv_region_end_joined(self);
    return result;
}

// The N-body sample's shape: In n records of 16 bytes, Out n records of 12,
// three 4-byte values, in a region of one member.
struct accelerations_call {
    float *pos, *acc;
    int32_t n;
    float spare, eps;
    int status;
    int result;
};

inline QIV_REGION_OPENER void run_accelerations(accelerations_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    c->result = qiv_exported_coload(self, &accelerations_site, QIV_ARG_IN("float*", c->pos, 4, 16 * (intptr_t)c->n),
                                    QIV_ARG_OUT("float*", c->acc, 4, 12 * (intptr_t)c->n), QIV_ARG_VALUE("int", &c->n, 4),
                                    QIV_ARG_VALUE("float", &c->spare, 4), QIV_ARG_VALUE("float", &c->eps, 4),
                                    QIV_ARG_STATUS(&c->status), QIV_ARG_END);
    qiv_region_end_joined(self);
}

// A fill call's arrays and record: x[i] = 7 i - 3, rec all -1, hits all 0.
struct fill_run {
    std::vector<int32_t> x, rec, hits;
    fill_call call;
};

inline void fill_prepare(fill_run *r, int n, int members, int tag)
{
    r->x.resize((size_t)n);
    for (int i = 0; i < n; ++i)
        r->x[(size_t)i] = 7 * i - 3;
    r->rec.assign(3 * (size_t)n, -1);
    r->hits.assign((size_t)n, 0);
    r->call = fill_call{};
    r->call.x = r->x.data();
    r->call.rec = r->rec.data();
    r->call.hits = r->hits.data();
    r->call.n = n;
    r->call.tag = tag;
    r->call.members = members;
    r->call.status = 77;
    r->call.result = -1;
}

// The first item of [first, end) whose results are wrong (hits other than
// 1, or a record other than the formula's), or -1 when all are right.
inline int fill_first_wrong(const fill_run &r, int first, int end)
{
    for (int i = first; i < end; ++i) {
        const int32_t *rec = &r.rec[3 * (size_t)i];
        int32_t x = r.x[(size_t)i];
        if (r.hits[(size_t)i] != 1 || rec[0] != 2 * x || rec[1] != x + r.call.tag || rec[2] != -x)
            return i;
    }
    return -1;
}

// One line of the agents' log: a share an agent computed.
struct share_record {
    int tag, index, count, pid;
};

inline std::vector<share_record> read_share_log(const std::string &path)
{
    std::vector<share_record> shares;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return shares;
    share_record s;
    while (fscanf(f, "%d %d %d %d", &s.tag, &s.index, &s.count, &s.pid) == 4)
        shares.push_back(s);
    fclose(f);
    return shares;
}

#endif
