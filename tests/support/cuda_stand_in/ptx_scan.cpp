// ptx_scan.cpp: finds the kernels of a PTX module.
//
// The text is cut into tokens the way PTX reads: words run over letters,
// digits and '_' '$' '%' '.', so "ld.param.u64" is one word and only a word
// that starts with '.' is a directive; comments and strings are skipped, so a
// commented-out ".entry" declares nothing.  Only two directives matter at the
// top level (.version, .entry); inside an entry's parentheses each .param
// declaration gives one size, its type's width times its array length.  A
// full PTX parser was turned down: the driver needs names and sizes, nothing
// of the bodies, and a parameter list it cannot size is refused as a whole
// rather than guessed at.
#include "ptx_scan.h"

#include <stdlib.h>
#include <string.h>

namespace {

struct scanner {
    const char *p, *end;
};

struct token {
    const char *start;
    size_t length; // 0 at the end of the text
};

bool is_word_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           c == '%' || c == '.';
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

void skip_space_and_comments(scanner *s)
{
    while (s->p < s->end) {
        if (is_space(*s->p)) {
            ++s->p;
        } else if (*s->p == '/' && s->end - s->p > 1 && s->p[1] == '/') {
            while (s->p < s->end && *s->p != '\n')
                ++s->p;
        } else if (*s->p == '/' && s->end - s->p > 1 && s->p[1] == '*') {
            s->p += 2;
            while (s->end - s->p > 1 && !(s->p[0] == '*' && s->p[1] == '/'))
                ++s->p;
            s->p = s->end - s->p > 1 ? s->p + 2 : s->end;
        } else {
            return;
        }
    }
}

// A word, a string (quotes included) or a single other character.
token next_token(scanner *s)
{
    skip_space_and_comments(s);
    token t = {s->p, 0};
    if (s->p == s->end)
        return t;
    if (is_word_char(*s->p)) {
        while (s->p < s->end && is_word_char(*s->p))
            ++s->p;
    } else if (*s->p == '"') {
        ++s->p;
        while (s->p < s->end && *s->p != '"' && *s->p != '\n')
            ++s->p;
        if (s->p < s->end && *s->p == '"')
            ++s->p;
    } else {
        ++s->p;
    }
    t.length = (size_t)(s->p - t.start);
    return t;
}

bool is(token t, const char *text) { return t.length == strlen(text) && memcmp(t.start, text, t.length) == 0; }

// Width in bytes of a type directive (.u32, .f64, .b8, ...), 0 for any other word.
int type_bytes(token t)
{
    if (t.length < 3 || t.start[0] != '.' || !strchr("bsuf", t.start[1]))
        return 0;
    static const char *const widths[] = {"8", "16", "32", "64", "128"};
    for (int i = 0; i < 5; ++i)
        if (t.length - 2 == strlen(widths[i]) && memcmp(t.start + 2, widths[i], t.length - 2) == 0)
            return 1 << i;
    return 0;
}

// A decimal count in 1..ptx_param_bytes_max, 0 when the token is anything else.
int small_count(token t)
{
    if (t.length == 0 || t.length > 5)
        return 0;
    int value = 0;
    for (size_t i = 0; i < t.length; ++i) {
        if (t.start[i] < '0' || t.start[i] > '9')
            return 0;
        value = value * 10 + (t.start[i] - '0');
    }
    return value <= ptx_param_bytes_max ? value : 0;
}

// One ".param ..." declaration, after the .param word, up to and including the
// ',' or ')' that ends it (left in *end).  Returns its size, 0 when malformed.
int scan_param(scanner *s, token *end)
{
    int width = 0, count = 1;
    for (token t = next_token(s);; t = next_token(s)) {
        if (t.length == 0) {
            return 0;
        } else if (is(t, ",") || is(t, ")")) {
            *end = t;
            return width * count;
        } else if (is(t, ".align")) {
            if (!small_count(next_token(s)))
                return 0;
        } else if (is(t, "[")) {
            count = small_count(next_token(s));
            if (!count || !is(next_token(s), "]"))
                return 0;
        } else if (type_bytes(t)) {
            width = type_bytes(t);
        }
        // Anything else is the parameter's name or a state space qualifier.
    }
}

// An entry after its .entry word: the name, then an optional parameter list.
bool scan_entry(scanner *s, ptx_entry *entry)
{
    memset(entry, 0, sizeof *entry);
    token name = next_token(s);
    if (name.length == 0 || name.length >= ptx_name_max || !is_word_char(name.start[0]) || name.start[0] == '.')
        return false;
    memcpy(entry->name, name.start, name.length);
    scanner before_list = *s;
    if (!is(next_token(s), "(")) {
        *s = before_list; // an entry without parameters
        return true;
    }
    token t = next_token(s);
    if (is(t, ")"))
        return true;
    int total = 0;
    for (;;) {
        if (!is(t, ".param") || entry->param_count == stand_in_max_params)
            return false;
        token end = {nullptr, 0};
        int bytes = scan_param(s, &end);
        total += bytes;
        if (bytes == 0 || total > ptx_param_bytes_max)
            return false;
        entry->param_bytes[entry->param_count++] = bytes;
        if (is(end, ")"))
            return true;
        t = next_token(s);
    }
}

} // namespace

int ptx_scan(const char *text, size_t length, std::vector<ptx_entry> *entries)
{
    entries->clear();
    const char *nul = static_cast<const char *>(memchr(text, 0, length));
    scanner s = {text, nul ? nul : text + length};
    bool has_version = false;
    for (token t = next_token(&s); t.length; t = next_token(&s)) {
        if (is(t, ".version")) {
            has_version = true;
        } else if (is(t, ".entry")) {
            ptx_entry entry;
            if (!scan_entry(&s, &entry))
                return stand_in_invalid_ptx;
            entries->push_back(entry);
        }
    }
    return has_version && !entries->empty() ? stand_in_success : stand_in_invalid_ptx;
}
