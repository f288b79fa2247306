// Where the program's Chromium listens: the DevToolsActivePort file it writes into its profile,
// and the browser endpoint a loopback port answers with.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <optional>

namespace sirano {

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

// The endpoint of the browser listening on a loopback port (asks its /json/version); blocks at
// most timeoutMs in all without running an event loop. Nothing when none answers in time, or the
// answer is not a browser's (not 200, over 64 KiB, not a ws:// address). The answer's host and
// port are replaced by 127.0.0.1 and port.
std::optional<QUrl> queryBrowserEndpoint(quint16 port, int timeoutMs);

}  // namespace sirano
