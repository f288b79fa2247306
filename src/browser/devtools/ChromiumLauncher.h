// Finding and starting the program's own Chromium.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <optional>

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

// The browser endpoint Chromium wrote to <profileFolder>/DevToolsActivePort ("port\npath").
// The file outlives the browser: an address here may refuse the connection, or belong by now to
// another program.
std::optional<QUrl> readDevToolsActivePort(const QString& profileFolder);

// What <profileFolder>/DevToolsActivePort holds and when it was written: a browser that starts
// writes it anew. Empty when there is no such file.
struct PortFileStamp {
    QByteArray content;
    QDateTime modified;
    bool operator==(const PortFileStamp&) const = default;
};
PortFileStamp devToolsActivePortStamp(const QString& profileFolder);

// The owners (uids) of the sockets listening on port that take connections to 127.0.0.1 or ::1
// (bound to a loopback address or to every address), read from the text of /proc/net/tcp or
// /proc/net/tcp6.
QList<uint> loopbackListenerUids(QByteArrayView procNetTcp, quint16 port);
// The same owners asked of the kernel's socket diagnostics (netlink); nothing when it does not
// answer, and /proc is the way left.
std::optional<QList<uint>> kernelLoopbackListenerUids(quint16 port);

enum class PortOwner { Nobody, Us, Other };
// Who listens on the loopback port. Us only when every such listener belongs to our own user:
// any user of this computer can listen on a loopback port, for example on one a stale
// DevToolsActivePort names, and would receive whatever we send there.
PortOwner loopbackPortOwner(quint16 port);

// The endpoint of the browser listening on a loopback port (asks its /json/version); blocks at
// most timeoutMs in all without running an event loop. Nothing when none answers in time, or the
// answer is not a browser's (not 200, over 64 KiB, not a ws:// address). The answer's host and
// port are replaced by 127.0.0.1 and port.
std::optional<QUrl> queryBrowserEndpoint(quint16 port, int timeoutMs);

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
