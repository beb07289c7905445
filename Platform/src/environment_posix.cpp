// The process's environment variables, read into a caller's buffer.
//
// Copying rather than handing out getenv's pointer keeps the caller's text
// stable whatever later changes the environment sees, and lets a value that
// does not fit be told apart from one that is unset.
#include "platform.h"

#include <stdlib.h>
#include <string.h>

extern "C" int platform_environment_read(const char *name, char *buffer, size_t size)
{
    if (size > 0)
        buffer[0] = 0;
    const char *value = getenv(name);
    if (!value)
        return platform_environment_unset;
    size_t length = strlen(value);
    if (length >= size)
        return platform_environment_too_long;
    memcpy(buffer, value, length + 1);
    return (int)length;
}
