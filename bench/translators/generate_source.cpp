// generate_source.cpp: writes a large Zeq source for timing the translators.
//
// Usage: generate_source UNITS > big.zeq
// Each unit is a function with a block of declarations, a coload construct
// and a parallel region holding a serial block, padded with many string
// literals that contain quotes, escaped quotes, braces, parentheses and the
// keywords themselves, since those are what make a token search slow.
// 10,000 units give about 20 MB.
#include <stdio.h>
#include <stdlib.h>

static const char *const filler[] = {
    "    puts(\"coload ((float*, x)) { not a construct } parallel(1) { } serial(&k) { }\");\n",
    "    printf(\"escaped \\\"quote\\\" and (parens) and {braces}: %d\\n\", n);\n",
    "    label = \"a \\\\ backslash, a \\\" quote, a comma, and ; semicolon\";\n",
    "    if (strcmp(name, \"{ break; }\") == 0) total += 1;\n",
    "    message(\"the quick brown fox jumps over the lazy dog; (1, 2, 3)\");\n",
    "    c = '\"'; c = '\"'; /* two quote characters restore the parity */\n",
};

int main(int argc, char **argv)
{
    long units = argc > 1 ? atol(argv[1]) : 10000;
    printf("#include <Zeq.h>\n#include <stdio.h>\n#include <string.h>\n\nstatic int lock;\n\n");
    for (long u = 0; u < units; ++u) {
        printf("void unit_%ld(float *x, float *y, int n, float a)\n{\n", u);
        printf("    float tile[64];\n    int total = 0;\n    char c;\n    const char *label;\n");
        for (int i = 0; i < 9; ++i)
            fputs(filler[(u + i) % (sizeof filler / sizeof *filler)], stdout);
        printf("    coload ((float*, x), (float*, y), (int, n), (float, a))\n    {\n");
        printf("        int i;\n        for (i = QIV_RANGE_START(n); i < QIV_RANGE_END(n); i++) {\n");
        printf("            tile[i %% 64] = x[i];\n            y[i] = a * tile[i %% 64] + y[i];\n");
        printf("        }\n        qiv_sync();\n    }\n");
        for (int i = 0; i < 8; ++i)
            fputs(filler[(u + i + 3) % (sizeof filler / sizeof *filler)], stdout);
        printf("    parallel(n) {\n        int me = pix();\n");
        printf("        serial(&lock) {\n            total += me; /* \"{\" */\n        }\n");
        printf("        if (me == 0) { puts(\"} done {\"); }\n        break;\n    }\n");
        for (int i = 0; i < 4; ++i)
            fputs(filler[(u + i + 1) % (sizeof filler / sizeof *filler)], stdout);
        printf("}\n\n");
    }
    return 0;
}
