// The capture, the fill on request and the one-second tick end to end, on a real headless
// Chromium: what the page's own scripts see, and what error.log says when the browser goes away.
#include "ChromiumHarness.h"
#include "FakeBrowser.h"
#include "browser/Automation.h"
#include "browser/ErrorLog.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "support/WindowCalls.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

using namespace sirano;
using namespace sirano::test;
using namespace std::chrono_literals;

namespace {

// Everything the tray program gives the browser work, with a real browser and a real error.log.
struct Program {
    explicit Program(const QString& profile) : browser(browserOn(profile)) {
        QFile log(QDir(data.path()).filePath(QStringLiteral("error.log")));
        log.open(QIODevice::WriteOnly);
        state.loggedIn = true;
        state.dataFolder = data.path();
    }

    static std::unique_ptr<ChromiumBrowser> browserOn(const QString& profile) {
        ChromiumBrowser::Options options;
        options.profileFolder = profile;
        options.callTimeout = 8000ms;  // long: a failure that comes quickly did not time out
        return std::make_unique<ChromiumBrowser>(options);
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

    std::unique_ptr<ChromiumBrowser> browser;
    QTemporaryDir data;
    AppState state;
    FixedClock clock;
    FileErrorLog log{data.path(), clock};
    RecordingActions actions{state};
    Automation automation{state, *browser, log, actions};
};

QString valueOf(ChromiumHarness& harness, const QString& tab, const QString& name) {
    return harness
        .evaluate(tab, QStringLiteral("document.querySelector('[name=%1]').value").arg(name))
        .toString();
}

QList<SiteField> listenerFields() {
    return {{0, 0, QStringLiteral("text"), QStringLiteral("user"), QStringLiteral("carol")},
            {0, 1, QStringLiteral("password"), QStringLiteral("pass"), QStringLiteral("pw 1")},
            {0, 2, QStringLiteral("checkbox"), QStringLiteral("remember"), QStringLiteral("True")}};
}

}  // namespace

class TestChromiumAutomation : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ChromiumHarness> harness_;

private Q_SLOTS:
    void initTestCase() {
        harness_ = std::make_unique<ChromiumHarness>();
        QString why;
        if (!harness_->start(&why))
            QFAIL(qPrintable(why));
    }

    void init() {
        QString why;
        QVERIFY2(harness_->prepareTest(&why), qPrintable(why));
    }

    void cleanupTestCase() { harness_.reset(); }

    void capturesTwoLoginPagesInTwoTabs() {
        const QString one = harness_->openTab(harness_->url(QStringLiteral("login1.html")));
        const QString two = harness_->openTab(harness_->url(QStringLiteral("login2.html")));
        QVERIFY(ChromiumHarness::waitFor(
            [&] { return harness_->loaded(one) && harness_->loaded(two); }));
        Program p(harness_->profileFolder());
        p.automation.capture();

        QVERIFY2(p.logLines().isEmpty(), qPrintable(p.logLines().join(u'\n')));
        QCOMPARE(p.actions.calls, (QStringList{QStringLiteral("save"), QStringLiteral("menu")}));
        QCOMPARE(p.state.siteTable.siteCount(), 2);  // the blank tab is no web page
        QHash<QString, const SiteEntry*> byTitle;
        for (int i = 0; i < 2; ++i)
            byTitle.insert(p.state.siteTable.at(i).title, &p.state.siteTable.at(i));
        QVERIFY(byTitle.contains(QStringLiteral("Login One")) &&
                byTitle.contains(QStringLiteral("Login Two")));

        const SiteEntry& first = *byTitle.value(QStringLiteral("Login One"));
        QCOMPARE(first.url, harness_->url(QStringLiteral("login1.html")));
        QCOMPARE(first.fields(),
                 (std::vector<SiteField>{{0, 0, QStringLiteral("text"), QStringLiteral("user"),
                                          QStringLiteral("alice")},
                                         {0, 1, QStringLiteral("password"), QStringLiteral("pass"),
                                          QStringLiteral("s3cret")},
                                         {0, 2, QStringLiteral("checkbox"),
                                          QStringLiteral("remember"), QStringLiteral("True")}}));
        const SiteEntry& second = *byTitle.value(QStringLiteral("Login Two"));
        QCOMPARE(second.fields(),
                 (std::vector<SiteField>{{1, 0, QStringLiteral("email"), QStringLiteral("mail"),
                                          QStringLiteral("bob@example.org")},
                                         {1, 1, QStringLiteral("password"), QStringLiteral("pw"),
                                          QStringLiteral("hunter2")},
                                         {1, 2, QStringLiteral("checkbox"), QStringLiteral("stay"),
                                          QStringLiteral("False")}}));
    }

    void fillOnRequestIsSeenByThePagesListeners() {
        const QString url = harness_->url(QStringLiteral("listeners.html"));
        const QString tab = harness_->openTab(url);
        QVERIFY(ChromiumHarness::waitFor([&] { return harness_->loaded(tab); }));
        Program p(harness_->profileFolder());
        p.addEntry(url, listenerFields());
        const int windowsBefore = p.browser->windows().size();

        p.automation.fillSite(0);
        QVERIFY(p.logLines().isEmpty());
        QCOMPARE(valueOf(*harness_, tab, QStringLiteral("model")),
                 QStringLiteral(R"({"user":"carol","pass":"pw 1","remember":true})"));
        QCOMPARE(p.browser->windows().size(), windowsBefore);  // filled: nothing opened
        QVERIFY(p.state.siteTable.at(0).filledWindows.empty());
    }

    void openedSiteIsFilledOnceByTheTickAndAgainAfterAReload() {
        const QString url = harness_->url(QStringLiteral("listeners.html"));
        Program p(harness_->profileFolder());
        p.addEntry(url, listenerFields());
        p.automation.fillSite(0);  // no window shows it: opened in the background

        std::shared_ptr<BrowserWindow> opened;
        QVERIFY(ChromiumHarness::waitFor([&] {
            p.automation.tick();
            for (const auto& w : p.browser->windows()) {
                if (w->locationUrl() == url &&
                    p.state.siteTable.at(0).filledWindows.contains(w->windowId()))
                    opened = w;
            }
            return opened != nullptr;
        }));
        QVERIFY(p.logLines().isEmpty());
        QCOMPARE(readNow(*opened).forms[0].elements[0].value, QStringLiteral("carol"));

        // The user's own edit survives the ticks that follow.
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

        // A reload: filled again, once.
        const QString tab = harness_->findTab(url);
        QVERIFY(!tab.isEmpty());
        harness_->navigate(tab, url);
        QVERIFY(ChromiumHarness::waitFor([&] {
            p.automation.tick();
            return !opened->busy() &&
                   valueOf(*harness_, tab, QStringLiteral("user")) == QLatin1String("carol");
        }));
        for (int i = 0; i < 3; ++i)
            p.automation.tick();
        page = readNow(*opened);
        QCOMPARE(page.forms[1].elements[0].value.count(QStringLiteral("change:user=carol")), 1);
        QVERIFY(p.logLines().isEmpty());
    }

    // A hand-shortened address opens as the http page it stands for, not as an empty tab.
    void shortenedAddressOpensItsPage() {
        const QString full = harness_->url(QStringLiteral("listeners.html"));
        const QString shortened = full.mid(QStringLiteral("http://").size());
        Program p(harness_->profileFolder());
        p.addEntry(shortened, listenerFields());
        QVERIFY(!p.browser->windows().isEmpty());  // the harness's blank tab
        p.automation.fillSite(0);
        QString tab;
        QVERIFY(
            ChromiumHarness::waitFor([&] { return !(tab = harness_->findTab(full)).isEmpty(); }));
        QVERIFY(ChromiumHarness::waitFor([&] {
            p.automation.tick();
            return valueOf(*harness_, tab, QStringLiteral("user")) == QLatin1String("carol");
        }));
        QVERIFY(p.logLines().isEmpty());
    }

    void pageAtAnotherOriginMentioningTheAddressIsNeverFilled() {
        const QString stored = harness_->url(QStringLiteral("listeners.html"));
        const QString evil = harness_->url(QStringLiteral("listeners.html?next=") + stored,
                                           QStringLiteral("localhost"));
        const QString tab = harness_->openTab(evil);
        QVERIFY(ChromiumHarness::waitFor([&] { return harness_->loaded(tab); }));
        Program p(harness_->profileFolder());
        p.addEntry(stored, listenerFields());
        QVERIFY(ChromiumHarness::waitFor([&] {
            for (const auto& w : p.browser->windows()) {
                if (w->locationUrl() == evil && !w->busy())
                    return true;
            }
            return false;
        }));
        for (int i = 0; i < 3; ++i)
            p.automation.tick();
        p.automation.fillSite(0);  // opens the real site instead
        for (int i = 0; i < 3; ++i)
            p.automation.tick();
        QCOMPARE(valueOf(*harness_, tab, QStringLiteral("log")), QString());
        QCOMPARE(valueOf(*harness_, tab, QStringLiteral("user")), QString());
        QVERIFY(p.logLines().isEmpty());
    }

    void browserKilledInTheMiddleOfATick() {
        // The first window's page hangs when written to; the browser dies meanwhile.
        const QString url = harness_->url(QStringLiteral("hang.html#6000"));
        const QString tab = harness_->openTab(url);
        QVERIFY(ChromiumHarness::waitFor([&] { return harness_->loaded(tab); }));
        Program p(harness_->profileFolder());
        p.addEntry(url,
                   {{0, 1, QStringLiteral("text"), QStringLiteral("slow"), QStringLiteral("x")}});
        p.addEntry(harness_->url(QStringLiteral("login1.html")), listenerFields());
        QVERIFY(ChromiumHarness::waitFor([&] {
            for (const auto& w : p.browser->windows()) {
                if (w->locationUrl() == url && !w->busy())
                    return true;
            }
            return false;
        }));
        const SiteTable before = p.state.siteTable;

        QElapsedTimer clock;
        clock.start();
        {
            RunLater kill(400,
                          [&] { ::kill(static_cast<pid_t>(harness_->browserPid()), SIGKILL); });
            p.automation.tick();
        }
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(p.logLines().size(), 1);
        QVERIFY2(p.logLines()[0].endsWith(QStringLiteral(" Error:0000(1CE)")),
                 qPrintable(p.logLines()[0]));
        harness_->killBrowser();

        // The program goes on: later ticks and a capture find no browser and log nothing more;
        // nothing stored was touched.
        p.automation.tick();
        p.automation.tick();
        p.automation.capture();
        QCOMPARE(p.logLines().size(), 1);
        QCOMPARE(p.state.siteTable.siteCount(), 2);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(p.state.siteTable.at(i), before.at(i));
        QVERIFY(p.state.siteTable.at(0).filledWindows.empty());  // the failed fill left no marker
    }

    void browserKilledInTheMiddleOfACapture() {
        const QString url = harness_->url(QStringLiteral("hang.html"));
        const QString tab = harness_->openTab(url);
        QVERIFY(ChromiumHarness::waitFor([&] { return harness_->loaded(tab); }));
        Program p(harness_->profileFolder());
        p.addEntry(harness_->url(QStringLiteral("login1.html")), listenerFields());
        QVERIFY(ChromiumHarness::waitFor([&] {
            for (const auto& w : p.browser->windows()) {
                if (w->locationUrl() == url && !w->busy())
                    return true;
            }
            return false;
        }));
        // The page's own script holds it for a while, so the capture's read waits.
        harness_->evaluate(tab, QStringLiteral("setTimeout(() => { const end = Date.now() + 6000; "
                                               "while (Date.now() < end) {} }, 100); 0"));
        QThread::msleep(200);

        QElapsedTimer clock;
        clock.start();
        {
            RunLater kill(300,
                          [&] { ::kill(static_cast<pid_t>(harness_->browserPid()), SIGKILL); });
            p.automation.capture();
        }
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(p.logLines().size(), 1);
        QVERIFY2(p.logLines()[0].endsWith(QStringLiteral(" Error:0003(1CE)")),
                 qPrintable(p.logLines()[0]));
        QVERIFY(p.actions.calls.isEmpty());  // nothing saved
        QCOMPARE(p.state.siteTable.siteCount(), 1);
        harness_->killBrowser();
    }
};

QTEST_GUILESS_MAIN(TestChromiumAutomation)
#include "tst_chromium_automation.moc"
