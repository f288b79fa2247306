// The tray program as it is put together, on fakes of the browser, the error log, the clock and
// the message boxes: a site chosen from the real site menu, the ticks with the automatic log-out
// and the automatic fill, and nothing of it while logged out. The tests run each tick themselves
// (the timer is set to a day), so that "nothing happened" follows a tick that had its chance.
#include "browser/FakeBrowser.h"
#include "shell/TrayApp.h"
#include "store/DataFile.h"
#include "support/Files.h"
#include "support/Lent.h"
#include "support/RecordingMessageBox.h"
#include "support/StoreFiles.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <cstdio>

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
            std::chrono::milliseconds(50),
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
    QString dataFile() const { return folder.filePath(QStringLiteral("SIRANO.DAT")); }
    QStringList siteMenuTitles() {
        QStringList titles;
        QMenu* menu = menuNamed(QStringLiteral("siteMenu"));
        menu->popup(QPoint(0, 0));
        for (const QAction* a : menu->actions())
            titles << a->text();
        menu->hide();
        return titles;
    }
    void chooseSite(int index) {
        QMenu* menu = menuNamed(QStringLiteral("siteMenu"));
        QVERIFY(menu);
        menu->popup(QPoint(0, 0));  // the menu makes its items as it opens
        menu->actions().at(index)->trigger();
        menu->hide();
    }
};

enum class OutsideChange { RenamedOver, RewrittenInPlace };

// The data file with these sites (automatic log-in on), as another program writes it: a sync
// tool renames its copy over the file, cp and rsync --inplace rewrite the file itself.
void writeOutside(const QString& path, const QStringList& titles, OutsideChange how,
                  const QString& password = {}) {
    AppState other;
    other.settings.autoLoginAtStart = 1;
    other.settings.masterPassword = password;
    for (const QString& t : titles)
        other.siteTable.append(entry(t, QStringLiteral("https://%1.example/").arg(t), {},
                                     QList<SiteField>{field(0, 0, "text", "user", t)}));
    const QString copy = path + QStringLiteral(".partial");
    saveStore(other, copy);
    if (how == OutsideChange::RenamedOver) {
        QCOMPARE(::rename(QFile::encodeName(copy).constData(), QFile::encodeName(path).constData()),
                 0);
        return;
    }
    QFile from(copy);
    QFile to(path);
    QVERIFY(from.open(QIODevice::ReadOnly) && to.open(QIODevice::ReadWrite | QIODevice::Truncate));
    QVERIFY(to.write(from.readAll()) > 0);
    QFile::remove(copy);
}

QStringList titlesIn(const QString& path) {
    AppState s;
    loadStore(s, path);
    QStringList titles;
    for (int i = 0; i < s.siteTable.siteCount(); ++i)
        titles << s.siteTable.at(i).title;
    return titles;
}

}  // namespace

Q_DECLARE_METATYPE(OutsideChange)

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

    // Another program replaces the data file: once it has been quiet a moment, the site menu
    // shows the new contents, logged in or not, and nothing is said or written.
    void outsideChangeIsTaken_data() {
        QTest::addColumn<OutsideChange>("how");
        QTest::addColumn<bool>("loggedIn");
        QTest::newRow("renamed over") << OutsideChange::RenamedOver << true;
        QTest::newRow("rewritten in place") << OutsideChange::RewrittenInPlace << true;
        QTest::newRow("renamed over, logged out") << OutsideChange::RenamedOver << false;
    }
    void outsideChangeIsTaken() {
        QFETCH(OutsideChange, how);
        QFETCH(bool, loggedIn);
        Program p;
        QVERIFY(p.started());
        if (!loggedIn)
            command("logInOutAction")->trigger();
        writeOutside(p.dataFile(), {"Site", "Two", "Three"}, how);
        const QByteArray written = readAll(p.dataFile());
        QVERIFY(QTest::qWaitFor([&] { return p.state.siteTable.siteCount() == 3; }, 5000));
        QCOMPARE(p.siteMenuTitles(), (QStringList{"Site", "Two", "Three"}));
        QCOMPARE(p.state.loggedIn, loggedIn);
        QVERIFY(p.messages.asked.isEmpty());
        QCOMPARE(readAll(p.dataFile()), written);
        // Changed again: taken again (the watch follows a file replaced by a rename).
        writeOutside(p.dataFile(), {"Site", "Two"}, how);
        QVERIFY(QTest::qWaitFor([&] { return p.state.siteTable.siteCount() == 2; }, 5000));
    }

    // The program saves after another program changed the file, before or after it was read
    // again: the other program's sites stay, and the program's own change is in the file too.
    void saveKeepsTheOutsideChange_data() {
        QTest::addColumn<OutsideChange>("how");
        QTest::addColumn<bool>("readFirst");
        QTest::newRow("renamed over, capture at once") << OutsideChange::RenamedOver << false;
        QTest::newRow("in place, capture at once") << OutsideChange::RewrittenInPlace << false;
        QTest::newRow("renamed over, capture after the reload")
            << OutsideChange::RenamedOver << true;
    }
    void saveKeepsTheOutsideChange() {
        QFETCH(OutsideChange, how);
        QFETCH(bool, readFirst);
        Program p;
        QVERIFY(p.started());
        p.browser.addWindow(QStringLiteral("https://new.example/login"),
                            {{FakeElement::text("user", "bob")}}, QStringLiteral("Captured"));
        writeOutside(p.dataFile(), {"Site", "Two", "Three"}, how);
        if (readFirst)
            QVERIFY(QTest::qWaitFor([&] { return p.state.siteTable.siteCount() == 3; }, 5000));
        // No event runs between the change and the capture unless readFirst: the save itself
        // finds the file changed.
        command("captureAction")->trigger();
        QCOMPARE(titlesIn(p.dataFile()), (QStringList{"Site", "Two", "Three", "Captured"}));
        QCOMPARE(p.siteMenuTitles(), (QStringList{"Site", "Two", "Three", "Captured"}));
        QVERIFY(p.messages.asked.isEmpty());
    }

    // An edit in the site dialog acts on the entry the user chose, wherever it is now; when
    // another program deleted that entry, the edit is kept as a new entry and the user is told;
    // a reload while the dialog is open shows the current contents there.
    void siteDialogAndAnOutsideChange_data() {
        QTest::addColumn<QStringList>("outside");  // "Site" is the program's own entry
        QTest::addColumn<bool>("reloadFirst");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<int>("edited");  // the entry holding the edited address; -1: none
        QTest::addColumn<QString>("told");
        QTest::newRow("moved down by another's site")
            << QStringList{"First", "Site"} << false << QStringList{"First", "Site"} << 1
            << QString();
        QTest::newRow("deleted by another program")
            << QStringList{"Other"} << false << QStringList{"Other", "Site"} << 1
            << QStringLiteral("どちらの内容も失わない");
        QTest::newRow("reloaded while open") << QStringList{"Other", "Third"} << true
                                             << QStringList{"Other", "Third"} << -1 << QString();
    }
    void siteDialogAndAnOutsideChange() {
        QFETCH(QStringList, outside);
        QFETCH(bool, reloadFirst);
        QFETCH(QStringList, after);
        QFETCH(int, edited);
        QFETCH(QString, told);
        Program p;
        QVERIFY(p.started());
        QStringList shownAfterReload;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            AppState other;
            loadStore(other, p.dataFile());  // the program's own "Site", unchanged
            const SiteEntry site = other.siteTable.at(0);
            other.siteTable.setSiteCount(0);
            for (const QString& t : outside) {
                if (t == QLatin1String("Site"))
                    other.siteTable.append(site);
                else
                    other.siteTable.append(entry(t, QStringLiteral("https://%1.example/").arg(t),
                                                 {},
                                                 QList<SiteField>{field(0, 0, "text", "user", t)}));
            }
            saveStore(other, p.dataFile() + QStringLiteral(".partial"));
            QVERIFY(::rename(QFile::encodeName(p.dataFile() + QStringLiteral(".partial")),
                             QFile::encodeName(p.dataFile())) == 0);
            auto* siteBox = dialog->findChild<QComboBox*>(QStringLiteral("siteBox"));
            if (reloadFirst) {
                QVERIFY(QTest::qWaitFor([&] { return siteBox->count() == outside.size(); }, 5000));
                for (int i = 0; i < siteBox->count(); ++i)
                    shownAfterReload << siteBox->itemText(i);
                dialog->reject();
                return;
            }
            dialog->findChild<QLineEdit*>(QStringLiteral("addressBox"))
                ->setText(QStringLiteral("https://edited.example/"));
            dialog->findChild<QPushButton*>(QStringLiteral("storeButton"))->click();
        });
        command("siteSettingsAction")->trigger();
        QCOMPARE(titlesIn(p.dataFile()), after);
        if (reloadFirst)
            QCOMPARE(shownAfterReload, outside);
        AppState saved;
        loadStore(saved, p.dataFile());
        for (int i = 0; i < saved.siteTable.siteCount(); ++i)
            QCOMPARE(saved.siteTable.at(i).url == QLatin1String("https://edited.example/"),
                     i == edited);
        if (told.isEmpty()) {
            QVERIFY(p.messages.asked.isEmpty());
        } else {
            QCOMPARE(p.messages.asked.size(), 1);
            QVERIFY2(p.messages.asked.first().text.contains(told),
                     qPrintable(p.messages.asked.first().text));
        }
    }

    // The data file is read again while 削除 asks "delete this one?": the dialog then shows
    // another entry, and the answer deletes nothing the user was not asked about.
    void reloadDuringTheDeleteQuestion() {
        Program p;
        QVERIFY(p.started());
        p.messages.whileOpen = [&] {
            writeOutside(p.dataFile(), {"Other"}, OutsideChange::RenamedOver);
            QVERIFY(QTest::qWaitFor(
                [&] {
                    return p.state.siteTable.siteCount() == 1 &&
                           p.state.siteTable.at(0).title == "Other";
                },
                5000));
        };
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->findChild<QPushButton*>(QStringLiteral("deleteButton"))->click();
            if (dialog->isVisible())
                dialog->reject();
        });
        command("siteSettingsAction")->trigger();
        QCOMPARE(titlesIn(p.dataFile()), QStringList{"Other"});
        QCOMPARE(p.messages.asked.size(), 2);
        QVERIFY(p.messages.asked.last().text.contains(QStringLiteral("他のプログラム")));
    }

    // A file another program left so that it does not load is not taken and not overwritten:
    // said once; a save refuses; a good file later is taken.
    void damagedOutsideChange() {
        Program p;
        QVERIFY(p.started());
        // Half of a file, as a copy in place looks while it is being written.
        writeOutside(p.dataFile(), {"Site", "Two", "Three"}, OutsideChange::RenamedOver);
        const QByteArray half = readAll(p.dataFile()).chopped(readAll(p.dataFile()).size() / 2);
        QFile file(p.dataFile());
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
        file.write(half);
        file.close();
        QVERIFY(QTest::qWaitFor([&] { return p.messages.asked.size() == 1; }, 5000));
        QVERIFY2(p.messages.asked.first().text.contains(QStringLiteral("読み込めません")),
                 qPrintable(p.messages.asked.first().text));
        QCOMPARE(p.state.siteTable.siteCount(), 1);

        p.browser.addWindow(QStringLiteral("https://new.example/login"),
                            {{FakeElement::text("user", "bob")}}, QStringLiteral("Captured"));
        command("captureAction")->trigger();
        QCOMPARE(p.messages.asked.size(), 2);
        QCOMPARE(p.messages.asked.last().title, QStringLiteral("保存エラー"));
        QVERIFY2(p.messages.asked.last().text.contains(QStringLiteral("上書きしません")),
                 qPrintable(p.messages.asked.last().text));
        QCOMPARE(readAll(p.dataFile()), half);
        QCOMPARE(p.state.siteTable.siteCount(), 1);

        writeOutside(p.dataFile(), {"Site", "Two"}, OutsideChange::RewrittenInPlace);
        QVERIFY(QTest::qWaitFor([&] { return p.state.siteTable.siteCount() == 2; }, 5000));
        QCOMPARE(p.messages.asked.size(), 2);  // the damaged version was said once
    }

    // A data file another program removed is written again, whole, at the next change.
    void removedOutside() {
        Program p;
        QVERIFY(p.started());
        QVERIFY(QFile::remove(p.dataFile()));
        p.browser.addWindow(QStringLiteral("https://new.example/login"),
                            {{FakeElement::text("user", "bob")}}, QStringLiteral("Captured"));
        command("captureAction")->trigger();
        QCOMPARE(titlesIn(p.dataFile()), (QStringList{"Site", "Captured"}));
        QVERIFY(p.messages.asked.isEmpty());
    }

    // A master password set on another machine logs out; that password logs in.
    void passwordChangedOutsideLogsOut() {
        Program p;
        QVERIFY(p.started());
        writeOutside(p.dataFile(), {"Site"}, OutsideChange::RenamedOver, QStringLiteral("pw2"));
        QVERIFY(QTest::qWaitFor([&] { return !p.state.loggedIn; }, 5000));
        QCOMPARE(p.state.settings.masterPassword, QStringLiteral("pw2"));
        QVERIFY(!command("captureAction")->isEnabled());
    }

    // A conflict copy a sync tool leaves in the data folder is said once.
    void conflictCopyIsSaid() {
        Program p;
        QVERIFY(p.started());
        const QString copy =
            p.folder.filePath(QStringLiteral("SIRANO.sync-conflict-20261211-101500-ABCDEFG.DAT"));
        QVERIFY(QFile::copy(p.dataFile(), copy));
        QVERIFY(QTest::qWaitFor([&] { return p.messages.asked.size() == 1; }, 5000));
        QVERIFY(p.messages.asked.first().text.contains(QStringLiteral("sirano-cli merge")));
        QVERIFY(p.messages.asked.first().text.contains(copy));
        // Another change in the folder: not said again.
        writeOutside(p.dataFile(), {"Site", "Two"}, OutsideChange::RenamedOver);
        QVERIFY(QTest::qWaitFor([&] { return p.state.siteTable.siteCount() == 2; }, 5000));
        QCOMPARE(p.messages.asked.size(), 1);
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
