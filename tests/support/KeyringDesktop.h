// A session bus of a test's own and a real keyring on it, stopped with the test.
#pragma once

#include "support/Files.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

namespace sirano::test {

// A session bus of the test's own on which nothing is started on demand, and a real keyring
// (gnome-keyring-daemon, its login keyring unlocked with a test password) once it is started.
class KeyringDesktop {
public:
    ~KeyringDesktop() {
        for (QProcess* p : {&keyring_, &bus_}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
        }
    }
    // Before anything in the process uses the session bus: this process's session bus is then
    // this one.
    bool startBus(QString* why) {
        QDir(dir_.path()).mkdir(QStringLiteral("run"));
        QFile::setPermissions(dir_.filePath(QStringLiteral("run")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        writeFile(dir_.filePath(QStringLiteral("bus.conf")),
                  "<busconfig><type>session</type><listen>unix:path=" +
                      QFile::encodeName(dir_.filePath(QStringLiteral("bus"))) +
                      "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                      "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                      "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        bus_.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + dir_.filePath(QStringLiteral("bus.conf")),
                    QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!bus_.waitForStarted(5000) ||
            !QTest::qWaitFor([&] { return bus_.canReadLine() || bus_.waitForReadyRead(100); },
                             10000)) {
            *why = QStringLiteral("dbus-daemon did not start");
            return false;
        }
        address_ = QString::fromLatin1(bus_.readLine().trimmed());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toLatin1());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeFolder()));
        return true;
    }
    QString address() const { return address_; }
    QString runtimeFolder() const { return dir_.filePath(QStringLiteral("run")); }
    bool startKeyring(QString* why) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir_.filePath(QStringLiteral("data")));
        keyring_.setProcessEnvironment(env);
        keyring_.start(QStringLiteral("gnome-keyring-daemon"),
                       {QStringLiteral("--unlock"), QStringLiteral("--foreground"),
                        QStringLiteral("--components=secrets")});
        if (!keyring_.waitForStarted(5000)) {
            *why = QStringLiteral("gnome-keyring-daemon did not start");
            return false;
        }
        keyring_.write("keyring-test-password");
        keyring_.closeWriteChannel();
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        if (!QTest::qWaitFor(
                [&] { return bus->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")); },
                10000)) {
            *why = QStringLiteral("the keyring did not come on the bus: ") +
                   QString::fromLocal8Bit(keyring_.readAll());
            return false;
        }
        return true;
    }

private:
    QTemporaryDir dir_;
    QProcess bus_;
    QProcess keyring_;
    QString address_;
};

}  // namespace sirano::test
