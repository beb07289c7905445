// The module call: load the module from the agent folder, find its export,
// run it inside a region of one member that carries the share, unload it.
//
// The region is opened the way compiled code opens one, so that the module's
// qiv_exported_pix and qiv_exported_pno (and the ranges built on them)
// answer for the share the request names, and so that nested work the module
// leaves queued is collected at the region's end.  With one member nobody
// resumes the captured context, which is what lets the opener keep a local
// result after the open.
//
// The call runs through platform_guarded_call: a fault of the module's
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL) abandons the module's frames and fails
// the request without a message, where it would otherwise end the agent.
// The module file must be a regular file of the agent folder, not a link:
// the name checks keep the path inside the folder, and this keeps the bytes.
#include "agent.h"

#include <zeq_runtime.h>
#include <zeq_kernel_name.h>


namespace {

typedef void (*module_entry)(size_t *arg);

struct entry_call {
    module_entry entry;
    size_t *words;
};

void run_entry(void *arg)
{
    entry_call *call = static_cast<entry_call *>(arg);
    call->entry(call->words);
}

// Returns 0 when the export returned, else the signal that ended it.
QIV_REGION_OPENER int call_in_share(entry_call *call, int32_t share_index, int32_t share_count)
{
    qiv_parallel_region home;
    qiv_parallel_region *self = qiv_region_open(&home, 1, QIV_LIMIT_TIGHT(3));
    self->index = share_index;
    self->count = share_count;
    int signal = platform_guarded_call(run_entry, call);
    self->index = 0;
    self->count = 1;
    qiv_region_end_detached(self);
    return signal;
}

} // namespace

int agent_call_module(const agent_state *agent, const char *module_name, int32_t function_number,
                      void **words, int32_t share_index, int32_t share_count)
{
    char path[agent_path_room];
    server_file_path(path, sizeof path, agent->folder, module_name);
    void *library = nullptr;
    if (server_file_kind(path) == server_kind_regular) // not a link
        library = platform_library_open(path);
    if (!library) {
        agent_say("Failed to load %s\n", path);
        return module_failed;
    }
    // A negative number names no entry: the rule gives it no name.
    char export_name[QIV_KERNEL_NAME_SIZE];
    module_entry entry = nullptr;
    if (qiv_kernel_name(export_name, sizeof export_name, function_number) > 0)
        entry = reinterpret_cast<module_entry>(platform_library_symbol(library, export_name));
    int outcome = module_called;
    if (!entry) {
        agent_say("Failed to find function %d\n", (int)function_number);
        outcome = module_failed;
    } else {
        entry_call call = {entry, reinterpret_cast<size_t *>(words)};
        if (call_in_share(&call, share_index, share_count) != 0)
            outcome = module_failed;
    }
    if (platform_library_close(library) != 0) {
        agent_say("Failed to unload %s\n", path);
        return module_unload_failed;
    }
    return outcome;
}
