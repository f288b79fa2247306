// The capture, the fills and the tick through the companion extension in a real browser: the
// extension loaded as a user's browser loads it, sirano-host started by the browser, the tray's
// socket in a runtime folder of the test's own. Built once for Chromium and once for Firefox ESR.
#include "ExtensionSetup.h"
#include "browser/Automation.h"
#include "browser/ErrorLog.h"
#include "browser/extension/ExtensionBrowser.h"
#include "support/FixedClock.h"
#include "support/RecordingActions.h"
#include "support/WindowCalls.h"

#ifdef SIRANO_TEST_FIREFOX
#include "FirefoxHarness.h"
using Harness = sirano::test::FirefoxHarness;
#else
#include "ChromiumHarness.h"
using Harness = sirano::test::ChromiumHarness;
#endif

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace sirano;
using namespace sirano::test;

namespace {

[[maybe_unused]] bool startWithExtension(ChromiumHarness& h, QString* why) {
    if (!writeHostManifest(QDir(h.profileFolder()).filePath(QStringLiteral("NativeMessagingHosts")),
                           false)) {
        *why = QStringLiteral("cannot write the host manifest");
        return false;
    }
    // Web traffic goes to a dead proxy; loopback pages bypass it.
    h.addSwitches({QStringLiteral("--load-extension=" SIRANO_WEBEXT_DIR "/chromium"),
                   QStringLiteral("--proxy-server=http://127.0.0.1:9")});
    return h.start(why);
}

#ifdef SIRANO_TEST_FIREFOX
// The host manifest as a user gets it: written by sirano-cli extension setup into the home.
bool startWithExtension(FirefoxHarness& h, QString* why) {
    QProcess setup;
    setup.start(QStringLiteral(SIRANO_CLI_PATH),
                {QStringLiteral("extension"), QStringLiteral("setup")});
    if (!setup.waitForFinished(30000) || setup.exitCode() != 0) {
        *why = QStringLiteral("sirano-cli extension setup failed: ") +
               QString::fromUtf8(setup.readAllStandardError());
        return false;
    }
    return h.start(why) && h.installExtension(QStringLiteral(SIRANO_WEBEXT_DIR "/firefox"), why);
}
#endif

struct Program {
    explicit Program(std::shared_ptr<ExtensionLink> link) : browser(std::move(link)) {
        QFile log(QDir(data.path()).filePath(QStringLiteral("error.log")));
        log.open(QIODevice::WriteOnly);
        state.loggedIn = true;
        state.dataFolder = data.path();
    }

    SiteEntry& addEntry(const QString& url, const QList<SiteField>& fields) {
        SiteEntry e;
        e.title = url;
        e.url = url;
        for (int j = 0; j < fields.size(); ++j)
            e.setField(j, fields[j]);
        return state.siteTable.append(e);
    }

    QStringList logLines() const {
        QFile log(QDir(data.path()).filePath(QStringLiteral("error.log")));
        log.open(QIODevice::ReadOnly);
        return QString::fromLatin1(log.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    }

    // The window showing url, once the browser reports it loaded.
    std::shared_ptr<BrowserWindow> idleWindow(const QString& url) {
        std::shared_ptr<BrowserWindow> found;
        Harness::waitFor(
            [&] {
                for (const auto& w : browser.windows()) {
                    if (w->locationUrl() == url && !w->busy())
                        found = w;
                }
                return found != nullptr;
            },
            15000);
        return found;
    }

    ExtensionBrowser browser;
    QTemporaryDir data;
    AppState state;
    FixedClock clock;
    FileErrorLog log{data.path(), clock};
    RecordingActions actions{state};
    Automation automation{state, browser, log, actions};
};

QList<SiteField> listenerFields() {
    return {{0, 0, QStringLiteral("text"), QStringLiteral("user"), QStringLiteral("carol")},
            {0, 1, QStringLiteral("password"), QStringLiteral("pass"), QStringLiteral("pw 1")},
            {0, 2, QStringLiteral("checkbox"), QStringLiteral("remember"), QStringLiteral("True")}};
}

QString valueOf(Harness& harness, const QString& tab, const QString& name) {
    return harness
        .evaluate(tab, QStringLiteral("document.querySelector('[name=%1]').value").arg(name))
        .toString();
}

}  // namespace

class TestExtensionBrowser : public QObject {
    Q_OBJECT

private:
    RuntimeFolder runtime_;
    std::shared_ptr<ExtensionLink> link_;
    std::unique_ptr<Harness> harness_;

private Q_SLOTS:
    void initTestCase() {
        link_ = std::make_shared<ExtensionLink>(runtime_.socketPath());
        harness_ = std::make_unique<Harness>();
        QString why;
        if (!startWithExtension(*harness_, &why))
            QFAIL(qPrintable(why));
        QVERIFY2(Harness::waitFor([&] { return !link_->connections().isEmpty(); }, 30000),
                 "the extension did not connect through sirano-host");
    }

    void init() {
        QString why;
        QVERIFY2(harness_->prepareTest(&why), qPrintable(why));
        // The extension has reported the last test's tabs closed.
        QVERIFY(Harness::waitFor([&] { return link_->tabs().size() == 1; }));
    }

    void cleanupTestCase() {
        harness_.reset();
        link_.reset();
    }

    void capturesTwoLoginPagesInTwoTabs() {
        const QString url1 = harness_->url(QStringLiteral("login1.html"));
        const QString url2 = harness_->url(QStringLiteral("login2.html"));
        harness_->openTab(url1);
        harness_->openTab(url2);
        Program p(link_);
        QVERIFY(p.idleWindow(url1) && p.idleWindow(url2));

        p.automation.capture();
        QVERIFY2(p.logLines().isEmpty(), qPrintable(p.logLines().join(u'\n')));
        QCOMPARE(p.state.siteTable.siteCount(), 2);  // the blank tab is no web page
        QHash<QString, const SiteEntry*> byTitle;
        for (int i = 0; i < 2; ++i)
            byTitle.insert(p.state.siteTable.at(i).title, &p.state.siteTable.at(i));
        const SiteEntry* first = byTitle.value(QStringLiteral("Login One"));
        const SiteEntry* second = byTitle.value(QStringLiteral("Login Two"));
        QVERIFY(first && second);
        QCOMPARE(first->url, url1);
        QCOMPARE(first->fields(),
                 (std::vector<SiteField>{{0, 0, QStringLiteral("text"), QStringLiteral("user"),
                                          QStringLiteral("alice")},
                                         {0, 1, QStringLiteral("password"), QStringLiteral("pass"),
                                          QStringLiteral("s3cret")},
                                         {0, 2, QStringLiteral("checkbox"),
                                          QStringLiteral("remember"), QStringLiteral("True")}}));
        QCOMPARE(second->fields(),
                 (std::vector<SiteField>{{1, 0, QStringLiteral("email"), QStringLiteral("mail"),
                                          QStringLiteral("bob@example.org")},
                                         {1, 1, QStringLiteral("password"), QStringLiteral("pw"),
                                          QStringLiteral("hunter2")},
                                         {1, 2, QStringLiteral("checkbox"), QStringLiteral("stay"),
                                          QStringLiteral("False")}}));
    }

    void fillOnRequestOfAnIdleTabIsSeenByThePagesListeners() {
        const QString url = harness_->url(QStringLiteral("listeners.html"));
        const QString tab = harness_->openTab(url);
        Program p(link_);
        QVERIFY(p.idleWindow(url));
        p.addEntry(url, listenerFields());
        const qsizetype windowsBefore = p.browser.windows().size();

        p.automation.fillSite(0);
        QVERIFY2(p.logLines().isEmpty(), qPrintable(p.logLines().join(u'\n')));
        QCOMPARE(valueOf(*harness_, tab, QStringLiteral("model")),
                 QStringLiteral(R"({"user":"carol","pass":"pw 1","remember":true})"));
        QCOMPARE(p.browser.windows().size(), windowsBefore);  // filled: nothing opened
    }

    // A site no tab shows is opened by the site menu's fill; the tick fills it once, keeps the
    // user's edit, and fills a reload again.
    void openedSiteIsFilledOnceByTheTickAndAgainAfterAReload() {
        const QString url = harness_->url(QStringLiteral("listeners.html"));
        Program p(link_);
        p.addEntry(url, listenerFields());
        p.automation.fillSite(0);

        std::shared_ptr<BrowserWindow> opened;
        QVERIFY(Harness::waitFor(
            [&] {
                p.automation.tick();
                for (const auto& w : p.browser.windows()) {
                    if (w->locationUrl() == url &&
                        p.state.siteTable.at(0).filledWindows.contains(w->windowId()))
                        opened = w;
                }
                return opened != nullptr;
            },
            15000));
        QVERIFY2(p.logLines().isEmpty(), qPrintable(p.logLines().join(u'\n')));
        QCOMPARE(readNow(*opened).forms[0].elements[0].value, QStringLiteral("carol"));

        FieldEdit typed;
        typed.value = QStringLiteral("dave");
        QCOMPARE(writeNow(*opened, {typed}).applied, 1);
        for (int i = 0; i < 5; ++i) {
            p.automation.tick();
            QThread::msleep(50);
        }
        PageSnapshot page = readNow(*opened);
        QCOMPARE(page.forms[0].elements[0].value, QStringLiteral("dave"));
        QCOMPARE(page.forms[1].elements[0].value.count(QStringLiteral("change:user=carol")), 1);

        const QString tab = harness_->findTab(url);
        QVERIFY(!tab.isEmpty());
        const quint64 loadsBefore = opened->loadsStarted();
        harness_->navigate(tab, url);
        QVERIFY(Harness::waitFor(
            [&] {
                p.automation.tick();
                return opened->loadsStarted() != loadsBefore && !opened->busy() &&
                       valueOf(*harness_, tab, QStringLiteral("user")) == QLatin1String("carol");
            },
            15000));
        for (int i = 0; i < 3; ++i)
            p.automation.tick();
        page = readNow(*opened);
        QCOMPARE(page.forms[1].elements[0].value.count(QStringLiteral("change:user=carol")), 1);
        QVERIFY2(p.logLines().isEmpty(), qPrintable(p.logLines().join(u'\n')));
    }

    // A tab that never finishes loading is left alone, while the same ticks fill an idle tab of
    // the same site.
    void tabLoadingForeverIsSkipped() {
        const QString stalled = harness_->url(QStringLiteral("stalled"));
        harness_->openTab(stalled);
        Program p(link_);
        p.addEntry(stalled,
                   {{0, 0, QStringLiteral("text"), QStringLiteral("q"), QStringLiteral("filled")}});
        std::shared_ptr<BrowserWindow> busy;
        QVERIFY(Harness::waitFor([&] {
            for (const auto& w : p.browser.windows()) {
                if (w->locationUrl() == stalled && w->busy())
                    busy = w;
            }
            return busy != nullptr;
        }));
        const QString loginUrl = harness_->url(QStringLiteral("login1.html"));
        const QString loginTab = harness_->openTab(loginUrl);
        p.addEntry(loginUrl, {{0, 0, QStringLiteral("text"), QStringLiteral("user"),
                               QStringLiteral("filled")}});
        QVERIFY(Harness::waitFor([&] {
            p.automation.tick();
            return valueOf(*harness_, loginTab, QStringLiteral("user")) == QLatin1String("filled");
        }));
        p.automation.tick();
        QVERIFY(busy->busy());
        QVERIFY(p.state.siteTable.at(0).filledWindows.empty());
    }

    // The tab loads another page between the look and the write: the extension refuses the
    // write matched with the old address, and the new page gets nothing.
    void pageThatChangedAddressIsRefused() {
        const QString url = harness_->url(QStringLiteral("listeners.html?first"));
        const QString other = harness_->url(QStringLiteral("listeners.html?second"));
        const QString tab = harness_->openTab(url);
        Program p(link_);
        const std::shared_ptr<BrowserWindow> window = p.idleWindow(url);
        QVERIFY(window);
        const QString looked = window->locationUrl();

        harness_->navigate(tab, other);
        QVERIFY(p.idleWindow(other));
        FieldEdit edit;
        edit.value = QStringLiteral("intruder");
        try {
            window->startWrite({edit}, looked)->take();
            QFAIL("the write reached a page it was not matched with");
        } catch (const SiranoError& e) {
            QCOMPARE(e.number(), err::kObjectDisconnected);
        }
        QCOMPARE(valueOf(*harness_, tab, QStringLiteral("user")), QString());
        // Matched with the address shown now, the same window writes.
        QCOMPARE(writeNow(*window, {edit}).applied, 1);
        QCOMPARE(valueOf(*harness_, tab, QStringLiteral("user")), QStringLiteral("intruder"));
    }

    // The page's own world is hostile and posts messages shaped like the extension's commands:
    // the capture reads the real values, and nothing takes those messages as commands.
    void hostilePageIsReadAsItIsAndCannotCommand() {
        const QString url = harness_->url(QStringLiteral("hostile.html"));
        harness_->openTab(url);
        Program p(link_);
        const std::shared_ptr<BrowserWindow> window = p.idleWindow(url);
        QVERIFY(window);
        const PageSnapshot page = readNow(*window);
        QCOMPARE(page.forms.size(), 2);
        QCOMPARE(page.forms[0].elements[0].name, QStringLiteral("elements"));
        QCOMPARE(page.forms[0].elements[0].value, QStringLiteral("'); alert(1);//"));
        QCOMPARE(page.forms[1].elements[2].checked, true);
        QVERIFY(Harness::waitFor([&] {
            return !harness_->findTab(url).isEmpty() &&
                   harness_
                       ->evaluate(harness_->findTab(url), QStringLiteral("window.posted === true"))
                       .toBool();
        }));
        QThread::msleep(300);
        for (const auto& w : p.browser.windows())
            QVERIFY2(!w->locationUrl().contains(QLatin1String("taken")),
                     qPrintable(w->locationUrl()));
    }
};

QTEST_GUILESS_MAIN(TestExtensionBrowser)
#include "tst_extension_browser.moc"
