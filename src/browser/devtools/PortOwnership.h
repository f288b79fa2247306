// Whose is a loopback port: the listener a port file names, and the far end of a connection made
// to it. Asked of the kernel's socket diagnostics (netlink) first, of /proc/net/tcp and
// /proc/net/tcp6 when those do not answer.
#pragma once

#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QtGlobal>
#include <optional>

namespace sirano {

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
// The decision over the owners found: Nobody for none, Us when all of them are self.
PortOwner portOwnerOf(const QList<uint>& listenerUids, uint self);

// One established TCP connection, as its own end (local) sees it.
struct TcpConnection {
    QHostAddress local;
    quint16 localPort = 0;
    QHostAddress peer;
    quint16 peerPort = 0;
};
// The owner of the socket at the far end of connection (the one that accepted it), from the
// text of /proc/net/tcp or /proc/net/tcp6; nothing when the table has no such socket.
std::optional<uint> peerSocketUid(QByteArrayView procNetTcp, const TcpConnection& connection);
// The same asked of the kernel's socket diagnostics for exactly that 4-tuple; nothing when it
// does not answer or has no such socket.
std::optional<uint> kernelPeerSocketUid(const TcpConnection& connection);
// Whether the far end of an established loopback connection belongs to our own user. A listener
// checked before connecting may have been replaced by another user's in between: only the
// connection itself tells who receives what is sent on it. False when it cannot be told.
bool peerIsOurs(const TcpConnection& connection);

}  // namespace sirano
