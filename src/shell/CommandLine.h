// What the tray program does with its command line before any window exists: --help and
// --version print and end; --data FILE names the data file; anything else is left to Qt
// (-platform and friends) and the tray.
#pragma once

#include <QString>
#include <optional>

namespace sirano {

// The exit status when the command line asked for something other than the tray program, or
// was wrong (64, said on stderr).
std::optional<int> answerCommandLine(int argc, const char* const* argv);

// The data file --data names, as an absolute path; empty without --data.
QString dataFileArgument(int argc, const char* const* argv);

}  // namespace sirano
