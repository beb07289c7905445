// The host side of remote_saxpy.zeq, in the shape compiled Zeq code takes: a
// region of `members` members whose member 0 offers the call to the device
// slots, the remote slot among them.  With QIV_NETLOAD_SERVER naming a server
// folder where zeqworker agents run, the remote slot sends member shares to
// agents; the members nobody claimed run on the host pool.
//
// After each call the program says which agent computed which share: every
// agent folder whose args.bin was rewritten during the call and holds "done"
// served the share named in the header of that args.bin (share_index of
// share_count).  It checks every item against the formula.
#include "zeq_runtime.h"

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The line of the coload header's closing parenthesis in remote_saxpy.zeq.
enum { saxpy_line = 15 };

char saxpy_source[] = "remote_saxpy.zeq";
qiv_coload_site saxpy_site = QIV_COLOAD_SITE_INIT(saxpy_source, saxpy_line);

struct saxpy_args {
    float *y;
    const float *x;
    float a;
    int n;
    int *where; // 1: an agent, 2 + p: host member p
    int members;
};

QIV_REGION_OPENER void saxpy(saxpy_args *args)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, args->members, QIV_LIMIT_TIGHT(1));
    intptr_t bytes = (intptr_t)args->n * (intptr_t)sizeof(float);
    if (qiv_exported_pix() != 0 ||
        qiv_exported_coload(self, &saxpy_site, QIV_ARG_INOUT("float*", args->y, sizeof(float), bytes),
                            QIV_ARG_IN("float*", args->x, sizeof(float), bytes), QIV_ARG_VALUE("float", &args->a, sizeof(float)),
                            QIV_ARG_VALUE("int", &args->n, sizeof(int)),
                            QIV_ARG_INOUT("int*", args->where, sizeof(int), (intptr_t)args->n * (intptr_t)sizeof(int)),
                            QIV_ARG_END) != 0) {
        int end = qiv_exported_range_end(args->n);
        int me = 2 + qiv_exported_pix();
        for (int i = qiv_exported_range_start(args->n); i < end; ++i) {
            args->y[i] = args->a * args->x[i] + args->y[i];
            args->where[i] = me;
        }
    }
    qiv_region_end_joined(self);
}

// root/x64/ (x32 on i386).
std::string platform_folder(const char *root)
{
    std::string folder = root;
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder + (sizeof(void *) == 8 ? "x64/" : "x32/");
}

bool newer_than(const struct stat &st, const struct timespec &since)
{
    return st.st_mtim.tv_sec > since.tv_sec || (st.st_mtim.tv_sec == since.tv_sec && st.st_mtim.tv_nsec >= since.tv_nsec);
}

// Prints "agent <n> computed share <i> of <c>" for every agent folder that
// answered a request since `since`.
void report_agents(const char *root, const struct timespec &since)
{
    std::string platform = platform_folder(root);
    DIR *dir = opendir(platform.c_str());
    if (!dir)
        return;
    std::vector<int> numbers;
    while (struct dirent *entry = readdir(dir))
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9')
            numbers.push_back(atoi(entry->d_name));
    closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    for (int number : numbers) {
        std::string folder = platform + std::to_string(number) + "/";
        struct stat args_stat, done_stat;
        if (stat((folder + "args.bin").c_str(), &args_stat) != 0 || stat((folder + "done").c_str(), &done_stat) != 0 ||
            !newer_than(args_stat, since))
            continue;
        int32_t header[3] = {0, 0, 0};
        FILE *f = fopen((folder + "args.bin").c_str(), "rb");
        if (!f)
            continue;
        size_t got = fread(header, sizeof header, 1, f);
        fclose(f);
        if (got == 1)
            printf("  agent %d computed share %d of %d\n", number, header[2], header[1]);
    }
}

} // namespace

int main(int argc, char **argv)
{
    int n = argc > 1 ? atoi(argv[1]) : 1000003;
    int members = argc > 2 ? atoi(argv[2]) : 4;
    int calls = argc > 3 ? atoi(argv[3]) : 3;
    if (n < 1 || members < 1 || calls < 1) {
        fprintf(stderr, "Usage: remote_saxpy [items] [members] [calls]\n");
        return -1;
    }
    const char *server = getenv("QIV_NETLOAD_SERVER");
    if (!server || !server[0])
        printf("QIV_NETLOAD_SERVER is not set: no agent takes part\n");
    std::vector<float> x(n), y(n, 1.0f);
    std::vector<int> where(n);
    for (int i = 0; i < n; ++i)
        x[i] = (float)(i % 1000);
    saxpy_args args = {y.data(), x.data(), 0.5f, n, where.data(), members};
    for (int c = 0; c < calls; ++c) {
        std::fill(where.begin(), where.end(), 0);
        struct timespec start;
        clock_gettime(CLOCK_REALTIME, &start);
        start.tv_sec -= 1; // file times can lag the clock by a tick
        saxpy(&args);
        long agent_items = 0;
        std::vector<long> host_items(members);
        for (int i = 0; i < n; ++i) {
            if (where[i] == 1)
                ++agent_items;
            else if (where[i] >= 2 && where[i] < 2 + members)
                ++host_items[where[i] - 2];
        }
        printf("call %d: agents %ld items", c + 1, agent_items);
        for (int p = 0; p < members; ++p)
            if (host_items[p])
                printf(", host member %d %ld items", p, host_items[p]);
        printf("\n");
        if (server && server[0])
            report_agents(server, start);
    }
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
