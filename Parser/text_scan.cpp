/* text_scan.cpp: the text operations, source reading and the coload front end
 * shared by the translators.
 *
 * The translators are text filters, not compilers: they find constructs by
 * literal tokens and copy spans of the source.  The operations below keep the
 * exact results of that token search (generated files are compared byte for
 * byte) while staying linear on large sources: find_unquoted walks the quote
 * parity incrementally instead of recounting it from the start for every
 * candidate, and extract_balanced keeps the next opening and closing token it
 * found for as long as they stay valid, rather than searching again at every
 * step.  Both shortcuts rest on one fact: skipping an ordinary character (not a
 * quote, not a backslash) never changes which later characters count as quoted.
 */
#include "text_scan.h"
#include "zeq_kernel_name.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>


/* ---- the five text operations ------------------------------------------- */

char *blank_comments(char *text, char *end)
{
    char *last = end - 1; /* the terminator, which is never overwritten */
    char *p = text;
    while (p < last) {
        if (p[0] == '/' && p[1] == '/') {
            while (*p != '\n' && *p != '\0')
                *p++ = ' ';
        }
        if (p < last && p[0] == '/' && p[1] == '*') {
            /* The opening slash is blanked before the closing pair is tested,
             * so slash-star-slash is a whole comment. */
            char *q = p;
            while (q < last) {
                if (q[0] == '*' && q[1] == '/')
                    break;
                if (*q != '\n')
                    *q = ' ';
                ++q;
            }
            if (q < last) {
                q[0] = ' ';
                q[1] = ' ';
            }
            p = q;
        }
        ++p;
    }
    return p;
}

static int is_space_or_newline(char c)
{
    return c == ' ' || c == '\n';
}

int only_space_before(const char *text, const char *token)
{
    const char *z = text;
    while (is_space_or_newline(*z))
        ++z;
    /* A token that starts with another character can only occur first at z. */
    if (token[0] != ' ' && token[0] != '\n' && token[0] != '\0')
        return strncmp(z, token, strlen(token)) == 0;
    const char *c = strstr(text, token);
    if (!c)
        return 0;
    for (const char *p = text; p < c; ++p)
        if (!is_space_or_newline(*p))
            return 0;
    return 1;
}

long count_lines(const char *start, const char *end)
{
    long lines = 1;
    const char *p = start;
    while (p < end) {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        if (!nl)
            break;
        ++lines;
        p = nl + 1;
    }
    return lines;
}

const char *find_unquoted(const char *text, const char *token)
{
    size_t length = strlen(token);
    const char *c = strstr(text, token);
    /* The parity walk is deterministic, so the walk to a later candidate
     * passes through the state reached for an earlier one: carry it on. */
    const char *p = text;
    int parity = 0;
    while (c) {
        while (p < c) {
            if (*p == '"')
                parity ^= 1;
            else if (*p == '\\')
                ++p; /* an escaped character never flips the parity */
            ++p;
        }
        if (parity == 0)
            return c + length;
        c = strstr(c + length, token);
    }
    return NULL;
}

static int is_ordinary(char c)
{
    return c != '"' && c != '\\' && c != '\0';
}

char *extract_balanced(const char *text, const char *open, const char *close)
{
    size_t open_length = strlen(open);
    size_t close_length = strlen(close);
    const char *found = find_unquoted(text, open);
    if (!found)
        return NULL;
    const char *s = found - open_length;
    if (s[1] == '\0')
        return NULL;

    /* After an ordinary one-character token was taken, the parity seen from
     * just past it equals the parity seen from the previous start, so a token
     * found earlier but not yet reached is still the next one. */
    int reuse = open_length == 1 && close_length == 1 && is_ordinary(open[0]) &&
                is_ordinary(close[0]);
    const char *o = NULL, *k = NULL;
    int have_o = 0, have_k = 0;
    int depth = 1;
    const char *p = s + 1;
    while (*p != '\0') {
        if (!have_o || (o && o < p)) {
            const char *f = find_unquoted(p, open);
            o = f ? f - open_length : NULL;
            have_o = reuse;
        }
        if (!have_k || (k && k < p)) {
            const char *f = find_unquoted(p, close);
            k = f ? f - close_length : NULL;
            have_k = reuse;
        }
        if (!k)
            return NULL;
        if (o && o < k) {
            ++depth;
            p = o;
        } else {
            if (--depth == 0) {
                size_t length = (size_t)(k - s) + close_length;
                char *copy = (char *)malloc(length + 1);
                if (!copy)
                    return NULL;
                memcpy(copy, s, length);
                copy[length] = '\0';
                return copy;
            }
            p = k;
        }
        ++p;
    }
    return NULL;
}

/* ---- quote classes ----------------------------------------------------------- */

int quote_index_build(quote_index *index, const char *base, size_t length)
{
    index->base = base;
    index->length = length;
    index->klass = (unsigned char *)malloc(length + 2);
    if (!index->klass)
        return 0;
    /* class(i) = parity of the quotes on the walk from i to the end; the walk
     * steps over the character after a backslash, so class(i) follows from
     * class(i + 1) or class(i + 2). */
    index->klass[length] = 0;
    index->klass[length + 1] = 0;
    for (size_t i = length; i-- > 0;) {
        char c = base[i];
        unsigned char next = index->klass[c == '\\' ? i + 2 : i + 1];
        index->klass[i] = (unsigned char)(next ^ (c == '"'));
    }
    return 1;
}

void quote_index_free(quote_index *index)
{
    free(index->klass);
    index->klass = NULL;
}

/* ---- reading a source ----------------------------------------------------- */

size_t text_mode_convert(char *buffer, size_t length)
{
    buffer[length] = '\0';
    length = strlen(buffer);
    size_t w = 0;
    for (size_t r = 0; r < length; ++r) {
        if (buffer[r] == '\r' && buffer[r + 1] == '\n')
            continue;
        buffer[w++] = buffer[r];
    }
    buffer[w] = '\0';
    return w;
}

static int run_on_buffer(const translator_def *self, char *buffer, size_t size, FILE *out, FILE *err)
{
    size_t length = text_mode_convert(buffer, size);
    blank_comments(buffer, buffer + length + 1);
    return self->translate(self, buffer, length, out, err);
}

int translate_bytes(const translator_def *self, const unsigned char *data, size_t size, FILE *out,
                    FILE *err)
{
    char *buffer = (char *)malloc(size + 1);
    if (!buffer)
        return out_of_memory(err);
    memcpy(buffer, data, size);
    int status = run_on_buffer(self, buffer, size, out, err);
    free(buffer);
    return status;
}

int translator_main(const translator_def *self, int argc, char **argv)
{
    if (argc < 2) {
        fputs(self->usage, stderr);
        return exit_failure;
    }
    const char *path = argv[1];
    FILE *file = fopen(path, "rb");
    struct stat info;
    off_t size = -1;
    /* A folder opens for reading on this system but is no source; neither is a
     * stream whose size cannot be taken. */
    if (file && fstat(fileno(file), &info) == 0 && !S_ISDIR(info.st_mode) &&
        fseeko(file, 0, SEEK_END) == 0)
        size = ftello(file);
    if (size < 0 || fseeko(file, 0, SEEK_SET) != 0) {
        fprintf(stderr, "Unable to open file: %s\n", path);
        if (file)
            fclose(file);
        return exit_failure;
    }
    /* A file larger than the address space cannot be held in memory. */
    char *buffer = (uintmax_t)size < SIZE_MAX ? (char *)malloc((size_t)size + 1) : NULL;
    if (!buffer) {
        fclose(file);
        return out_of_memory(stderr);
    }
    size_t got = fread(buffer, 1, (size_t)size, file);
    fclose(file);

    static char out_buffer[1 << 16];
    setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    int status = run_on_buffer(self, buffer, got, stdout, stderr);
    free(buffer);
    /* Generated text that did not reach its file must not pass for success. */
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("Unable to write output\n", stderr);
        if (status == exit_ok)
            status = exit_failure;
    }
    return status;
}

/* ---- the coload front end ---------------------------------------------------- */

/* Kernel names are built in a 14-byte field: "fline" and at most eight
 * digits, so a construct past line 99999999 has no name. */
enum { kernel_name_size = 14 };

long line_at(line_cursor *cursor, const char *position)
{
    if (position >= cursor->position)
        cursor->line += count_lines(cursor->position, position) - 1;
    else
        cursor->line -= count_lines(position, cursor->position) - 1;
    cursor->position = position;
    return cursor->line;
}

/* zeqremote's wrapper text, grown as needed: a short source can declare more
 * arguments than any size fixed in advance would hold. */
struct wrapper_text {
    char *data;
    size_t used;
    size_t capacity;
};

static int wrapper_reserve(wrapper_text *w, size_t capacity)
{
    if (capacity <= w->capacity)
        return 1;
    size_t grown = w->capacity ? w->capacity : 256;
    while (grown < capacity)
        grown *= 2;
    char *data = (char *)realloc(w->data, grown);
    if (!data)
        return 0;
    w->data = data;
    w->capacity = grown;
    return 1;
}

static int wrapper_append(wrapper_text *w, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int needed = vsnprintf(NULL, 0, format, args);
    va_end(args);
    if (needed < 0 || !wrapper_reserve(w, w->used + (size_t)needed + 1))
        return 0;
    va_start(args, format);
    vsnprintf(w->data + w->used, (size_t)needed + 1, format, args);
    va_end(args);
    w->used += (size_t)needed;
    return 1;
}

int syntax_error(FILE *err, const char *what)
{
    fprintf(err, "Syntax error: Incorrect or missing %s\n", what);
    return exit_syntax;
}

int out_of_memory(FILE *err)
{
    fputs("Out of memory\n", err);
    return exit_failure;
}

/* Drops the first and the last character of an extracted span. */
const char *inner_text(char *span)
{
    span[strlen(span) - 1] = '\0';
    return span + 1;
}

char *next_typed_group(group_walk *walk, char **type_span, const char **at)
{
    while (walk->next) {
        char *group = extract_balanced(walk->next, "(", ")");
        if (!group) {
            walk->next = NULL;
            return NULL;
        }
        walk->next = find_unquoted(walk->next, group);
        *type_span = extract_balanced(group, "(", ",");
        if (*type_span) {
            *at = walk->next ? walk->next - strlen(group) : NULL;
            return group;
        }
        free(group);
    }
    return NULL;
}

char *group_name_span(const char *group)
{
    char *name_span = extract_balanced(group, ",", ",");
    return name_span ? name_span : extract_balanced(group, ",", ")");
}

/* Prints the argument list of a header: one (type, name[, rest]) group per
 * argument; a group without a comma outside string literals is skipped. */
static int print_arguments(const coload_formats *f, const char *header, wrapper_text *wrapper,
                           FILE *out, FILE *err)
{
    int number = 0;
    group_walk walk = {header + 1};
    char *type_span;
    const char *at;
    while (char *group = next_typed_group(&walk, &type_span, &at)) {
        const char *type = inner_text(type_span);
        int pointer = strchr(type, '*') != NULL;
        if (pointer)
            fputs(f->pointer_qualifier, out);
        fprintf(out, " %s ", type);
        if (f->wrapper_start &&
            !wrapper_append(wrapper, pointer ? f->wrapper_pointer_arg : f->wrapper_value_arg, type,
                            number)) {
            free(type_span);
            free(group);
            return out_of_memory(err);
        }
        ++number;
        char *name_span = group_name_span(group);
        free(type_span);
        free(group);
        if (!name_span)
            return syntax_error(err, "argument name");
        fprintf(out, " %s, ", inner_text(name_span));
        free(name_span);
    }
    return exit_ok;
}

void walk_declarations(const char *text, const char *k, void (*found)(void *, const char *, const char *),
                       void *context)
{
    const char *open_end = NULL;
    for (const char *p = k;; --p) {
        if (p != k && *p == '{') {
            if (open_end)
                found(context, p + 1, open_end);
            return;
        }
        if (*p == '#')
            return;
        if (*p == ';') {
            if (open_end)
                found(context, p + 1, open_end);
            open_end = p + 1;
        }
        if (p == text) {
            if (open_end)
                found(context, text, open_end);
            return;
        }
    }
}

struct declaration_printer {
    const char *prefix;
    FILE *out;
};

static void print_declaration(void *context, const char *start, const char *end)
{
    declaration_printer *printer = (declaration_printer *)context;
    fputs(printer->prefix, printer->out);
    fwrite(start, 1, (size_t)(end - start), printer->out);
    fputc('\n', printer->out);
}

void print_declarations(const char *prefix, const char *text, const char *k, FILE *out)
{
    declaration_printer printer = {prefix, out};
    walk_declarations(text, k, print_declaration, &printer);
}

/* One construct: k is just past its keyword, and "(" follows it. */
static int translate_construct(const coload_formats *f, const char *text, const char *k,
                               line_cursor *lines, wrapper_text *wrapper, FILE *out, FILE *err)
{
    char *header = extract_balanced(k, "(", ")");
    if (!header)
        return syntax_error(err, "coload header");
    const char *header_end = find_unquoted(k, header);
    char name[kernel_name_size];
    if (!header_end || qiv_kernel_name(name, sizeof name, line_at(lines, header_end)) < 0) {
        free(header);
        return syntax_error(err, "coload header");
    }

    fprintf(out, f->head_start, name);
    if (f->wrapper_start) {
        wrapper->used = 0;
        if (!wrapper_append(wrapper, f->wrapper_start, name, name)) {
            free(header);
            return out_of_memory(err);
        }
    }
    int status = print_arguments(f, header, wrapper, out, err);
    free(header);
    if (status != exit_ok)
        return status;
    fputs(" int qiv_extra_arg_offs)\n", out);
    if (f->wrapper_start && !wrapper_append(wrapper, "%s", f->wrapper_end))
        return out_of_memory(err);

    if (!only_space_before(header_end, "{"))
        return syntax_error(err, "coload body");
    char *body = extract_balanced(header_end, "{", "}");
    if (!body)
        return syntax_error(err, "coload body");
    fputs("{\n", out);
    print_declarations(f->declaration_prefix, text, k, out);
    fputs(body + 1, out);
    fputs("\n\n", out);
    free(body);
    if (f->wrapper_start) {
        fputs(wrapper->data, out);
        fputs("\n\n", out);
    }
    return exit_ok;
}

int coload_translate(const translator_def *self, char *text, size_t length, FILE *out, FILE *err)
{
    const coload_formats *f = self->formats;
    wrapper_text wrapper = {NULL, 0, 0};
    if (f->wrapper_start && !wrapper_reserve(&wrapper, 256))
        return out_of_memory(err);
    fputs(f->prologue, out);

    line_cursor lines = {text, 1};
    int status = exit_ok;
    const char *from = text;
    for (;;) {
        /* A keyword inside a body is found next: the search goes on from just
         * past the keyword, not from the end of the construct. */
        const char *k = find_unquoted(from, "coload");
        if (!k)
            break;
        from = k;
        if (!only_space_before(k, "("))
            continue;
        status = translate_construct(f, text, k, &lines, &wrapper, out, err);
        if (status != exit_ok)
            break;
    }
    free(wrapper.data);
    return status;
}
