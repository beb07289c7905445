// Reading args.bin on the agent's side, rewriting it with the response, and
// writing it on the client's side.
//
// The agent opens args.bin without following a link and only as a regular
// file, reads the header, and lets request_check_header judge it against the
// file's size before it allocates: the allocation is then bounded by what
// the file really holds.  The whole request is read in one piece (header
// again included) and the header read the second time must be the one that
// was judged, so a file rewritten between the two reads is refused instead
// of being served with a layout that no longer fits it.
//
// The response goes into the same name, but a name in a shared folder may
// have become a link to a file elsewhere, or a second name of one: the
// rewrite opens the existing file without following a link and writes only a
// regular file of one name.  When nothing has the name, it is created
// exclusively, which never follows a link either.
//
// The client writes a request into a fresh file: a link or a second name
// that someone left under "args.bin" is removed first and a new file is
// created exclusively, so the client's bytes never land in somebody else's
// file.  It fills in what follows from the arguments (arg_count, the data
// size, the name's length) and copies the rest of the header as given, so
// that a test can also write requests that an agent must refuse.
#include "server_folder.h"
#include "request_message.h"

#include <string.h>

namespace {

struct read_state {
    intptr_t file;
    uint8_t *request;
};

int refuse_read(const char *args_path, char *message, size_t message_size)
{
    return request_refuse(request_refused, message, message_size, "Failed to read %s\n", args_path);
}

int read_checked(read_state *state, const char *args_path, size_t folder_length, request_layout *layout,
                 char *message, size_t message_size)
{
    state->file = platform_file_open_existing(args_path, 0);
    platform_file_info info;
    if (state->file < 0 || platform_file_info_of(state->file, &info) != 0 || info.kind != platform_kind_regular)
        return request_refuse(request_refused, message, message_size, "Failed to open %s\n", args_path);
    args_header header;
    if (platform_file_read_at(state->file, &header, sizeof header, 0) != (int64_t)sizeof header)
        return refuse_read(args_path, message, message_size);
    int result = request_check_header(&header, (uint64_t)info.size, folder_length, args_path, layout, message,
                                      message_size);
    if (result != request_accepted)
        return result;
    state->request = static_cast<uint8_t *>(platform_alloc_zeroed((size_t)layout->total_size + 8));
    if (!state->request)
        return request_refuse(server_out_of_memory, message, message_size, "Out of memory\n");
    if (platform_file_read_at(state->file, state->request, layout->total_size, 0) != (int64_t)layout->total_size ||
        memcmp(state->request, &header, sizeof header) != 0)
        return refuse_read(args_path, message, message_size);
    return request_check_body(state->request, layout, message, message_size);
}

} // namespace

int request_read(const char *args_path, size_t folder_length, request_layout *layout, uint8_t **request,
                 char *message, size_t message_size)
{
    read_state state = {-1, nullptr};
    int result = read_checked(&state, args_path, folder_length, layout, message, message_size);
    platform_file_close(state.file);
    if (result != request_accepted) {
        platform_free(state.request);
        state.request = nullptr;
    }
    *request = state.request;
    return result;
}

int request_write_response(const char *args_path, const uint8_t *request, const request_layout *layout)
{
    intptr_t file = platform_file_open_existing(args_path, platform_open_read_write);
    if (file < 0 && platform_last_error() == platform_error_not_found)
        file = platform_file_create(args_path, platform_create_exclusive);
    if (file < 0)
        return request_response_unopened;
    platform_file_info info;
    if (platform_file_info_of(file, &info) != 0 || info.kind != platform_kind_regular || info.links != 1) {
        platform_file_close(file);
        return request_response_unopened;
    }
    if (platform_file_truncate(file, 0) != 0 || platform_file_write_all(file, request, layout->total_size, 0) != 0) {
        platform_file_close(file);
        return request_response_unwritten;
    }
    return platform_file_close_checked(file) == 0 ? request_response_written : request_response_unwritten;
}

uint64_t request_complete_header(args_header *header, const char *module_name, const request_part *parts,
                                 int32_t part_count)
{
    uint64_t data_size = 0;
    for (int32_t i = 0; i < part_count; ++i)
        data_size += parts[i].size;
    header->arg_count = part_count;
    header->data_size_low = (uint32_t)data_size;
    header->data_size_high = 0;
    header->module_name_length = (int32_t)(strlen(module_name) + 1);
    return data_size;
}

namespace {

// Header, name and table: everything before the data block, in one buffer.
uint8_t *request_front(const args_header *header, const char *module_name, const uint32_t *kinds,
                       const request_part *parts, int32_t part_count, uint32_t *front_size)
{
    uint64_t name_length = strlen(module_name) + 1;
    args_header written = *header;
    uint64_t data_size = request_complete_header(&written, module_name, parts, part_count);
    if (name_length >= server_path_limit || data_size > server_data_size_limit)
        return nullptr;
    request_offsets at = request_offsets_of(&written);
    if (at.end > server_request_size_limit)
        return nullptr;
    uint8_t *front = static_cast<uint8_t *>(platform_alloc_zeroed((size_t)at.data));
    if (!front)
        return nullptr;
    memcpy(front, &written, sizeof written);
    memcpy(front + at.name, module_name, (size_t)name_length);
    uint64_t offset = at.data;
    for (int32_t i = 0; i < part_count; ++i) {
        args_entry entry = {(uint32_t)offset, kinds[i]};
        memcpy(front + request_entry_offset(at.table, (uint32_t)i), &entry, sizeof entry);
        offset += parts[i].size;
    }
    *front_size = (uint32_t)at.data;
    return front;
}

// True when every part was written and synced.
bool write_parts(intptr_t file, const uint8_t *front, uint32_t front_size, const request_part *parts,
                 int32_t part_count)
{
    if (platform_file_write_all(file, front, front_size, platform_file_at_position) != 0)
        return false;
    for (int32_t i = 0; i < part_count; ++i)
        if (parts[i].size && platform_file_write_all(file, parts[i].bytes, parts[i].size, platform_file_at_position) != 0)
            return false;
    return platform_file_sync(file) == 0;
}

} // namespace

int request_write(const char *args_path, const args_header *header, const char *module_name,
                  const uint32_t *kinds, const request_part *parts, int32_t part_count)
{
    if (part_count < 0 || (part_count > 0 && (!kinds || !parts)))
        return server_step_failed;
    uint32_t front_size = 0;
    uint8_t *front = request_front(header, module_name, kinds, parts, part_count, &front_size);
    if (!front)
        return server_step_failed;
    bool written = false;
    if (platform_file_delete(args_path) == 0 || platform_last_error() == platform_error_not_found) {
        intptr_t file = platform_file_create(args_path, platform_create_exclusive);
        if (file >= 0) {
            written = write_parts(file, front, front_size, parts, part_count);
            if (platform_file_close_checked(file) != 0)
                written = false;
        }
    }
    platform_free(front);
    return written ? server_step_done : server_step_failed;
}
