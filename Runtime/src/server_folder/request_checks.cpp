// The checks that stand between a request's bytes and the agent that obeys
// them.
//
// Anyone who can write the server folder can write any bytes into args.bin,
// so the header is judged against the size of the file before anything is
// allocated for it (a header that promises gigabytes the file does not hold
// is refused, not allocated), and the body is judged before the module name
// is used as a path or an entry as a pointer: the name must name a file of
// the agent folder, and every argument must start inside the data block.
// All sums run in 64 bits, so no field, however large, can wrap a bound.
// The agent's own messages keep their texts; the refusals that only a
// hostile request meets say in the same style what was wrong.
#include "server_folder.h"
#include "request_message.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int request_refuse(int result, char *message, size_t message_size, const char *format, ...)
{
    if (!message || message_size == 0)
        return result;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message, message_size, format, args);
    va_end(args);
    if (n >= 0 && (size_t)n >= message_size && message_size >= 2) {
        message[message_size - 2] = '\n'; // cut short, still one whole line
        message[message_size - 1] = 0;
    }
    return result;
}

void printable_name(char *out, size_t size, const char *name)
{
    size_t i = 0;
    for (; name[i] && i + 1 < size; ++i) {
        unsigned char c = (unsigned char)name[i];
        out[i] = c >= 0x20 && c < 0x7f ? (char)c : '?';
    }
    out[i] = 0;
}

request_offsets request_offsets_of(const args_header *header)
{
    request_offsets at;
    at.name = sizeof(args_header);
    at.table = at.name + (uint32_t)header->module_name_length;
    at.data = at.table + sizeof(args_entry) * (uint64_t)(uint32_t)header->arg_count;
    at.end = at.data + header->data_size_low;
    return at;
}

int request_check_header(const args_header *header, uint64_t file_size, size_t folder_length,
                         const char *args_path, request_layout *layout, char *message, size_t message_size)
{
    if (header->version != server_request_version)
        return request_refuse(request_refused, message, message_size, "Wrong coload version %d\n",
                              (int)header->version);
    if (header->arg_count < 0)
        return request_refuse(request_refused, message, message_size, "Incorrect coload configuration: %d\n",
                              (int)header->arg_count);
    int32_t name_length = header->module_name_length;
    if (name_length < server_min_name_length || (uint64_t)name_length + folder_length >= server_path_limit)
        return request_refuse(request_refused, message, message_size,
                              "Incorrect coload module name length: %d\n", (int)name_length);
    request_offsets at = request_offsets_of(header);
    if (header->data_size_high != 0 || header->data_size_low > server_data_size_limit || at.end > file_size ||
        at.end > server_request_size_limit)
        return request_refuse(request_refused, message, message_size, "Failed to read %s\n", args_path);
    layout->name_offset = (uint32_t)at.name;
    layout->table_offset = (uint32_t)at.table;
    layout->data_offset = (uint32_t)at.data;
    layout->total_size = (uint32_t)at.end;
    layout->arg_count = (uint32_t)header->arg_count;
    return request_accepted;
}

namespace {

int check_module_name(const uint8_t *request, const request_layout *layout, char *message, size_t message_size)
{
    const char *name = reinterpret_cast<const char *>(request + layout->name_offset);
    size_t name_length = layout->table_offset - layout->name_offset;
    if (!memchr(name, 0, name_length))
        return request_refuse(request_refused, message, message_size,
                              "Incorrect coload module name: not terminated within %u bytes\n",
                              (unsigned)name_length);
    if (name[0] == 0)
        return request_refuse(request_refused, message, message_size, "Incorrect coload module name: empty\n");
    // The module path is the agent folder + this name: a separator or a
    // ".." would reach outside the folder.
    if (strchr(name, '/') || strchr(name, '\\') || strstr(name, "..")) {
        char shown[server_path_limit];
        printable_name(shown, sizeof shown, name);
        return request_refuse(request_refused, message, message_size, "Incorrect coload module name: %s\n", shown);
    }
    return request_accepted;
}

args_entry entry_at(const uint8_t *request, const request_layout *layout, uint32_t i)
{
    // The table starts right after a name of any length: not aligned.
    args_entry entry;
    memcpy(&entry, request + request_entry_offset(layout->table_offset, i), sizeof entry);
    return entry;
}

} // namespace

int request_check_body(const uint8_t *request, const request_layout *layout, char *message, size_t message_size)
{
    int result = check_module_name(request, layout, message, message_size);
    if (result != request_accepted)
        return result;
    for (uint32_t i = 0; i < layout->arg_count; ++i) {
        // The end of the block is allowed: an empty last argument starts there.
        uint32_t offset = entry_at(request, layout, i).data_offset;
        if (offset < layout->data_offset || offset > layout->total_size)
            return request_refuse(request_refused, message, message_size,
                                  "Incorrect coload argument offset: %u (argument %u)\n", (unsigned)offset,
                                  (unsigned)i);
    }
    return request_accepted;
}

void request_argument_words(uint8_t *request, const request_layout *layout, void **words)
{
    for (uint32_t i = 0; i < layout->arg_count; ++i)
        words[i] = request + entry_at(request, layout, i).data_offset;
}
