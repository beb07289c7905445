/* zeqopenmp.cpp: copies a Zeq source, rewriting its parallel and serial
 * constructs for a compiler with OpenMP support.
 *
 * A parallel header becomes an OpenMP parallel pragma whose thread count
 * encodes the member count and whether the block ends in `break;` (a detached
 * region); a serial block keeps its header and is closed by `break();`.
 * Constructs nest, and each block is transformed as a text of its own.
 *
 * The block of a construct is not copied out: it is transformed in place as a
 * window [start, last] of the one text, and nesting is an explicit stack of
 * windows, so a deeply nested file costs neither the stack nor a copy per
 * level.  To keep that linear, the searches that a copy would have bounded
 * are answered from tables built once over the whole text: the quote class of
 * every position (see quote_index), and for each kind of bracket and each
 * class the matching closing bracket of the opening ones.  A search in the
 * whole text gives the same answer as in a block's copy whenever the answer
 * lies inside the block, and no answer otherwise.
 *
 * Memory stays within a few bytes per source byte whatever the text holds:
 * the bracket tables keep only the brackets that a construct can ask about
 * (a table of every bracket cost 26 bytes per byte of a file of braces), and
 * the tables and the window stack hold 32-bit positions, not pointers.  A
 * source too long for those positions is refused.
 */
#include "text_scan.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* A position in the text; a text longer than max_text_length is refused. */
typedef uint32_t position;
static const size_t max_text_length = UINT32_MAX;
/* Above every bracket position of a text that fits. */
static const position no_match = UINT32_MAX;

/* Matching pairs of one bracket kind among the brackets of one quote class:
 * extract_balanced started from a position of that class sees exactly those.
 * Only the kept brackets (see keep_brackets) have entries, but each one is
 * paired as among all brackets of its kind and class. */
struct pair_table {
    position count;
    position *open_at;  /* positions of the kept opening brackets, ascending */
    position *match_at; /* position of each one's closing bracket, or no_match */
};

enum { braces = 0, parens = 1 };

/* Where an accepted keyword starts and where the '(' after it stands. */
struct keyword_hit {
    const char *start;
    const char *paren;
};

/* The last answer for one keyword.  It holds for any later start of the same
 * quote class up to the first candidate that answer examined, since from
 * there on the search runs the same way. */
struct keyword_search {
    const char *word;
    size_t length;
    int valid;
    const char *from;
    int klass;
    const char *first;
    keyword_hit hit;
};

/* What a window prints after its last byte. */
enum { closing_none, closing_parallel, closing_serial };
static const char *const closing_text[] = {"", "}", " break();}"};

/* One text being transformed: the whole source, or a block from its opening
 * brace through its closing one.  A block's closing brace is not printed (its
 * closing text stands for it), and the enclosing window goes on at end, just
 * past it. */
struct window {
    position cur;
    position end;          /* where a copy of the window would end */
    unsigned char closing; /* closing_none for the whole source */
};

struct omp_state {
    char *text;
    const char *text_end;
    quote_index quotes;
    pair_table pairs[2][2]; /* [bracket kind][quote class] */
    keyword_search parallel;
    keyword_search serial;
    window *windows;
    size_t depth;
    size_t capacity;
    FILE *out;
};

static position position_of(const omp_state *st, const char *p)
{
    return (position)(p - st->text);
}

/* ---- keywords ------------------------------------------------------------- */

/* find_unquoted(from, word) for a word that starts with a letter. */
static const char *find_word(const omp_state *st, const char *from, const keyword_search *ks)
{
    int klass = quote_class(&st->quotes, from);
    const char *p = from;
    for (;;) {
        const char *c = (const char *)memmem(p, (size_t)(st->text_end - p), ks->word, ks->length);
        if (!c || quote_class(&st->quotes, c) == klass)
            return c;
        p = c + ks->length;
    }
}

/* The keyword must follow one of "{(; \n" (or stand at the very start of the
 * text) and be followed by '(' with only spaces and newlines between. */
static int accept_keyword(const omp_state *st, const char *c, size_t length, const char **paren)
{
    if (c != st->text && !memchr("{(; \n", c[-1], 5))
        return 0;
    const char *z = c + length;
    while (*z == ' ' || *z == '\n')
        ++z;
    *paren = z;
    return *z == '(';
}

/* 1 if an accepted keyword starts at c; its header's '(' goes to *paren. */
static int keyword_at(const omp_state *st, const char *c, const char **paren)
{
    const keyword_search *words[2] = {&st->parallel, &st->serial};
    for (const keyword_search *ks : words)
        if (*c == ks->word[0] && (size_t)(st->text_end - c) >= ks->length &&
            memcmp(c, ks->word, ks->length) == 0)
            return accept_keyword(st, c, ks->length, paren);
    return 0;
}

static keyword_hit next_keyword(omp_state *st, keyword_search *ks, const char *from)
{
    if (ks->valid && from >= ks->from && (!ks->first || from <= ks->first) &&
        quote_class(&st->quotes, from) == ks->klass)
        return ks->hit;
    ks->valid = 1;
    ks->from = from;
    ks->klass = quote_class(&st->quotes, from);
    ks->hit.start = NULL;
    ks->hit.paren = NULL;
    const char *p = from;
    int first = 1;
    for (;;) {
        const char *c = find_word(st, p, ks);
        if (first)
            ks->first = c;
        first = 0;
        if (!c)
            break;
        const char *paren;
        if (accept_keyword(st, c, ks->length, &paren)) {
            ks->hit.start = c;
            ks->hit.paren = paren;
            break;
        }
        /* The search goes on one character past the rejected keyword, and
         * there is nothing to search past the end of the text. */
        if (c + ks->length == st->text_end)
            break;
        p = c + ks->length + 1;
    }
    return ks->hit;
}

/* ---- bracket tables ----------------------------------------------------------
 *
 * Brackets are searched for only from an accepted keyword: the braces of its
 * block from just past it, the parentheses of a parallel header from its
 * start.  The letters of the keyword and the spaces and newlines before its
 * '(' are ordinary characters, so all of them and that '(' have the keyword's
 * quote class.  The parenthesis found is therefore that '(' itself, and the
 * brace found is the first '{' of the keyword's class after the keyword: those
 * two are the brackets kept.  A search then finds the first kept bracket of
 * its class at or after its start, which is the one it would have found among
 * all of them. */

/* The pass over the text runs twice: once counting the kept brackets of each
 * table, so that the tables are allocated at their size, then recording them
 * and their matches.  While a kept bracket waits for its match, its match_at
 * entry holds the depth it opened at (the number of brackets of its kind and
 * class open before it), which spares the waiting list a field; those never
 * matched get no_match at the end. */
struct pair_builder {
    int recording;
    position kept[2][2];      /* counted by the first pass */
    position depth[2][2];     /* brackets open, kept or not */
    position *waiting[2][2];  /* slots of the kept ones among them, innermost last */
    position height[2][2];    /* entries in waiting */
};

static void open_bracket(omp_state *st, pair_builder *b, int kind, int c, size_t at, int keep)
{
    if (!b->recording) {
        b->kept[kind][c] += (position)keep;
        return;
    }
    if (keep) {
        pair_table *p = &st->pairs[kind][c];
        position slot = p->count++;
        p->open_at[slot] = (position)at;
        p->match_at[slot] = b->depth[kind][c];
        b->waiting[kind][c][b->height[kind][c]++] = slot;
    }
    ++b->depth[kind][c];
}

/* A closing bracket matches the innermost open one of its kind and class; a
 * kept one is matched when the depth falls back to where it opened. */
static void close_bracket(omp_state *st, pair_builder *b, int kind, int c, size_t at)
{
    if (!b->recording || b->depth[kind][c] == 0)
        return;
    position depth = --b->depth[kind][c];
    position *height = &b->height[kind][c];
    position *match_at = st->pairs[kind][c].match_at;
    if (*height > 0 && match_at[b->waiting[kind][c][*height - 1]] == depth) {
        --*height;
        match_at[b->waiting[kind][c][*height]] = (position)at;
    }
}

static void keep_brackets(omp_state *st, pair_builder *b)
{
    const char *t = st->text;
    size_t length = (size_t)(st->text_end - t);
    int brace_wanted[2] = {0, 0}; /* by quote class */
    const char *paren_due = NULL;
    for (size_t i = 0; i < length; ++i) {
        int c = st->quotes.klass[i];
        const char *paren;
        switch (t[i]) {
        case '{':
            open_bracket(st, b, braces, c, i, brace_wanted[c]);
            brace_wanted[c] = 0;
            break;
        case '(':
            open_bracket(st, b, parens, c, i, t + i == paren_due);
            break;
        case '}':
            close_bracket(st, b, braces, c, i);
            break;
        case ')':
            close_bracket(st, b, parens, c, i);
            break;
        default:
            if (keyword_at(st, t + i, &paren)) {
                brace_wanted[c] = 1;
                paren_due = paren;
            }
        }
    }
}

static int build_pair_tables(omp_state *st)
{
    pair_builder b;
    memset(&b, 0, sizeof b);
    keep_brackets(st, &b);
    int ok = 1;
    for (int kind = 0; kind < 2; ++kind)
        for (int c = 0; c < 2; ++c) {
            size_t n = b.kept[kind][c] ? b.kept[kind][c] : 1;
            pair_table *p = &st->pairs[kind][c];
            p->open_at = (position *)malloc(n * sizeof(position));
            p->match_at = (position *)malloc(n * sizeof(position));
            b.waiting[kind][c] = (position *)malloc(n * sizeof(position));
            if (!p->open_at || !p->match_at || !b.waiting[kind][c])
                ok = 0;
        }
    if (ok) {
        b.recording = 1;
        keep_brackets(st, &b);
    }
    for (int kind = 0; kind < 2; ++kind)
        for (int c = 0; c < 2; ++c) {
            for (position h = 0; ok && h < b.height[kind][c]; ++h)
                st->pairs[kind][c].match_at[b.waiting[kind][c][h]] = no_match;
            free(b.waiting[kind][c]);
        }
    return ok;
}

static void free_pair_tables(omp_state *st)
{
    for (int kind = 0; kind < 2; ++kind)
        for (int c = 0; c < 2; ++c) {
            free(st->pairs[kind][c].open_at);
            free(st->pairs[kind][c].match_at);
        }
}

/* First kept opening bracket of the class of `from` at or after it, as an
 * index into that class's table, or count when there is none. */
static position first_open(const pair_table *p, position from)
{
    position lo = 0, hi = p->count;
    while (lo < hi) {
        position mid = lo + (hi - lo) / 2;
        if (p->open_at[mid] < from)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/* extract_balanced(from, open, close) as seen inside a window that ends at
 * limit, for a search from an accepted keyword: the span's first and last
 * positions, or 0. */
static int balanced_span(const omp_state *st, int kind, const char *from, const char *limit,
                         const char **first, const char **last)
{
    const pair_table *p = &st->pairs[kind][quote_class(&st->quotes, from)];
    position i = first_open(p, position_of(st, from));
    if (i == p->count)
        return 0;
    const char *s = st->text + p->open_at[i];
    if (s >= limit || p->match_at[i] == no_match)
        return 0;
    const char *m = st->text + p->match_at[i];
    if (m >= limit)
        return 0;
    *first = s;
    *last = m;
    return 1;
}

/* ---- one construct -------------------------------------------------------- */

static void print_span(omp_state *st, const char *start, const char *end)
{
    if (end > start)
        fwrite(start, 1, (size_t)(end - start), st->out);
}

/* find_unquoted(k, block text) inside the window: just past where the block's
 * text is found again.  Before its own opening brace it can only occur at a
 * quoted '{'; without one, the answer is the block itself. */
static const char *locate_block(const omp_state *st, const char *k, const char *s, const char *m,
                                const char *limit)
{
    size_t length = (size_t)(m - s) + 1;
    if (!memchr(k, '{', (size_t)(s - k)))
        return s + length;
    int klass = quote_class(&st->quotes, k);
    const char *p = k;
    while (p < limit) {
        const char *c = (const char *)memmem(p, (size_t)(limit - p), s, length);
        if (!c)
            return NULL;
        if (quote_class(&st->quotes, c) == klass)
            return c + length;
        p = c + length;
    }
    return NULL;
}

/* A `break;` that is the block's last statement marks the region detached,
 * and the caller blanks it.  Only one occurrence can stand right before the final "; }", so
 * it is looked for from the end; the forward walk of the copy would reach it
 * exactly when it is unquoted as seen from the block's opening brace.  Returns
 * where the word starts, or NULL; the semicolon is the first ';' after it. */
static char *final_break(omp_state *st, char *first, char *last)
{
    char *q = last - 1;
    while (q > first && (*q == ' ' || *q == '\n'))
        --q;
    if (q <= first || *q != ';')
        return NULL;
    --q;
    while (q > first && (*q == ' ' || *q == '\n'))
        --q;
    char *word = q - 4;
    if (word <= first || memcmp(word, "break", 5) != 0 ||
        quote_class(&st->quotes, word) != quote_class(&st->quotes, first))
        return NULL;
    return word;
}

static int push_window(omp_state *st, const window *w)
{
    if (st->depth == st->capacity) {
        size_t grown = st->capacity ? st->capacity * 2 : 64;
        window *windows = (window *)realloc(st->windows, grown * sizeof(window));
        if (!windows)
            return 0;
        st->windows = windows;
        st->capacity = grown;
    }
    st->windows[st->depth++] = *w;
    return 1;
}

/* Ends the innermost window: its closing text goes out and the enclosing one
 * goes on just past the block. */
static void pop_window(omp_state *st)
{
    window done = st->windows[--st->depth];
    if (st->depth > 0) {
        fputs(closing_text[done.closing], st->out);
        st->windows[st->depth - 1].cur = done.end;
    }
}

static const char msg_internal[] = "Internal error: failed to retrieve parallel scope {}";

/* One step of the innermost window: handles its next construct, or prints
 * the rest of it.  Returns 0 when out of memory. */
static int step(omp_state *st)
{
    window *w = &st->windows[st->depth - 1];
    const char *cur = st->text + w->cur;
    const char *limit = st->text + w->end;
    keyword_hit p = next_keyword(st, &st->parallel, cur);
    keyword_hit s = next_keyword(st, &st->serial, cur);
    if (p.start && p.paren >= limit)
        p.start = NULL;
    if (s.start && s.paren >= limit)
        s.start = NULL;
    if (!p.start && !s.start) {
        print_span(st, cur, w->closing == closing_none ? limit : limit - 1);
        pop_window(st);
        return 1;
    }
    int parallel = p.start && (!s.start || p.start < s.start);
    keyword_hit hit = parallel ? p : s;
    const char *kw = hit.start;
    const char *k = kw + (parallel ? st->parallel.length : st->serial.length);

    const char *first, *last, *args_first, *args_last;
    int has_block = balanced_span(st, braces, k, limit, &first, &last);
    /* A parallel header whose parentheses do not balance has no argument to
     * encode; the keyword is treated as one without a block. */
    if (has_block && parallel)
        has_block = balanced_span(st, parens, kw, limit, &args_first, &args_last);
    if (!has_block) {
        print_span(st, cur, k);
        w->cur = position_of(st, k);
        return 1;
    }
    const char *after = locate_block(st, k, first, last, limit);
    if (!after) {
        fputs(msg_internal, st->out);
        pop_window(st);
        return 1;
    }
    char *block_first = st->text + (after - (last - first) - 1 - st->text);
    char *block_last = st->text + (after - 1 - st->text);

    print_span(st, cur, kw);
    if (parallel) {
        char *word = final_break(st, block_first, block_last);
        fputs("__pragma (omp parallel num_threads((", st->out);
        print_span(st, args_first + 1, args_last);
        fputs(word ? "+1) * 2 + 1))" : "+1) * 2))", st->out);
        /* Blanked only now: where the header's parentheses enclose the block,
         * the header is printed as written, as a copy of it would be. */
        if (word) {
            memset(word, ' ', 5);
            *strchr(word, ';') = ' ';
        }
        /* The header's newlines survive, so later lines keep their numbers. */
        for (const char *c = kw; c < block_first; ++c)
            if (*c == '\n')
                fputc('\n', st->out);
    } else {
        print_span(st, kw, block_first);
    }
    window inner = {position_of(st, block_first), position_of(st, after),
                    (unsigned char)(parallel ? closing_parallel : closing_serial)};
    return push_window(st, &inner);
}

static int openmp_translate(const translator_def *self, char *text, size_t length, FILE *out,
                            FILE *err)
{
    if (length > max_text_length) {
        fprintf(err, "Source too large: more than %lu bytes\n", (unsigned long)max_text_length);
        return exit_failure;
    }
    omp_state st;
    memset(&st, 0, sizeof st);
    st.text = text;
    st.text_end = text + length;
    st.out = out;
    st.parallel.word = "parallel";
    st.parallel.length = 8;
    st.serial.word = "serial";
    st.serial.length = 6;
    window whole = {0, (position)length, closing_none};
    int ok = quote_index_build(&st.quotes, text, length) && build_pair_tables(&st) &&
             push_window(&st, &whole);
    while (ok && st.depth > 0)
        ok = step(&st);
    free(st.windows);
    free_pair_tables(&st);
    quote_index_free(&st.quotes);
    if (!ok)
        return out_of_memory(err);
    fputs("\n#pragma comment(lib, \"Deviro\")\n", out);
    return exit_ok;
}

extern const translator_def zeq_translator = {
    "Usage: file.zeq > file.c\n",
    NULL,
    openmp_translate,
};

int main(int argc, char **argv)
{
    return translator_main(&zeq_translator, argc, argv);
}
