// The descriptor reader against the lists the slots' own walkers handled and
// hostile ones: each case states the rows, options, word count and verdict a
// slot decides on.  Lists are held in vectors of exactly the words a caller
// would pass, so a reader that asks for one word too many reads past the
// vector, which the sanitized build reports.
#include "descriptors.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const char type_text[] = "float";
float data[4];
int status_int;

intptr_t word(const void *p)
{
    return reinterpret_cast<intptr_t>(p);
}

struct list_case {
    const char *what;
    std::vector<intptr_t> words;
    int32_t verdict;
    int32_t word_count;
    int32_t row_count;
    int32_t options;
    intptr_t first_bytes; // bytes of row 0, when there is one
};

const intptr_t in = QIV_ARG_KIND_IN, out = QIV_ARG_KIND_OUT, value = QIV_ARG_KIND_VALUE;
const intptr_t t = word(type_text), a = word(data);

const list_case cases[] = {
    {"empty", {0}, descriptors_whole, 0, 0, 0, 0},
    {"array of one element (-1 transfer size)", {in, t, a, 4, -1, 0}, descriptors_whole, 5, 1, 0, 4},
    {"array with a transfer size", {out, t, a, 4, 16, -1, 0}, descriptors_whole, 6, 1, 0, 16},
    {"value", {value, t, a, 4, 0}, descriptors_whole, 4, 1, 0, 4},
    {"options",
     {QIV_ARG_KIND_RANGE, 1000, QIV_ARG_KIND_STATUS, word(&status_int), QIV_ARG_KIND_SHARED_BYTES, 4096,
      QIV_ARG_KIND_GROUP_SIZE, 256, 0},
     descriptors_whole, 8, 0, 15, 0},
    {"stray words are stepped over", {99, -7, in, t, a, 4, -1, 0}, descriptors_whole, 7, 1, 0, 4},
    {"the one-word opt-ins, between rows",
     {QIV_ARG_KIND_BALANCED, in, t, a, 4, -1, QIV_ARG_KIND_HOST_RANGE, 0},
     descriptors_whole, 7, 1, descriptor_has_balanced | descriptor_has_host_range, 4},
    {"Range 0 ends the list", {QIV_ARG_KIND_RANGE, 0}, descriptors_cut_short, 1, 0, descriptor_has_range, 0},
    {"a null type text ends it after the array", {in, 0, a, 4, -1}, descriptors_cut_short, 1, 1, 0, 4},
    {"a null Status ends it", {QIV_ARG_KIND_STATUS, 0}, descriptors_cut_short, 1, 0, descriptor_has_status, 0},
    {"a 0 sixth word", {in, t, a, 4, 8, 0}, descriptors_cut_short, 5, 1, 0, 8},
    {"a null array", {in, t, 0, 4, -1}, descriptors_malformed, 2, 1, 0, 4},
    {"a transfer size of 0", {in, t, a, 4, 0, -1}, descriptors_malformed, 4, 1, 0, 0},
    {"a negative size", {in, t, a, -4, -1, value, t, a, 4, 0}, descriptors_malformed, 9, 2, 0, -4},
    {"a value of size 0", {value, t, a, 0}, descriptors_malformed, 3, 1, 0, 0},
};

TEST(descriptor_reader, gives_each_list_its_rows_options_and_verdict)
{
    for (const list_case &c : cases) {
        descriptor_list list;
        descriptors_read_words(&list, c.words.data());
        EXPECT_EQ(list.verdict, c.verdict) << c.what;
        EXPECT_EQ(list.word_count, c.word_count) << c.what;
        EXPECT_EQ(list.row_count, c.row_count) << c.what;
        EXPECT_EQ(list.options, c.options) << c.what;
        if (c.row_count > 0) {
            EXPECT_EQ(list.rows[0].bytes, c.first_bytes) << c.what;
        }
    }
}

TEST(descriptor_reader, keeps_what_each_row_and_option_says)
{
    std::vector<intptr_t> words = {in, t, a, 4, -1, value, t, word(&status_int), 4, QIV_ARG_KIND_RANGE, 77,
                                   QIV_ARG_KIND_RANGE, 1000, QIV_ARG_KIND_STATUS, word(&status_int), 0};
    descriptor_list list;
    descriptors_read_words(&list, words.data());
    ASSERT_EQ(list.row_count, 2);
    EXPECT_EQ(list.rows[0].kind, in);
    EXPECT_EQ(list.rows[0].host, (uintptr_t)a);
    EXPECT_EQ(list.rows[1].kind, value);
    EXPECT_EQ(list.rows[1].host, (uintptr_t)word(&status_int));
    EXPECT_EQ(list.range, 1000) << "the last Range counts";
    EXPECT_EQ(list.status, &status_int);
    EXPECT_EQ(list.group, 0) << "no group size given";
    EXPECT_EQ(list.shared, 0);
}

// 64 values are exactly the most words a list may have; one more crosses the
// limit, and the reader stops just past it without asking for the rest.
TEST(descriptor_reader, stops_just_past_the_word_limit)
{
    std::vector<intptr_t> words;
    for (int k = 0; k < 64; ++k)
        words.insert(words.end(), {value, t, a, 4});
    words.push_back(0);
    descriptor_list list;
    descriptors_read_words(&list, words.data());
    EXPECT_EQ(list.verdict, descriptors_whole);
    EXPECT_EQ(list.word_count, descriptor_words_max);
    EXPECT_EQ(list.row_count, 64);

    words.pop_back();
    words.insert(words.end(), {value, t, a, 4}); // no terminator, nothing after
    descriptors_read_words(&list, words.data());
    EXPECT_EQ(list.verdict, descriptors_too_long);
    EXPECT_EQ(list.word_count, descriptor_words_max + 4);
    EXPECT_EQ(list.row_count, descriptor_rows_max);
}

descriptor_list read_variadic(int first, ...)
{
    descriptor_list list;
    va_list ap;
    va_start(ap, first);
    descriptors_read_args(&list, &ap);
    va_end(ap);
    return list;
}

TEST(descriptor_reader, reads_variadic_words_as_it_reads_an_array)
{
    descriptor_list from_args = read_variadic(0, QIV_ARG_IN(type_text, data, sizeof(float), sizeof data),
                                              QIV_ARG_RANGE(4), QIV_ARG_END);
    std::vector<intptr_t> words = {in, t, a, sizeof(float), sizeof data, -1, QIV_ARG_KIND_RANGE, 4, 0};
    descriptor_list from_words;
    descriptors_read_words(&from_words, words.data());
    EXPECT_EQ(from_args.verdict, from_words.verdict);
    EXPECT_EQ(from_args.word_count, from_words.word_count);
    ASSERT_EQ(from_args.row_count, 1);
    EXPECT_EQ(from_args.rows[0].bytes, (intptr_t)sizeof data);
    EXPECT_EQ(from_args.range, 4);
}

} // namespace
