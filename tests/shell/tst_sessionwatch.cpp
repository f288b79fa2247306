// Log-out on a locked screen and before sleep: SessionWatch and the tray program on two private
// dbus-daemons, given to the process as its session and its system bus, with stand-ins that own
// the screen saver's and logind's names and emit their signals.
#include "browser/FakeBrowser.h"
#include "shell/SessionWatch.h"
#include "shell/TrayApp.h"
#include "store/DataFile.h"
#include "support/RecordingMessageBox.h"
#include "support/StoreFiles.h"

#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <thread>

using namespace sirano;
using namespace sirano::test;

namespace {

const QString kOurSession = QStringLiteral("/org/freedesktop/login1/session/_31");
const QString kOtherSession = QStringLiteral("/org/freedesktop/login1/session/_32");

// A dbus-daemon of its own on a socket in a temporary folder, stopped by process id.
class PrivateBus {
public:
    explicit PrivateBus(const QString& name) {
        const QString socket = dir_.filePath(name);
        address_ = QStringLiteral("unix:path=") + socket;
        const QByteArray addressArg = "--address=" + address_.toUtf8();
        const char* argv[] = {"dbus-daemon",          "--session", "--nofork", "--nopidfile",
                              addressArg.constData(), nullptr};
        // Our own child, so that it is reaped when stopped.
        if (::posix_spawnp(&pid_, "dbus-daemon", nullptr, nullptr, const_cast<char**>(argv),
                           environ) != 0)
            pid_ = 0;
        for (int i = 0; pid_ > 0 && i < 500 && !QFileInfo::exists(socket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        up_ = pid_ > 0 && QFileInfo::exists(socket);
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool up() const { return up_; }
    QByteArray address() const { return address_.toUtf8(); }

private:
    QTemporaryDir dir_;
    QString address_;
    pid_t pid_ = 0;
    bool up_ = false;
};

// logind's manager as far as SessionWatch asks it: this process's session is kOurSession.
class LogindStandIn final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public Q_SLOTS:
    QDBusObjectPath GetSession(const QString& id) {
        asked << id;
        return QDBusObjectPath(id == QLatin1String("auto") ? kOurSession : kOtherSession);
    }

    // A delay lock: the write end of a pipe whose read end the test keeps, to see it closed.
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        inhibits << QStringList{what, who, why, mode}.join(u'|');
        int ends[2];
        if (::pipe(ends) != 0)
            return {};
        readEnds << ends[0];
        QDBusUnixFileDescriptor lock(ends[1]);
        ::close(ends[1]);
        return lock;
    }

public:
    ~LogindStandIn() override {
        for (int fd : std::as_const(readEnds))
            ::close(fd);
    }
    QStringList asked;
    QStringList inhibits;
    QList<int> readEnds;
};

// Whether every holder of the pipe's write end has closed it.
bool released(int readEnd) {
    pollfd p{readEnd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

// Counts the test's own marker signals, which arrive after everything sent before them.
class Marker final : public QObject {
    Q_OBJECT
public Q_SLOTS:
    void done() { ++count; }

public:
    int count = 0;
};

enum class Bus { Session, System };

struct Signal {
    Bus bus;
    QString path;
    QString interface;
    QString name;
    QVariantList args;
};

Signal screenSaver(bool active,
                   const QString& path = QStringLiteral("/org/freedesktop/ScreenSaver")) {
    return {Bus::Session,
            path,
            QStringLiteral("org.freedesktop.ScreenSaver"),
            QStringLiteral("ActiveChanged"),
            {active}};
}
Signal gnomeScreenSaver(bool active) {
    return {Bus::Session,
            QStringLiteral("/org/gnome/ScreenSaver"),
            QStringLiteral("org.gnome.ScreenSaver"),
            QStringLiteral("ActiveChanged"),
            {active}};
}
Signal sessionSignal(const QString& session, const QString& name) {
    return {Bus::System, session, QStringLiteral("org.freedesktop.login1.Session"), name, {}};
}
Signal prepareForSleep(bool starting) {
    return {Bus::System,
            QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"),
            QStringLiteral("PrepareForSleep"),
            {starting}};
}

}  // namespace

Q_DECLARE_METATYPE(Signal)

class TestSessionWatch : public QObject {
    Q_OBJECT

    // The owners of the names: the stand-ins. The impostor owns nothing.
    QDBusConnection sessionOwner_{QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                                QStringLiteral("owner-session"))};
    QDBusConnection systemOwner_{
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("owner-system"))};
    QDBusConnection impostor_{
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("impostor"))};
    LogindStandIn logind_;
    Marker marker_;

    static QDBusConnection watched(Bus bus) {
        return bus == Bus::Session ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
    }
    QDBusConnection& owner(Bus bus) { return bus == Bus::Session ? sessionOwner_ : systemOwner_; }

    // A round trip to the daemon: everything this connection sent before has been handled there.
    static void roundTrip(const QDBusConnection& c) {
        c.interface()->isServiceRegistered(QStringLiteral("org.sirano.Nobody"));
    }

    static void send(QDBusConnection& from, const Signal& s) {
        QDBusMessage message = QDBusMessage::createSignal(s.path, s.interface, s.name);
        message.setArguments(s.args);
        QVERIFY(from.send(message));
        roundTrip(from);
    }

    // Returns once the process has received everything sent on bus before, by anyone.
    void settle(Bus bus) {
        const int before = marker_.count;
        for (QDBusConnection* c : {&sessionOwner_, &systemOwner_, &impostor_}) {
            if (c->isConnected())
                roundTrip(*c);
        }
        QDBusConnection& from = owner(bus);
        from.send(QDBusMessage::createSignal(QStringLiteral("/org/sirano/Test"),
                                             QStringLiteral("org.sirano.Test"),
                                             QStringLiteral("Done")));
        QTRY_COMPARE_WITH_TIMEOUT(marker_.count, before + 1, 10000);
    }

    // Until the watch has its session and its match rules are in the daemons.
    static bool ready(const SessionWatch& watch) {
        if (!QTest::qWaitFor([&] { return !watch.lockSession().isEmpty(); }, 10000))
            return false;
        roundTrip(QDBusConnection::sessionBus());
        roundTrip(QDBusConnection::systemBus());
        return true;
    }

    void own(bool screenSavers) {
        for (const QString& name : {QStringLiteral("org.freedesktop.ScreenSaver"),
                                    QStringLiteral("org.gnome.ScreenSaver")}) {
            if (screenSavers)
                QVERIFY(sessionOwner_.registerService(name));
            else
                sessionOwner_.unregisterService(name);
        }
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "no private session bus");
        QVERIFY2(QDBusConnection::systemBus().isConnected(), "no private system bus");
        QVERIFY(sessionOwner_.isConnected() && systemOwner_.isConnected() &&
                impostor_.isConnected());
        QVERIFY(systemOwner_.registerService(QStringLiteral("org.freedesktop.login1")));
        QVERIFY(systemOwner_.registerObject(QStringLiteral("/org/freedesktop/login1"), &logind_,
                                            QDBusConnection::ExportAllSlots));
        for (Bus bus : {Bus::Session, Bus::System}) {
            QVERIFY(watched(bus).connect(QString(), QStringLiteral("/org/sirano/Test"),
                                         QStringLiteral("org.sirano.Test"), QStringLiteral("Done"),
                                         &marker_, SLOT(done())));
            roundTrip(watched(bus));
        }
    }

    void init() { own(true); }

    // Each piece of news once; the end of a lock or of a sleep, another session's lock and a
    // sender that does not own the name are no news.
    void signals_data() {
        QTest::addColumn<Signal>("signal");
        QTest::addColumn<bool>("fromImpostor");
        QTest::addColumn<int>("locked");
        QTest::newRow("screen saver on") << screenSaver(true) << false << 1;
        QTest::newRow("screen saver on, KDE's path")
            << screenSaver(true, QStringLiteral("/ScreenSaver")) << false << 1;
        QTest::newRow("screen saver off") << screenSaver(false) << false << 0;
        QTest::newRow("GNOME's screen saver on") << gnomeScreenSaver(true) << false << 1;
        QTest::newRow("GNOME's screen saver off") << gnomeScreenSaver(false) << false << 0;
        QTest::newRow("screen saver on, from another program") << screenSaver(true) << true << 0;
        QTest::newRow("our session locked")
            << sessionSignal(kOurSession, QStringLiteral("Lock")) << false << 1;
        QTest::newRow("our session unlocked")
            << sessionSignal(kOurSession, QStringLiteral("Unlock")) << false << 0;
        QTest::newRow("another session locked")
            << sessionSignal(kOtherSession, QStringLiteral("Lock")) << false << 0;
        QTest::newRow("going to sleep") << prepareForSleep(true) << false << 1;
        QTest::newRow("woken up") << prepareForSleep(false) << false << 0;
    }
    void signals() {
        QFETCH(Signal, signal);
        QFETCH(bool, fromImpostor);
        QFETCH(int, locked);
        SessionWatch watch(QDBusConnection::sessionBus(), QDBusConnection::systemBus());
        QSignalSpy spy(&watch, &SessionWatch::locked);
        QVERIFY(ready(watch));
        QCOMPARE(watch.lockSession(), kOurSession);
        QVERIFY(logind_.asked.contains(QStringLiteral("auto")));
        send(fromImpostor ? impostor_ : owner(signal.bus), signal);
        settle(signal.bus);
        QCOMPARE(spy.count(), locked);
    }

    // A screen saver or a logind that comes after the watch is heard from then on.
    void servicesThatComeLater() {
        own(false);
        systemOwner_.unregisterService(QStringLiteral("org.freedesktop.login1"));
        SessionWatch watch(QDBusConnection::sessionBus(), QDBusConnection::systemBus());
        QSignalSpy spy(&watch, &SessionWatch::locked);
        roundTrip(QDBusConnection::sessionBus());
        roundTrip(QDBusConnection::systemBus());
        settle(Bus::System);  // the questions to the missing logind have been answered

        own(true);
        QVERIFY(systemOwner_.registerService(QStringLiteral("org.freedesktop.login1")));
        send(sessionOwner_, screenSaver(true));
        send(systemOwner_, prepareForSleep(true));
        settle(Bus::Session);
        settle(Bus::System);
        QCOMPARE(spy.count(), 2);
        // Without logind at the start the session is not known: its lock goes unheard.
        QVERIFY(watch.lockSession().isEmpty());
    }

    // The delay lock on sleep is held, let go once the news is out, and taken again on waking.
    void sleepDelay() {
        const qsizetype before = logind_.inhibits.size();
        SessionWatch watch(QDBusConnection::sessionBus(), QDBusConnection::systemBus());
        QSignalSpy spy(&watch, &SessionWatch::locked);
        QVERIFY(ready(watch));
        QTRY_VERIFY_WITH_TIMEOUT(watch.holdsSleepDelay(), 10000);
        QCOMPARE(logind_.inhibits.size(), before + 1);
        QCOMPARE(logind_.inhibits.constLast(),
                 "sleep|SIRANO|Logs out before the machine sleeps|delay");
        const int first = logind_.readEnds.constLast();
        QVERIFY(!released(first));

        bool heldWhenLocked = false;
        connect(&watch, &SessionWatch::locked, this, [&] { heldWhenLocked = !released(first); });
        send(systemOwner_, prepareForSleep(true));
        settle(Bus::System);
        QCOMPARE(spy.count(), 1);
        QVERIFY(heldWhenLocked);
        QVERIFY(!watch.holdsSleepDelay());
        QVERIFY(released(first));

        send(systemOwner_, prepareForSleep(false));
        QTRY_VERIFY_WITH_TIMEOUT(watch.holdsSleepDelay(), 10000);
        QCOMPARE(logind_.inhibits.size(), before + 2);
        QVERIFY(!released(logind_.readEnds.constLast()));
        QCOMPARE(spy.count(), 1);
    }

    void noBus() {
        SessionWatch watch(QDBusConnection(QStringLiteral("no such connection")),
                           QDBusConnection(QStringLiteral("no such connection")));
        QSignalSpy spy(&watch, &SessionWatch::locked);
        QTest::qWait(50);
        QCOMPARE(spy.count(), 0);
        QVERIFY(watch.lockSession().isEmpty());
    }

    // The tray program: logged in at start (automatic log-in), with or without a master password.
    void trayProgram_data() {
        QTest::addColumn<QString>("password");
        QTest::addColumn<Signal>("signal");
        QTest::addColumn<bool>("loggedIn");
        const QString pw = QStringLiteral("secret");
        QTest::newRow("screen locks") << pw << screenSaver(true) << false;
        QTest::newRow("session locked")
            << pw << sessionSignal(kOurSession, QStringLiteral("Lock")) << false;
        QTest::newRow("going to sleep") << pw << prepareForSleep(true) << false;
        QTest::newRow("screen unlocks") << pw << screenSaver(false) << true;
        QTest::newRow("woken up") << pw << prepareForSleep(false) << true;
        QTest::newRow("screen locks, no password") << QString() << screenSaver(true) << true;
        QTest::newRow("going to sleep, no password") << QString() << prepareForSleep(true) << true;
    }
    void trayProgram() {
        QFETCH(QString, password);
        QFETCH(Signal, signal);
        QFETCH(bool, loggedIn);

        QTemporaryDir folder;
        AppState stored;
        stored.settings.masterPassword = password;
        stored.settings.autoLoginAtStart = 1;
        saveStore(stored, folder.filePath(QStringLiteral("SIRANO.DAT")));
        AppState state;
        RecordingMessageBox messages;
        FixedClock clock;
        bool started = false;
        SystemServices system;  // the session watch exactly as the program makes it
        TrayServices services{
            messages,
            clock,
            [&](const QString&) {
                started = true;
                return std::make_unique<FakeBrowser>();
            },
            [](const QString&) { return std::make_unique<RecordingErrorLog>(); },
            [] { return TrayHost::XEmbed; },
            system.services().sessionWatchFor,
            std::chrono::hours(24),
            {},
        };
        TrayApp app(state, folder.path(), std::move(services));
        app.start();
        QVERIFY(QTest::qWaitFor([&] { return started; }, 5000));
        QVERIFY(state.loggedIn);
        const auto* watch = app.findChild<SessionWatch*>();
        QVERIFY(watch);
        QVERIFY(ready(*watch));

        send(owner(signal.bus), signal);
        settle(signal.bus);
        QCOMPARE(state.loggedIn, loggedIn);
        QVERIFY(messages.asked.isEmpty());
    }
};

// The two buses come first: Qt reads their addresses when a connection is first asked for.
int main(int argc, char** argv) {
    const PrivateBus session(QStringLiteral("session"));
    const PrivateBus system(QStringLiteral("system"));
    if (!session.up() || !system.up()) {
        std::fprintf(stderr, "dbus-daemon did not start (Debian package dbus)\n");
        return 1;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", session.address());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", system.address());
    QApplication app(argc, argv);
    TestSessionWatch test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sessionwatch.moc"
