// The tray program itself on a real X desktop (Xvfb, the tray host trayer, clicks and keys by
// xdotool) with a real Chromium on the program's own profile and a loopback log-in page: the
// automatic fill, the user's edits, reloads, the site menu, loading tabs, two tabs of one site,
// the log-out from the menu and the automatic log-out. The pages are read through DevTools.
#include "X11Desktop.h"
#include "app/AppState.h"
#include "browser/ChromiumHarness.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "store/DataFile.h"
#include "support/Entries.h"
#include "support/Files.h"
#include "support/KeyringDesktop.h"
#include "support/StoreFiles.h"
#include "support/WindowCalls.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

using namespace sirano;
using namespace sirano::test;

namespace {

const QString kFilled = QStringLiteral("carol|pw 1|true");
const QString kEmpty = QStringLiteral("||false");
constexpr int kFillWait = 10000;  // ticks are a second apart; a loaded machine is slower
constexpr int kQuietMs = 3500;    // three ticks and a half: long enough to see a refill

}  // namespace

class TestDesktopFill : public QObject {
    Q_OBJECT

    Desktop desktop_;
    KeyringDesktop keyring_;
    bool keyringStarted_ = false;
    ChromiumHarness harness_;
    QTemporaryDir home_;
    QString dataFolder_;
    QProcess program_;
    QString page_;

    QString valuesOf(const QString& tab) { return harness_.firstFormValues(tab); }
    void type(const QString& tab, const QString& text) {
        harness_.evaluate(tab,
                          QStringLiteral("document.forms[0].elements[0].value = '%1'").arg(text));
    }
    bool becomes(const QString& tab, const QString& values, int timeoutMs = kFillWait) {
        return ChromiumHarness::waitFor([&] { return valuesOf(tab) == values; }, timeoutMs);
    }
    // Stays as it is for a few ticks.
    bool stays(const QString& tab, const QString& values) {
        QTest::qWait(kQuietMs);
        return valuesOf(tab) == values;
    }
    QString openLoaded(const QString& url) {
        const QString tab = harness_.openTab(url);
        if (!ChromiumHarness::waitFor([&] { return harness_.loaded(tab); }, kFillWait))
            return {};
        return tab;
    }

    // The program on a fresh data folder holding the log-in page as its one site; with a
    // password, the data file is encrypted with it.
    bool launch(int16_t autoLogoutMinutes, const QString& password = {}) {
        stop();
        AppState state;
        state.settings.masterPassword = password;
        state.settings.autoLoginAtStart = 1;
        state.settings.autoLogoutMinutes = autoLogoutMinutes;
        state.siteTable.append(
            entry(QStringLiteral("Sign in"), page_, {},
                  QList<SiteField>{field(0, 0, "text", "user", "carol"),
                                   field(0, 1, "password", "pass", "pw 1"),
                                   field(0, 2, "checkbox", "remember", "True")}));
        QDir().mkpath(dataFolder_ + QStringLiteral("/browser"));
        if (password.isEmpty()) {
            saveStore(state, dataFolder_ + QStringLiteral("/SIRANO.DAT"));
        } else {
            const DataFileKey key = DataFileKey::create(password, {1, kMinKdfMemKiB});
            saveDataFile(dataFolder_ + QStringLiteral("/SIRANO.DAT"), state.generator,
                         state.siteTable, state.settings, &key);
        }
        return startProgram();
    }
    // The program on the data folder as it is. Unless ownBrowser, the harness's Chromium
    // stands in for the one the program would start on its profile.
    bool startProgram(bool ownBrowser = false) {
        stop();
        const QString port = dataFolder_ + QStringLiteral("/browser/DevToolsActivePort");
        QFile::remove(port);
        if (!ownBrowser &&
            !QFile::copy(harness_.profileFolder() + QStringLiteral("/DevToolsActivePort"), port))
            return false;

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        if (keyringStarted_)
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), keyring_.address());
        env.insert(QStringLiteral("DISPLAY"), desktop_.display());
        env.insert(QStringLiteral("HOME"), home_.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home_.filePath(QStringLiteral("share")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home_.path());
        program_.setProcessEnvironment(env);
        program_.setProcessChannelMode(QProcess::MergedChannels);
        program_.setStandardOutputFile(home_.filePath(QStringLiteral("sirano.log")),
                                       QIODevice::Append);
        program_.start(QStringLiteral(SIRANO_EXE), {});
        return program_.waitForStarted(5000) &&
               ChromiumHarness::waitFor([] { return !Desktop::icon().isEmpty(); }, 15000);
    }
    void stop() {
        if (program_.state() == QProcess::NotRunning)
            return;
        program_.terminate();
        if (!program_.waitForFinished(5000)) {
            program_.kill();
            program_.waitForFinished(5000);
        }
        ChromiumHarness::waitFor([] { return Desktop::icon().isEmpty(); }, 5000);
    }
    void closeEveryTab() { harness_.resetTabs(); }

private Q_SLOTS:
    void initTestCase() {
        if (const QString missing = Desktop::missingTool(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        QString why;
        QVERIFY2(desktop_.start(&why), qPrintable(why));
        QVERIFY2(harness_.start(&why), qPrintable(why));
        page_ = harness_.url(QStringLiteral("signin.html"));
        dataFolder_ = home_.filePath(QStringLiteral("share/sirano"));
        QVERIFY2(launch(0), "the program did not show its icon");
    }
    void init() { closeEveryTab(); }
    void cleanupTestCase() {
        stop();
        QFile log(home_.filePath(QStringLiteral("sirano.log")));
        if (log.open(QIODevice::ReadOnly) && log.size() > 0)
            qInfo().noquote() << "program output:\n" << log.readAll();
    }

    // An open page is filled once; the user's edits stay over later ticks; a reload is filled
    // again.
    void automaticFill() {
        const QString tab = openLoaded(page_);
        QVERIFY(!tab.isEmpty());
        QVERIFY2(becomes(tab, kFilled), qPrintable(valuesOf(tab)));
        type(tab, QStringLiteral("typed"));
        QVERIFY(stays(tab, QStringLiteral("typed|pw 1|true")));
        harness_.navigate(tab, page_);
        QVERIFY2(becomes(tab, kFilled), qPrintable(valuesOf(tab)));
    }

    // The site menu writes into an idle tab that shows the site, over the user's edit.
    void siteMenuFillsAnIdleTab() {
        const QString tab = openLoaded(page_);
        QVERIFY(becomes(tab, kFilled));
        type(tab, QStringLiteral("typed"));
        QVERIFY(Desktop::chooseFromMenu(1, {QStringLiteral("Down"), QStringLiteral("Return")}));
        QVERIFY2(becomes(tab, kFilled, 5000), qPrintable(valuesOf(tab)));
    }

    // No tab shows the site: the site menu opens it in a new tab, which the tick then fills.
    void siteMenuOpensTheAddress() {
        QVERIFY(harness_.findTab(page_).isEmpty());
        QVERIFY(Desktop::chooseFromMenu(1, {QStringLiteral("Down"), QStringLiteral("Return")}));
        QString tab;
        QVERIFY(ChromiumHarness::waitFor([&] { return !(tab = harness_.findTab(page_)).isEmpty(); },
                                         kFillWait));
        QVERIFY2(becomes(tab, kFilled), qPrintable(valuesOf(tab)));
    }

    // A tab that never finishes loading neither holds up the fill of the others nor makes them
    // filled again.
    void aLoadingTabBlocksNothing() {
        harness_.openTab(harness_.url(QStringLiteral("stalled")));
        const QString tab = openLoaded(page_);
        QVERIFY(!tab.isEmpty());
        QVERIFY2(becomes(tab, kFilled), qPrintable(valuesOf(tab)));
        type(tab, QStringLiteral("typed"));
        QVERIFY(stays(tab, QStringLiteral("typed|pw 1|true")));
    }

    // Two tabs of one site are each filled once and then left alone.
    void twoTabsOfOneSite() {
        const QString a = openLoaded(page_);
        const QString b = openLoaded(page_);
        QVERIFY(becomes(a, kFilled));
        QVERIFY(becomes(b, kFilled));
        type(a, QStringLiteral("first"));
        type(b, QStringLiteral("second"));
        QVERIFY(stays(a, QStringLiteral("first|pw 1|true")));
        QCOMPARE(valuesOf(b), QStringLiteral("second|pw 1|true"));
    }

    // Logged out from the command menu, nothing is filled; after "ﾛｸﾞｲﾝ" it is.
    void nothingWhileLoggedOut() {
        // From the bottom: 終了, ﾊﾞｰｼﾞｮﾝ, ﾊﾟｽﾜｰﾄﾞ, ﾛｸﾞｱｳﾄ.
        QVERIFY(Desktop::chooseFromMenu(3, {"Up", "Up", "Up", "Up", "Return"}));
        const QString tab = openLoaded(page_);
        QVERIFY(stays(tab, kEmpty));
        QVERIFY(Desktop::clickIcon(1));
        QTest::qWait(500);
        QVERIFY2(!Desktop::menuOpen(), "the site menu opened while logged out");
        // ﾊﾟｽﾜｰﾄﾞ is disabled and skipped: the third step up is ﾛｸﾞｲﾝ, which needs no password.
        QVERIFY(Desktop::chooseFromMenu(3, {"Up", "Up", "Up", "Return"}));
        QVERIFY2(becomes(tab, kFilled), qPrintable(valuesOf(tab)));
    }

    // No browser runs: the site menu starts Chromium on the program's own profile, on this
    // desktop, and the page it opens there is filled.
    void siteMenuStartsTheBrowser() {
        QVERIFY(launch(0));
        QVERIFY(startProgram(true));
        const QString profile = dataFolder_ + QStringLiteral("/browser");
        const auto stopOwn = qScopeGuard([&] {
            stop();
            const QString lock = QFile::symLinkTarget(profile + QStringLiteral("/SingletonLock"));
            if (const qint64 pid = lock.section(u'-', -1).toLongLong(); pid > 0)
                ::kill(static_cast<pid_t>(pid), SIGKILL);
            ChromiumHarness::waitProfileReleased(profile, 10000);
        });
        QVERIFY(Desktop::chooseFromMenu(1, {QStringLiteral("Down"), QStringLiteral("Return")}));
        ChromiumBrowser::Options options;
        options.profileFolder = profile;
        ChromiumBrowser own(options);
        std::shared_ptr<BrowserWindow> page;
        QVERIFY2(ChromiumHarness::waitFor(
                     [&] {
                         for (const auto& w : own.windows()) {
                             if (w->locationUrl() == page_ && !w->busy())
                                 page = w;
                         }
                         return page != nullptr;
                     },
                     40000),
                 "the program's own browser did not show the page");
        QVERIFY(ChromiumHarness::waitFor(
            [&] {
                const PageSnapshot s = readNow(*page);
                return s.forms.value(0).elements.value(0).value == QLatin1String("carol");
            },
            kFillWait));
        QCOMPARE(own.windows().size(), 1);  // in place of the start page
    }

    // An encrypted data file: the program asks its password at start (the automatic log-in
    // inside the file needs the key in the keyring); typed into the prompt, it reads the file
    // and fills the page. Confirmed in ﾊﾟｽﾜｰﾄﾞ with a keyring on the session bus, the key is kept
    // there, and the next start logs in with it by itself and fills.
    void encryptedDataFile() {
        QString why;
        QVERIFY2(keyring_.startBus(&why) && keyring_.startKeyring(&why), qPrintable(why));
        keyringStarted_ = true;
        const QString password = QStringLiteral("desktop pw");
        QVERIFY(launch(0, password));
        QString tab = openLoaded(page_);
        const QString prompt = Desktop::waitForWindow(QStringLiteral("ﾊﾟｽﾜｰﾄﾞ確認"));
        QVERIFY(!prompt.isEmpty());
        QCOMPARE(valuesOf(tab), kEmpty);  // nothing is known before the file is read
        Desktop::typeInto(prompt, {password});
        QVERIFY2(becomes(tab, kFilled), qPrintable(valuesOf(tab)));
        QVERIFY(
            readAll(dataFolder_ + QStringLiteral("/SIRANO.DAT")).startsWith("#SIRANO-ENCRYPTED\n"));

        // From the bottom: 終了, ﾊﾞｰｼﾞｮﾝ, ﾊﾟｽﾜｰﾄﾞ. Its two ticks are set already (from the file).
        QVERIFY(Desktop::chooseFromMenu(3, {"Up", "Up", "Up", "Return"}));
        const QString dialog = Desktop::waitForWindow(QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更"));
        QVERIFY(!dialog.isEmpty());
        // Enter moves down the three boxes, then presses 変更.
        Desktop::typeInto(dialog, {password, password, password, QString()});
        const QString told = Desktop::waitForWindow(QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更"), dialog);
        QVERIFY2(!told.isEmpty(), "no message after the change");
        Desktop::typeInto(told, {QString()});
        QVERIFY(ChromiumHarness::waitFor(
            [&] { return Desktop::waitForWindow(QStringLiteral("ﾊﾟｽﾜｰﾄﾞ変更"), {}, 0).isEmpty(); },
            5000));

        harness_.resetTabs();
        QVERIFY(startProgram());
        tab = openLoaded(page_);
        QVERIFY2(becomes(tab, kFilled), qPrintable(valuesOf(tab)));
        QVERIFY(Desktop::waitForWindow(QStringLiteral("ﾊﾟｽﾜｰﾄﾞ確認"), {}, 0).isEmpty());
    }

    // With one minute set, the program logs out by itself between one and two minutes after the
    // log-in; from then on a reload is not filled.
    void automaticLogout() {
        QVERIFY(launch(1));
        QElapsedTimer sinceLogin;
        sinceLogin.start();
        const QString tab = openLoaded(page_);
        QVERIFY(becomes(tab, kFilled));
        bool loggedOut = false;
        while (!loggedOut && sinceLogin.elapsed() < 150'000) {
            harness_.navigate(tab, page_);
            QVERIFY(ChromiumHarness::waitFor([&] { return harness_.loaded(tab); }, kFillWait));
            loggedOut = !becomes(tab, kFilled, 4000);
        }
        QVERIFY2(loggedOut, "still logged in after 150 s");
        QVERIFY2(sinceLogin.elapsed() > 55'000, "logged out before a minute had passed");
        QVERIFY(Desktop::clickIcon(1));
        QTest::qWait(500);
        QVERIFY2(!Desktop::menuOpen(), "the site menu opens after the automatic log-out");
    }
};

QTEST_GUILESS_MAIN(TestDesktopFill)
#include "desktop_fill.moc"
