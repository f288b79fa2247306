// A user with Firefox ESR alone (no Chromium runs anywhere): the tray program on a real X desktop
// (Xvfb, trayer, xdotool), Firefox on the same display with the companion extension, the host
// manifest written by sirano-cli extension setup. The user logs in to a page, chooses 記憶, and
// later gets the page filled automatically and from the site menu. The extension is installed
// over WebDriver BiDi for the browser's life; the session that installed it is ended, and pages
// are then opened and read through a session of the test's own.
#include "X11Desktop.h"
#include "app/AppState.h"
#include "browser/FirefoxHarness.h"
#include "support/StoreFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace sirano;
using namespace sirano::test;

namespace {

const QString kFilled = QStringLiteral("carol|pw 1|true");
constexpr int kFillWait = 15000;

// Whether a sirano-host runs: it lives only while it relays a browser to the tray program.
bool hostRelays() {
    const QString host = QFileInfo(QStringLiteral(SIRANO_HOST_BINARY)).canonicalFilePath();
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)) == host)
            return true;
    }
    return false;
}

}  // namespace

class TestDesktopFirefox : public QObject {
    Q_OBJECT

    Desktop desktop_;
    std::unique_ptr<FirefoxHarness> firefox_;
    QTemporaryDir home_;
    QString dataFile_;
    QProcess program_;
    QString page_;

    QString valuesOf(const QString& tab) {
        return firefox_
            ->evaluate(tab, QStringLiteral("[...document.forms[0].elements].slice(0, 3).map(e => "
                                           "e.type == 'checkbox' ? e.checked : e.value).join('|')"))
            .toString();
    }
    bool becomes(const QString& tab, const QString& values, int timeoutMs = kFillWait) {
        return FirefoxHarness::waitFor([&] { return valuesOf(tab) == values; }, timeoutMs);
    }
    QString openLoaded(const QString& url) {
        const QString tab = firefox_->openTab(url);
        return FirefoxHarness::waitFor([&] { return firefox_->loaded(tab); }, kFillWait)
                   ? tab
                   : QString();
    }
    void closeEveryTab() {
        QString why;
        QVERIFY2(firefox_->prepareTest(&why), qPrintable(why));
    }

    bool startProgram() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.insert(QStringLiteral("DISPLAY"), desktop_.display());
        env.insert(QStringLiteral("HOME"), home_.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home_.filePath(QStringLiteral("share")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home_.path());
        program_.setProcessEnvironment(env);
        program_.setProcessChannelMode(QProcess::MergedChannels);
        program_.setStandardOutputFile(home_.filePath(QStringLiteral("sirano.log")));
        program_.start(QStringLiteral(SIRANO_EXE), {});
        return program_.waitForStarted(5000) &&
               FirefoxHarness::waitFor([] { return !Desktop::icon().isEmpty(); }, 15000);
    }

private Q_SLOTS:
    void initTestCase() {
        if (const QString missing = Desktop::missingTool(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        QString why;
        QVERIFY2(desktop_.start(&why), qPrintable(why));
        // The program, the browser and the host it starts meet in this runtime folder.
        qputenv("HOME", home_.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", home_.path().toUtf8());
        dataFile_ = home_.filePath(QStringLiteral("share/sirano/SIRANO.DAT"));

        // A new user: no data file yet.
        QVERIFY2(startProgram(), "the program did not show its icon");
        QProcess setup;
        setup.start(QStringLiteral(SIRANO_CLI_PATH),
                    {QStringLiteral("extension"), QStringLiteral("setup")});
        QVERIFY(setup.waitForFinished(30000) && setup.exitCode() == 0);

        firefox_ = std::make_unique<FirefoxHarness>(false);
        QVERIFY2(firefox_->start(&why), qPrintable(why));
        page_ = firefox_->url(QStringLiteral("signin.html"));
        QVERIFY2(firefox_->installExtension(QStringLiteral(SIRANO_WEBEXT_DIR "/firefox"), &why),
                 qPrintable(why));
        firefox_->endSession();
        QVERIFY2(FirefoxHarness::waitFor(&hostRelays, 30000),
                 "the extension did not reach the tray program through sirano-host");
        QVERIFY2(firefox_->newSession(&why), qPrintable(why));
    }

    void cleanupTestCase() {
        firefox_.reset();
        program_.terminate();
        if (!program_.waitForFinished(5000))
            program_.kill();
        program_.waitForFinished(5000);
        QFile log(home_.filePath(QStringLiteral("sirano.log")));
        if (log.open(QIODevice::ReadOnly) && log.size() > 0)
            qInfo().noquote() << "program output:\n" << log.readAll();
    }

    // The user logs in to the page and chooses 記憶: the data file holds the site.
    void captureFromFirefox() {
        closeEveryTab();
        const QString tab = openLoaded(page_);
        QVERIFY(!tab.isEmpty());
        firefox_->evaluate(tab, QStringLiteral("document.forms[0].elements[0].value = 'carol';"
                                               "document.forms[0].elements[1].value = 'pw 1';"
                                               "document.forms[0].elements[2].checked = true"));
        QVERIFY(!QFile::exists(dataFile_));
        // 記憶 is the command menu's first item.
        QVERIFY(Desktop::chooseFromMenu(3, {QStringLiteral("Down"), QStringLiteral("Return")}));
        AppState state;
        QVERIFY2(FirefoxHarness::waitFor(
                     [&] {
                         if (!QFile::exists(dataFile_))
                             return false;
                         loadStore(state, dataFile_);
                         return state.siteTable.siteCount() == 1;
                     },
                     kFillWait),
                 "記憶 stored no site");
        const SiteEntry& site = state.siteTable.at(0);
        QCOMPARE(site.title, QStringLiteral("Sign in"));
        QCOMPARE(site.url, page_);
        QCOMPARE(site.fields().size(), size_t(3));
        QCOMPARE(site.fields()[1].fieldValue, QStringLiteral("pw 1"));
        QCOMPARE(site.fields()[2].fieldValue, QStringLiteral("True"));
    }

    // Later visits: filled once by the tick, the user's edit kept, a reload filled again.
    void automaticFillInFirefox() {
        closeEveryTab();
        const QString tab = openLoaded(page_);
        QVERIFY2(becomes(tab, kFilled), qPrintable(valuesOf(tab)));
        firefox_->evaluate(tab, QStringLiteral("document.forms[0].elements[0].value = 'typed'"));
        QTest::qWait(3500);
        QCOMPARE(valuesOf(tab), QStringLiteral("typed|pw 1|true"));
        firefox_->navigate(tab, page_);
        QVERIFY2(becomes(tab, kFilled), qPrintable(valuesOf(tab)));
    }

    // No tab shows the site: the site menu opens it in Firefox, where it is filled.
    void siteMenuOpensAndFillsInFirefox() {
        closeEveryTab();
        QVERIFY(firefox_->findTab(page_).isEmpty());
        QVERIFY(Desktop::chooseFromMenu(1, {QStringLiteral("Down"), QStringLiteral("Return")}));
        QString tab;
        QVERIFY(FirefoxHarness::waitFor([&] { return !(tab = firefox_->findTab(page_)).isEmpty(); },
                                        kFillWait));
        QVERIFY2(becomes(tab, kFilled), qPrintable(valuesOf(tab)));

        // An idle tab that shows the site is filled over the user's edit.
        firefox_->evaluate(tab, QStringLiteral("document.forms[0].elements[0].value = 'typed'"));
        QVERIFY(Desktop::chooseFromMenu(1, {QStringLiteral("Down"), QStringLiteral("Return")}));
        QVERIFY2(becomes(tab, kFilled, 5000), qPrintable(valuesOf(tab)));
    }
};

QTEST_GUILESS_MAIN(TestDesktopFirefox)
#include "desktop_firefox.moc"
