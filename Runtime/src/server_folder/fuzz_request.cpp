// fuzz_request.cpp: the libFuzzer entry over the request checks.
//
// The input's first byte is the length of the agent folder's path, the rest
// is the bytes of an args.bin.  The entry does with them what request_read
// does with a file, without the file: the header check against the input's
// size, then (if accepted) the body check on a zeroed copy of total_size
// bytes with the same 8 bytes of slack, then the argument words.  What it
// asserts is what the agent relies on: an accepted request fits in the bytes
// there are, its name stays inside the agent folder, every word points into
// the data block, and a word's 8 bytes can be read even at the block's end
// (ASan judges those reads); a refusal is one printable line.
#include "server_folder.h"

#include <stdlib.h>
#include <string.h>

namespace {

void expect(bool condition)
{
    if (!condition)
        abort();
}

void expect_one_printable_line(const char *message)
{
    size_t n = strlen(message);
    expect(n >= 2 && message[n - 1] == '\n');
    for (size_t i = 0; i + 1 < n; ++i)
        expect(message[i] >= 0x20 && message[i] < 0x7f);
}

void expect_words_inside(uint8_t *request, const request_layout *layout)
{
    void **words = static_cast<void **>(calloc(layout->arg_count + 1, sizeof(void *)));
    request_argument_words(request, layout, words);
    uint64_t sum = 0;
    for (uint32_t i = 0; i < layout->arg_count; ++i) {
        uint8_t *word = static_cast<uint8_t *>(words[i]);
        expect(word >= request + layout->data_offset && word <= request + layout->total_size);
        uint64_t value;
        memcpy(&value, word, sizeof value);
        sum += value;
    }
    free(words);
    volatile uint64_t sink = sum;
    (void)sink;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 + sizeof(args_header))
        return 0;
    size_t folder_length = data[0];
    const uint8_t *file = data + 1;
    size_t file_size = size - 1;
    args_header header;
    memcpy(&header, file, sizeof header);
    request_layout layout;
    char message[300] = "";
    if (request_check_header(&header, file_size, folder_length, "args.bin", &layout, message, sizeof message) !=
        request_accepted) {
        expect_one_printable_line(message);
        return 0;
    }
    expect(layout.total_size <= file_size && layout.table_offset <= layout.data_offset);
    expect(layout.table_offset - sizeof(args_header) + folder_length < server_path_limit);
    uint8_t *request = static_cast<uint8_t *>(calloc((size_t)layout.total_size + 8, 1));
    memcpy(request, file, layout.total_size);
    if (request_check_body(request, &layout, message, sizeof message) == request_accepted) {
        const char *name = reinterpret_cast<const char *>(request + sizeof(args_header));
        expect(strnlen(name, layout.table_offset - sizeof(args_header)) < layout.table_offset - sizeof(args_header));
        expect(name[0] && !strchr(name, '/') && !strchr(name, '\\') && !strstr(name, ".."));
        expect_words_inside(request, &layout);
    } else {
        expect_one_printable_line(message);
    }
    free(request);
    return 0;
}
