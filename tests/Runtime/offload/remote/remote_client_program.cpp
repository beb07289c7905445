// A client process of its own for the tests that run two at once: makes
// `calls` fill calls over regions of `members` members on the server folder
// of QIV_NETLOAD_SERVER, checks every item, and prints per call how often
// its host ran each member ("call <tag> host <r0> <r1> ..."), so that the
// test can put that beside the agents' log.  Ends with "all correct" and 0,
// or with the first wrong item and 1.
#include "remote_calls.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "Usage: remote_client_program calls members first_tag\n");
        return 2;
    }
    int calls = atoi(argv[1]), members = atoi(argv[2]), first_tag = atoi(argv[3]);
    if (members < 1 || members > max_members)
        return 2;
    for (int c = 0; c < calls; ++c) {
        fill_run r;
        int n = 997 + 13 * c;
        fill_prepare(&r, n, members, first_tag + c);
        r.call.host_pause_ms = 1;
        run_fill(&r.call);
        printf("call %d host", first_tag + c);
        for (int p = 0; p < members; ++p)
            printf(" %d", r.call.host_runs[p]);
        printf("\n");
        int wrong = fill_first_wrong(r, 0, n);
        if (wrong >= 0 || r.call.status != 0) {
            printf("call %d: item %d wrong, status %d\n", first_tag + c, wrong, r.call.status);
            return 1;
        }
    }
    printf("%d calls: all correct\n", calls);
    return 0;
}
