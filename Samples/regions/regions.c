/* regions: a tour of the runtime's parallel regions for a first run.
 *
 * Opens a joined region with one member per pool thread, in which every member
 * opens a nested region of three; each innermost member takes its slice of an
 * iteration range, adds it to a shared total under an address-keyed lock, and
 * records which thread ran it.  A detached region then shows the owner going on
 * as soon as its members have started.  Everything printed comes from the
 * runtime's own answers (member index, member count, range slices).
 */
#include <zeq_runtime.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>

enum { max_rows = 256, items = 1000 };

struct row {
    int outer_index, outer_count, inner_index, inner_count;
    int start, end;
    unsigned long thread;
};

static struct row rows[max_rows];
static int row_count;
static long total;

static void record(int outer_index, int outer_count)
{
    int start = qiv_exported_range_start(items);
    int end = qiv_exported_range_end(items);
    long sum = 0;
    for (int i = start; i < end; ++i)
        sum += i;
    /* One lock for the total and the table: keyed by the address of the total. */
    qiv_exported_sync(&total);
    total += sum;
    if (row_count < max_rows) {
        struct row *r = &rows[row_count++];
        r->outer_index = outer_index;
        r->outer_count = outer_count;
        r->inner_index = qiv_exported_pix();
        r->inner_count = qiv_exported_pno();
        r->start = start;
        r->end = end;
        r->thread = (unsigned long)pthread_self();
    }
    qiv_exported_unsync(&total);
}

QIV_REGION_OPENER static void inner_region(int outer_index, int outer_count)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 3, QIV_LIMIT_TIGHT(2));
    record(outer_index, outer_count);
    qiv_region_end_joined(self);
}

QIV_REGION_OPENER static void outer_region(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 0, QIV_LIMIT_TIGHT(0));
    inner_region(qiv_exported_pix(), qiv_exported_pno());
    qiv_region_end_joined(self);
}

static volatile int detached_started;

QIV_REGION_OPENER static void detached_region(void)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 4, QIV_LIMIT_TIGHT(0));
    __atomic_add_fetch(&detached_started, 1, __ATOMIC_SEQ_CST);
    qiv_region_end_detached(self);
}

int main(void)
{
    outer_region();
    printf("Nested regions: %d innermost members, total of 0..%d per inner region\n", row_count, items - 1);
    printf("%-12s %-12s %-12s %s\n", "outer", "inner", "slice", "thread");
    for (int i = 0; i < row_count; ++i) {
        struct row *r = &rows[i];
        char outer[32], inner[32], slice[32];
        snprintf(outer, sizeof outer, "%d of %d", r->outer_index, r->outer_count);
        snprintf(inner, sizeof inner, "%d of %d", r->inner_index, r->inner_count);
        snprintf(slice, sizeof slice, "%d-%d", r->start, r->end);
        printf("%-12s %-12s %-12s %#lx\n", outer, inner, slice, r->thread);
    }
    long expected = (long)row_count / 3 * ((long)items * (items - 1) / 2);
    printf("Sum under the lock: %ld (expected %ld) %s\n", total, expected, total == expected ? "ok" : "WRONG");

    detached_region();
    printf("Detached region: owner went on with %d of 4 members started\n", detached_started);
    printf("Outside any region: pix %d, pno %d\n", qiv_exported_pix(), qiv_exported_pno());
    return total == expected ? 0 : 1;
}
