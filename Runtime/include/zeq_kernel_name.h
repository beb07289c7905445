/* zeq_kernel_name.h: the name rule that ties generated code to the runtime.
 *
 * A coload function's kernel (in a .ocl or .ptx file) and its remote entry
 * point (in a _net module) are named "fline" followed by the decimal number of
 * the source line of the coload header's closing parenthesis, without leading
 * zeros: line 144 gives "fline144".  The translators write the name, the
 * runtime's kernel lookup and the worker agent's export lookup build it again
 * from a line number; all of them call this one function, so the three sides
 * cannot drift apart.
 *
 * The translators build the name in a 14-byte field, which holds at most eight
 * digits, and refuse a construct past line 99999999; the runtime and the agent
 * use QIV_KERNEL_NAME_SIZE bytes, which hold the name of any line.
 */
#ifndef ZEQ_KERNEL_NAME_H
#define ZEQ_KERNEL_NAME_H

#include <stddef.h>

#define QIV_KERNEL_NAME_PREFIX "fline"
#define QIV_KERNEL_NAME_SIZE 32

/* Writes the name of line's kernel and a terminating zero into name[0, size)
 * and returns its length.  Returns -1 and leaves name untouched when the line
 * is negative or the name and its terminator do not fit into size bytes. */
static inline int qiv_kernel_name(char *name, size_t size, long long line)
{
    char digits[24];
    int n = 0;
    if (line < 0)
        return -1;
    do {
        digits[n++] = (char)('0' + line % 10);
        line /= 10;
    } while (line > 0);
    if (size < sizeof QIV_KERNEL_NAME_PREFIX + (size_t)n)
        return -1;
    for (int i = 0; i < (int)sizeof QIV_KERNEL_NAME_PREFIX - 1; ++i)
        name[i] = QIV_KERNEL_NAME_PREFIX[i];
    for (int i = 0; i < n; ++i)
        name[sizeof QIV_KERNEL_NAME_PREFIX - 1 + i] = digits[n - 1 - i];
    name[sizeof QIV_KERNEL_NAME_PREFIX - 1 + n] = '\0';
    return (int)sizeof QIV_KERNEL_NAME_PREFIX - 1 + n;
}

#endif
