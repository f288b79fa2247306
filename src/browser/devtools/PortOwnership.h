// Who listens on a loopback port: asked of the kernel's socket diagnostics first, of
// /proc/net/tcp and /proc/net/tcp6 when it does not answer.
#pragma once

#include <QByteArrayView>
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

}  // namespace sirano
