// The Chromium browser over the DevTools protocol, on a real headless Chromium and loopback pages.
#include "ChromiumHarness.h"
#include "browser/devtools/BrowserEndpoint.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "browser/devtools/PortOwnership.h"
#include "support/Files.h"
#include "support/WindowCalls.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QtTest>
#include <csignal>

using namespace sirano;
using namespace sirano::test;
using namespace std::chrono_literals;

namespace {

using WindowPtr = std::shared_ptr<BrowserWindow>;

// The window showing url once it has loaded (or, with idle false, as soon as it shows).
WindowPtr waitForWindow(Browser& browser, const QString& url, bool idle = true,
                        int timeoutMs = 8000) {
    WindowPtr found;
    ChromiumHarness::waitFor(
        [&] {
            for (const WindowPtr& w : browser.windows()) {
                if (w->locationUrl() == url && (!idle || !w->busy())) {
                    found = w;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

QStringList urlsOf(Browser& browser) {
    QStringList urls;
    for (const WindowPtr& w : browser.windows())
        urls << w->locationUrl();
    return urls;
}

QList<int32_t> windowIdsOf(Browser& browser) {
    QList<int32_t> numbers;
    for (const WindowPtr& w : browser.windows())
        numbers << w->windowId();
    return numbers;
}

FieldEdit text(int form, int element, const QString& value) {
    FieldEdit e;
    e.formIndex = form;
    e.elementIndex = element;
    e.value = value;
    return e;
}

FieldEdit tick(int form, int element, bool checked) {
    FieldEdit e;
    e.formIndex = form;
    e.elementIndex = element;
    e.checkbox = true;
    e.checked = checked;
    return e;
}

}  // namespace

class TestChromiumBrowser : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ChromiumHarness> harness_;

    std::unique_ptr<ChromiumBrowser> connect(std::chrono::milliseconds timeout = 2000ms) {
        ChromiumBrowser::Options options;
        options.profileFolder = harness_->profileFolder();
        options.callTimeout = timeout;
        return std::make_unique<ChromiumBrowser>(options);
    }

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

    void noBrowserGivesNoWindows() {
        QTemporaryDir empty;
        // No DevToolsActivePort at all; one left behind by a browser that is gone; a port
        // that nobody listens on.
        auto none = createChromiumBrowser(empty.path());
        QVERIFY(none->windows().isEmpty());

        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 deadPort = closed.serverPort();
        closed.close();
        QFile stale(QDir(empty.path()).filePath(QStringLiteral("DevToolsActivePort")));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write(QByteArray::number(deadPort) + "\n/devtools/browser/gone\n");
        stale.close();
        QElapsedTimer clock;
        clock.start();
        auto left = createChromiumBrowser(empty.path());
        QVERIFY(left->windows().isEmpty());
        QVERIFY(left->windows().isEmpty());
        auto byPort = createChromiumBrowser(empty.path(), deadPort);
        QVERIFY(byPort->windows().isEmpty());
        QVERIFY2(clock.elapsed() < 1000, "a refused connection must not wait");
    }

    void findsABrowserByItsPort() {
        QTemporaryDir elsewhere;
        const std::optional<QUrl> endpoint = readDevToolsActivePort(harness_->profileFolder());
        QVERIFY(endpoint);
        auto browser =
            createChromiumBrowser(elsewhere.path(), static_cast<quint16>(endpoint->port()));
        QCOMPARE(urlsOf(*browser), QStringList{QStringLiteral("about:blank")});
    }

    void readsTwoLoginPagesInTwoTabs() {
        harness_->openTab(harness_->url(QStringLiteral("login1.html")));
        harness_->openTab(harness_->url(QStringLiteral("login2.html")));
        auto browser = connect();
        const WindowPtr one = waitForWindow(*browser, harness_->url(QStringLiteral("login1.html")));
        const WindowPtr two = waitForWindow(*browser, harness_->url(QStringLiteral("login2.html")));
        QVERIFY(one && two);
        QVERIFY(one->windowId() != two->windowId());

        const PageSnapshot first = readNow(*one);
        QCOMPARE(first.title, QStringLiteral("Login One"));
        QCOMPARE(first.url, harness_->url(QStringLiteral("login1.html")));
        QCOMPARE(first.forms.size(), 1);
        const auto& e = first.forms[0].elements;
        QCOMPARE(e.size(), 4);
        QCOMPARE(e[0].tagName, QStringLiteral("INPUT"));
        QCOMPARE(e[0].type, QStringLiteral("text"));
        QCOMPARE(e[0].name, QStringLiteral("user"));
        QCOMPARE(e[0].value, QStringLiteral("alice"));
        QCOMPARE(e[1].type, QStringLiteral("password"));
        QCOMPARE(e[1].value, QStringLiteral("s3cret"));
        QCOMPARE(e[2].type, QStringLiteral("checkbox"));
        QVERIFY(e[2].checked);
        QCOMPARE(e[3].type, QStringLiteral("submit"));

        const PageSnapshot second = readNow(*two);
        QCOMPARE(second.title, QStringLiteral("Login Two"));
        QCOMPARE(second.forms.size(), 2);
        QCOMPARE(second.forms[0].elements.size(), 1);
        const auto& f = second.forms[1].elements;
        QCOMPARE(f.size(), 5);
        QCOMPARE(f[0].type, QStringLiteral("email"));
        QCOMPARE(f[0].value, QStringLiteral("bob@example.org"));
        QCOMPARE(f[1].type, QStringLiteral("password"));  // the browser reports it lower-cased
        QCOMPARE(f[1].value, QStringLiteral("hunter2"));
        QVERIFY(!f[2].checked);
        QCOMPARE(f[3].tagName, QStringLiteral("SELECT"));
        QCOMPARE(f[3].value, QStringLiteral("en"));
        QCOMPARE(f[4].tagName, QStringLiteral("TEXTAREA"));
        QCOMPARE(f[4].value, QStringLiteral("two\nlines"));
    }

    // Reads sent to several tabs at once come back to each tab's own taker, one round trip
    // each, the same as reading them one after the other.
    void readsSentAtOnceAnswerEachTab() {
        const QStringList urls{harness_->url(QStringLiteral("login1.html?a")),
                               harness_->url(QStringLiteral("login2.html")),
                               harness_->url(QStringLiteral("login1.html?b"))};
        for (const QString& url : urls)
            harness_->openTab(url);
        auto browser = connect();
        QList<WindowPtr> windows;
        for (const QString& url : urls)
            windows << waitForWindow(*browser, url);
        QVERIFY(!windows.contains(nullptr));
        harness_->evaluate(harness_->findTab(urls[2]),
                           QStringLiteral("document.forms[0].elements[0].value = 'bea'"));
        QList<PageSnapshot> oneByOne;
        for (const WindowPtr& w : windows)
            oneByOne << readNow(*w);
        QVERIFY(ChromiumHarness::waitQuiet([&] { return browser->traffic().commands; }));

        const auto before = browser->traffic();
        std::vector<std::unique_ptr<PendingRead>> reads;
        for (const WindowPtr& w : windows)
            reads.push_back(w->startRead());
        for (size_t i = 0; i < reads.size(); ++i) {
            const PageSnapshot page = reads[i]->take();
            QCOMPARE(page.url, urls[static_cast<qsizetype>(i)]);
            QCOMPARE(page.title, oneByOne[static_cast<qsizetype>(i)].title);
            QCOMPARE(page.forms.size(), oneByOne[static_cast<qsizetype>(i)].forms.size());
            QCOMPARE(page.forms[0].elements[0].value,
                     oneByOne[static_cast<qsizetype>(i)].forms[0].elements[0].value);
        }
        QCOMPARE(oneByOne[2].forms[0].elements[0].value, QStringLiteral("bea"));
        QCOMPARE(browser->traffic().waited, before.waited + 3);
        QCOMPARE(browser->traffic().commands, before.commands + 3);
    }

    // A read sent to a tab that is gone fails when taken, not when sent.
    void readOfAClosedTabFailsWhenTaken() {
        const QString url = harness_->url(QStringLiteral("login1.html"));
        const QString tab = harness_->openTab(url);
        auto browser = connect();
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);
        harness_->closeTab(tab);
        QVERIFY(ChromiumHarness::waitFor([&] { return !urlsOf(*browser).contains(url); }));
        std::unique_ptr<PendingRead> read = w->startRead();
        QVERIFY_THROWS_EXCEPTION(SiranoError, read->take());
    }

    // Writes call the function kept in the page's isolated world; a new document brings a new
    // world, and the writes go on there.
    void writesGoOnAcrossNewDocuments() {
        const QString url = harness_->url(QStringLiteral("login1.html"));
        const QString tab = harness_->openTab(url);
        auto browser = connect();
        for (int round = 0; round < 3; ++round) {
            const WindowPtr w = waitForWindow(*browser, url);
            QVERIFY(w);
            const QString value = QStringLiteral("round %1").arg(round);
            const WriteResult result = writeNow(*w, {text(0, 0, value)});
            QVERIFY(!result.failure);
            QCOMPARE(result.applied, 1);
            QCOMPARE(harness_->evaluate(tab, QStringLiteral("document.forms[0].elements[0].value"))
                         .toString(),
                     value);
            // Once more at once: by then the function is surely kept in the world.
            QCOMPARE(writeNow(*w, {text(0, 1, value)}).applied, 1);
            QCOMPARE(harness_->evaluate(tab, QStringLiteral("document.forms[0].elements[1].value"))
                         .toString(),
                     value);
            harness_->navigate(tab, url);
            QVERIFY(ChromiumHarness::waitFor([&] { return harness_->loaded(tab); }));
        }
    }

    void windowOrderIsStableAcrossActivationAndNavigation() {
        const QString a = harness_->url(QStringLiteral("login1.html?a"));
        const QString b = harness_->url(QStringLiteral("login1.html?b"));
        const QString c = harness_->url(QStringLiteral("login2.html?c"));
        const QString tabA = harness_->openTab(a);
        auto browser = connect();
        QVERIFY(waitForWindow(*browser, a));
        const QString tabB = harness_->openTab(b);
        const QString tabC = harness_->openTab(c);
        QVERIFY(waitForWindow(*browser, b) && waitForWindow(*browser, c));
        // The blank tab and a were there before the connection (in Chromium's order); b and c
        // follow as first seen.
        const QStringList urls = urlsOf(*browser);
        const QList<int32_t> numbers = windowIdsOf(*browser);
        QCOMPARE(urls.size(), 4);
        QCOMPARE(QSet<QString>(urls.begin(), urls.begin() + 2),
                 (QSet<QString>{QStringLiteral("about:blank"), a}));
        QCOMPARE(urls.mid(2), (QStringList{b, c}));
        QCOMPARE(QSet<int32_t>(numbers.begin(), numbers.end()).size(), 4);
        QVERIFY(!numbers.contains(0));
        const int at = urls.indexOf(a);

        // Chromium's own lists reorder on both of these.
        harness_->activateTab(tabC);
        harness_->activateTab(tabA);
        const QString b2 =
            harness_->url(QStringLiteral("login2.html?b2"), QStringLiteral("localhost"));
        harness_->navigate(tabB, b2);
        QVERIFY(waitForWindow(*browser, b2));
        QStringList moved = urls;
        moved[2] = b2;
        QCOMPARE(urlsOf(*browser), moved);
        QCOMPARE(windowIdsOf(*browser), numbers);

        // The page that moved to another site is read in its new document.
        QCOMPARE(readNow(*browser->windows()[2]).title, QStringLiteral("Login Two"));
        moved.removeAt(at);
        QList<int32_t> left = numbers;
        left.removeAt(at);
        harness_->closeTab(tabA);
        QVERIFY(ChromiumHarness::waitFor([&] { return urlsOf(*browser).size() == 3; }));
        QCOMPARE(urlsOf(*browser), moved);
        QCOMPARE(windowIdsOf(*browser), left);
    }

    void onlyPagesAreListed() {
        // A page with a frame from another site (a target of its own, type "iframe").
        const QString frames = harness_->url(QStringLiteral("frames.html"));
        harness_->openTab(frames);
        auto browser = connect();
        QVERIFY(waitForWindow(*browser, frames));
        QCOMPARE(urlsOf(*browser).size(), 2);
        QCOMPARE(urlsOf(*browser).count(frames), 1);
    }

    void busyWhileLoading() {
        auto browser = connect();
        const QString stalled = harness_->url(QStringLiteral("stalled"));
        harness_->openTab(stalled);
        const WindowPtr w = waitForWindow(*browser, stalled, false);
        QVERIFY(w);
        // Never finishes: stays busy.
        for (int i = 0; i < 10; ++i) {
            QVERIFY(w->busy());
            QThread::msleep(50);
        }

        const QString login = harness_->url(QStringLiteral("login1.html"));
        const QString tab = harness_->openTab(login);
        const WindowPtr page = waitForWindow(*browser, login);
        QVERIFY(page);
        QVERIFY(!page->busy());
        // A navigation that takes a while: busy from its start to its end.
        harness_->navigate(tab, harness_->url(QStringLiteral("slow?ms=700")));
        QVERIFY(ChromiumHarness::waitFor([&] { return page->busy(); }, 2000));
        QVERIFY(ChromiumHarness::waitFor([&] { return !page->busy(); }, 5000));
        QCOMPARE(page->locationUrl(), harness_->url(QStringLiteral("slow?ms=700")));
        // Back and forth between pages kept in the back-forward cache: idle again each time.
        const QString cached = harness_->url(QStringLiteral("login1.html?cache=1"));
        const QString next = harness_->url(QStringLiteral("login2.html?cache=1"));
        for (const QString& to : {cached, next}) {
            harness_->navigate(tab, to);
            QVERIFY(ChromiumHarness::waitFor([&] { return page->locationUrl() == to; }));
        }
        // Later, so the evaluation answers before its page goes away.
        harness_->evaluate(tab, QStringLiteral("setTimeout(() => history.back(), 0); 0"));
        QVERIFY(ChromiumHarness::waitFor([&] { return page->locationUrl() == cached; }));
        QVERIFY(ChromiumHarness::waitFor([&] { return !page->busy(); }, 3000));
        QCOMPARE(readNow(*page).title, QStringLiteral("Login One"));
    }

    void busyAtFirstSight() {
        // Pages that were already loading (or loaded) before the connection: no start event
        // will come for them.
        const QString stalled = harness_->url(QStringLiteral("stalled"));
        const QString image = harness_->url(QStringLiteral("imagenever.html"));
        const QString login = harness_->url(QStringLiteral("login1.html"));
        harness_->openTab(stalled);
        harness_->openTab(image);
        const QString tab = harness_->openTab(login);
        QVERIFY(ChromiumHarness::waitFor([&] { return harness_->loaded(tab); }));
        QThread::msleep(200);  // the other two have committed their documents by now

        auto browser = connect();
        QHash<QString, bool> busy;
        for (const WindowPtr& w : browser->windows())
            busy.insert(w->locationUrl(), w->busy());
        QCOMPARE(busy.value(stalled, false), true);
        QCOMPARE(busy.value(image, false), true);  // its document stays "interactive"
        QCOMPARE(busy.value(login, true), false);
    }

    void openDialogMakesThePageBusy() {
        // The page's script stands still until the user answers: no call could get through.
        const QString url = harness_->url(QStringLiteral("login1.html"));
        const QString tab = harness_->openTab(url);
        auto browser = connect();
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);
        harness_->evaluate(tab, QStringLiteral("setTimeout(() => { alert('a'); "
                                               "document.title = 'after'; }, 0); 0"));
        QVERIFY(ChromiumHarness::waitFor([&] { return w->busy(); }));
        harness_->answerDialog(tab);
        QVERIFY(ChromiumHarness::waitFor([&] { return !w->busy(); }));
        QCOMPARE(readNow(*w).title, QStringLiteral("after"));
    }

    void hostilePageIsReadAndWrittenFaithfully() {
        const QString hostile = harness_->url(QStringLiteral("hostile.html"));
        const QString tab = harness_->openTab(hostile);
        auto browser = connect();
        const WindowPtr w = waitForWindow(*browser, hostile);
        QVERIFY(w);

        PageSnapshot page = readNow(*w);
        QCOMPARE(page.title, QStringLiteral("Hostile"));
        QCOMPARE(page.url, hostile);
        QCOMPARE(page.forms.size(), 2);
        QCOMPARE(page.forms[0].elements.size(), 1);
        QCOMPARE(page.forms[0].elements[0].name, QStringLiteral("elements"));
        QCOMPARE(page.forms[0].elements[0].value, QStringLiteral("'); alert(1);//"));
        QCOMPARE(page.forms[1].elements.size(), 3);
        QCOMPARE(page.forms[1].elements[0].value,
                 QStringLiteral("</script><script>alert(2)</script>"));
        QCOMPARE(page.forms[1].elements[1].value, QStringLiteral("${alert(3)}"));
        QVERIFY(page.forms[1].elements[2].checked);

        const QList<FieldEdit> edits{
            text(0, 0, QStringLiteral("</script><script>alert(4)</script>")),
            text(1, 0, QStringLiteral("'); alert(5);//")),
            text(1, 1, QStringLiteral("\"`${alert(6)}\\u0022")), tick(1, 2, false)};
        const WriteResult result = writeNow(*w, edits);
        QVERIFY(result.hadForms);
        QCOMPARE(result.applied, 4);
        QVERIFY(!result.failure);

        page = readNow(*w);
        QCOMPARE(page.forms[0].elements[0].value, edits[0].value);
        QCOMPARE(page.forms[1].elements[0].value, edits[1].value);
        QCOMPARE(page.forms[1].elements[1].value, edits[2].value);
        QVERIFY(!page.forms[1].elements[2].checked);
        // Nothing ran as script: the page's alert was never called, no dialog is open.
        QCOMPARE(
            harness_->evaluate(tab, QStringLiteral("document.body.getAttribute('data-alerted')")),
            QJsonValue(QJsonValue::Null));
        QVERIFY(!w->busy());
    }

    void writesAreSeenByThePagesListeners() {
        const QString url = harness_->url(QStringLiteral("listeners.html"));
        harness_->openTab(url);
        auto browser = connect();
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);

        FieldEdit renamed = text(0, 0, QStringLiteral("not written"));
        renamed.expectedName = QStringLiteral("User");  // names compare exactly
        FieldEdit named = text(0, 1, QStringLiteral("pa ss"));
        named.expectedName = QStringLiteral("pass");
        const WriteResult result = writeNow(*w, {text(0, 0, QStringLiteral("carol")), renamed,
                                                 named, tick(0, 2, true), tick(0, 3, true)});
        QVERIFY(result.hadForms);
        QCOMPARE(result.applied, 5);
        QVERIFY(!result.failure);

        const PageSnapshot page = readNow(*w);
        QCOMPARE(page.forms[0].elements[0].value, QStringLiteral("carol"));
        QCOMPARE(page.forms[0].elements[1].value, QStringLiteral("pa ss"));
        QVERIFY(page.forms[0].elements[2].checked);
        QVERIFY(page.forms[0].elements[3].checked);
        // The tick that had to change was clicked; the one already right was left alone.
        QCOMPARE(
            page.forms[1].elements[0].value,
            QStringLiteral("input:user=carol\nchange:user=carol\n"
                           "input:pass=pa ss\nchange:pass=pa ss\n"
                           "click:remember=true\ninput:remember=true\nchange:remember=true\n"));
        QCOMPARE(QJsonDocument::fromJson(page.forms[1].elements[1].value.toUtf8()).object(),
                 (QJsonObject{{QStringLiteral("user"), QStringLiteral("carol")},
                              {QStringLiteral("pass"), QStringLiteral("pa ss")},
                              {QStringLiteral("remember"), true}}));

        // Clearing a tick goes through the page's listeners as well.
        QCOMPARE(writeNow(*w, {tick(0, 3, false)}).applied, 1);
        QVERIFY(!readNow(*w).forms[0].elements[3].checked);
        QVERIFY(readNow(*w).forms[1].elements[0].value.endsWith(
            QStringLiteral("click:terms=false\ninput:terms=false\nchange:terms=false\n")));
    }

    void writeStopsAtTheFirstFailure_data() {
        QTest::addColumn<QList<FieldEdit>>("edits");
        QTest::addColumn<int>("applied");
        QTest::addColumn<int>("error");
        const auto a = text(0, 0, QStringLiteral("first"));
        const auto b = text(0, 1, QStringLiteral("second"));
        QTest::newRow("form past the end")
            << QList<FieldEdit>{a, b, text(2, 0, "x"), text(0, 0, "y")} << 2 << 91;
        QTest::newRow("element past the end") << QList<FieldEdit>{a, text(0, 5, "x"), b} << 1 << 91;
        QTest::newRow("negative position") << QList<FieldEdit>{text(-1, 0, "x")} << 0 << 91;
        QTest::newRow("fieldset has no value")
            << QList<FieldEdit>{a, text(0, 4, "x"), b} << 1 << 438;
        QTest::newRow("textarea has no tick") << QList<FieldEdit>{tick(1, 0, true), a} << 0 << 438;
        QTest::newRow("all written") << QList<FieldEdit>{a, b} << 2 << 0;
    }

    void writeStopsAtTheFirstFailure() {
        QFETCH(QList<FieldEdit>, edits);
        QFETCH(int, applied);
        QFETCH(int, error);
        const QString url = harness_->url(QStringLiteral("listeners.html"));
        harness_->openTab(url);
        auto browser = connect();
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);

        const WriteResult result = writeNow(*w, edits);
        QVERIFY(result.hadForms);
        QCOMPARE(result.applied, applied);
        QCOMPARE(result.failure ? result.failure->number() : 0, error);
        if (result.failure)
            QVERIFY(!result.failure->message().isEmpty());
        // What was written before the failure stays written; nothing after it is.
        QStringList expected{QString(), QString()};
        for (const FieldEdit& e : edits.mid(0, applied)) {
            if (!e.checkbox && e.formIndex == 0 && (e.elementIndex == 0 || e.elementIndex == 1))
                expected[e.elementIndex] = e.value;
        }
        const PageSnapshot page = readNow(*w);
        QCOMPARE(page.forms[0].elements[0].value, expected[0]);
        QCOMPARE(page.forms[0].elements[1].value, expected[1]);
    }

    void pageWithoutFormsIsNotWritten() {
        const QString url = harness_->url(QStringLiteral("noforms.html"));
        harness_->openTab(url);
        auto browser = connect();
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);
        const WriteResult result = writeNow(*w, {text(0, 0, QStringLiteral("x"))});
        QVERIFY(!result.hadForms);
        QCOMPARE(result.applied, 0);
        QVERIFY(!result.failure);
        QVERIFY(readNow(*w).forms.isEmpty());
    }

    void pageThatMovedToAnotherSiteRefusesTheWrite() {
        const QString url = harness_->url(QStringLiteral("login1.html"));
        const QString tab = harness_->openTab(url);
        auto browser = connect();
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);
        QCOMPARE(w->locationUrl(), url);
        const QString elsewhere =
            harness_->url(QStringLiteral("login1.html"), QStringLiteral("localhost"));
        harness_->navigate(tab, elsewhere);
        QVERIFY(ChromiumHarness::waitFor([&] {
            return harness_->evaluate(tab, QStringLiteral("location.href")).toString() == elsewhere;
        }));
        try {
            // Matched against the address the page showed before it moved.
            w->startWrite({text(0, 0, QStringLiteral("for 127.0.0.1 only"))}, url)->take();
            QFAIL("the write reached another site");
        } catch (const SiranoError& e) {
            QCOMPARE(e.number(), err::kObjectDisconnected);
        }
        QCOMPARE(readNow(*w).forms[0].elements[0].value, QStringLiteral("alice"));
        // Looked at again, the new site is what the caller matches and writes.
        QCOMPARE(w->locationUrl(), elsewhere);
        QCOMPARE(writeNow(*w, {text(0, 0, QStringLiteral("for localhost"))}).applied, 1);
    }

    void trackedStateCostsNoCommand() {
        const QString url = harness_->url(QStringLiteral("login1.html"));
        harness_->openTab(url);
        auto browser = connect();
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);
        readNow(*w);  // the page's isolated world exists from here on
        // The first write in a world also keeps the write function there, in the background.
        writeNow(*w, {text(0, 0, QStringLiteral("first"))});
        // What the connection does by itself on first sight of each page is done.
        QVERIFY(ChromiumHarness::waitQuiet([&] { return browser->traffic().commands; }));

        const auto before = browser->traffic();
        for (int i = 0; i < 20; ++i) {
            for (const WindowPtr& each : browser->windows()) {
                each->busy();
                each->locationUrl();
                each->windowId();
            }
        }
        QCOMPARE(browser->traffic().commands, before.commands);

        readNow(*w);
        writeNow(*w, {text(0, 0, QStringLiteral("x")), text(0, 1, QStringLiteral("y"))});
        QCOMPARE(browser->traffic().commands, before.commands + 2);
        QCOMPARE(browser->traffic().waited, before.waited + 2);
    }

    void unansweredCallKeepsTheWindowBusy() {
        const QString url = harness_->url(QStringLiteral("hang.html#1500"));
        harness_->openTab(url);
        auto browser = connect(300ms);
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);
        // The caller waits without running its event loop: no timer tick in the middle.
        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(1);
        QElapsedTimer clock;
        clock.start();
        try {
            writeNow(*w, {text(0, 1, QStringLiteral("wakes the listener"))});
            QFAIL("a hung page answered");
        } catch (const SiranoError& e) {
            QCOMPARE(e.number(), err::kObjectDisconnected);
        }
        QVERIFY(clock.elapsed() < 1200);  // the page holds on for 1500 ms
        QCOMPARE(ticks, 0);
        QVERIFY(w->busy());
        QVERIFY(ChromiumHarness::waitFor([&] { return !w->busy(); }, 5000));
        QCOMPARE(readNow(*w).forms[0].elements[1].value, QStringLiteral("wakes the listener"));
    }

    void tabClosedInTheMiddleFailsAtOnce() {
        const QString url = harness_->url(QStringLiteral("hang.html#6000"));
        const QString tab = harness_->openTab(url);
        auto browser = connect(8000ms);
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);
        QElapsedTimer clock;
        clock.start();
        {
            RunLater close(400, [&] { harness_->closeTab(tab); });
            try {
                writeNow(*w, {text(0, 1, QStringLiteral("x"))});
                QFAIL("the closed tab answered");
            } catch (const SiranoError& e) {
                QCOMPARE(e.number(), err::kObjectDisconnected);
            }
        }
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(ChromiumHarness::waitFor([&] { return !urlsOf(*browser).contains(url); }));
        QVERIFY_THROWS_EXCEPTION(SiranoError, readNow(*w));
    }

    void browserKilledInTheMiddleFailsAtOnce() {
        const QString url = harness_->url(QStringLiteral("hang.html#6000"));
        harness_->openTab(url);
        auto browser = connect(8000ms);
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);
        QElapsedTimer clock;
        clock.start();
        {
            RunLater kill(400,
                          [&] { ::kill(static_cast<pid_t>(harness_->browserPid()), SIGKILL); });
            try {
                writeNow(*w, {text(0, 1, QStringLiteral("x"))});
                QFAIL("the killed browser answered");
            } catch (const SiranoError& e) {
                QCOMPARE(e.number(), err::kObjectDisconnected);
            }
        }
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        harness_->killBrowser();
        QVERIFY(browser->windows().isEmpty());
        QVERIFY_THROWS_EXCEPTION(SiranoError, readNow(*w));
        QVERIFY_THROWS_EXCEPTION(SiranoError, w->openInBackground(url));

        // The next browser on the same profile is found again.
        QString why;
        QVERIFY2(harness_->startBrowser(&why), qPrintable(why));
        QVERIFY(ChromiumHarness::waitFor([&] { return !browser->windows().isEmpty(); }));
    }

    void opensInABackgroundTab() {
        const QString url = harness_->url(QStringLiteral("login1.html"));
        harness_->openTab(url);
        auto browser = connect();
        const WindowPtr w = waitForWindow(*browser, url);
        QVERIFY(w);
        const int before = browser->windows().size();
        const QString other = harness_->url(QStringLiteral("login2.html?opened"));
        w->openInBackground(other);
        const WindowPtr opened = waitForWindow(*browser, other);
        QVERIFY(opened);
        QCOMPARE(browser->windows().size(), before + 1);
        QCOMPARE(browser->windows().last()->windowId(), opened->windowId());
        QCOMPARE(readNow(*opened).title, QStringLiteral("Login Two"));
        QCOMPARE(w->locationUrl(), url);
    }

    void startsItsOwnBrowserWhenNoneRuns() {
        // The real browser behind a stand-in that records what it was started with.
        RecordingStandIn standIn(QStringLiteral("exec '%1' \"$@\"")
                                     .arg(QString::fromLatin1(ChromiumHarness::kChromium)));
        QTemporaryDir data;
        ChromiumBrowser::Options options;
        options.profileFolder = QDir(data.path()).filePath(QStringLiteral("browser"));
        options.launch.extraArgs = ChromiumHarness::headlessSwitches();
        options.launch.startTimeout = 20s;  // a first start on a loaded machine
        ChromiumBrowser browser(options);
        QVERIFY(browser.windows().isEmpty());

        const QString url = harness_->url(QStringLiteral("login1.html?own"));
        const auto stop = qScopeGuard([&] {
            if (browser.lastStartedPid() > 0)
                ::kill(static_cast<pid_t>(browser.lastStartedPid()), SIGKILL);
            ChromiumHarness::waitProfileReleased(options.profileFolder);
            ChromiumHarness::removeProfile(data);
        });
        browser.openInNewBrowser(url);
        QVERIFY(browser.lastStartedPid() > 0);
        const QStringList argv = standIn.argv();
        QVERIFY(argv.contains(QStringLiteral("--remote-debugging-port=0")));
        for (const QString& arg : argv)
            QVERIFY2(!arg.contains(QLatin1String("login1.html")), qPrintable(arg));

        // Opened over the connection, in place of the start page.
        const WindowPtr w = waitForWindow(browser, url, true, 20000);
        QVERIFY(w);
        QVERIFY(ChromiumHarness::waitFor([&] { return urlsOf(browser) == QStringList{url}; }));
        QCOMPARE(readNow(*w).title, QStringLiteral("Login One"));
        QVERIFY(QFile::exists(
            QDir(options.profileFolder).filePath(QStringLiteral("DevToolsActivePort"))));
        QCOMPARE(QFile(options.profileFolder).permissions() & QFileDevice::ReadOther,
                 QFileDevice::Permissions());
    }

    // The start that does not wait: it returns while the browser cannot have started yet (the
    // stand-in holds it back), the event loop runs on, and the answer comes once the address is
    // open in place of the start page. A browser that never comes is the same failure as the
    // waiting start's, and one still awaited when the browser object goes is not told.
    void startsWithoutWaiting() {
        QTemporaryDir data;
        const QString go = QDir(data.path()).filePath(QStringLiteral("go"));
        RecordingStandIn standIn(
            QStringLiteral("while [ ! -e '%1' ]; do sleep 0.05; done; exec '%2' \"$@\"")
                .arg(go, QString::fromLatin1(ChromiumHarness::kChromium)));
        ChromiumBrowser::Options options;
        options.profileFolder = QDir(data.path()).filePath(QStringLiteral("browser"));
        options.launch.extraArgs = ChromiumHarness::headlessSwitches();
        options.launch.startTimeout = 20s;
        options.inBackground = true;
        auto browser = std::make_unique<ChromiumBrowser>(options);
        const auto stop = qScopeGuard([&] {
            if (browser && browser->lastStartedPid() > 0)
                ::kill(static_cast<pid_t>(browser->lastStartedPid()), SIGKILL);
            ChromiumHarness::waitProfileReleased(options.profileFolder);
            ChromiumHarness::removeProfile(data);
        });
        const QString url = harness_->url(QStringLiteral("login1.html?later"));
        std::optional<std::optional<SiranoError>> answer;
        browser->startNewBrowser(
            url, [&](const std::optional<SiranoError>& failure) { answer = failure; });
        QVERIFY(QTest::qWaitFor([&] { return browser->lastStartedPid() > 0; }));
        QTest::qWait(300);  // events run; the stand-in still waits
        QVERIFY(!answer);
        writeFile(go, "");
        QVERIFY(QTest::qWaitFor([&] { return answer.has_value(); }, 25000));
        QVERIFY2(!*answer, qPrintable(answer->value_or(SiranoError(0, {})).message()));
        QVERIFY(ChromiumHarness::waitFor([&] { return urlsOf(*browser) == QStringList{url}; }));

        // Never comes: told as the waiting start tells it.
        RecordingStandIn hangs(QStringLiteral("exec sleep 30"));
        QTemporaryDir other;
        options.profileFolder = other.path();
        options.launch.startTimeout = 500ms;
        ChromiumBrowser never(options);
        answer.reset();
        never.startNewBrowser(url,
                              [&](const std::optional<SiranoError>& failure) { answer = failure; });
        const auto killNever = qScopeGuard([&] {
            if (never.lastStartedPid() > 0)
                ::kill(static_cast<pid_t>(never.lastStartedPid()), SIGKILL);
        });
        QVERIFY(QTest::qWaitFor([&] { return answer.has_value(); }, 10000));
        QVERIFY(answer->has_value());
        QCOMPARE(answer->value().number(), err::kCannotCreateObject);

        // Gone while its browser is awaited: the wait ends with it, long before its time is up
        // (the stand-in still runs), and nobody is told.
        options.launch.startTimeout = 60s;
        answer.reset();
        qint64 pid = 0;
        {
            ChromiumBrowser gone(options);
            gone.startNewBrowser(
                url, [&](const std::optional<SiranoError>& failure) { answer = failure; });
            QVERIFY(QTest::qWaitFor([&] { return gone.lastStartedPid() > 0; }));
            pid = gone.lastStartedPid();
        }
        const auto killGone = qScopeGuard([&] { ::kill(static_cast<pid_t>(pid), SIGKILL); });
        QVERIFY(processRunning(pid));
        QCoreApplication::processEvents();
        QVERIFY(!answer);
    }

    void browserWithoutPagesOpensTheAddress() {
        // A browser on the profile that shows no page: no second one is started.
        auto browser = connect();
        QVERIFY(ChromiumHarness::waitFor([&] { return browser->windows().size() == 1; }));
        harness_->closeTab(harness_->findTab(QStringLiteral("about:blank")));
        QVERIFY(ChromiumHarness::waitFor([&] { return browser->windows().isEmpty(); }));
        // Stored without its scheme, as typed by hand.
        const QString url = harness_->url(QStringLiteral("login2.html?again"));
        browser->openInNewBrowser(url.mid(QStringLiteral("http://").size()));
        QCOMPARE(browser->lastStartedPid(), 0);
        QVERIFY(waitForWindow(*browser, url));
    }

    void cannotStartABrowser() {
        QTemporaryDir data;
        ChromiumBrowser::Options options;
        options.profileFolder = data.path();
        options.launch.programs = {QStringLiteral("/nonexistent/chromium"),
                                   QStringLiteral("sirano-no-such-browser")};
        ChromiumBrowser browser(options);
        try {
            browser.openInNewBrowser(QStringLiteral("http://127.0.0.1/"));
            QFAIL("started a browser that does not exist");
        } catch (const SiranoError& e) {
            QCOMPARE(e.number(), err::kCannotCreateObject);
        }
    }

    void launchArguments() {
        const QStringList extra{QStringLiteral("--headless")};
        const QStringList args = chromiumArguments(QStringLiteral("/data/browser"), 0, extra);
        QVERIFY(args.contains(QStringLiteral("--user-data-dir=/data/browser")));
        QVERIFY(args.contains(QStringLiteral("--remote-debugging-port=0")));
        QVERIFY(args.contains(QStringLiteral("--no-first-run")));
        QVERIFY(args.contains(QStringLiteral("--no-default-browser-check")));
        QCOMPARE(args.contains(QStringLiteral("--no-sandbox")), ::geteuid() == 0);
        QCOMPARE(args.last(), extra.last());
    }
};

QTEST_GUILESS_MAIN(TestChromiumBrowser)
#include "tst_chromium_browser.moc"
