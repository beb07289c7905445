// The plain, literal form of the quoted-token search the translators speed up:
// recount the quote parity from the start of the text for every candidate.
// Tests compare the fast search and whole translations against it.
#ifndef ZEQ_TEST_PLAIN_SCAN_H
#define ZEQ_TEST_PLAIN_SCAN_H

#include <string.h>

inline const char *plain_find_unquoted(const char *text, const char *token)
{
    size_t length = strlen(token);
    for (const char *c = strstr(text, token); c; c = strstr(c + length, token)) {
        int parity = 0;
        for (const char *p = text; p < c; ++p) {
            if (*p == '"')
                parity ^= 1;
            else if (*p == '\\')
                ++p;
        }
        if (parity == 0)
            return c + length;
    }
    return nullptr;
}

#endif
