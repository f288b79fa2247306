// The tray program as it is put together, on fakes of the browser, the error log, the clock and
// the message boxes: a site chosen from the real site menu, the ticks with the automatic log-out
// and the automatic fill, and nothing of it while logged out. The tests run each tick themselves
// (the timer is set to a day), so that "nothing happened" follows a tick that had its chance.
#include "browser/FakeBrowser.h"
#include "shell/TrayApp.h"
#include "store/DataFile.h"
#include "support/Lent.h"
#include "support/RecordingMessageBox.h"
#include "support/StoreFiles.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace sirano;
using namespace sirano::test;

namespace {

const QString kUrl = QStringLiteral("https://site.example/login");
constexpr auto kNoTimer = std::chrono::hours(24);

QMenu* menuNamed(const QString& name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* menu = qobject_cast<QMenu*>(w); menu && menu->objectName() == name)
            return menu;
    }
    return nullptr;
}

QAction* command(const QString& name) {
    QMenu* menu = menuNamed(QStringLiteral("commandMenu"));
    return menu ? menu->findChild<QAction*>(name) : nullptr;
}

// A portable data folder (the data file beside the "executable") with one site, automatic
// log-in on, and the program started on it.
struct Program {
    QTemporaryDir folder;
    AppState state;
    RecordingMessageBox messages;
    FixedClock clock;
    FakeBrowser browser;
    RecordingErrorLog log;
    QString browserFolder;
    std::unique_ptr<TrayApp> app;

    explicit Program(int16_t autoLogoutMinutes = 0,
                     std::chrono::milliseconds tickInterval = kNoTimer) {
        AppState stored;
        stored.settings.autoLoginAtStart = 1;
        stored.settings.autoLogoutMinutes = autoLogoutMinutes;
        stored.siteTable.append(entry("Site", kUrl, {},
                                      QList<SiteField>{field(0, 0, "text", "user", "alice"),
                                                       field(0, 1, "password", "pw", "secret")}));
        saveStore(stored, folder.filePath(QStringLiteral("SIRANO.DAT")));

        TrayServices services{
            messages,
            clock,
            [this](const QString& dataFolder) {
                browserFolder = dataFolder;
                return std::make_unique<LentBrowser>(browser);
            },
            [this](const QString&) { return std::make_unique<LentLog>(log); },
            [] { return TrayHost::XEmbed; },
            {},
            tickInterval,
            {},
        };
        app = std::make_unique<TrayApp>(state, folder.path(), std::move(services));
        app->start();
    }

    bool started() {
        return QTest::qWaitFor([this] { return !browserFolder.isEmpty(); }, 5000);
    }
    // Runs n ticks; whether each reached the browser.
    bool ticks(int n) {
        const int target = browser.listings + n;
        for (int i = 0; i < n; ++i)
            app->tick();
        return browser.listings == target;
    }
    void chooseSite(int index) {
        QMenu* menu = menuNamed(QStringLiteral("siteMenu"));
        QVERIFY(menu);
        menu->popup(QPoint(0, 0));  // the menu makes its items as it opens
        menu->actions().at(index)->trigger();
        menu->hide();
    }
};

}  // namespace

class TestTrayApp : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startsOnItsDataFolder() {
        Program p;
        QVERIFY(p.started());
        QCOMPARE(p.browserFolder, p.folder.path());
        QVERIFY(p.state.loggedIn);
        QMenu* sites = menuNamed("siteMenu");
        sites->popup(QPoint(0, 0));
        QCOMPARE(sites->actions().at(0)->text(), "Site");
        sites->hide();
        QVERIFY(p.messages.asked.isEmpty());
    }

    // The site menu: a matching idle tab is written; without one, the address is opened in the
    // background, or in a new browser when there is no tab at all. The markers are the tick's.
    void siteMenu_data() {
        QTest::addColumn<QStringList>("tabs");
        QTest::addColumn<bool>("written");
        QTest::addColumn<QStringList>("openedInBackground");
        QTest::addColumn<QStringList>("openedInNewBrowser");
        QTest::newRow("matching idle tab") << QStringList{"https://other.example/", kUrl} << true
                                           << QStringList{} << QStringList{};
        QTest::newRow("no matching tab")
            << QStringList{"https://other.example/"} << false << QStringList{kUrl} << QStringList{};
        QTest::newRow("no tab") << QStringList{} << false << QStringList{} << QStringList{kUrl};
    }
    void siteMenu() {
        QFETCH(QStringList, tabs);
        QFETCH(bool, written);
        QFETCH(QStringList, openedInBackground);
        QFETCH(QStringList, openedInNewBrowser);
        Program p;
        QVERIFY(p.started());
        // No tick runs between here and the choice: the write is the site menu's.
        for (const QString& tab : tabs)
            p.browser.addWindow(tab, loginForms());
        p.chooseSite(0);
        if (written) {
            QCOMPARE(p.browser.window(1).element(0, 0).value, "alice");
            QCOMPARE(p.browser.window(1).element(0, 1).value, "secret");
            QVERIFY(p.state.siteTable.at(0).filledWindows.empty());
        }
        if (!tabs.isEmpty())
            QCOMPARE(p.browser.window(0).openedInBackground, openedInBackground);
        QCOMPARE(p.browser.openedInNewBrowser, openedInNewBrowser);
        QVERIFY(p.log.lines.isEmpty());
    }

    // The timer: each matching tab is filled once, the user's edits stay, a reload is filled
    // again, a tab that keeps loading holds up nothing.
    void timerFillsEachTabOnce() {
        Program p;
        QVERIFY(p.started());
        FakeWindow& tab = p.browser.addWindow(kUrl, loginForms());
        FakeWindow& loading = p.browser.addWindow(kUrl, loginForms());
        loading.reload(false);
        FakeWindow& second = p.browser.addWindow(kUrl + "?again", loginForms());
        QVERIFY(p.ticks(1));
        QCOMPARE(tab.element(0, 0).value, "alice");
        QCOMPARE(second.element(0, 0).value, "alice");
        tab.element(0, 0).value = "typed";
        QVERIFY(p.ticks(2));
        QCOMPARE(tab.element(0, 0).value, "typed");
        QCOMPARE(tab.roundTrips, 1);
        QCOMPARE(second.roundTrips, 1);
        QCOMPARE(loading.roundTrips, 0);

        tab.reload();
        QVERIFY(p.ticks(1));
        QCOMPARE(tab.element(0, 0).value, "alice");
        QCOMPARE(tab.roundTrips, 2);
        QVERIFY(p.log.lines.isEmpty());
    }

    // 記憶 whose save fails says so as every failed save does, and what was not saved is in no
    // menu; 記憶 that finds nothing new leaves the data file as it was.
    void captureThatCannotBeSaved() {
        Program p;
        QVERIFY(p.started());
        const QString dataFile = p.folder.filePath(QStringLiteral("SIRANO.DAT"));
        const QDateTime written = QFileInfo(dataFile).fileTime(QFileDevice::FileModificationTime);
        command("captureAction")->trigger();  // no tab at all
        QVERIFY(p.messages.asked.isEmpty());
        QCOMPARE(QFileInfo(dataFile).fileTime(QFileDevice::FileModificationTime), written);

        // A folder where the data file was: every save fails, even for root.
        QVERIFY(QFile::remove(dataFile));
        QVERIFY(QDir().mkdir(dataFile));
        p.browser.addWindow(QStringLiteral("https://other.example/login"),
                            {{FakeElement::text("user", "bob")}});
        command("captureAction")->trigger();
        QCOMPARE(p.messages.asked.size(), 1);
        QCOMPARE(p.messages.asked.first().title, QStringLiteral("保存エラー"));
        QVERIFY2(p.messages.asked.first().text.contains(dataFile),
                 qPrintable(p.messages.asked.first().text));
        // In Japanese, the file and the reason apart, as every other failed save says it.
        QVERIFY2(p.messages.asked.first().text.contains(QStringLiteral("理由: ")),
                 qPrintable(p.messages.asked.first().text));
        QCOMPARE(p.state.siteTable.siteCount(), 1);
        QMenu* sites = menuNamed("siteMenu");
        sites->popup(QPoint(0, 0));
        QCOMPARE(sites->actions().size(), 1);
        sites->hide();
    }

    // The timer runs the ticks: a matching tab is filled without anything else happening.
    void timerRunsTheTicks() {
        Program p(0, std::chrono::milliseconds(20));
        QVERIFY(p.started());
        FakeWindow& tab = p.browser.addWindow(kUrl, loginForms());
        QTRY_COMPARE_WITH_TIMEOUT(tab.element(0, 0).value, "alice", 10000);
        QTRY_VERIFY_WITH_TIMEOUT(p.browser.listings >= 3, 10000);
    }

    // The automatic log-out comes with the first tick past the set minutes, whatever the
    // browser does; from then on nothing is filled.
    void automaticLogout_data() {
        QTest::addColumn<int>("windowsFailure");
        QTest::newRow("browser answers") << 0;
        QTest::newRow("browser fails") << 462;
    }
    void automaticLogout() {
        QFETCH(int, windowsFailure);
        Program p(5);
        QVERIFY(p.started());
        p.browser.windowsFailure = windowsFailure;
        QVERIFY(p.ticks(2));
        QVERIFY(p.state.loggedIn);

        p.clock.at = p.clock.at.addSecs(6 * 60);
        p.app->tick();
        QVERIFY(!p.state.loggedIn);
        QCOMPARE(command("logInOutAction")->text(), "ﾛｸﾞｲﾝ");
        QVERIFY(!command("captureAction")->isEnabled());

        p.browser.windowsFailure = 0;
        FakeWindow& tab = p.browser.addWindow(kUrl, loginForms());
        const int listings = p.browser.listings;
        p.app->tick();
        p.app->tick();
        QCOMPARE(p.browser.listings, listings);
        QCOMPARE(tab.element(0, 0).value, "");
    }

    // On the tick where the log-out falls due, a tab that the same tick would fill stays empty:
    // the log-out comes first.
    void logoutTickFillsNothing() {
        Program p(5);
        QVERIFY(p.started());
        QVERIFY(p.ticks(1));
        FakeWindow& tab = p.browser.addWindow(kUrl, loginForms());
        p.clock.advance(6 * 60);
        p.app->tick();
        QVERIFY(!p.state.loggedIn);
        QCOMPARE(tab.element(0, 0).value, "");
        QCOMPARE(p.browser.pageRoundTrips(), 0);
    }

    // A click on the icon while a dialog is open (minimised, or behind the browser) brings the
    // dialog back instead of a menu that could not be used.
    void clickBringsTheOpenDialogBack_data() {
        QTest::addColumn<int>("click");
        QTest::newRow("left") << int(TrayClick::Left);
        QTest::newRow("right") << int(TrayClick::Right);
    }
    void clickBringsTheOpenDialogBack() {
        QFETCH(int, click);
        Program p;
        QVERIFY(p.started());
        auto* tray = p.app->findChild<QtTrayIcon*>();
        QVERIFY(tray);
        bool restored = false;
        bool menuShown = true;
        QTimer::singleShot(0, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            QVERIFY(dialog);
            dialog->showMinimized();
            QVERIFY(dialog->isMinimized());
            Q_EMIT tray->clicked(TrayClick(click));
            restored = !dialog->isMinimized() && dialog->isVisible();
            menuShown = menuNamed(QStringLiteral("siteMenu"))->isVisible() ||
                        menuNamed(QStringLiteral("commandMenu"))->isVisible();
            qobject_cast<QDialog*>(dialog)->reject();
        });
        command("siteSettingsAction")->trigger();
        QVERIFY(restored);
        QVERIFY(!menuShown);
    }

    // New log-out minutes count from the change: the success message stays until read, and the
    // log-out comes the new minutes later.
    void newMinutesCountFromTheChange() {
        Program p(5);
        QVERIFY(p.started());
        p.clock.advance(6 * 60);  // due at the next tick
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            auto* minutes = dialog->findChild<QLineEdit*>(QStringLiteral("minutesBox"));
            minutes->setText(QStringLiteral("3"));  // fewer than have passed
            dialog->findChild<QPushButton*>(QStringLiteral("changeButton"))->click();
        });
        command("passwordSettingsAction")->trigger();
        QCOMPARE(p.messages.asked.size(), 1);
        QCOMPARE(p.messages.asked.first().title, QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更"));
        p.app->tick();
        QVERIFY(p.state.loggedIn);
        p.clock.advance(3 * 60);
        p.app->tick();
        QVERIFY(p.state.loggedIn);  // three minutes, not yet the fourth boundary
        p.clock.advance(60);
        p.app->tick();
        QVERIFY(!p.state.loggedIn);
    }

    // The set minutes pass while the site settings dialog is open: the log-out closes it, so
    // that no stored value stays on the screen of a logged-out program.
    void automaticLogoutClosesTheDialogs() {
        Program p(5);
        QVERIFY(p.started());
        QString open;
        bool closedByLogout = true;
        QTimer::singleShot(300, [&] {
            if (QWidget* w = QApplication::activeModalWidget())
                open = w->objectName();
            p.clock.advance(6 * 60);
            p.app->tick();
        });
        QTimer::singleShot(10000, [&] {  // never left open, whatever happens
            if (QWidget* w = QApplication::activeModalWidget()) {
                closedByLogout = false;
                qobject_cast<QDialog*>(w)->reject();
            }
        });
        command("siteSettingsAction")->trigger();  // returns when the dialog has closed
        QCOMPARE(open, QStringLiteral("siteSettingsDialog"));
        QVERIFY(closedByLogout);
        QVERIFY(!p.state.loggedIn);
        QVERIFY(!QApplication::activeModalWidget());
    }

    // Logged out from the command menu: neither the timer nor a site item fills anything; after
    // "ﾛｸﾞｲﾝ" the timer fills again.
    void loggedOutFillsNothing() {
        Program p;
        QVERIFY(p.started());
        command("logInOutAction")->trigger();
        QVERIFY(!p.state.loggedIn);
        FakeWindow& tab = p.browser.addWindow(kUrl, loginForms());
        p.chooseSite(0);
        const int listings = p.browser.listings;
        p.app->tick();
        p.app->tick();
        QCOMPARE(p.browser.listings, listings);
        QCOMPARE(tab.element(0, 0).value, "");
        QCOMPARE(p.browser.pageRoundTrips(), 0);

        command("logInOutAction")->trigger();  // no master password: logged in at once
        QVERIFY(p.state.loggedIn);
        QVERIFY(p.ticks(1));
        QCOMPARE(tab.element(0, 0).value, "alice");
    }
};

QTEST_MAIN(TestTrayApp)
#include "tst_trayapp.moc"
