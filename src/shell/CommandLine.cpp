#include "CommandLine.h"

#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <cstring>

namespace sirano {
namespace {
constexpr int kUsageStatus = 64;
}  // namespace

std::optional<int> answerCommandLine(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(
                "Usage: sirano [--data FILE] [--help] [--version]\n"
                "SIRANO lives as an icon in the notification area: left click for the\n"
                "site menu, right click for the commands. Its data file and the rest are\n"
                "described in sirano(1); sirano-cli does the same from a terminal.\n\n"
                "  --data FILE  use FILE as the data file (for example in a folder a sync\n"
                "               tool keeps equal on several machines); this machine's lock,\n"
                "               browser profile and error.log stay in its own data folder\n",
                stdout);
            return 0;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::fputs("sirano " SIRANO_VERSION "\n", stdout);
            return 0;
        }
        if (std::strcmp(arg, "--data") == 0 && (i + 1 == argc || argv[i + 1][0] == '\0')) {
            std::fputs("sirano: --data needs a file.\nTry 'sirano --help'.\n", stderr);
            return kUsageStatus;
        }
    }
    return std::nullopt;
}

QString dataFileArgument(int argc, const char* const* argv) {
    QString file;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--data") == 0)
            file = QFile::decodeName(argv[++i]);
    }
    return file.isEmpty() ? file : QFileInfo(file).absoluteFilePath();
}

}  // namespace sirano
