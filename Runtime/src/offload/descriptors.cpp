// Reads a coload call's descriptor words into rows and options, from the
// call's variadic arguments or from an array; descriptors.h states the rules.
#include "descriptors.h"

namespace {

// Where the words come from.  Both sources are asked for exactly the same
// words, one at a time, so the array form behaves as the call does.
struct word_cursor {
    va_list *ap; // null: read from words
    const intptr_t *words;
};

intptr_t next_word(word_cursor *cursor)
{
    if (cursor->ap)
        return va_arg(*cursor->ap, intptr_t);
    return *cursor->words++;
}

// Words that follow the kind word; an array has a sixth word unless its fifth is -1.
int words_after_kind(intptr_t kind)
{
    switch (kind) {
    case QIV_ARG_KIND_IN:
    case QIV_ARG_KIND_OUT:
    case QIV_ARG_KIND_INOUT:
        return 4;
    case QIV_ARG_KIND_VALUE:
        return 3;
    case QIV_ARG_KIND_RANGE:
    case QIV_ARG_KIND_STATUS:
    case QIV_ARG_KIND_SHARED_BYTES:
    case QIV_ARG_KIND_GROUP_SIZE:
        return 1;
    default:
        return 0; // a stray word
    }
}

void set_verdict(descriptor_list *list, int32_t verdict)
{
    if (list->verdict == descriptors_whole)
        list->verdict = verdict;
}

// Files one descriptor, whose words are w[0 .. 5], into the list.
void take_descriptor(descriptor_list *list, const intptr_t *w)
{
    intptr_t kind = w[0];
    if (is_array_kind(kind) || kind == QIV_ARG_KIND_VALUE) {
        if (list->row_count >= descriptor_rows_max) {
            set_verdict(list, descriptors_too_long);
            return;
        }
        descriptor_row *row = &list->rows[list->row_count++];
        row->kind = kind;
        row->host = (uintptr_t)w[2];
        // An array's transfer size, or its element size when that is -1; a value's size.
        row->bytes = is_array_kind(kind) && w[4] != -1 ? w[4] : w[3];
        row->spare = 0;
        if (row->host == 0 || row->bytes <= 0)
            set_verdict(list, descriptors_malformed);
        return;
    }
    switch (kind) {
    case QIV_ARG_KIND_RANGE:
        list->range = w[1];
        list->options |= descriptor_has_range;
        break;
    case QIV_ARG_KIND_STATUS:
        list->status = reinterpret_cast<int *>(w[1]);
        list->options |= descriptor_has_status;
        break;
    case QIV_ARG_KIND_SHARED_BYTES:
        list->shared = w[1];
        list->options |= descriptor_has_shared;
        break;
    case QIV_ARG_KIND_GROUP_SIZE:
        list->group = w[1];
        list->options |= descriptor_has_group;
        break;
    case QIV_ARG_KIND_BALANCED:
        list->options |= descriptor_has_balanced;
        break;
    case QIV_ARG_KIND_HOST_RANGE:
        list->options |= descriptor_has_host_range;
        break;
    default:
        ++list->stray_words;
        break;
    }
}

void read_list(descriptor_list *list, word_cursor *cursor)
{
    list->verdict = descriptors_whole;
    list->word_count = 0;
    list->row_count = 0;
    list->options = 0;
    list->stray_words = 0;
    list->spare = 0;
    list->range = 1;
    list->status = nullptr;
    list->shared = 0;
    list->group = 0;
    while (list->word_count <= descriptor_words_max) {
        intptr_t w[6] = {};
        w[0] = next_word(cursor);
        if (w[0] == QIV_ARG_KIND_END)
            return;
        int length = 1 + words_after_kind(w[0]);
        int zero_at = 0; // the first 0 word inside the descriptor
        for (int i = 1; i < length; ++i) {
            w[i] = next_word(cursor);
            if (w[i] == 0 && zero_at == 0)
                zero_at = i;
        }
        if (is_array_kind(w[0]) && w[4] != -1) {
            w[5] = next_word(cursor);
            if (w[5] == 0 && zero_at == 0)
                zero_at = 5;
            length = 6;
        }
        // Words before the first 0, as a slot counting to the terminator would.
        list->word_count += zero_at != 0 ? zero_at : length;
        take_descriptor(list, w);
        if (zero_at != 0) {
            set_verdict(list, descriptors_cut_short);
            return;
        }
    }
    set_verdict(list, descriptors_too_long);
}

} // namespace

void descriptors_read_args(descriptor_list *list, va_list *ap)
{
    word_cursor cursor = {ap, nullptr};
    read_list(list, &cursor);
}

void descriptors_read_words(descriptor_list *list, const intptr_t *words)
{
    word_cursor cursor = {nullptr, words};
    read_list(list, &cursor);
}
