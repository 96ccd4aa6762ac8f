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
    std::vector<std::string> args = {"zemntwchk", ""};
    for (size_t i = 0; i < size && args.size() < 40; ++i) {
        if (data[i] == '\0')
            args.emplace_back();
        else
            args.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    NtwParam param;
    std::memset(&param, 0x7f, sizeof param);
    check_arg(static_cast<int>(args.size()), argv.data(), &param);
    return 0;
}
