// openmp_test.cpp: what zeqopenmp's golden cases cannot show.
//
// The translator is linked in (its main renamed) and run on texts built in
// memory.  The deep nesting test guards the reason zeqopenmp transforms
// blocks in place as windows of one text: a megabyte of nested blocks must
// neither exhaust the stack nor take quadratic time.  Positions are kept in
// 32 bits, so a longer text must be refused.  What it prints for ordinary
// texts is in golden/zeqopenmp/.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <chrono>
#include <string>

#include "text_scan.h"

extern const translator_def zeq_translator;

namespace {

std::string translate(const std::string &source, int *status)
{
    char *data = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&data, &size);
    FILE *err = fopen("/dev/null", "w");
    *status = translate_bytes(&zeq_translator, (const unsigned char *)source.data(), source.size(),
                              out, err);
    fclose(out);
    fclose(err);
    std::string result(data, size);
    free(data);
    return result;
}

// zeqopenmp keeps positions in 32 bits: a longer text must be refused, not
// translated with wrapped positions.  Only a 64-bit build can hold one; the
// translator must refuse it before reading, so the mapping costs nothing.
TEST(zeqopenmp, a_text_too_long_for_32_bit_positions_is_refused)
{
    if (sizeof(size_t) <= 4)
        GTEST_SKIP() << "a 32-bit build cannot hold such a text";
    size_t length = (size_t)UINT32_MAX + 1;
    void *text = mmap(nullptr, length + 1, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(MAP_FAILED, text);
    char *out_data = nullptr, *err_data = nullptr;
    size_t out_size = 0, err_size = 0;
    FILE *out = open_memstream(&out_data, &out_size);
    FILE *err = open_memstream(&err_data, &err_size);
    int status = zeq_translator.translate(&zeq_translator, (char *)text, length, out, err);
    fclose(out);
    fclose(err);
    EXPECT_EQ(exit_failure, status);
    EXPECT_EQ("", std::string(out_data, out_size));
    EXPECT_EQ("Source too large: more than 4294967295 bytes\n", std::string(err_data, err_size));
    free(out_data);
    free(err_data);
    munmap(text, length + 1);
}

TEST(zeqopenmp, a_megabyte_of_nested_blocks)
{
    for (const char *open : {"parallel(1){", "serial(&k){"}) {
        std::string source;
        while (source.size() < (1u << 20))
            source += open;
        size_t levels = source.size() / strlen(open);
        source += std::string(levels, '}');
        auto start = std::chrono::steady_clock::now();
        int status = -3;
        std::string got = translate(source, &status);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(0, status);
        EXPECT_LT(seconds, 20.0) << open;
        // Every level is translated: one pragma (or kept header) per level,
        // and one closing text per level.
        const char *head = open[0] == 'p' ? "__pragma (omp parallel num_threads((1+1) * 2)){"
                                           : "serial(&k){";
        const char *tail = open[0] == 'p' ? "}" : " break();}";
        size_t heads = 0, pos = 0;
        while ((pos = got.find(head, pos)) != std::string::npos) {
            ++heads;
            pos += strlen(head);
        }
        EXPECT_EQ(levels, heads) << open;
        std::string closing;
        for (size_t i = 0; i < 3; ++i)
            closing += tail;
        EXPECT_NE(std::string::npos, got.find(closing + "\n#pragma comment(lib, \"Deviro\")\n"));
    }
}

} // namespace
