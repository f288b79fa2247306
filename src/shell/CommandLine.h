// What the tray program does with its command line before any window exists: --help and
// --version print and end; anything else is left to Qt (-platform and friends) and the tray.
#pragma once

#include <optional>

namespace sirano {

// The exit status when the command line asked for something other than the tray program.
std::optional<int> answerCommandLine(int argc, const char* const* argv);

}  // namespace sirano
