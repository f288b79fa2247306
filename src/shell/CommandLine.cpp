#include "CommandLine.h"

#include <cstdio>
#include <cstring>

namespace sirano {

std::optional<int> answerCommandLine(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(
                "Usage: sirano [--help] [--version]\n"
                "SIRANO lives as an icon in the notification area: left click for the\n"
                "site menu, right click for the commands. Its data file and the rest are\n"
                "described in sirano(1); sirano-cli does the same from a terminal.\n",
                stdout);
            return 0;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::fputs("sirano " SIRANO_VERSION "\n", stdout);
            return 0;
        }
    }
    return std::nullopt;
}

}  // namespace sirano
