// Finding and starting the program's own Chromium.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

namespace sirano {

struct LaunchOptions {
    // Tried in order: a name is looked up on PATH, an absolute path is taken as it is.
    QStringList programs{QStringLiteral("chromium"), QStringLiteral("chromium-browser"),
                         QStringLiteral("google-chrome")};
    // Added before the address (tests add --headless and friends).
    QStringList extraArgs;
};

// The browser endpoint Chromium wrote to <profileFolder>/DevToolsActivePort ("port\npath").
// The file outlives the browser: an address here may refuse the connection.
std::optional<QUrl> readDevToolsActivePort(const QString& profileFolder);

// Whether something accepts connections on the loopback port (a refusal comes at once).
bool loopbackPortOpen(quint16 port, int timeoutMs);

// The endpoint of the browser listening on a loopback port (asks its /json/version); blocks at
// most timeoutMs without running an event loop. Nothing when none answers.
std::optional<QUrl> queryBrowserEndpoint(quint16 port, int timeoutMs);

// The command line that starts Chromium on the profile with the address, detached.
QStringList chromiumArguments(const QString& profileFolder, quint16 port, const QString& url,
                              const QStringList& extraArgs);

// Starts the first program found, detached (it outlives us). Throws SiranoError 429 when none
// is found or starts. Returns the process id.
qint64 startChromium(const LaunchOptions& options, const QString& profileFolder, quint16 port,
                     const QString& url);

}  // namespace sirano
