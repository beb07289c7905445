// What a process says about itself: its id, and lines on its error output.
//
// A diagnostic line goes out in one write, so that lines of several threads
// (and of several processes sharing the terminal) do not mix.  It bypasses
// the file calls' fault table on purpose: a test that counts file calls must
// see the same count whether diagnostics are on or not.
#include "platform.h"

#include <errno.h>
#include <unistd.h>

extern "C" int platform_process_id(void)
{
    return (int)getpid();
}

extern "C" void platform_error_write(const char *text, size_t size)
{
    while (size > 0) {
        ssize_t n = write(2, text, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere to report that a report failed
        text += n;
        size -= (size_t)n;
    }
}
