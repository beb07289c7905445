// ZEQ_LOG's one reading and the one way its lines are written (see
// diagnostics.h).  A static library linked into libZeq and into zeqworker,
// so that both read the variable by the same rule; each process keeps its
// own level.
#include "diagnostics.h"

#include "platform.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

enum { level_unread = -1 };

int32_t level = level_unread;
const char *process_name = "zeq";

int read_level(void)
{
    char value[16];
    int length = platform_environment_read("ZEQ_LOG", value, sizeof value);
    if (length <= 0)
        return zeq_log_off;
    char *end = nullptr;
    long asked = strtol(value, &end, 10);
    if (end != value && *end == 0 && asked <= 0)
        return zeq_log_off;
    return zeq_log_decisions;
}

} // namespace

int zeq_log_level(void)
{
    int known = __atomic_load_n(&level, __ATOMIC_ACQUIRE);
    if (known != level_unread)
        return known;
    // Two first readers read the same variable and store the same value.
    known = read_level();
    __atomic_store_n(&level, known, __ATOMIC_RELEASE);
    return known;
}

void zeq_log_name(const char *name)
{
    process_name = name;
}

void zeq_log(int at, const char *format, ...)
{
    if (zeq_log_level() < at)
        return;
    char line[512];
    int used = snprintf(line, sizeof line, "%s[%d]: ", process_name, platform_process_id());
    va_list args;
    va_start(args, format);
    int added = vsnprintf(line + used, sizeof line - (size_t)used - 1, format, args);
    va_end(args);
    // A longer line is cut; it still ends the line.
    size_t length = (size_t)used + (added < 0 ? 0 : (size_t)added);
    if (length > sizeof line - 2)
        length = sizeof line - 2;
    line[length++] = '\n';
    platform_error_write(line, length);
}
