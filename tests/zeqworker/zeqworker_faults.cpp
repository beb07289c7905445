// zeqworker_faults: the agent with system calls that fail on purpose, for
// the tests of its failure paths.  ZEQ_TEST_FAULTS lists "call:nth:errno"
// entries separated by commas (platform_fault_inject's arguments: the nth
// call of that entry from the start fails with that errno); they are armed
// before agent_main runs.  The production zeqworker has no such hook.
#include "agent.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Arms every entry of fault_list; 0, or -1 for an entry that does not parse or arm.
int arm_faults(const char *fault_list)
{
    char copy[512];
    snprintf(copy, sizeof copy, "%s", fault_list);
    for (char *entry = strtok(copy, ","); entry; entry = strtok(nullptr, ",")) {
        char call[32];
        unsigned nth = 0;
        int error = 0;
        if (sscanf(entry, "%31[^:]:%u:%d", call, &nth, &error) != 3 || platform_fault_inject(call, nth, error) != 0) {
            fprintf(stderr, "zeqworker_faults: cannot arm \"%s\"\n", entry);
            return -1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const char *fault_list = getenv("ZEQ_TEST_FAULTS");
    if (fault_list && arm_faults(fault_list) != 0)
        return 2;
    return agent_main(argc, argv);
}
