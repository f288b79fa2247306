// News from the desktop session that should lock SIRANO's secrets: the screen locks, or the machine
// is about to sleep. Heard over D-Bus, from the screen saver on the session bus
// (org.freedesktop.ScreenSaver, or GNOME's own, ActiveChanged(true)) and from logind on the system
// bus (Lock of this process's session, PrepareForSleep(true)). A missing bus or service means no
// news, never an error. A screen saver and logind's PrepareForSleep are heard from whenever they
// appear (the match is on the signal, not the owner); logind's Lock only when logind named our
// session at construction, and the sleep delay lock only when logind granted it then.
//
// While logind lets it, the watch holds a delay lock on sleep, released once locked() has been
// handled: without it the machine may sleep before the news is read, and the log-out would wait
// for the wake-up.
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

namespace sirano {

class SessionWatch final : public QObject {
    Q_OBJECT
public:
    // The buses of this session: QDBusConnection::sessionBus() and systemBus(), which follow
    // DBUS_SESSION_BUS_ADDRESS and DBUS_SYSTEM_BUS_ADDRESS.
    explicit SessionWatch(QObject* parent = nullptr);
    // Given buses, such as private ones; a connection that is not connected is simply not heard.
    SessionWatch(const QDBusConnection& sessionBus, const QDBusConnection& systemBus,
                 QObject* parent = nullptr);

    // The object path of the logind session whose Lock is heard; empty until logind has named it
    // (it is asked once, at construction), and when it cannot.
    QString lockSession() const { return lockSession_; }
    // Whether the delay lock on sleep is held.
    bool holdsSleepDelay() const { return sleepDelay_.isValid(); }

Q_SIGNALS:
    // The screen locked, or the machine is about to sleep. Once per piece of news: a desktop
    // that reports one lock in more than one way causes more than one.
    void locked();

private Q_SLOTS:
    void screenSaverActiveChanged(bool active);
    void prepareForSleep(bool starting);
    void sessionLock();

private:
    void findSession();
    void takeSleepDelay();

    QDBusConnection sessionBus_;
    QDBusConnection systemBus_;
    QString lockSession_;
    QDBusUnixFileDescriptor sleepDelay_;
};

}  // namespace sirano
