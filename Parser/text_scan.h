/* text_scan.h: the front end that the four translators share.
 *
 * A translator holds the whole source in one writable, NUL-terminated buffer
 * and rewrites it by searching for literal tokens.  Nothing is ever inserted
 * or removed, so every position and every line number stays valid while the
 * text is scanned.  The three coload translators differ only in what they
 * print at fixed points of one front end, so each of them is a table of
 * formats (coload_formats) handed to coload_translate; zeqopenmp brings its
 * own transformation but reads its source the same way.
 */
#ifndef ZEQ_TEXT_SCAN_H
#define ZEQ_TEXT_SCAN_H

#include <stddef.h>
#include <stdio.h>

/* Process exit codes of the translators (the shell sees 255 and 254). */
enum {
    exit_ok = 0,
    exit_failure = -1, /* usage, unopenable file, no memory */
    exit_syntax = -2
};

/* Prints the translators' one out-of-memory message on err and returns
 * exit_failure. */
int out_of_memory(FILE *err);

/* ---- the five text operations ------------------------------------------- */

/* Blanks // and block comments to spaces, keeping newlines, in place.  end is
 * one past the terminating NUL.  String literals are not recognised. */
char *blank_comments(char *text, char *end);
/* 1 if token occurs in text and only spaces and newlines stand before its
 * first occurrence. */
int only_space_before(const char *text, const char *token);
/* 1 plus the number of newlines in [start, end). */
long count_lines(const char *start, const char *end);
/* Just past the first occurrence of token that is outside string literals,
 * with quote parity counted from text; NULL when there is none. */
const char *find_unquoted(const char *text, const char *token);
/* A malloc'd copy from the first unquoted open token through its matching
 * close token; NULL when unbalanced, absent, or out of memory. */
char *extract_balanced(const char *text, const char *open, const char *close);

/* ---- quote classes, for scans that must stay linear on large texts --------
 *
 * find_unquoted counts quote parity from wherever its caller starts.  For a
 * token whose first character is neither a double quote nor a backslash, the
 * parity between a start p and an occurrence c is class(p) XOR class(c),
 * where class(i) is the parity of the quotes that the walk starting at i
 * passes before the end of the text.  One backward pass computes every class,
 * after which "unquoted as seen from p" is a one-byte comparison. */
struct quote_index {
    const char *base;
    size_t length;        /* of the text, without its terminator */
    unsigned char *klass; /* length + 2 entries */
};

int quote_index_build(quote_index *index, const char *base, size_t length);
void quote_index_free(quote_index *index);
static inline int quote_class(const quote_index *index, const char *p)
{
    return index->klass[p - index->base];
}

/* ---- reading a source ----------------------------------------------------- */

/* Turns CR LF pairs into LF in place, as a text-mode read would, and cuts the
 * text at its first NUL byte (nothing after it is text).  Returns the new
 * length; buffer[length] is set to NUL. */
size_t text_mode_convert(char *buffer, size_t length);

/* ---- translators ------------------------------------------------------------ */

/* What a coload translator prints at the front end's printing points. */
struct coload_formats {
    const char *prologue;
    const char *head_start;          /* %s: kernel name */
    const char *pointer_qualifier;   /* before the type of an argument with a '*' */
    const char *declaration_prefix;  /* before a declaration found before a construct */
    /* zeqremote only (NULL elsewhere): the exported wrapper around each function */
    const char *wrapper_start;       /* %s twice: kernel name */
    const char *wrapper_pointer_arg; /* %s type, %d argument number */
    const char *wrapper_value_arg;   /* %s type, %d argument number */
    const char *wrapper_end;
};

struct translator_def {
    const char *usage;
    const coload_formats *formats; /* the coload front end, or NULL */
    /* The transformation of a source already read and comment-blanked; text is
     * NUL-terminated at text[length].  Returns the exit code. */
    int (*translate)(const translator_def *self, char *text, size_t length, FILE *out, FILE *err);
};

int coload_translate(const translator_def *self, char *text, size_t length, FILE *out, FILE *err);

/* ---- pieces of the coload front end, shared with zeqhost ------------------ */

/* Line numbers are asked for in nearly ascending positions; counting from the
 * last answer keeps that linear instead of recounting from the start. */
struct line_cursor {
    const char *position;
    long line; /* of position */
};
long line_at(line_cursor *cursor, const char *position);

/* "Syntax error: Incorrect or missing <what>" on err; returns exit_syntax. */
int syntax_error(FILE *err, const char *what);
/* Drops the first and the last character of an extracted span, in place. */
const char *inner_text(char *span);

/* The argument groups of a header copy, in order.  next_typed_group returns a
 * fresh copy of the next group that has a type text, with *type_span a fresh
 * copy of its "(type," and *at the group's place in the header (NULL when it
 * cannot be found again); NULL when no group is left.  Groups without a comma
 * outside string literals are passed over, as the translators skip them. */
struct group_walk {
    const char *next; /* start the walk at header + 1 */
};
char *next_typed_group(group_walk *walk, char **type_span, const char **at);
/* A fresh copy of the group's ",name," or ",name)"; NULL when it has none. */
char *group_name_span(const char *group);

/* The declarations between the enclosing block's '{' and the keyword at k,
 * nearest first, each from just past the ';' (or '{') before it through its
 * own ';'.  A scan that meets '#' stops without the declaration open there. */
void walk_declarations(const char *text, const char *k, void (*found)(void *, const char *, const char *),
                       void *context);
/* Prints each of them as prefix, its text and a newline. */
void print_declarations(const char *prefix, const char *text, const char *k, FILE *out);

/* The console program: reads argv[1] and runs the translator on it. */
int translator_main(const translator_def *self, int argc, char **argv);
/* The same on bytes in memory (fuzzing): as if a file held data. */
int translate_bytes(const translator_def *self, const unsigned char *data, size_t size, FILE *out,
                    FILE *err);

#endif
