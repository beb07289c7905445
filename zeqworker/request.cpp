// One request, from the checked bytes of args.bin to the published outcome.
//
// The protocol module reads and checks the whole request before anything is
// allocated for it, so a request can be refused but never make the agent
// allocate what the file does not hold.  Every refusal takes the same
// failure path: one message, "do" renamed to "err", and the agent goes on.
// Only two conditions end the process, each after renaming "do" to "err" so
// that the client stops waiting: memory that cannot be had for a request the
// file does hold, and a module that will not unload (its code may still be
// mapped and running, so nothing in the process can be trusted afterwards).
#include "agent.h"
#include "diagnostics.h"

#include <stdio.h>
#include <string.h>

namespace {

enum { message_room = agent_path_room + 128 };

// The failure path: prints message (none when null) and renames "do" to "err".
int refuse(agent_state *agent, const char *message)
{
    if (message)
        agent_say("%s", message);
    if (server_publish(agent->folder, 0) == server_step_done)
        return agent_step_next;
    agent_say("Failed to report completion\n");
    agent_say("Corrupted server folder: %s\n", agent->folder);
    return agent_step_reregister;
}

// A fatal end: "do" becomes "err" first; whether that works no longer matters.
int give_up(agent_state *agent, int status)
{
    server_publish(agent->folder, 0);
    return status;
}

// The runtime divides by the share count and multiplies by the index when a
// module asks for its range, so a request outside 0 <= index < count would
// make the module's own range queries fault (or overflow) inside the agent.
int share_is_sound(const args_header *header)
{
    return header->share_count >= 1 && header->share_index >= 0 && header->share_index < header->share_count;
}

// What the module is handed: the argument words, and the data block in an
// allocation of its own.  request_read keeps the request in one piece, where
// the block starts right after a name of any length; arrays of floats or
// records at odd addresses are slow at best, and a fault for the aligned
// vector instructions a compiler may use on them.  A block of its own starts
// on a 64-byte boundary (as each argument then does whenever the sizes
// before it are multiples of its alignment, as with a client's arrays).
struct call_buffers {
    void **words;
    uint8_t *block;
    uint32_t block_size;
};

// The block with request_read's 8 bytes of slack after its end, fenced: a
// module only has the words, and believes whatever sizes the request's
// values claim, so one that runs past the block faults on the fence (and
// fails its request) rather than writing over the agent's own memory.
size_t fenced_size(const call_buffers *buffers)
{
    return (size_t)buffers->block_size + 8;
}

// 0, or -1 when memory runs out (nothing is left allocated then).
int make_call_buffers(uint8_t *request, const request_layout *layout, call_buffers *buffers)
{
    buffers->block_size = layout->total_size - layout->data_offset;
    // One spare word, so that a request without arguments still has an array.
    buffers->words = static_cast<void **>(platform_alloc_zeroed(((size_t)layout->arg_count + 1) * sizeof(void *)));
    buffers->block = static_cast<uint8_t *>(platform_alloc_fenced(fenced_size(buffers)));
    if (!buffers->words || !buffers->block) {
        platform_free(buffers->words);
        platform_free_fenced(buffers->block, fenced_size(buffers));
        return -1;
    }
    uint8_t *data = request + layout->data_offset;
    memcpy(buffers->block, data, buffers->block_size);
    request_argument_words(request, layout, buffers->words);
    for (uint32_t i = 0; i < layout->arg_count; ++i)
        buffers->words[i] = buffers->block + (static_cast<uint8_t *>(buffers->words[i]) - data);
    return 0;
}

// Puts what the module left in the block back into the request.
void release_call_buffers(uint8_t *request, const request_layout *layout, call_buffers *buffers)
{
    memcpy(request + layout->data_offset, buffers->block, buffers->block_size);
    platform_free(buffers->words);
    platform_free_fenced(buffers->block, fenced_size(buffers));
}

// Runs the module on an accepted request, writes the response and publishes.
int serve_accepted(agent_state *agent, uint8_t *request, const request_layout *layout)
{
    char message[message_room];
    args_header header;
    memcpy(&header, request, sizeof header);
    if (!share_is_sound(&header)) {
        snprintf(message, sizeof message, "Incorrect coload share: %d of %d\n", (int)header.share_index,
                 (int)header.share_count);
        return refuse(agent, message);
    }
    call_buffers buffers;
    if (make_call_buffers(request, layout, &buffers) != 0) {
        agent_say("Out of memory\n");
        return give_up(agent, agent_exit_out_of_memory);
    }
    const char *module_name = reinterpret_cast<const char *>(request) + layout->name_offset;
    int called = agent_call_module(agent, module_name, header.function_number, buffers.words, header.share_index,
                                   header.share_count);
    release_call_buffers(request, layout, &buffers);
    // Before the outcome: a client that sees it reads counts that include
    // this request, failed or not (a device may have worked before a fault).
    if (called != module_unload_failed)
        agent_report_slots();
    if (called == module_unload_failed)
        return give_up(agent, agent_exit_unload_failed);
    if (called == module_failed)
        return refuse(agent, nullptr);

    // The module may have run for long; the folder must still be ours before
    // the results go into it.  If not, "do" stays: the folder is abandoned.
    if (!agent_stamp_holds(agent)) {
        agent_say("Corrupted server folder: %s\n", agent->folder);
        return agent_step_reregister;
    }
    int written = request_write_response(agent->args_path, request, layout);
    if (written != request_response_written) {
        snprintf(message, sizeof message,
                 written == request_response_unopened ? "Failed to create %s\n" : "Failed to write %s\n",
                 agent->args_path);
        return refuse(agent, message);
    }
    if (server_publish(agent->folder, 1) != server_step_done)
        return refuse(agent, "Failed to report completion\n");
    zeq_log(zeq_log_decisions, "served %s fline%d, share %d of %d, in %s", module_name, (int)header.function_number,
            (int)header.share_index, (int)header.share_count, agent->folder);
    return agent_step_next;
}

} // namespace

int agent_serve_request(agent_state *agent)
{
    char message[message_room];
    // "do" is a name anyone could have given to a folder or a link.
    if (server_file_kind(agent->do_path) != server_kind_regular) {
        snprintf(message, sizeof message, "Request marker is not a regular file: %s\n", agent->do_path);
        return refuse(agent, message);
    }
    request_layout layout;
    uint8_t *request = nullptr;
    int read = request_read(agent->args_path, (size_t)agent->folder_length, &layout, &request, message, sizeof message);
    if (read == server_out_of_memory) {
        agent_say("%s", message);
        return give_up(agent, agent_exit_out_of_memory);
    }
    if (read != request_accepted)
        return refuse(agent, message);
    int step = serve_accepted(agent, request, &layout);
    platform_free(request);
    return step;
}
