/* fuzz_entry.cpp: the libFuzzer entry shared by the four fuzz targets.
 *
 * Each target links one translator's table (zeq_translator) and runs it on the
 * input as if a file held those bytes, so the text-mode read, comment blanking
 * and every search run exactly as in the program; the output goes to
 * /dev/null, since the sanitizers are the judges here.
 */
#include "text_scan.h"

#include <stdint.h>

extern const translator_def zeq_translator;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *sink = fopen("/dev/null", "w");
    translate_bytes(&zeq_translator, data, size, sink, sink);
    return 0;
}
