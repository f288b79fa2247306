// Finding and starting the program's own Chromium.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>

namespace sirano {

struct LaunchOptions {
    // Tried in order: a name is looked up on PATH, an absolute path is taken as it is.
    QStringList programs{QStringLiteral("chromium"), QStringLiteral("chromium-browser"),
                         QStringLiteral("google-chrome")};
    // Added after the usual switches (tests add --headless and friends).
    QStringList extraArgs;
    // How long a browser just started may take to write its DevToolsActivePort.
    std::chrono::milliseconds startTimeout{10000};
};

// The command line that starts Chromium on the profile, detached. It never holds an address: the
// caller opens one over the DevTools protocol once the browser listens.
QStringList chromiumArguments(const QString& profileFolder, quint16 port,
                              const QStringList& extraArgs);

// Starts the first program found, detached (it outlives us). Throws SiranoError 429 when none
// is found or starts. Returns the process id.
qint64 startChromium(const LaunchOptions& options, const QString& profileFolder, quint16 port);

// Whether the process still runs (a zombie nobody reaps has ended).
bool processRunning(qint64 pid);

}  // namespace sirano
