// The one reader of a coload call's descriptor list.
//
// qiv_exported_coload receives its descriptors as variadic machine words in
// the layout zeq_coload.h writes.  They are read here, once per call and
// descriptor by descriptor, into typed rows (the arrays and values, in the
// kernel's argument order) and the options (Range, Status, shared bytes,
// group size, and the one-word opt-ins).  The device slots and the remote
// slot consume the rows and apply limits of their own; none of them walks
// raw words again.
//
// The reader only ever asks for the words of the descriptor it is reading,
// so it reads nothing the caller did not pass: a 0 word ends the list after
// the descriptor that holds it ("cut short" when that 0 is not a kind word),
// and a list longer than descriptor_words_max stops being read just past the
// limit.  A row whose address is null or whose size is not positive makes
// the list malformed: no slot can copy it.  Words of an unknown kind are
// stepped over one by one, as stray words.
//
// The alternative, copying the words into an array and letting each slot
// walk them, is what this replaced: three walkers with three sets of bounds
// checks over the same security-relevant input.
#ifndef ZEQ_DESCRIPTORS_H
#define ZEQ_DESCRIPTORS_H

#include "runtime.h"

#include <stdarg.h>

enum {
    // Words a device slot accepts before the terminating 0; no slot accepts more.
    descriptor_words_max = 256,
    // The most rows a list of that many words can hold (a Value row is four
    // words), and one for the descriptor that crosses the limit.
    descriptor_rows_max = descriptor_words_max / 4 + 1,
};

enum descriptor_verdict : int32_t {
    descriptors_whole = 0,      // ended by a 0 kind word
    descriptors_cut_short = 1,  // a 0 inside a descriptor ended it: its later words were never passed
    descriptors_malformed = 2,  // a row with a null address or a size that is not positive
    descriptors_too_long = 3,   // more than descriptor_words_max words: not read to its end
};

// Options present in a list, as bits of descriptor_list::options.
enum : int32_t {
    descriptor_has_range = 1,
    descriptor_has_status = 2,
    descriptor_has_shared = 4,
    descriptor_has_group = 8,
    descriptor_has_balanced = 16,   // one word: share the call by the workers' speeds
    descriptor_has_host_range = 32, // one word: the host body covers its member's range
};

// One array or value.  Arrays move `bytes` (their transfer size, or one
// element when the transfer size word is -1); a value's row holds the
// address of the value and its size.
struct descriptor_row {
    intptr_t kind;  // QIV_ARG_KIND_IN, _OUT, _INOUT or _VALUE
    uintptr_t host; // the array, or the value's address
    intptr_t bytes;
    intptr_t spare;
};

struct descriptor_list {
    int32_t verdict;    // descriptor_verdict; a later fault never hides an earlier one
    int32_t word_count; // words before the first 0 (just past the limit when too long)
    int32_t row_count;
    int32_t options;    // descriptor_has_* bits
    int32_t stray_words;
    int32_t spare;
    intptr_t range;     // work items; 1 (one per member) unless a Range was given
    int *status;        // the Status descriptor's int
    intptr_t shared;    // group-shared bytes per group; 0 unless given
    intptr_t group;     // requested group size; 0 unless given
    descriptor_row rows[descriptor_rows_max];
};
static_assert(offsetof(descriptor_list, range) == 24, "counts are six 32-bit words");
static_assert(offsetof(descriptor_list, rows) == 24 + 4 * sizeof(void *), "rows follow the options");

static inline bool is_array_kind(intptr_t kind)
{
    return kind == QIV_ARG_KIND_IN || kind == QIV_ARG_KIND_OUT || kind == QIV_ARG_KIND_INOUT;
}

// Reads a call's variadic descriptor words (ap positioned at the first).
void descriptors_read_args(descriptor_list *list, va_list *ap);
// Reads the same from an array of words.  It reads exactly the words the
// variadic form would ask for, so the array need only hold a list as a
// caller would pass it.
void descriptors_read_words(descriptor_list *list, const intptr_t *words);

#endif
