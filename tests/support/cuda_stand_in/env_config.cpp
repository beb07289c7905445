// env_config.cpp: parses ZEQ_CUDA_STAND_IN.
//
// Programs started by a test cannot call the stand_in_* functions, so the
// same configuration comes as text.  A typo there would otherwise pass
// silently and the test would check a setup it never got, so every item that
// is not used says so on stderr; the rest of the text still applies.  The
// numeric keys are one table, so that each range is stated once.
#include "env_config.h"

#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum { item_max = 128 };

struct numeric_key {
    const char *name;
    long low, high;
    size_t offset; // of the int inside env_config
};

const numeric_key numeric_keys[] = {
    {"devices", 0, stand_in_max_devices, offsetof(env_config, devices)},
    {"warp", 1, INT_MAX, offsetof(env_config, warp)},
    {"units", 1, INT_MAX, offsetof(env_config, units)},
    {"grid", 1, INT_MAX, offsetof(env_config, grid)},
    {"threads", 1, INT_MAX, offsetof(env_config, threads)},
};

// The whole of text as a decimal number in low..high.
bool parse_number(const char *text, long low, long high, int *out)
{
    char *end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || *end != 0 || errno != 0 || value < low || value > high)
        return false;
    *out = (int)value;
    return true;
}

// "entry:nth:result"; result 0 would turn a call into a success that did nothing.
bool parse_fail(char *value, env_config *config)
{
    char *first = strchr(value, ':');
    char *second = first ? strchr(first + 1, ':') : nullptr;
    if (!second || first == value || first - value >= env_entry_name_max || config->fail_count == env_fails_max)
        return false;
    *first = *second = 0;
    env_fail *f = &config->fails[config->fail_count];
    if (!parse_number(first + 1, 1, INT_MAX, &f->nth) || !parse_number(second + 1, 1, INT_MAX, &f->result))
        return false;
    strcpy(f->entry, value);
    ++config->fail_count;
    return true;
}

bool parse_item(char *item, env_config *config)
{
    char *value = strchr(item, '=');
    if (!value)
        return false;
    *value++ = 0;
    for (const numeric_key &k : numeric_keys)
        if (strcmp(item, k.name) == 0)
            return parse_number(value, k.low, k.high, reinterpret_cast<int *>(reinterpret_cast<char *>(config) + k.offset));
    int device = 0;
    if (strcmp(item, "attrfail") == 0) {
        if (!parse_number(value, 0, stand_in_max_devices - 1, &device))
            return false;
        config->attributes_fail[device] = true;
        return true;
    }
    if (strcmp(item, "fail") == 0)
        return parse_fail(value, config);
    return false;
}

} // namespace

int parse_env_config(const char *text, env_config *config, FILE *complaints)
{
    memset(config, 0, sizeof *config);
    config->devices = config->warp = config->units = config->grid = config->threads = -1;
    int skipped = 0;
    while (*text) {
        size_t length = strcspn(text, ",");
        char item[item_max];
        if (length > 0) {
            bool fits = length < item_max;
            if (fits) {
                memcpy(item, text, length);
                item[length] = 0;
            }
            if (!fits || !parse_item(item, config)) {
                fprintf(complaints, "cuda_stand_in: ZEQ_CUDA_STAND_IN: ignoring \"%.*s\"\n", (int)length, text);
                ++skipped;
            }
        }
        text += length;
        if (*text == ',')
            ++text;
    }
    return skipped;
}
