// Fuzz target of the command-line parser, for memory errors and undefined
// behaviour (the rules themselves are pinned by the command-line table of
// the unit tests).  The input is split at NUL bytes into the arguments after
// the program name.
#include "ntw.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    char program[] = "zemntwchk";
    std::vector<char *> argv = {program};
    // Each argument ends at the next NUL, the last one at the string's own.
    for (size_t at = 0; at <= size && argv.size() < 40; at += std::strlen(&input[at]) + 1)
        argv.push_back(&input[at]);
    argv.push_back(nullptr);
    NtwParam param;
    std::memset(&param, 0x7f, sizeof param);
    check_arg(static_cast<int>(argv.size()) - 1, argv.data(), &param);
    return 0;
}
