#include "SessionWatch.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <unistd.h>

namespace sirano {
namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kLogindManager = QStringLiteral("org.freedesktop.login1.Manager");

// KDE, Xfce and others name the freedesktop screen saver; GNOME Shell only its own. Any object
// path: KDE reports on more than one.
const QString kScreenSavers[] = {QStringLiteral("org.freedesktop.ScreenSaver"),
                                 QStringLiteral("org.gnome.ScreenSaver")};

}  // namespace

SessionWatch::SessionWatch(QObject* parent)
    : SessionWatch(QDBusConnection::sessionBus(), QDBusConnection::systemBus(), parent) {}

SessionWatch::SessionWatch(const QDBusConnection& sessionBus, const QDBusConnection& systemBus,
                           QObject* parent)
    : QObject(parent), sessionBus_(sessionBus), systemBus_(systemBus) {
    // QtDBus takes its receivers by slot signature only.
    if (sessionBus_.isConnected()) {
        for (const QString& service : kScreenSavers)
            sessionBus_.connect(service, QString(), service, QStringLiteral("ActiveChanged"), this,
                                SLOT(screenSaverActiveChanged(bool)));
    }
    if (systemBus_.isConnected()) {
        systemBus_.connect(kLogind, kLogindPath, kLogindManager, QStringLiteral("PrepareForSleep"),
                           this, SLOT(prepareForSleep(bool)));
        findSession();
        takeSleepDelay();
    }
}

// "auto" is the caller's own session, or the user's graphical one for a program started outside
// any session (by a systemd user unit, for example); older logind knows only the caller's.
void SessionWatch::findSession() {
    const auto ask = [this](const QString& method, const QVariant& argument) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kLogind, kLogindPath, kLogindManager, method);
        call << argument;
        return new QDBusPendingCallWatcher(systemBus_.asyncCall(call), this);
    };
    const auto heard = [this](QDBusPendingCallWatcher* watcher) {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (reply.isError())
            return false;
        lockSession_ = reply.value().path();
        systemBus_.connect(kLogind, lockSession_, QStringLiteral("org.freedesktop.login1.Session"),
                           QStringLiteral("Lock"), this, SLOT(sessionLock()));
        return true;
    };
    QDBusPendingCallWatcher* byName = ask(QStringLiteral("GetSession"), QStringLiteral("auto"));
    connect(byName, &QDBusPendingCallWatcher::finished, this,
            [=, this](QDBusPendingCallWatcher* w) {
                if (heard(w))
                    return;
                QDBusPendingCallWatcher* byPid =
                    ask(QStringLiteral("GetSessionByPID"),
                        QVariant::fromValue(static_cast<uint>(::getpid())));
                connect(byPid, &QDBusPendingCallWatcher::finished, this, heard);
            });
}

void SessionWatch::takeSleepDelay() {
    QDBusMessage call = QDBusMessage::createMethodCall(kLogind, kLogindPath, kLogindManager,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("SIRANO")
         << QStringLiteral("Logs out before the machine sleeps") << QStringLiteral("delay");
    auto* watcher = new QDBusPendingCallWatcher(systemBus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (!reply.isError())
            sleepDelay_ = reply.value();
    });
}

void SessionWatch::screenSaverActiveChanged(bool active) {
    if (active)
        Q_EMIT locked();
}

void SessionWatch::prepareForSleep(bool starting) {
    if (starting) {
        Q_EMIT locked();
        sleepDelay_ = QDBusUnixFileDescriptor();  // closes it: the machine may sleep now
    } else {
        takeSleepDelay();
    }
}

void SessionWatch::sessionLock() {
    Q_EMIT locked();
}

}  // namespace sirano
