// text_scan_test.cpp: the text operations of the translators' front end.
//
// The operations are built to give exactly the results of the plain
// algorithms (recount the quote parity from the start for every candidate,
// search again at every step) while staying linear.  Besides the cases that
// pin down the rules, each shortcut is checked against a plain version on
// many random texts made of the characters that matter.
#include <gtest/gtest.h>

#include "plain_scan.h"

#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>

#include "text_scan.h"

namespace {

std::string blanked(std::string text)
{
    std::string buffer = text + '\0';
    blank_comments(&buffer[0], &buffer[0] + buffer.size());
    return buffer.substr(0, text.size());
}

TEST(blank_comments, keeps_newlines_and_terminator)
{
    EXPECT_EQ("a   \nb", blanked("a //\nb"));
    EXPECT_EQ("x        ", blanked("x // last")); // no final newline
    EXPECT_EQ("a  \n\n  b", blanked("a/*\n\n*/b"));
    EXPECT_EQ("a   \n  ", blanked("a /*\n x")); // unterminated
}

TEST(blank_comments, slash_star_slash_is_a_whole_comment)
{
    EXPECT_EQ("   x */", blanked("/*/x */"));
}

TEST(blank_comments, string_literals_are_not_recognised)
{
    EXPECT_EQ("s = \"a       \nt;", blanked("s = \"a // b\";\nt;"));
}

TEST(only_space_before, only_spaces_and_newlines_count)
{
    EXPECT_EQ(1, only_space_before(" \n (x", "("));
    EXPECT_EQ(0, only_space_before("\t(x", "("));
    EXPECT_EQ(0, only_space_before("\r\n(x", "("));
    EXPECT_EQ(0, only_space_before("   ", "("));
    EXPECT_EQ(1, only_space_before("\n\n x", " "));
    EXPECT_EQ(0, only_space_before("a x", " "));
}

TEST(count_lines, counts_newlines_in_range)
{
    const char *t = "a\nb\n\nc";
    EXPECT_EQ(1, count_lines(t, t + 1));
    EXPECT_EQ(2, count_lines(t, t + 2));
    EXPECT_EQ(4, count_lines(t, t + strlen(t)));
}

TEST(find_unquoted, quote_parity)
{
    const char *t = "\"(\" ( x";
    EXPECT_EQ(t + 5, find_unquoted(t, "("));
    const char *escaped = "\"\\\"(\" (";
    EXPECT_EQ(escaped + 7, find_unquoted(escaped, "("));
    // A double quote as a character constant flips the parity.
    EXPECT_EQ(nullptr, find_unquoted("'\"' (", "("));
    EXPECT_NE(nullptr, find_unquoted("'\"' \" (", "("));
    // Parity is counted from the start that is passed.
    const char *u = "\" (";
    EXPECT_EQ(nullptr, find_unquoted(u, "("));
    EXPECT_EQ(u + 3, find_unquoted(u + 1, "("));
}

TEST(extract_balanced, pairs_and_mixed_tokens)
{
    char *s = extract_balanced("x (a, (b), \")\") y)", "(", ")");
    EXPECT_STREQ("(a, (b), \")\")", s);
    free(s);
    s = extract_balanced("(void (*)(int), f)", "(", ",");
    EXPECT_EQ(nullptr, s); // every '(' deepens, every ',' closes one level
    s = extract_balanced("((a, b), c)", "(", ",");
    EXPECT_STREQ("((a, b),", s);
    free(s);
    s = extract_balanced("(t, n, m)", ",", ",");
    EXPECT_STREQ(", n,", s);
    free(s);
    EXPECT_EQ(nullptr, extract_balanced("(t, n)", ",", ","));
    EXPECT_EQ(nullptr, extract_balanced("((x)", "(", ")"));
    EXPECT_EQ(nullptr, extract_balanced("a(", "(", ")"));
}

TEST(text_mode_convert, crlf_is_one_newline_lone_cr_stays)
{
    char b[] = "a\r\nb\rc\r\n\r";
    size_t n = text_mode_convert(b, strlen(b));
    EXPECT_EQ(std::string("a\nb\rc\n\r"), std::string(b, n));
    char z[] = "ab\0cd";
    EXPECT_EQ(2u, text_mode_convert(z, 5));
}

// ---- the shortcuts against the plain algorithms ----------------------------------

std::string random_text(std::mt19937 &rng, size_t max_length)
{
    static const char alphabet[] = "\"\\(),{}a \n;'";
    std::string t(rng() % (max_length + 1), ' ');
    for (char &c : t)
        c = alphabet[rng() % (sizeof alphabet - 1)];
    return t;
}

TEST(shortcuts, find_and_extract_match_the_plain_algorithms)
{
    std::mt19937 rng(1234);
    const char *pairs[][2] = {{"(", ")"}, {"{", "}"}, {"(", ","}, {",", ","}, {",", ")"}};
    for (int round = 0; round < 4000; ++round) {
        std::string t = random_text(rng, 40);
        const char *text = t.c_str();
        size_t from = t.empty() ? 0 : rng() % t.size();
        for (const char *token : {"(", "}", ",", "a(", "\"("}) {
            ASSERT_EQ(plain_find_unquoted(text + from, token), find_unquoted(text + from, token))
                << "text [" << t << "] from " << from << " token " << token;
        }
        for (auto &pair : pairs) {
            char *got = extract_balanced(text + from, pair[0], pair[1]);
            char *plain = plain_extract_balanced(text + from, pair[0], pair[1]);
            ASSERT_STREQ(plain, got) << "text [" << t << "] from " << from << " pair " << pair[0] << pair[1];
            free(got);
            free(plain);
        }
    }
}

TEST(shortcuts, quote_classes_give_the_parity_from_any_start)
{
    std::mt19937 rng(99);
    for (int round = 0; round < 2000; ++round) {
        std::string t = random_text(rng, 30);
        quote_index index;
        ASSERT_TRUE(quote_index_build(&index, t.c_str(), t.size()));
        for (size_t p = 0; p < t.size(); ++p)
            for (size_t c = p; c < t.size(); ++c) {
                if (t[c] == '"' || t[c] == '\\')
                    continue;
                std::string token(1, t[c]);
                // c is unquoted from p exactly when the plain search from p
                // accepts an occurrence at c or passes over it as quoted.
                int parity = 0;
                for (size_t i = p; i < c; ++i) {
                    if (t[i] == '"')
                        parity ^= 1;
                    else if (t[i] == '\\')
                        ++i;
                }
                ASSERT_EQ(parity, quote_class(&index, t.c_str() + p) ^ quote_class(&index, t.c_str() + c))
                    << "text [" << t << "] p " << p << " c " << c;
            }
        quote_index_free(&index);
    }
}

} // namespace
