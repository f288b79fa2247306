// The tray program on X11 with a status notifier host (as KDE Plasma, XFCE and GNOME's
// AppIndicator extension offer it): Xvfb with no XEmbed tray, a private session bus, and this
// test as the watcher and host, started five seconds after the program as a panel often is at
// log-in. The test uses the item and its exported menu as a host does; a site item fills a real
// log-in page in a real Chromium. The program runs on a data file in a folder a sync tool would
// keep equal (sirano --data), which another program changes while it runs.
#include "TrayHostKit.h"
#include "app/AppState.h"
#include "browser/ChromiumHarness.h"
#include "store/DataFile.h"
#include "store/DataFolder.h"
#include "store/Error.h"
#include "support/Entries.h"
#include "support/StoreFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace sirano;
using namespace sirano::test;

namespace {

constexpr int kFillWait = 10000;

QString run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The program's visible windows on the X display, by their names.
QStringList windowNames() {
    QStringList names;
    const QStringList ids =
        run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                        QStringLiteral("--classname"), QStringLiteral("^sirano$")})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& id : ids)
        names << run(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), id});
    return names;
}

}  // namespace

class TestDesktopSni : public QObject {
    Q_OBJECT

    QProcess xvfb_;
    PrivateBus bus_;
    Watcher watcher_;
    ChromiumHarness harness_;
    QTemporaryDir home_;
    QString page_;
    QProcess program_;
    std::unique_ptr<ItemClient> item_;

    QString valuesOf(const QString& tab) { return harness_.firstFormValues(tab); }
    bool running() const { return program_.state() == QProcess::Running; }
    QString dataFile() const { return home_.filePath(QStringLiteral("Sync/SIRANO.DAT")); }

    bool startXvfb() {
        xvfb_.start(QStringLiteral("Xvfb"),
                    {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                     QStringLiteral("0"), QStringLiteral("1024x768x24"),
                     QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!xvfb_.waitForStarted(5000) ||
            !QTest::qWaitFor([&] { return xvfb_.canReadLine() || xvfb_.waitForReadyRead(100); },
                             10000))
            return false;
        qputenv("DISPLAY", ":" + xvfb_.readLine().trimmed());
        return true;
    }

    // The program on a data folder with two sites whose titles hold the marks hosts read.
    bool launch() {
        // The data file in a folder a sync tool would keep equal (sirano --data); the program's
        // own folder for it is this machine's, found as the program finds it.
        qputenv("XDG_DATA_HOME", QFile::encodeName(home_.filePath(QStringLiteral("share"))));
        const QString dataFolder =
            machineFolderFor(dataFile(), QFileInfo(QStringLiteral(SIRANO_EXE)).absolutePath());
        AppState state;
        state.settings.autoLoginAtStart = 1;
        const QList<SiteField> fields{field(0, 0, "text", "user", "carol"),
                                      field(0, 1, "password", "pass", "pw 1"),
                                      field(0, 2, "checkbox", "remember", "True")};
        state.siteTable.append(entry(QStringLiteral("a_b"), page_, {}, fields));
        state.siteTable.append(
            entry(QStringLiteral("C & D"), page_ + QStringLiteral("?cd"), {}, fields));
        QDir().mkpath(dataFolder + QStringLiteral("/browser"));
        QDir().mkpath(QFileInfo(dataFile()).absolutePath());
        saveStore(state, dataFile());
        // The harness's Chromium stands in for the one the program would start on its profile.
        if (!QFile::copy(harness_.profileFolder() + QStringLiteral("/DevToolsActivePort"),
                         dataFolder + QStringLiteral("/browser/DevToolsActivePort")))
            return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("DISPLAY"), qEnvironmentVariable("DISPLAY"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus_.address());
        env.insert(QStringLiteral("HOME"), home_.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home_.filePath(QStringLiteral("share")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home_.path());
        program_.setProcessEnvironment(env);
        program_.setProcessChannelMode(QProcess::MergedChannels);
        program_.setStandardOutputFile(home_.filePath(QStringLiteral("sirano.log")));
        program_.start(QStringLiteral(SIRANO_EXE), {QStringLiteral("--data"), dataFile()});
        return program_.waitForStarted(5000);
    }

    std::optional<MenuNode> node(const MenuNode& root, const QString& label) {
        std::optional<MenuNode> found = root.find(label);
        if (!found)
            qWarning() << "no" << label << "in" << root.labels();
        return found;
    }

private Q_SLOTS:
    void initTestCase() {
        for (const char* tool : {"Xvfb", "xdotool", "dbus-daemon"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
        }
        QVERIFY2(startXvfb(), "Xvfb did not start");
        QString why;
        QVERIFY2(bus_.start(&why), qPrintable(why));
        QVERIFY2(harness_.start(&why), qPrintable(why));
        page_ = harness_.url(QStringLiteral("signin.html"));
        QVERIFY(launch());
    }
    void cleanupTestCase() {
        if (program_.state() != QProcess::NotRunning) {
            program_.terminate();
            if (!program_.waitForFinished(5000))
                program_.kill();
            program_.waitForFinished(3000);
        }
        if (xvfb_.state() != QProcess::NotRunning) {
            xvfb_.kill();
            xvfb_.waitForFinished(3000);
        }
        QFile log(home_.filePath(QStringLiteral("sirano.log")));
        if (log.open(QIODevice::ReadOnly) && log.size() > 0)
            qInfo().noquote() << "program output:\n" << log.readAll();
    }

    // The panel comes five seconds after the program, which waits for it and registers there.
    void aPanelThatStartsLateIsUsed() {
        QTest::qWait(5000);
        QVERIFY2(running(), "the program ended without a panel");
        QVERIFY(watcher_.items().isEmpty());
        QVERIFY(watcher_.start(bus_.connection()));
        QVERIFY2(QTest::qWaitFor([&] { return !watcher_.items().isEmpty(); }, 15000),
                 "the program's item did not register");
        QVERIFY(running());
        item_ = std::make_unique<ItemClient>(bus_.connection(), watcher_.items().first());
    }

    // The host shows the command menu with the sites on top, labels as they are stored.
    void exportedMenu() {
        QVERIFY(item_);
        MenuNode root;
        QVERIFY(
            QTest::qWaitFor([&] { return !(root = item_->layout()).children.isEmpty(); }, 5000));
        QCOMPARE(root.labels(), (QStringList{"ｻｲﾄ", "-", "記憶", "設定", "-", "ﾛｸﾞｱｳﾄ", "ﾊﾟｽﾜｰﾄﾞ",
                                             "-", "ﾊﾞｰｼﾞｮﾝ", "終了"}));
        const MenuNode& sites = root.children.first();
        QCOMPARE(sites.properties.value(QStringLiteral("children-display")).toString(),
                 QStringLiteral("submenu"));
        QVERIFY(sites.enabled());
        // "__" is one "_" to a host; Qt sends the first "&" of "&&" as "_", a mark on "&".
        QCOMPARE(sites.labels(), (QStringList{"a__b", "C _& D"}));
    }

    // A command chosen in the host's menu runs: ﾊﾞｰｼﾞｮﾝ shows its box.
    void commandFromTheHostsMenu() {
        QVERIFY(item_);
        const std::optional<MenuNode> version = node(item_->layout(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ"));
        QVERIFY(version);
        item_->click(version->id);
        QVERIFY2(QTest::qWaitFor(
                     [] { return windowNames().contains(QStringLiteral("Information")); }, 5000),
                 qPrintable(windowNames().join(u',')));
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Return")});
        QVERIFY(QTest::qWaitFor(
            [] { return !windowNames().contains(QStringLiteral("Information")); }, 5000));
    }

    // A site item of the host's menu opens the site in the browser, where it is filled.
    void siteFromTheHostsMenu() {
        QVERIFY(item_);
        QVERIFY(harness_.findTab(page_).isEmpty());
        const std::optional<MenuNode> site = node(item_->layout(), QStringLiteral("a__b"));
        QVERIFY(site);
        item_->click(site->id);
        QString tab;
        QVERIFY(
            QTest::qWaitFor([&] { return !(tab = harness_.findTab(page_)).isEmpty(); }, kFillWait));
        QVERIFY(QTest::qWaitFor([&] { return valuesOf(tab) == "carol|pw 1|true"; }, kFillWait));
    }

    // Activate (a left click on the icon) opens the site menu at the pointer.
    void activateOpensTheSiteMenu() {
        QVERIFY(item_);
        item_->activate();
        QVERIFY(
            QTest::qWaitFor([] { return windowNames().contains(QStringLiteral("sirano")); }, 5000));
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")});
        QVERIFY(QTest::qWaitFor([] { return windowNames().isEmpty(); }, 5000));
    }

    // Another program (a sync tool) replaces the data file: the new site is in the menu within
    // seconds, and the next save from the tray (記憶) keeps it.
    void anOutsideChangeIsShownAndKept() {
        QVERIFY(item_);
        const QString dataFile = this->dataFile();
        TestStore other;
        loadStore(other, dataFile);
        const int before = other.siteTable.siteCount();
        other.siteTable.append(entry(QStringLiteral("From the laptop"),
                                     QStringLiteral("https://laptop.example/"), {},
                                     QList<SiteField>{field(0, 0, "text", "user", "dave")}));
        saveStore(other, dataFile + QStringLiteral(".sync-tmp"));
        QVERIFY(QFile::remove(dataFile));
        QVERIFY(QFile::rename(dataFile + QStringLiteral(".sync-tmp"), dataFile));
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         const std::optional<MenuNode> sites = item_->layout().find("ｻｲﾄ");
                         return sites &&
                                sites->labels().contains(QStringLiteral("From the laptop"));
                     },
                     10000),
                 "the outside change is not in the menu");

        // 記憶 takes the page the site item filled before.
        const std::optional<MenuNode> capture = item_->layout().find(QStringLiteral("記憶"));
        QVERIFY(capture);
        item_->click(capture->id);
        TestStore saved;
        QVERIFY(QTest::qWaitFor(
            [&] {
                TestStore now;
                try {
                    loadStore(now, dataFile);
                } catch (const SiranoError&) {
                    return false;
                }
                saved = std::move(now);
                return saved.siteTable.siteCount() > before + 1;
            },
            10000));
        QCOMPARE(saved.siteTable.at(before).title, QStringLiteral("From the laptop"));
        // The lock and the browser profile are this machine's, not in the synced folder.
        QCOMPARE(QDir(QFileInfo(dataFile).absolutePath())
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"SIRANO.DAT"});
    }

    // A log-out from the host's menu switches the icon and disables the sites; a log-in back.
    void logOutAndInFromTheHostsMenu() {
        QVERIFY(item_);
        const int icons = item_->newIcons();
        const std::optional<MenuNode> logout = node(item_->layout(), QStringLiteral("ﾛｸﾞｱｳﾄ"));
        QVERIFY(logout);
        item_->click(logout->id);
        QVERIFY(QTest::qWaitFor([&] { return item_->newIcons() > icons; }, 5000));
        MenuNode root = item_->layout();
        QVERIFY(root.find(QStringLiteral("ﾛｸﾞｲﾝ")));
        QVERIFY(!root.children.first().enabled());
        QVERIFY(!node(root, QStringLiteral("記憶"))->enabled());

        item_->click(node(root, QStringLiteral("ﾛｸﾞｲﾝ"))->id);
        QVERIFY(QTest::qWaitFor([&] { return item_->newIcons() > icons + 1; }, 5000));
        root = item_->layout();
        QVERIFY(root.children.first().enabled());
        QVERIFY(root.find(QStringLiteral("ﾛｸﾞｱｳﾄ")));
        QVERIFY(running());
    }
};

QTEST_GUILESS_MAIN(TestDesktopSni)
#include "desktop_sni.moc"
