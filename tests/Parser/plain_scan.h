// The plain, literal form of the quoted-token search the translators speed up:
// recount the quote parity from the start of the text for every candidate;
// and the bracket extraction built on it.  Tests compare the fast search and
// extraction, and whole translations, against them.
#ifndef ZEQ_TEST_PLAIN_SCAN_H
#define ZEQ_TEST_PLAIN_SCAN_H

#include <stdlib.h>
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

// The text from the first unquoted open to the close that balances it, both
// included (to be freed), or null where there is none.
inline char *plain_extract_balanced(const char *text, const char *open, const char *close)
{
    size_t ol = strlen(open), cl = strlen(close);
    const char *f = plain_find_unquoted(text, open);
    if (!f)
        return nullptr;
    const char *s = f - ol;
    if (s[1] == '\0')
        return nullptr;
    int depth = 1;
    for (const char *p = s + 1; *p; ++p) {
        const char *o = plain_find_unquoted(p, open);
        const char *k = plain_find_unquoted(p, close);
        if (!k)
            return nullptr;
        o = o ? o - ol : nullptr;
        k -= cl;
        if (o && o < k) {
            ++depth;
            p = o;
        } else {
            if (--depth == 0)
                return strndup(s, (size_t)(k - s) + cl);
            p = k;
        }
    }
    return nullptr;
}

#endif
