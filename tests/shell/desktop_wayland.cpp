// The tray program on Wayland: sway (headless) with waybar's tray as the status notifier host on
// a private session bus, the program on Qt's Wayland platform, keys typed by wtype, the windows
// read from sway's tree. A left click (Activate, as waybar sends it) shows the site window, small
// and floating; a choice fills a real log-in page in a real Chromium; Escape and a log-out close
// it. Screenshots (grim) are kept in the test's home for a person to look at.
#include "TrayHostKit.h"
#include "app/AppState.h"
#include "browser/ChromiumHarness.h"
#include "store/DataFile.h"
#include "support/Entries.h"
#include "support/StoreFiles.h"

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>

using namespace sirano;
using namespace sirano::test;

namespace {

constexpr int kFillWait = 10000;
const QString kFilled = QStringLiteral("carol|pw 1|true");

struct SwayWindow {
    QString type;  // "con" (tiled) or "floating_con"
    QRect rect;
    bool focused = false;
};

}  // namespace

class TestDesktopWayland : public QObject {
    Q_OBJECT

    QTemporaryDir runtime_;  // XDG_RUNTIME_DIR: the compositor's socket
    QProcessEnvironment desktopEnv_;
    QProcess sway_;
    QProcess waybar_;
    PrivateBus bus_;
    ChromiumHarness harness_;
    QString page_;
    QProcess program_;
    std::unique_ptr<ItemClient> item_;
    int shots_ = 0;

    QString runIn(const QString& program, const QStringList& args) {
        QProcess p;
        p.setProcessEnvironment(desktopEnv_);
        p.start(program, args);
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }

    // The program's window in sway's tree, if it shows one.
    std::optional<SwayWindow> siteWindow() {
        const QJsonObject root =
            QJsonDocument::fromJson(
                runIn(QStringLiteral("swaymsg"), {QStringLiteral("-t"), QStringLiteral("get_tree")})
                    .toUtf8())
                .object();
        std::optional<SwayWindow> found;
        const std::function<void(const QJsonObject&)> walk = [&](const QJsonObject& node) {
            if (node.value(QStringLiteral("pid")).toInteger() == program_.processId()) {
                const QJsonObject r = node.value(QStringLiteral("rect")).toObject();
                found = SwayWindow{node.value(QStringLiteral("type")).toString(),
                                   QRect(r.value(QStringLiteral("x")).toInt(),
                                         r.value(QStringLiteral("y")).toInt(),
                                         r.value(QStringLiteral("width")).toInt(),
                                         r.value(QStringLiteral("height")).toInt()),
                                   node.value(QStringLiteral("focused")).toBool()};
            }
            for (const char* list : {"nodes", "floating_nodes"}) {
                for (const QJsonValue& child : node.value(QLatin1String(list)).toArray())
                    walk(child.toObject());
            }
        };
        walk(root);
        return found;
    }
    bool windowShown() { return siteWindow().has_value(); }
    // After a pause: the program takes the virtual keyboard's key map first, and a key sent at
    // once can come before it and be lost.
    void key(const char* name) {
        runIn(QStringLiteral("wtype"), {"-s", "300", "-k", QLatin1String(name)});
    }
    void screenshot(const QString& what) {
        const QString file =
            QDir::home().filePath(QStringLiteral("wayland-%1-%2.png").arg(++shots_).arg(what));
        runIn(QStringLiteral("grim"), {file});
        qInfo().noquote() << "screenshot:" << file;
    }
    QString valuesOf(const QString& tab) { return harness_.firstFormValues(tab); }
    QStringList registeredItems() {
        QDBusMessage get = QDBusMessage::createMethodCall(
            QStringLiteral("org.kde.StatusNotifierWatcher"),
            QStringLiteral("/StatusNotifierWatcher"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << QStringLiteral("org.kde.StatusNotifierWatcher")
            << QStringLiteral("RegisteredStatusNotifierItems");
        const QDBusMessage answer = bus_.connection().call(get, QDBus::Block, 2000);
        if (answer.arguments().isEmpty())
            return {};
        return answer.arguments().first().value<QDBusVariant>().variant().toStringList();
    }

    bool startDesktop(QString* why) {
        QFile::setPermissions(runtime_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner);
        const QString config = runtime_.filePath(QStringLiteral("sway.conf"));
        QFile conf(config);
        if (!conf.open(QIODevice::WriteOnly) ||
            conf.write("xwayland disable\noutput HEADLESS-1 resolution 1280x800\n") < 0) {
            *why = QStringLiteral("cannot write the sway configuration");
            return false;
        }
        conf.close();
        desktopEnv_ = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP"})
            desktopEnv_.remove(QLatin1String(name));
        desktopEnv_.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
        desktopEnv_.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
        desktopEnv_.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
        desktopEnv_.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
        sway_.setProcessEnvironment(desktopEnv_);
        sway_.setProcessChannelMode(QProcess::MergedChannels);
        sway_.setStandardOutputFile(QDir::home().filePath(QStringLiteral("sway.log")));
        sway_.start(QStringLiteral("sway"), {QStringLiteral("-c"), config});
        QString socket;
        if (!sway_.waitForStarted(5000) ||
            !QTest::qWaitFor(
                [&] {
                    const QStringList ipc =
                        QDir(runtime_.path())
                            .entryList({QStringLiteral("sway-ipc.*")}, QDir::System);
                    socket = ipc.value(0);
                    return !socket.isEmpty() &&
                           QFile::exists(runtime_.filePath(QStringLiteral("wayland-1")));
                },
                10000)) {
            *why = QStringLiteral("sway did not start (see sway.log)");
            return false;
        }
        desktopEnv_.insert(QStringLiteral("SWAYSOCK"), runtime_.filePath(socket));
        desktopEnv_.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("wayland-1"));
        desktopEnv_.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus_.address());

        const QString bar = runtime_.filePath(QStringLiteral("waybar.json"));
        QFile barConf(bar);
        if (!barConf.open(QIODevice::WriteOnly) ||
            barConf.write(R"({"layer": "top", "position": "top", "height": 30,
                              "modules-right": ["tray"], "tray": {"spacing": 4}})") < 0) {
            *why = QStringLiteral("cannot write the waybar configuration");
            return false;
        }
        barConf.close();
        const QString style = runtime_.filePath(QStringLiteral("waybar.css"));
        QFile(style).open(QIODevice::WriteOnly);
        waybar_.setProcessEnvironment(desktopEnv_);
        waybar_.setProcessChannelMode(QProcess::MergedChannels);
        waybar_.setStandardOutputFile(QDir::home().filePath(QStringLiteral("waybar.log")));
        waybar_.start(QStringLiteral("waybar"),
                      {QStringLiteral("-c"), bar, QStringLiteral("-s"), style});
        if (!waybar_.waitForStarted(5000) ||
            !QTest::qWaitFor(
                [&] {
                    return bus_.connection().interface()->isServiceRegistered(
                        QStringLiteral("org.kde.StatusNotifierWatcher"));
                },
                15000)) {
            *why = QStringLiteral("waybar's tray did not come up (see waybar.log)");
            return false;
        }
        return true;
    }

    bool launch() {
        const QString dataFolder = QDir::home().filePath(QStringLiteral(".local/share/sirano"));
        AppState state;
        state.settings.autoLoginAtStart = 1;
        state.siteTable.append(
            entry(QStringLiteral("Sign in"), page_, {},
                  QList<SiteField>{field(0, 0, "text", "user", "carol"),
                                   field(0, 1, "password", "pass", "pw 1"),
                                   field(0, 2, "checkbox", "remember", "True")}));
        QDir().mkpath(dataFolder + QStringLiteral("/browser"));
        saveStore(state, dataFolder + QStringLiteral("/SIRANO.DAT"));
        // The harness's Chromium stands in for the one the program would start on its profile.
        if (!QFile::copy(harness_.profileFolder() + QStringLiteral("/DevToolsActivePort"),
                         dataFolder + QStringLiteral("/browser/DevToolsActivePort")))
            return false;
        QProcessEnvironment env = desktopEnv_;
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        program_.setProcessEnvironment(env);
        program_.setProcessChannelMode(QProcess::MergedChannels);
        program_.setStandardOutputFile(QDir::home().filePath(QStringLiteral("sirano.log")));
        program_.start(QStringLiteral(SIRANO_EXE), {});
        return program_.waitForStarted(5000);
    }

    static void stop(QProcess& p) {
        if (p.state() == QProcess::NotRunning)
            return;
        p.terminate();
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished(3000);
        }
    }

    bool openSiteWindow() {
        item_->activate();
        return QTest::qWaitFor([&] { return windowShown(); }, 5000);
    }

private Q_SLOTS:
    void initTestCase() {
        if (::geteuid() == 0)
            QSKIP("sway refuses to run as root; run through as-unprivileged.sh");
        for (const char* tool : {"sway", "swaymsg", "waybar", "wtype", "grim", "dbus-daemon"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
        }
        QString why;
        QVERIFY2(bus_.start(&why), qPrintable(why));
        QVERIFY2(startDesktop(&why), qPrintable(why));
        QVERIFY2(harness_.start(&why), qPrintable(why));
        page_ = harness_.url(QStringLiteral("signin.html"));
        QVERIFY(launch());
    }
    void init() { harness_.resetTabs(); }
    void cleanupTestCase() {
        item_.reset();
        stop(program_);
        stop(waybar_);
        stop(sway_);
        QFile log(QDir::home().filePath(QStringLiteral("sirano.log")));
        if (log.open(QIODevice::ReadOnly) && log.size() > 0)
            qInfo().noquote() << "program output:\n" << log.readAll();
    }

    // waybar shows the icon: the program's item is registered with its watcher.
    void theIconIsInThePanel() {
        QStringList items;
        QVERIFY2(QTest::qWaitFor([&] { return !(items = registeredItems()).isEmpty(); }, 15000),
                 "no item registered with waybar");
        QVERIFY(program_.state() == QProcess::Running);
        // waybar names an item by its bus name and path.
        item_ = std::make_unique<ItemClient>(bus_.connection(), items.first().section(u'/', 0, 0));
        screenshot(QStringLiteral("panel"));
    }

    // A left click shows the site window floating, small and focused; Escape closes it.
    void leftClickShowsTheSiteWindow() {
        QVERIFY(item_);
        QVERIFY(openSiteWindow());
        const SwayWindow w = *siteWindow();
        QCOMPARE(w.type, QStringLiteral("floating_con"));
        QVERIFY2(w.rect.width() < 640 && w.rect.height() < 400,
                 qPrintable(QStringLiteral("%1x%2").arg(w.rect.width()).arg(w.rect.height())));
        QVERIFY(QTest::qWaitFor([&] { return siteWindow() && siteWindow()->focused; }, 5000));
        screenshot(QStringLiteral("site-window"));
        key("Escape");
        QVERIFY(QTest::qWaitFor([&] { return !windowShown(); }, 5000));
    }

    // Enter on the site opens it in the browser, where it is filled; the window closes.
    void aChoiceFills() {
        QVERIFY(item_);
        QVERIFY(harness_.findTab(page_).isEmpty());
        QVERIFY(openSiteWindow());
        QVERIFY(QTest::qWaitFor([&] { return siteWindow() && siteWindow()->focused; }, 5000));
        key("Return");
        QVERIFY(QTest::qWaitFor([&] { return !windowShown(); }, 5000));
        QString tab;
        QVERIFY(
            QTest::qWaitFor([&] { return !(tab = harness_.findTab(page_)).isEmpty(); }, kFillWait));
        QVERIFY(QTest::qWaitFor([&] { return valuesOf(tab) == kFilled; }, kFillWait));
    }

    // A log-out (from the menu waybar draws) closes an open site window.
    void aLogOutClosesIt() {
        QVERIFY(item_);
        QVERIFY(openSiteWindow());
        const std::optional<MenuNode> logout = item_->layout().find(QStringLiteral("ﾛｸﾞｱｳﾄ"));
        QVERIFY(logout);
        item_->click(logout->id);
        QVERIFY(QTest::qWaitFor([&] { return !windowShown(); }, 5000));
        const MenuNode root = item_->layout();
        QVERIFY(root.find(QStringLiteral("ﾛｸﾞｲﾝ")));
        // Logged out, a left click shows nothing.
        // Its answer comes after the click has been handled.
        item_->activate();
        QVERIFY(item_->layout().find(QStringLiteral("ﾛｸﾞｲﾝ")));
        QTest::qWait(500);
        QVERIFY(!windowShown());
        item_->click(root.find(QStringLiteral("ﾛｸﾞｲﾝ"))->id);
        QVERIFY(QTest::qWaitFor(
            [&] { return item_->layout().find(QStringLiteral("ﾛｸﾞｱｳﾄ")).has_value(); }, 5000));
        QVERIFY(openSiteWindow());
        key("Escape");
        QVERIFY(QTest::qWaitFor([&] { return !windowShown(); }, 5000));
    }
};

QTEST_GUILESS_MAIN(TestDesktopWayland)
#include "desktop_wayland.moc"
