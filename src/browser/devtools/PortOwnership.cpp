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

}  // namespace sirano
