// gravsim_net_module.cpp: the remote module gravsim_net.so, which zeqworker
// agents load to compute shares of gravsim's calls.
//
// The module is zeqremote's translation of gravsim.zeq (gravsim_net.cpp,
// included below) plus the one layer that compiled code puts between an
// entry and the kernel body: the accelerations entry's internal function
// opens a region of one member and offers the work to the agent's own devices through a coload
// call of its own (line 54 of the module's translated source, so the devices
// look for kernel fline54 in gravsim_net.ocl or gravsim_net.ptx, the
// companions the client copies beside the module).  Only what no device
// takes runs the translated body on the agent's processor.  The entries of
// the time step and of the empty kernel are zeqremote's unchanged: the time
// step is too short to be worth a device, and the empty kernel does nothing
// anywhere.
//
// The translated entry of the accelerations would call the body directly;
// it is renamed on inclusion so that the entry below, with the device layer,
// is the one the module exports under its name.  Both names are given as
// the compiler's assembler labels on declarations (the translation's
// definition takes its label from the declaration before it), because the
// name is pasted from the line of the accelerations header in gravsim.zeq
// (gravsim_names.h) and so cannot be a macro's name.  The export list
// (remote_module.map) keeps the renamed one local.
//
// Only the share: inside the one-member region a range query covers all n
// bodies, so a body run there would compute every body for every share, and
// a device offered the region's range computes all of them too.  So the
// host body runs after the region has closed, in the agent's share region,
// where the range queries give the share; and when a device computed the
// whole range, the accelerations outside the share are put back as they
// arrived, so that the response changes exactly the share's records, as the
// response of the host body does.
//
// The host body is the widest the agent's processor runs, chosen as the
// program chooses its pool's (gravsim_widths.cpp): the module carries the
// body in every width, and each gives the same bits.
//
// Only what the devices computed right: the call carries a Status
// descriptor, and a status other than 0 (a launch or a read that failed, or
// groups smaller than the 256 that the tile in group memory needs, which
// leave most of every tile unloaded and the sums wrong) sends the share to
// the host body as if no device had taken it.  The records outside the
// share are put back whenever a device may have written them.
#include "gravsim_names.h"

#include <stddef.h>

extern "C" void GRAVSIM_ENTRY(accelerations)(size_t *arg) __asm__("gravsim_net_translated_accelerations");
#include "gravsim_net.cpp"

#include "gravsim_host.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum {
    module_line = 54, // the line of the coload call in the module's translated source
};

// Writable: the runtime trims it to the base name gravsim_net in place.  Its
// full path is the translated source's (GRAVSIM_NET_SOURCE, from the build).
char module_source[] = GRAVSIM_NET_SOURCE;
qiv_coload_site accelerations_site = QIV_COLOAD_SITE_INIT(module_source, module_line);

struct accelerations_call {
    float *pos;
    float *acc;
    int n;
    float spare;
    float eps;
    int devices_done; // the devices took the whole range
    int status;       // the call's status: 0 when every launch and read-back worked
};

// The region of one member whose only member offers the call to the devices,
// with the descriptors of gravsim.zeq's accelerations header (pos In, acc
// Out, then the values) and its tile: group memory for one tile, groups of
// one tile.  Members resume on copies of this frame, so the call's record is
// reached through the one pointer argument.
QIV_REGION_OPENER void offer_region(accelerations_call *c)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(1));
    if (qiv_exported_pix() == 0 &&
        qiv_exported_coload(self, &accelerations_site,
                            QIV_ARG_IN("float*", c->pos, sizeof(float), (intptr_t)c->n * 16),
                            QIV_ARG_OUT("float*", c->acc, sizeof(float), (intptr_t)c->n * 12),
                            QIV_ARG_VALUE("int", &c->n, sizeof(int)), QIV_ARG_VALUE("float", &c->spare, sizeof(float)),
                            QIV_ARG_VALUE("float", &c->eps, sizeof(float)),
                            QIV_ARG_SHARED_BYTES(gravsim_tile * 16), QIV_ARG_GROUP_SIZE(gravsim_tile),
                            QIV_ARG_RANGE(c->n), QIV_ARG_STATUS(&c->status), QIV_ARG_END) == 0)
        c->devices_done = 1;
    qiv_region_end_joined(self);
}

// The accelerations outside [first, last), kept while a device may overwrite
// them: records before the share, then records after it.
struct kept_records {
    float *floats;
    size_t before, after; // floats
};

bool keep_outside(const float *acc, int n, int first, int last, kept_records *k)
{
    k->before = 3 * (size_t)first;
    k->after = 3 * (size_t)(n - last);
    k->floats = nullptr;
    if (k->before + k->after == 0)
        return true;
    k->floats = static_cast<float *>(malloc((k->before + k->after) * sizeof(float)));
    if (!k->floats)
        return false;
    memcpy(k->floats, acc, k->before * sizeof(float));
    memcpy(k->floats + k->before, acc + 3 * (size_t)last, k->after * sizeof(float));
    return true;
}

void put_back_outside(float *acc, int last, const kept_records *k)
{
    if (!k->floats)
        return;
    memcpy(acc, k->floats, k->before * sizeof(float));
    memcpy(acc + 3 * (size_t)last, k->floats + k->before, k->after * sizeof(float));
}

// The internal function of the module's accelerations entry: the devices first, then the host
// body over the share unless the devices computed all of it right.  Out of
// memory for the kept records, the devices are not asked and the host
// computes the share.
void accelerations(float *pos, float *acc, int n, float spare, float eps, int qiv_extra_arg_offs)
{
    // The force sum reads whole tiles: with a count that is not a multiple
    // of the tile it would read past pos into the next argument and return
    // wrong sums as results.  Such a request fails instead (the trap ends
    // the call, and the agent answers "err").
    if (n % gravsim_tile != 0)
        __builtin_trap();
    int first = qiv_exported_range_start(n);
    int last = qiv_exported_range_end(n);
    if (n <= 0 || first >= last)
        return;
    kept_records kept;
    accelerations_call c = {pos, acc, n, spare, eps, 0, 0};
    if (keep_outside(acc, n, first, last, &kept)) {
        offer_region(&c);
        if (c.devices_done)
            put_back_outside(acc, last, &kept);
        free(kept.floats);
    }
    if (!c.devices_done || c.status != 0)
        gravsim_accelerations_host_body()(pos, acc, n, spare, eps, qiv_extra_arg_offs);
}

} // namespace

// The module's accelerations entry, fline<line of the header>.
extern "C" __declspec(dllexport) void gravsim_net_accelerations(size_t *arg)
    __asm__(GRAVSIM_STRING(GRAVSIM_ENTRY(accelerations)));
void gravsim_net_accelerations(size_t *arg)
{
    accelerations((float *)arg[0], (float *)arg[1], *(int *)arg[2], *(float *)arg[3], *(float *)arg[4], 0);
}
