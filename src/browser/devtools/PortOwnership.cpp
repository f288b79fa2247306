#include "PortOwnership.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QFile>
#include <QScopeGuard>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sirano {

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
    return portOwnerOf(uids, ::geteuid());
}

PortOwner portOwnerOf(const QList<uint>& listenerUids, uint self) {
    if (listenerUids.isEmpty())
        return PortOwner::Nobody;
    // Every one: a second listener of another user (on the other address family, say) would
    // receive some of our connections.
    return std::all_of(listenerUids.begin(), listenerUids.end(),
                       [self](uint uid) { return uid == self; })
               ? PortOwner::Us
               : PortOwner::Other;
}

namespace {

// An address as 16 bytes, IPv4 as IPv4-mapped IPv6: a dual-stack socket shows an IPv4
// connection so.
QByteArray mappedBytes(const QByteArray& address) {
    if (address.size() != 4)
        return address;
    return QByteArray(10, '\0') + QByteArray(2, '\xff') + address;
}

QByteArray addressBytes(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        const quint32 network = htonl(v4);
        return QByteArray(reinterpret_cast<const char*>(&network), 4);
    }
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(v6.c), 16);
}

// "0100007F:2406" as bytes and port.
std::optional<std::pair<QByteArray, uint>> procEndpoint(const QByteArray& field) {
    const qsizetype colon = field.indexOf(':');
    if (colon < 0)
        return std::nullopt;
    bool ok = false;
    const uint port = field.mid(colon + 1).toUInt(&ok, 16);
    const std::optional<QByteArray> address = procAddressBytes(field.first(colon));
    if (!ok || !address)
        return std::nullopt;
    return std::pair{mappedBytes(*address), port};
}

}  // namespace

std::optional<uint> peerSocketUid(QByteArrayView procNetTcp, const TcpConnection& connection) {
    // A listener is not the socket that took the connection; one in TIME_WAIT (owned by
    // nobody) has ended.
    constexpr QByteArrayView kListen = "0A";
    constexpr QByteArrayView kTimeWait = "06";
    const std::pair wantedLocal{mappedBytes(addressBytes(connection.peer)),
                                uint{connection.peerPort}};
    const std::pair wantedRemote{mappedBytes(addressBytes(connection.local)),
                                 uint{connection.localPort}};
    const QList<QByteArray> lines = procNetTcp.toByteArray().split('\n');
    for (const QByteArray& line : lines) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 8 || fields[3] == kListen || fields[3] == kTimeWait)
            continue;
        bool uidOk = false;
        const uint uid = fields[7].toUInt(&uidOk);
        if (uidOk && procEndpoint(fields[1]) == wantedLocal &&
            procEndpoint(fields[2]) == wantedRemote)
            return uid;
    }
    return std::nullopt;
}

// One exact lookup (no dump): the kernel finds the socket whose own end is the connection's peer
// and whose far end is ours, i.e. the socket that accepted the connection.
std::optional<uint> kernelPeerSocketUid(const TcpConnection& connection) {
    const QByteArray peer = addressBytes(connection.peer);
    const QByteArray local = addressBytes(connection.local);
    if (peer.size() != local.size())
        return std::nullopt;
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return std::nullopt;
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    const timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST;
    ask.request.sdiag_family = static_cast<quint8>(peer.size() == 4 ? AF_INET : AF_INET6);
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = ~0U;
    ask.request.id.idiag_sport = htons(connection.peerPort);
    ask.request.id.idiag_dport = htons(connection.localPort);
    std::memcpy(ask.request.id.idiag_src, peer.constData(), static_cast<size_t>(peer.size()));
    std::memcpy(ask.request.id.idiag_dst, local.constData(), static_cast<size_t>(local.size()));
    ask.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof ask))
        return std::nullopt;
    char buffer[8192];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    nlmsghdr h;
    if (got < static_cast<ssize_t>(sizeof h))
        return std::nullopt;
    std::memcpy(&h, buffer, sizeof h);
    if (h.nlmsg_type != SOCK_DIAG_BY_FAMILY || h.nlmsg_len > static_cast<size_t>(got) ||
        h.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return std::nullopt;
    inet_diag_msg socket;
    std::memcpy(&socket, buffer + NLMSG_HDRLEN, sizeof socket);
    // Without an established socket the kernel may answer with the listener, or with what is
    // left of an ended connection (TIME_WAIT, owned by nobody): not a socket that receives.
    if (socket.idiag_state == TCP_LISTEN || socket.idiag_state == TCP_TIME_WAIT ||
        ntohs(socket.id.idiag_sport) != connection.peerPort ||
        ntohs(socket.id.idiag_dport) != connection.localPort ||
        std::memcmp(socket.id.idiag_src, peer.constData(), static_cast<size_t>(peer.size())) != 0 ||
        std::memcmp(socket.id.idiag_dst, local.constData(), static_cast<size_t>(local.size())) != 0)
        return std::nullopt;
    return socket.idiag_uid;
}

bool peerIsOurs(const TcpConnection& connection) {
    std::optional<uint> uid = kernelPeerSocketUid(connection);
    if (!uid)
        uid = peerSocketUid(readProcFile("/proc/net/tcp"), connection);
    if (!uid)
        uid = peerSocketUid(readProcFile("/proc/net/tcp6"), connection);
    return uid && *uid == ::geteuid();
}

}  // namespace sirano
