// Requests laid out byte by byte, as the protocol puts them, independently of
// any writer: for tests that hold a writer's bytes against them, or hand a
// reader bytes no writer makes.  Fields are 32-bit little-endian.
#ifndef ZEQ_TESTS_REQUEST_BYTES_H
#define ZEQ_TESTS_REQUEST_BYTES_H

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

inline void put_u32(std::vector<uint8_t> *bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes->push_back((uint8_t)(value >> (8 * i)));
}

inline void put_bytes(std::vector<uint8_t> *bytes, const void *from, size_t size)
{
    const uint8_t *p = static_cast<const uint8_t *>(from);
    bytes->insert(bytes->end(), p, p + size);
}

// Overwrites the field at offset; one past the end is the test's own fault.
inline void set_u32(std::vector<uint8_t> *bytes, size_t offset, uint32_t value)
{
    if (offset + 4 > bytes->size()) {
        ADD_FAILURE() << "a field at " << offset << " of a request of " << bytes->size() << " bytes";
        return;
    }
    for (int i = 0; i < 4; ++i)
        (*bytes)[offset + i] = (uint8_t)(value >> (8 * i));
}

// The N-body sample's call over n bodies as one share: function `function`
// of module `name`, In `in` (16 n bytes), Out `out` (12 n) and three 4-byte
// values, each argument right after the one before.
inline std::vector<uint8_t> nbody_request_bytes(uint32_t function, const char *name, int n, const void *in,
                                                const void *out, const void *const (&values)[3])
{
    const uint32_t length = (uint32_t)strlen(name) + 1, in_size = 16 * (uint32_t)n, out_size = 12 * (uint32_t)n;
    const uint32_t data = 32 + length + 8 * 5;
    std::vector<uint8_t> bytes;
    for (uint32_t word : {0u, 1u, 0u, function, 5u, in_size + out_size + 12, 0u, length})
        put_u32(&bytes, word);
    put_bytes(&bytes, name, length);
    const uint32_t table[5][2] = {{data, 1},
                                  {data + in_size, 2},
                                  {data + in_size + out_size, 4},
                                  {data + in_size + out_size + 4, 4},
                                  {data + in_size + out_size + 8, 4}};
    for (const auto &entry : table) {
        put_u32(&bytes, entry[0]);
        put_u32(&bytes, entry[1]);
    }
    put_bytes(&bytes, in, in_size);
    put_bytes(&bytes, out, out_size);
    for (const void *value : values)
        put_bytes(&bytes, value, 4);
    return bytes;
}

#endif
