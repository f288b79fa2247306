#include "ChromiumLauncher.h"

#include "browser/ObjectModel.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpSocket>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

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

// The bytes of an address as /proc/net/tcp prints it: each 32-bit word in the machine's order.
std::optional<QByteArray> procAddressBytes(QByteArrayView hex) {
    if (hex.size() != 8 && hex.size() != 32)
        return std::nullopt;
    QByteArray bytes;
    for (qsizetype at = 0; at < hex.size(); at += 8) {
        bool ok = false;
        const quint32 word = hex.sliced(at, 8).toUInt(&ok, 16);
        if (!ok)
            return std::nullopt;
        char raw[4];
        std::memcpy(raw, &word, sizeof raw);
        bytes.append(raw, sizeof raw);
    }
    return bytes;
}

// Whether a socket bound to this address takes connections to 127.0.0.1 or ::1.
bool takesLoopback(const QByteArray& a) {
    static const QByteArray v4Loopback("\x7f\0\0\x01", 4);
    static const QByteArray v4Any(4, '\0');
    static const QByteArray v6Any(16, '\0');
    static const QByteArray v6Loopback = QByteArray(15, '\0') + '\x01';
    static const QByteArray v4Mapped = QByteArray(10, '\0') + QByteArray(2, '\xff');
    if (a.size() == 4)
        return a == v4Loopback || a == v4Any;
    return a == v6Any || a == v6Loopback || a == v4Mapped + v4Loopback || a == v4Mapped + v4Any;
}

QByteArray readProcFile(const char* path) {
    // Read to the end: files of /proc report a size of 0.
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    QByteArray text;
    for (QByteArray chunk; !(chunk = file.read(65536)).isEmpty();)
        text += chunk;
    return text;
}

}  // namespace

QList<uint> loopbackListenerUids(QByteArrayView procNetTcp, quint16 port) {
    constexpr QByteArrayView kListen = "0A";
    QList<uint> uids;
    const QList<QByteArray> lines = procNetTcp.toByteArray().split('\n');
    for (const QByteArray& line : lines) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 8 || fields[3] != kListen)
            continue;
        const qsizetype colon = fields[1].indexOf(':');
        bool portOk = false;
        bool uidOk = false;
        const uint localPort = fields[1].mid(colon + 1).toUInt(&portOk, 16);
        const uint uid = fields[7].toUInt(&uidOk);
        if (colon < 0 || !portOk || !uidOk || localPort != port)
            continue;
        const std::optional<QByteArray> address = procAddressBytes(fields[1].first(colon));
        if (address && takesLoopback(*address))
            uids.append(uid);
    }
    return uids;
}

namespace {

// Whether 127.0.0.1:port can be bound (and is at once let go): then nothing listens there that
// a connection to it would reach, and no connection is made to learn it. SO_REUSEADDR passes
// over connections that linger after their close, never over a listener.
bool loopbackPortFree(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

// The kernel's socket diagnostics walk the listeners alone, where /proc/net/tcp walks every
// socket of the system (~10 ms here).
std::optional<QList<uint>> kernelLoopbackListenerUids(quint16 port) {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return std::nullopt;
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    // A reply that never comes must not hang the caller.
    const timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    QList<uint> uids;
    for (const int family : {AF_INET, AF_INET6}) {
        struct {
            nlmsghdr header;
            inet_diag_req_v2 request;
        } ask{};
        ask.header.nlmsg_len = sizeof ask;
        ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        ask.request.sdiag_family = static_cast<quint8>(family);
        ask.request.sdiag_protocol = IPPROTO_TCP;
        ask.request.idiag_states = 1U << TCP_LISTEN;
        ask.request.id.idiag_sport = htons(port);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<const sockaddr*>(&kernel),
                     sizeof kernel) != static_cast<ssize_t>(sizeof ask))
            return std::nullopt;
        for (bool done = false; !done;) {
            char buffer[32768];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                return std::nullopt;
            // The messages one after the other, each at an aligned offset (NLMSG_NEXT).
            for (size_t at = 0; at + sizeof(nlmsghdr) <= static_cast<size_t>(got);) {
                nlmsghdr h;
                std::memcpy(&h, buffer + at, sizeof h);
                if (h.nlmsg_len < sizeof h || at + h.nlmsg_len > static_cast<size_t>(got))
                    return std::nullopt;
                if (h.nlmsg_type == NLMSG_DONE) {
                    done = true;
                    break;
                }
                if (h.nlmsg_type == NLMSG_ERROR ||
                    h.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                    return std::nullopt;
                inet_diag_msg socket;
                std::memcpy(&socket, buffer + at + NLMSG_HDRLEN, sizeof socket);
                at += NLMSG_ALIGN(h.nlmsg_len);
                if (socket.idiag_state != TCP_LISTEN || ntohs(socket.id.idiag_sport) != port)
                    continue;
                const QByteArray address(reinterpret_cast<const char*>(socket.id.idiag_src),
                                         socket.idiag_family == AF_INET ? 4 : 16);
                if (takesLoopback(address))
                    uids.append(socket.idiag_uid);
            }
        }
    }
    return uids;
}

PortOwner loopbackPortOwner(quint16 port) {
    // Even the listeners alone cost a system call or two: the tick without a browser must not
    // pay that each second.
    if (loopbackPortFree(port))
        return PortOwner::Nobody;
    std::optional<QList<uint>> found = kernelLoopbackListenerUids(port);
    if (!found)
        found = loopbackListenerUids(readProcFile("/proc/net/tcp"), port) +
                loopbackListenerUids(readProcFile("/proc/net/tcp6"), port);
    const QList<uint>& uids = *found;
    if (uids.isEmpty())
        return PortOwner::Nobody;
    const uint self = ::geteuid();
    return std::all_of(uids.begin(), uids.end(), [self](uint uid) { return uid == self; })
               ? PortOwner::Us
               : PortOwner::Other;
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

QStringList chromiumArguments(const QString& profileFolder, quint16 port,
                              const QStringList& extraArgs) {
    QStringList args{QStringLiteral("--user-data-dir=") + profileFolder,
                     QStringLiteral("--remote-debugging-port=%1").arg(port),
                     QStringLiteral("--no-first-run"),
                     QStringLiteral("--no-default-browser-check")};
    if (::geteuid() == 0)
        args << QStringLiteral("--no-sandbox");  // Chromium refuses to run as root otherwise
    args << extraArgs;
    return args;
}

qint64 startChromium(const LaunchOptions& options, const QString& profileFolder, quint16 port) {
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
    process.setArguments(chromiumArguments(profileFolder, port, options.extraArgs));
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

bool processRunning(qint64 pid) {
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))
        return false;
    // A detached process belongs to whoever adopts it, which may never reap it.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.read(4096);
    const qsizetype name = text.lastIndexOf(')');
    const char state = name >= 0 && name + 2 < text.size() ? text[name + 2] : 'R';
    return state != 'Z' && state != 'X';
}

}  // namespace sirano
