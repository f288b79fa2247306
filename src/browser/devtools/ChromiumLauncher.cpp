#include "ChromiumLauncher.h"

#include "browser/ObjectModel.h"

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>

namespace sirano {

std::optional<QUrl> readDevToolsActivePort(const QString& profileFolder) {
    QFile file(QDir(profileFolder).filePath(QStringLiteral("DevToolsActivePort")));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = file.read(4096).split('\n');
    bool ok = false;
    const uint port = lines.value(0).trimmed().toUInt(&ok);
    const QByteArray path = lines.value(1).trimmed();
    if (!ok || port == 0 || port > 65535 || !path.startsWith("/devtools/browser/"))
        return std::nullopt;
    QUrl url;
    url.setScheme(QStringLiteral("ws"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(static_cast<int>(port));
    url.setPath(QString::fromLatin1(path));
    return url;
}

bool loopbackPortOpen(quint16 port, int timeoutMs) {
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    return socket.waitForConnected(timeoutMs);
}

std::optional<QUrl> queryBrowserEndpoint(quint16 port, int timeoutMs) {
    // waitFor* blocks on the socket alone: no event of the caller's thread runs meanwhile.
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(timeoutMs))
        return std::nullopt;
    socket.write("GET /json/version HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(timeoutMs)) {
        answer += socket.readAll();
        if (answer.size() > 65536)
            break;
    }
    answer += socket.readAll();
    const qsizetype body = answer.indexOf("\r\n\r\n");
    if (body < 0)
        return std::nullopt;
    const QJsonObject version = QJsonDocument::fromJson(answer.mid(body + 4)).object();
    QUrl url(version.value(QLatin1String("webSocketDebuggerUrl")).toString());
    if (!url.isValid() || url.scheme() != QLatin1String("ws"))
        return std::nullopt;
    // Only ever loopback, whatever host name the answer used.
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port);
    return url;
}

QStringList chromiumArguments(const QString& profileFolder, quint16 port, const QString& url,
                              const QStringList& extraArgs) {
    QStringList args{QStringLiteral("--user-data-dir=") + profileFolder,
                     QStringLiteral("--remote-debugging-port=%1").arg(port),
                     QStringLiteral("--no-first-run"),
                     QStringLiteral("--no-default-browser-check")};
    if (::geteuid() == 0)
        args << QStringLiteral("--no-sandbox");  // Chromium refuses to run as root otherwise
    args << extraArgs;
    // "--" ends the switches: a stored address that begins with "-" stays an address.
    args << QStringLiteral("--") << url;
    return args;
}

qint64 startChromium(const LaunchOptions& options, const QString& profileFolder, quint16 port,
                     const QString& url) {
    QString program;
    for (const QString& candidate : options.programs) {
        const QString found = QFileInfo(candidate).isAbsolute()
                                  ? (QFileInfo(candidate).isExecutable() ? candidate : QString())
                                  : QStandardPaths::findExecutable(candidate);
        if (!found.isEmpty()) {
            program = found;
            break;
        }
    }
    if (program.isEmpty()) {
        throw SiranoError(err::kCannotCreateObject,
                          QStringLiteral("No Chromium found (tried %1).")
                              .arg(options.programs.join(QStringLiteral(", "))));
    }
    if (!QDir().mkpath(profileFolder)) {
        throw SiranoError(
            err::kCannotCreateObject,
            QStringLiteral("Cannot create the browser profile folder %1.").arg(profileFolder));
    }
    QFile::setPermissions(profileFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcess process;
    process.setProgram(program);
    process.setArguments(chromiumArguments(profileFolder, port, url, options.extraArgs));
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid)) {
        throw SiranoError(err::kCannotCreateObject,
                          QStringLiteral("Chromium (%1) could not be started.").arg(program));
    }
    return pid;
}

}  // namespace sirano
