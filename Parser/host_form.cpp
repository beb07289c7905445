/* host_form.cpp: the host form of coload constructs (zeqhost's output).
 *
 * A construct becomes one block in its own place:
 *
 *     { struct zeq_call_<line> {
 *           <the arguments, as fields>; intptr_t zeq_bytes[...]; ...; zeq_host_call zeq;
 *           static void fline<line>_(...) { <the body, as zeqremote prints it> }
 *           static QIV_REGION_OPENER void zeq_region(zeq_call_<line> *c) { ... }
 *       };
 *       static char zeq_source[] = "<base name>";
 *       static qiv_coload_site zeq_site = QIV_COLOAD_SITE_INIT(zeq_source, <line>);
 *       zeq_call_<line> zeq_c = {<the arguments by name>, {<byte sizes>}, ...};
 *       zeq_host_begin(&zeq_c.zeq, &zeq_site); zeq_call_<line>::zeq_region(&zeq_c);
 *       zeq_host_end(&zeq_c.zeq); }
 *
 * The region opener takes one pointer, the record: members resume on copies
 * of its frame, so everything they share lives behind that pointer, and on
 * i386 the one stack word is inside the copied window (QIV_LIMIT_TIGHT(1)).
 * Sizes are evaluated where the construct stands, over the enclosing
 * function's names, and kept in the record.
 *
 * A descriptor word of 0 ends the runtime's list, so a call that would pass
 * one (an empty or null array, a work-item count of 0) is not offered to
 * anyone: the host computes it, which for an empty range is nothing.
 *
 * Nested constructs are translated inside the body that holds them: the
 * outer body, run on the host, offers the inner call like any other code.
 */
#include "host_form.h"
#include "text_scan.h"
#include "zeq_kernel_name.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum direction { direction_value, direction_in, direction_out, direction_inout };

enum { max_depth = 64 };

struct host_arg {
    char *type;  /* trimmed type text */
    char *name;  /* trimmed name */
    char *count; /* element count expression (arrays) */
    int direction;
};

struct construct {
    const char *keyword;     /* its first character */
    const char *header_end;  /* just past the header's ')' */
    const char *body_open;   /* the body's '{' */
    const char *body_end;    /* just past the body's '}' */
    long line;               /* of the header's ')': the kernel's line */
    long body_line;          /* of the body's '{' */
    long close_line;         /* of the body's '}' */
    char name[16];           /* fline<line> */
    host_arg *args;
    int arg_count;
    int items;               /* the argument that counts the work items, or -1 */
    char *group;             /* the group size expression, or NULL */
};

/* The construct keywords as the device translators find them: from each
 * keyword on, the next one followed by "(" after spaces and newlines. */
struct keyword_list {
    const char **at;
    size_t count;
};

struct host_state {
    const char *text;
    const char *path;
    FILE *out;
    FILE *err;
    keyword_list keywords;
    size_t next;             /* the first keyword not handled yet */
    int depth;               /* constructs open around the one being printed */
    line_cursor lines;
};

long line_of(host_state *h, const char *position)
{
    return line_at(&h->lines, position);
}

char *copy_span(const char *start, const char *end)
{
    size_t length = (size_t)(end - start);
    char *copy = (char *)malloc(length + 1);
    if (copy) {
        memcpy(copy, start, length);
        copy[length] = '\0';
    }
    return copy;
}

int is_blank(char c)
{
    return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

int is_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

/* A fresh copy of [start, end) without blanks at either end, with the blanks
 * inside turned into single spaces (a type text may span lines). */
char *trimmed(const char *start, const char *end)
{
    while (start < end && is_blank(*start))
        ++start;
    while (end > start && is_blank(end[-1]))
        --end;
    char *copy = copy_span(start, end);
    if (copy)
        for (char *p = copy; *p; ++p)
            if (is_blank(*p))
                *p = ' ';
    return copy;
}

int is_name(const char *s)
{
    if (!*s || (*s >= '0' && *s <= '9'))
        return 0;
    for (; *s; ++s)
        if (!is_name_char(*s))
            return 0;
    return 1;
}

/* Characters that would let an annotation or a type text leave its place in
 * the generated code. */
int holds_unsafe(const char *s)
{
    return strpbrk(s, ";{}#\"'\\") != NULL;
}

int annotation_error(host_state *h, long line, const char *format, ...)
{
    fprintf(h->err, "Syntax error: line %ld: ", line);
    va_list args;
    va_start(args, format);
    vfprintf(h->err, format, args);
    va_end(args);
    fputc('\n', h->err);
    return exit_syntax;
}

void free_construct(construct *c)
{
    for (int i = 0; i < c->arg_count; ++i) {
        free(c->args[i].type);
        free(c->args[i].name);
        free(c->args[i].count);
    }
    free(c->args);
    free(c->group);
    c->args = NULL;
    c->arg_count = 0;
    c->group = NULL;
}

/* Whether `word` stands in the type text before its last '*' as a word of
 * its own: a pointer to const is In unless an annotation says otherwise. */
int points_to_const(const char *type)
{
    const char *star = strrchr(type, '*');
    for (const char *p = type; star && p + 5 <= star; ++p)
        if (strncmp(p, "const", 5) == 0 && (p == type || !is_name_char(p[-1])) && !is_name_char(p[5]))
            return 1;
    return 0;
}

/* One clause of a group's third item: "items", "group <expr>", an optional
 * direction word and an element count. */
int read_clause(host_state *h, construct *c, host_arg *a, int index, long line, char *clause)
{
    if (!*clause)
        return annotation_error(h, line, "an empty annotation of %s", a->name);
    if (holds_unsafe(clause))
        return annotation_error(h, line, "the annotation '%s' of %s holds one of ; { } # \" ' \\", clause,
                                a->name);
    const char *word_end = clause;
    while (is_name_char(*word_end))
        ++word_end;
    size_t word = (size_t)(word_end - clause);
    const char *rest = word_end;
    while (is_blank(*rest))
        ++rest;
    int pointer = a->direction != direction_value;
    if (word == 5 && strncmp(clause, "items", 5) == 0 && !*rest) {
        if (pointer)
            return annotation_error(h, line, "%s cannot count the work items: it is an array", a->name);
        if (c->items >= 0)
            return annotation_error(h, line, "%s and %s both count the work items", c->args[c->items].name,
                                    a->name);
        c->items = index;
        return exit_ok;
    }
    if (word == 5 && strncmp(clause, "group", 5) == 0 && rest != word_end) {
        if (c->group)
            return annotation_error(h, line, "a second group size, at %s", a->name);
        if (!*rest)
            return annotation_error(h, line, "'group' at %s needs the group size after it", a->name);
        c->group = strdup(rest);
        return c->group ? exit_ok : out_of_memory(h->err);
    }
    if (word == 5 && strncmp(clause, "group", 5) == 0)
        return annotation_error(h, line, "'group' at %s needs the group size after it", a->name);
    int direction = -1;
    if (rest != word_end || !*rest) {
        if (word == 2 && strncmp(clause, "in", 2) == 0)
            direction = direction_in;
        else if (word == 3 && strncmp(clause, "out", 3) == 0)
            direction = direction_out;
        else if (word == 5 && strncmp(clause, "inout", 5) == 0)
            direction = direction_inout;
    }
    if (!pointer)
        return annotation_error(h, line, "'%s' means nothing for the value %s: it takes 'items' or 'group <size>'",
                                clause, a->name);
    if (direction >= 0) {
        if (!*rest)
            return annotation_error(h, line, "the array %s needs its element count after '%s'", a->name, clause);
        a->direction = direction;
    } else {
        rest = clause;
    }
    if (a->count)
        return annotation_error(h, line, "the array %s has two element counts", a->name);
    a->count = strdup(rest);
    return a->count ? exit_ok : out_of_memory(h->err);
}

/* The third item of a group, split at its top-level commas. */
int read_annotation(host_state *h, construct *c, int index, long line, const char *rest, const char *end)
{
    host_arg *a = &c->args[index];
    const char *start = rest;
    int depth = 0;
    for (const char *p = rest;; ++p) {
        if (p < end && (*p == '(' || *p == '['))
            ++depth;
        else if (p < end && (*p == ')' || *p == ']'))
            --depth;
        if (p == end || (*p == ',' && depth == 0)) {
            char *clause = trimmed(start, p);
            if (!clause)
                return out_of_memory(h->err);
            int status = read_clause(h, c, a, index, line, clause);
            free(clause);
            if (status != exit_ok)
                return status;
            if (p == end)
                return exit_ok;
            start = p + 1;
        }
    }
}

/* One group with a type text: its type, its name and what follows the name. */
int read_group(host_state *h, construct *c, char *group, char *type_span, long line)
{
    const char *type_text = inner_text(type_span);
    char *name_span = group_name_span(group);
    if (!name_span)
        return syntax_error(h->err, "argument name");
    /* The name's span ends at a comma when a third item follows. */
    const char *rest = NULL;
    if (name_span[strlen(name_span) - 1] == ',')
        rest = find_unquoted(group, name_span);
    host_arg *grown = (host_arg *)realloc(c->args, sizeof(host_arg) * (size_t)(c->arg_count + 1));
    if (!grown) {
        free(name_span);
        return out_of_memory(h->err);
    }
    c->args = grown;
    host_arg *a = &c->args[c->arg_count++];
    *a = host_arg{trimmed(type_text, type_text + strlen(type_text)), NULL, NULL, direction_value};
    const char *name_text = inner_text(name_span);
    a->name = trimmed(name_text, name_text + strlen(name_text));
    free(name_span);
    if (!a->type || !a->name)
        return out_of_memory(h->err);
    if (!is_name(a->name) || strncmp(a->name, "zeq_", 4) == 0)
        return annotation_error(h, line, "'%s' cannot name an argument here: a C name not starting with zeq_",
                                a->name);
    if (!*a->type || holds_unsafe(a->type))
        return annotation_error(h, line, "'%s' is no type for %s", a->type, a->name);
    if (strchr(a->type, '*'))
        a->direction = points_to_const(a->type) ? direction_in : direction_inout;
    if (rest && rest > group + strlen(group) - 1)
        rest = group + strlen(group) - 1;
    if (rest) {
        int status = read_annotation(h, c, c->arg_count - 1, line, rest, group + strlen(group) - 1);
        if (status != exit_ok)
            return status;
    }
    if (a->direction != direction_value && !a->count)
        return annotation_error(h, line, "the array %s needs its element count: (%s, %s, n)", a->name, a->type,
                                a->name);
    return exit_ok;
}

/* Takes the construct at keyword apart; k is just past the keyword. */
int read_construct(host_state *h, const char *k, construct *c)
{
    *c = construct{};
    c->keyword = k - 6;
    c->items = -1;
    char *header = extract_balanced(k, "(", ")");
    if (!header)
        return syntax_error(h->err, "coload header");
    c->header_end = find_unquoted(k, header);
    if (c->header_end)
        c->line = line_of(h, c->header_end);
    if (!c->header_end || qiv_kernel_name(c->name, sizeof c->name, c->line) < 0) {
        free(header);
        return syntax_error(h->err, "coload header");
    }
    const char *header_start = c->header_end - strlen(header);
    group_walk walk = {header + 1};
    char *type_span;
    const char *at;
    int status = exit_ok;
    while (status == exit_ok) {
        char *group = next_typed_group(&walk, &type_span, &at);
        if (!group)
            break;
        long line = at ? c->line - count_lines(header_start + (at - header), c->header_end) + 1 : c->line;
        status = read_group(h, c, group, type_span, line);
        free(type_span);
        free(group);
    }
    free(header);
    if (status != exit_ok)
        return status;
    if (!only_space_before(c->header_end, "{"))
        return syntax_error(h->err, "coload body");
    char *body = extract_balanced(c->header_end, "{", "}");
    if (!body)
        return syntax_error(h->err, "coload body");
    c->body_open = find_unquoted(c->header_end, body);
    if (c->body_open) {
        c->body_end = c->body_open;
        c->body_open -= strlen(body);
    }
    free(body);
    if (!c->body_open)
        return syntax_error(h->err, "coload body");
    c->body_line = c->line + count_lines(c->header_end, c->body_open) - 1;
    c->close_line = c->body_line + count_lines(c->body_open, c->body_end - 1) - 1;
    return exit_ok;
}

void put_line_directive(host_state *h, long line)
{
    fprintf(h->out, "\n#line %ld \"", line);
    for (const char *p = h->path; *p; ++p) {
        if (*p == '"' || *p == '\\')
            fputc('\\', h->out);
        fputc(*p == '\n' ? ' ' : *p, h->out);
    }
    fputs("\"\n", h->out);
}

/* A declaration before the construct, as the body's local: the text
 * zeqremote prints, behind the line it came from. */
void put_declaration(void *context, const char *start, const char *end)
{
    host_state *h = (host_state *)context;
    put_line_directive(h, line_of(h, start));
    fputs("__shared__ ", h->out);
    fwrite(start, 1, (size_t)(end - start), h->out);
    fputc('\n', h->out);
}

/* A C string literal's contents: quotes and backslashes escaped. */
void put_string(FILE *out, const char *s)
{
    for (; *s; ++s) {
        if (*s == '"' || *s == '\\')
            fputc('\\', out);
        fputc((unsigned char)*s < ' ' ? ' ' : *s, out);
    }
}

const char *base_name(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    return base;
}

/* The group-shared bytes of a body with a group size: the sizes of the
 * variables declared before the construct, as the device translators place
 * them in group memory.  Each declaration's declarators are named by the
 * last word before a '[', a '=' or their end. */
struct shared_sizes {
    FILE *out;
    int names;
};

void put_declared_names(void *context, const char *start, const char *end)
{
    shared_sizes *sizes = (shared_sizes *)context;
    int depth = 0;
    const char *part = start;
    for (const char *p = start;; ++p) {
        int at_end = p >= end || *p == ';';
        if (!at_end && (*p == '(' || *p == '[' || *p == '{'))
            ++depth;
        if (!at_end && (*p == ')' || *p == ']' || *p == '}'))
            --depth;
        if (!at_end && !(*p == ',' && depth == 0))
            continue;
        /* The declarator is [part, p): its name ends before '[' or '='. */
        const char *stop = part;
        while (stop < p && *stop != '[' && *stop != '=')
            ++stop;
        while (stop > part && is_blank(stop[-1]))
            --stop;
        const char *name = stop;
        while (name > part && is_name_char(name[-1]))
            --name;
        if (name < stop && !(*name >= '0' && *name <= '9')) {
            fputs(sizes->names++ ? " + (intptr_t)sizeof(" : "(intptr_t)sizeof(", sizes->out);
            fwrite(name, 1, (size_t)(stop - name), sizes->out);
            fputc(')', sizes->out);
        }
        if (at_end)
            return;
        part = p + 1;
    }
}

int translate_range(host_state *h, const char *from, const char *to);

const char *direction_macro(int direction)
{
    switch (direction) {
    case direction_in: return "QIV_ARG_IN";
    case direction_out: return "QIV_ARG_OUT";
    default: return "QIV_ARG_INOUT";
    }
}

/* The region opener: member 0 offers the call, every member that nobody
 * took runs the host body over its own range. */
void put_region(host_state *h, const construct *c)
{
    FILE *out = h->out;
    fprintf(out, "    static QIV_REGION_OPENER void zeq_region(zeq_call_%ld *c)\n    {\n", c->line);
    fputs("        qiv_parallel_region zeq_home;\n"
          "        qiv_parallel_region *zeq_self = qiv_region_open(&zeq_home, c->zeq.members, QIV_LIMIT_TIGHT(1));\n"
          "        if (qiv_exported_pix() != 0 || c->zeq.host_only", out);
    int array = 0;
    for (int i = 0; i < c->arg_count; ++i)
        if (c->args[i].direction != direction_value) {
            fprintf(out, "\n            || !c->%s || c->zeq_bytes[%d] <= 0", c->args[i].name, array);
            ++array;
        }
    if (c->items >= 0)
        fprintf(out, " || c->%s <= 0", c->args[c->items].name);
    if (c->group)
        fputs(" || c->zeq_group <= 0", out);
    fputs("\n            || qiv_exported_coload(zeq_self, c->zeq.site", out);
    array = 0;
    for (int i = 0; i < c->arg_count; ++i) {
        const host_arg *a = &c->args[i];
        fputs(",\n                   ", out);
        if (a->direction == direction_value) {
            fprintf(out, "QIV_ARG_VALUE(\"");
            put_string(out, a->type);
            fprintf(out, "\", &c->%s, sizeof(c->%s))", a->name, a->name);
        } else {
            fprintf(out, "%s(\"", direction_macro(a->direction));
            put_string(out, a->type);
            fprintf(out, "\", c->%s, sizeof(*c->%s), c->zeq_bytes[%d])", a->name, a->name, array++);
        }
    }
    if (c->items >= 0)
        fprintf(out, ",\n                   QIV_ARG_RANGE(c->%s), QIV_ARG_HOST_RANGE", c->args[c->items].name);
    fputs(",\n                   QIV_ARG_STATUS(&c->zeq.status), QIV_ARG_BALANCED", out);
    /* Group memory last: its size is 0 when nothing was declared, and a 0
     * ends the list. */
    if (c->group)
        fputs(",\n                   QIV_ARG_GROUP_SIZE(c->zeq_group), QIV_ARG_SHARED_BYTES(c->zeq.shared_bytes)", out);
    fputs(", QIV_ARG_END) != 0) {\n", out);
    fprintf(out, "            typedef decltype(&%s_) zeq_body;\n"
                 "            zeq_body body = c->zeq.body ? (zeq_body)c->zeq.body : %s_;\n"
                 "            body(",
            c->name, c->name);
    for (int i = 0; i < c->arg_count; ++i)
        fprintf(out, "c->%s, ", c->args[i].name);
    fputs("0);\n", out);
    if (c->items >= 0)
        fprintf(out, "            zeq_host_member_done(&c->zeq, (long long)qiv_exported_range_end((int)c->%s) - "
                     "qiv_exported_range_start((int)c->%s));\n",
                c->args[c->items].name, c->args[c->items].name);
    else
        fputs("            zeq_host_member_done(&c->zeq, 1);\n", out);
    fputs("        }\n        qiv_region_end_joined(zeq_self);\n    }\n", out);
}

/* The record, the body, the region opener, the site and the call. */
int put_host_form(host_state *h, const construct *c)
{
    FILE *out = h->out;
    fprintf(out, "{ struct zeq_call_%ld {\n", c->line);
    int arrays = 0;
    for (int i = 0; i < c->arg_count; ++i) {
        fprintf(out, "    %s %s;\n", c->args[i].type, c->args[i].name);
        arrays += c->args[i].direction != direction_value;
    }
    fprintf(out, "    intptr_t zeq_bytes[%d];\n    intptr_t zeq_group;\n    zeq_host_call zeq;\n", arrays + 1);
    /* The body: the function zeqremote prints for it. */
    fprintf(out, "    static void %s_(", c->name);
    for (int i = 0; i < c->arg_count; ++i)
        fprintf(out, " %s  %s, ", c->args[i].type, c->args[i].name);
    fputs(" int qiv_extra_arg_offs)\n{\n", out);
    walk_declarations(h->text, c->keyword + 6, put_declaration, h);
    put_line_directive(h, c->body_line);
    /* Each level is a class inside a function of the class around it: no
     * compiler takes thousands, and the recursion here must stay shallow. */
    if (++h->depth > max_depth)
        return annotation_error(h, c->line, "constructs nested more than %d deep", max_depth);
    int status = translate_range(h, c->body_open + 1, c->body_end);
    --h->depth;
    if (status != exit_ok)
        return status;
    fputs("\n", out);
    put_region(h, c);
    fputs("  };\n  static char zeq_source[] = \"", out);
    put_string(out, base_name(h->path));
    fprintf(out, "\";\n  static qiv_coload_site zeq_site = QIV_COLOAD_SITE_INIT(zeq_source, %ld);\n", c->line);
    fprintf(out, "  zeq_call_%ld zeq_c = {", c->line);
    for (int i = 0; i < c->arg_count; ++i)
        fprintf(out, "%s, ", c->args[i].name);
    fputs("{", out);
    for (int i = 0; i < c->arg_count; ++i)
        if (c->args[i].direction != direction_value)
            fprintf(out, "(intptr_t)(%s) * (intptr_t)sizeof(*(%s)), ", c->args[i].count, c->args[i].name);
    fprintf(out, "0}, (intptr_t)(%s), {}};\n", c->group ? c->group : "0");
    fputs("  zeq_host_begin(&zeq_c.zeq, &zeq_site);\n", out);
    if (c->group) {
        shared_sizes sizes = {out, 0};
        fputs("  zeq_c.zeq.shared_bytes = ", out);
        walk_declarations(h->text, c->keyword + 6, put_declared_names, &sizes);
        fputs(sizes.names ? ";\n" : "0;\n", out);
    }
    fprintf(out, "  zeq_call_%ld::zeq_region(&zeq_c);\n  zeq_host_end(&zeq_c.zeq); }", c->line);
    put_line_directive(h, c->close_line);
    return exit_ok;
}

/* Copies [from, to) with every construct that starts in it in its host form. */
int translate_range(host_state *h, const char *from, const char *to)
{
    const char *copied = from;
    while (h->next < h->keywords.count && h->keywords.at[h->next] < to) {
        const char *k = h->keywords.at[h->next++];
        /* A keyword inside a header, or in the text a construct already
         * covered, is no construct of this range. */
        if (k - 6 < copied)
            continue;
        construct c;
        int status = read_construct(h, k, &c);
        if (status == exit_ok && c.body_end > to)
            status = syntax_error(h->err, "coload body");
        if (status == exit_ok) {
            fwrite(copied, 1, (size_t)(c.keyword - copied), h->out);
            status = put_host_form(h, &c);
            copied = c.body_end;
        }
        free_construct(&c);
        if (status != exit_ok)
            return status;
    }
    fwrite(copied, 1, (size_t)(to - copied), h->out);
    return exit_ok;
}

int find_keywords(const char *text, keyword_list *list, FILE *err)
{
    size_t capacity = 0;
    *list = keyword_list{NULL, 0};
    for (const char *from = text;;) {
        const char *k = find_unquoted(from, "coload");
        if (!k)
            return exit_ok;
        from = k;
        if (!only_space_before(k, "("))
            continue;
        if (list->count == capacity) {
            capacity = capacity ? capacity * 2 : 16;
            const char **grown = (const char **)realloc(list->at, capacity * sizeof *grown);
            if (!grown)
                return out_of_memory(err);
            list->at = grown;
        }
        list->at[list->count++] = k;
    }
}

/* ---- naming the enclosing functions (--lines) ----------------------------- */

/* The name before the parenthesised list that ends just before `close`
 * (blanks skipped), or NULL with *length 0. */
const char *name_before_list(const char *text, const char *close, size_t *length)
{
    *length = 0;
    const char *p = close;
    while (p > text && is_blank(p[-1]))
        --p;
    if (p == text || p[-1] != ')')
        return NULL;
    int depth = 0;
    for (--p;; --p) {
        if (*p == ')')
            ++depth;
        else if (*p == '(' && --depth == 0)
            break;
        if (p == text)
            return NULL;
    }
    while (p > text && is_blank(p[-1]))
        --p;
    const char *end = p;
    while (p > text && is_name_char(p[-1]))
        --p;
    if (p == end || (*p >= '0' && *p <= '9'))
        return NULL;
    static const char *const statements[] = {"if", "for", "while", "switch", "catch", "return", "sizeof", "coload"};
    for (const char *word : statements)
        if ((size_t)(end - p) == strlen(word) && strncmp(p, word, (size_t)(end - p)) == 0)
            return NULL;
    *length = (size_t)(end - p);
    return p;
}

/* The function whose body holds the construct, or whose body it is. */
const char *enclosing_function(const char *text, const char *keyword, size_t *length)
{
    const char *name = name_before_list(text, keyword, length);
    if (name)
        return name;
    int depth = 0;
    for (const char *p = keyword; p > text;) {
        --p;
        if (*p == '}')
            ++depth;
        else if (*p == '{' && depth > 0)
            --depth;
        else if (*p == '{' && (name = name_before_list(text, p, length)))
            return name;
    }
    return NULL;
}

} // namespace

int host_translate(const char *text, size_t length, const char *path, FILE *out, FILE *err)
{
    host_state h = {text, path, out, err, {NULL, 0}, 0, 0, {text, 1}};
    int status = find_keywords(text, &h.keywords, err);
    if (status == exit_ok) {
        fputs("#include <zeq_host.h>\n#define __shared__", out);
        put_line_directive(&h, 1);
        status = translate_range(&h, text, text + length);
    }
    free(h.keywords.at);
    return status;
}

int host_lines(const char *text, size_t length, FILE *out, FILE *err)
{
    keyword_list keywords;
    int status = find_keywords(text, &keywords, err);
    for (size_t i = 0; status == exit_ok && i < keywords.count; ++i) {
        const char *k = keywords.at[i];
        char *header = extract_balanced(k, "(", ")");
        const char *header_end = header ? find_unquoted(k, header) : NULL;
        free(header);
        if (!header_end) {
            status = syntax_error(err, "coload header");
            break;
        }
        size_t name_length;
        const char *name = enclosing_function(text, k - 6, &name_length);
        if (!name)
            continue;
        int same = 0;
        for (size_t j = 0; j < i; ++j) {
            size_t other_length;
            const char *other = enclosing_function(text, keywords.at[j] - 6, &other_length);
            same += other && other_length == name_length && strncmp(other, name, name_length) == 0;
        }
        fprintf(out, "#define ZEQ_LINE_%.*s", (int)name_length, name);
        if (same)
            fprintf(out, "_%d", same + 1);
        fprintf(out, " %ld\n", count_lines(text, header_end));
    }
    free(keywords.at);
    (void)length;
    return status;
}
