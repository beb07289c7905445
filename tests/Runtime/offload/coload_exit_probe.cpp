// Exits while coload calls are in flight: one call's launch is still running on
// a device slot and a second call waits in that slot's queue.  Shutting down at
// exit must neither wait for the launch nor strand the queued caller in a way
// that keeps the process alive: the process ends promptly with status 0.
#include <stdio.h>
#include <stdlib.h>
#include <thread>

#include "fake_device.h"

namespace {

const fake_kernel_entry kernels[] = {{"fline20", hits_item}};

char source[] = "coload_fake.zeq";
qiv_coload_site site = QIV_COLOAD_SITE_INIT(source, 20);
QIV_REGION_OPENER void one_member_call(int *hits)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    if (qiv_exported_coload(self, &site, QIV_ARG_INOUT("int*", hits, 4, 256 * 4), QIV_ARG_GROUP_SIZE(64),
                            QIV_ARG_RANGE(256), QIV_ARG_END) != 0) {
        for (int i = 0; i < 256; ++i)
            hits[i] += 1;
    }
    qiv_region_end_joined(self);
}

// Yields until `done` holds; after 10 s (the test's limit is 20) the scene
// was never set up, which ends the probe with status 2 and says so.
template <typename condition> void yield_until(condition done, const char *what)
{
    uint64_t until = platform_monotonic_ms() + 10000;
    while (!done()) {
        if (platform_monotonic_ms() > until) {
            printf("never %s\n", what);
            exit(2);
        }
        std::this_thread::yield();
    }
}

} // namespace

int main()
{
    install_fake_devices(1, 1, 1, kernels, 1);
    fake_state().delay_ms = 60000; // the first launch outlives the process
    static int first[256], second[256];
    std::thread(one_member_call, first).detach();
    yield_until([] { return __atomic_load_n(&fake_state().set_args_since_launch[1], __ATOMIC_ACQUIRE) != 0; },
                "reached the device");
    std::thread(one_member_call, second).detach();
    device_slot *slot = &zeq_internal_offload()->device_table[1];
    yield_until([slot] { return __atomic_load_n(&slot->queue, __ATOMIC_ACQUIRE) != nullptr; },
                "queued the second call");
    puts("exiting with a launch running and a call queued");
    exit(0);
}
