// Slot 0's service, the remote slot: it runs no kernel itself; its service
// thread hands each request to the remote offload client, and when the slot
// stops it waits until the client's monitor, which may still own requests,
// has ended.
#include "remote_client.h"

namespace {

void remote_start(int) {}

int remote_accepts(int, coload_request *request)
{
    return remote_client_accepts() && !remote_stalled() && (!request->balance || remote_balanced_share_wanted(request)) ? 1 : 0;
}

void remote_serve(int, coload_request *request)
{
    serve_remote_request(request);
}

void remote_stop(int)
{
    while (remote_monitor_running())
        qiv_exported_wait(1, owner_share_wait_ms);
}

} // namespace

const slot_service remote_service = {
    .kind = "remote",
    .accepts = remote_accepts,
    .start = remote_start,
    .serve = remote_serve,
    .stop = remote_stop,
};
