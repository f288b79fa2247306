#include "TrayHost.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <memory>

#include <xcb/xcb.h>

namespace sirano {
namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

bool statusNotifierHostRegistered() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(kWatcherService))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    // Asked every quarter second while waiting: a watcher that hangs must not hang the start.
    constexpr int kAnswerWaitMs = 1000;
    const QDBusMessage answer = bus.call(get, QDBus::Block, kAnswerWaitMs);
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
        return false;
    return answer.arguments().first().value<QDBusVariant>().variant().toBool();
}

// On a connection of its own, which names the screen whose selection counts (Qt keeps its
// screen number private); made only while the program waits for a tray.
bool xembedTrayOwned() {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    int screen = 0;
    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(
        xcb_connect(nullptr, &screen), &xcb_disconnect);
    if (xcb_connection_has_error(connection.get()))
        return false;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&free)> atom(
        xcb_intern_atom_reply(connection.get(),
                              xcb_intern_atom(connection.get(), 0,
                                              static_cast<uint16_t>(name.size()), name.constData()),
                              nullptr),
        &free);
    if (!atom)
        return false;
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&free)> owner(
        xcb_get_selection_owner_reply(
            connection.get(), xcb_get_selection_owner(connection.get(), atom->atom), nullptr),
        &free);
    return owner && owner->owner != XCB_NONE;
}

}  // namespace

TrayHost findTrayHost() {
    if (statusNotifierHostRegistered())
        return TrayHost::StatusNotifier;
    if (xembedTrayOwned())
        return TrayHost::XEmbed;
    return TrayHost::None;
}

}  // namespace sirano
