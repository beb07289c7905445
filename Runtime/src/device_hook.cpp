// Device set-up and teardown at library load and unload.  The library has no
// devices yet: nothing to discover and nothing to stop.
#include "runtime.h"

int devices_attach(void)
{
    return 1;
}

void devices_detach(int)
{
}
