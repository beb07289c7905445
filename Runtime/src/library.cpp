// The library's start and end: the one place that brings both subsystems up
// and takes them down, in an order that each relies on.
//
// Up: the pool first, because the device slots' service threads will be pool
// members; then the device table.  A pool that cannot be set up leaves
// offload off as well, and every coload call runs on its caller.
//
// Down: the pool stops taking work first (shutdown_pool refuses while the
// unloading thread is inside a region, and then nothing else is taken down);
// then the device slots' service threads are stopped and waited for, since
// they are pool members that sleep in the runtime's own waits; only then are
// the workers joined and the pool's storage released.  At process exit the
// last step is skipped: the process's threads end with it, and waiting for a
// busy one could hang the exit (see lifecycle.cpp for how exit and unload are
// told apart).
#include "runtime.h"

namespace {

__attribute__((constructor)) void library_attach(void)
{
    if (attach_pool() != 0)
        return;
    devices_attach();
}

__attribute__((destructor)) void library_detach(void)
{
    int exiting = process_is_exiting();
    int pool_down = shutdown_pool() == 0;
    devices_detach(exiting);
    if (!pool_down || exiting)
        return;
    release_pool_after_unload();
}

} // namespace
