// fuzz_request_seeds.cpp: writes a seed corpus for fuzz_request.
//
// Usage: fuzz_request_seeds <folder>.  Each seed is a request written by
// request_write, as a client writes it, behind a first byte that gives the
// agent folder's length: the worked example's shape, a request without
// arguments, one with an empty last argument, and a few of other sizes.
// Generated at run time, so that no binary corpus lives in the tree.
#include "server_folder.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

int write_seed(const std::string &folder, int number, uint8_t folder_length, const char *name,
               const std::vector<uint32_t> &sizes)
{
    std::string args = folder + "/args.tmp";
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<request_part> parts;
    std::vector<uint32_t> kinds;
    for (size_t i = 0; i < sizes.size(); ++i) {
        bytes.push_back(std::vector<uint8_t>(sizes[i], (uint8_t)(i + 1)));
        kinds.push_back((uint32_t)(i % 4) + 1);
    }
    for (size_t i = 0; i < sizes.size(); ++i)
        parts.push_back({bytes[i].data(), sizes[i]});
    args_header header = {0, 2, 1, 144, 0, 0, 0, 0};
    if (request_write(args.c_str(), &header, name, kinds.data(), parts.data(), (int32_t)parts.size()) !=
        server_step_done)
        return -1;
    FILE *in = fopen(args.c_str(), "rb");
    std::string seed_path = folder + "/seed" + std::to_string(number);
    FILE *out = fopen(seed_path.c_str(), "wb");
    if (!in || !out)
        return -1;
    fputc(folder_length, out);
    int c;
    while ((c = fgetc(in)) != EOF)
        fputc(c, out);
    fclose(in);
    platform_file_delete(args.c_str());
    return fclose(out) == 0 ? 0 : -1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "Usage: fuzz_request_seeds <folder>\n");
        return 2;
    }
    std::string folder = argv[1];
    int failed = 0;
    failed |= write_seed(folder, 0, 40, "gravsim_net.so", {4096, 3072, 4, 4, 4});
    failed |= write_seed(folder, 1, 20, "m_net.so", {});
    failed |= write_seed(folder, 2, 200, "abcd", {8, 0});
    failed |= write_seed(folder, 3, 0, "a_net_net.so", {1, 2, 3, 0, 5, 6, 7});
    failed |= write_seed(folder, 4, 100, "sample_net.so", {64, 16, 16});
    return failed ? 1 : 0;
}
