#include "BrowserEndpoint.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
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

PortFileStamp devToolsActivePortStamp(const QString& profileFolder) {
    QFile file(QDir(profileFolder).filePath(QStringLiteral("DevToolsActivePort")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return PortFileStamp{file.read(4096), QFileInfo(file).lastModified()};
}

namespace {

constexpr qsizetype kMaxAnswer = 64 * 1024;

enum class Answer { Incomplete, Complete, Refused };

// How far an HTTP answer to GET /json/version has come; its body once complete. The body ends
// where Content-Length says, or, without one, where the connection closes.
Answer httpAnswer(const QByteArray& answer, bool closed, QByteArray* body) {
    const qsizetype headerEnd = answer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return closed ? Answer::Refused : Answer::Incomplete;
    const QList<QByteArray> header = answer.first(headerEnd).split('\n');
    const QList<QByteArray> status = header.value(0).simplified().split(' ');
    if (!status.value(0).startsWith("HTTP/1.") || status.value(1) != "200")
        return Answer::Refused;
    std::optional<qsizetype> length;
    for (const QByteArray& line : header.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.first(std::max<qsizetype>(colon, 0)).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            bool ok = false;
            length = value.toLongLong(&ok);
            if (!ok || *length < 0 || *length > kMaxAnswer)
                return Answer::Refused;
        } else if (name == "transfer-encoding" && value.toLower() != "identity") {
            return Answer::Refused;  // a browser's answer is never chunked
        }
    }
    const QByteArray rest = answer.mid(headerEnd + 4);
    if (length) {
        if (rest.size() < *length)
            return closed ? Answer::Refused : Answer::Incomplete;
        *body = rest.first(*length);
        return Answer::Complete;
    }
    if (!closed)
        return Answer::Incomplete;
    *body = rest;
    return Answer::Complete;
}

}  // namespace

std::optional<QUrl> queryBrowserEndpoint(quint16 port, int timeoutMs) {
    // waitFor* blocks on the socket alone: no event of the caller's thread runs meanwhile.
    const QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime())))
        return std::nullopt;
    socket.write("GET /json/version HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    // Chromium keeps the connection open after its answer: the answer ends at its length.
    QByteArray answer;
    QByteArray body;
    for (;;) {
        answer += socket.read(kMaxAnswer + 1 - answer.size());
        if (answer.size() > kMaxAnswer)
            return std::nullopt;
        const bool closed =
            socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0;
        const Answer state = httpAnswer(answer, closed, &body);
        if (state == Answer::Complete)
            break;
        if (state == Answer::Refused || deadline.hasExpired())
            return std::nullopt;
        if (socket.bytesAvailable() == 0 && !closed &&
            !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())) &&
            socket.state() == QAbstractSocket::ConnectedState)
            return std::nullopt;  // silence until the deadline
    }
    const QJsonObject version = QJsonDocument::fromJson(body).object();
    QUrl url(version.value(QLatin1String("webSocketDebuggerUrl")).toString());
    if (!url.isValid() || url.scheme() != QLatin1String("ws"))
        return std::nullopt;
    // Only ever loopback, whatever host name the answer used.
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port);
    return url;
}

}  // namespace sirano
