// The Chromium browser over the DevTools protocol, on a real headless Chromium and loopback pages.
#include "ChromiumHarness.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "browser/devtools/DevToolsBrowser.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QtTest>
#include <csignal>
#include <thread>

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

[[maybe_unused]] QStringList urlsOf(Browser& browser) {
    QStringList urls;
    for (const WindowPtr& w : browser.windows())
        urls << w->locationUrl();
    return urls;
}

[[maybe_unused]] QList<int32_t> hwndsOf(Browser& browser) {
    QList<int32_t> numbers;
    for (const WindowPtr& w : browser.windows())
        numbers << w->hwnd();
    return numbers;
}

[[maybe_unused]] FieldEdit text(int form, int element, const QString& value) {
    FieldEdit e;
    e.formIndex = form;
    e.elementIndex = element;
    e.value = value;
    return e;
}

[[maybe_unused]] FieldEdit tick(int form, int element, bool checked) {
    FieldEdit e;
    e.formIndex = form;
    e.elementIndex = element;
    e.checkbox = true;
    e.checked = checked;
    return e;
}

// Runs action on another thread after delayMs: the test thread is blocked in a call meanwhile.
class Later {
public:
    Later(int delayMs, std::function<void()> action)
        : thread_([delayMs, action = std::move(action)] {
              std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
              action();
          }) {}
    ~Later() { thread_.join(); }

private:
    std::thread thread_;
};

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
        if (harness_->browserPid() == 0) {
            QString why;
            QVERIFY2(harness_->startBrowser(&why), qPrintable(why));
        }
        harness_->resetTabs();
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

    void readsTwoLoginPagesInTwoTabs() {
        harness_->openTab(harness_->url(QStringLiteral("login1.html")));
        harness_->openTab(harness_->url(QStringLiteral("login2.html")));
        auto browser = connect();
        const WindowPtr one = waitForWindow(*browser, harness_->url(QStringLiteral("login1.html")));
        const WindowPtr two = waitForWindow(*browser, harness_->url(QStringLiteral("login2.html")));
        QVERIFY(one && two);
        QVERIFY(one->hwnd() != two->hwnd());

        const PageSnapshot first = one->readPage();
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

        const PageSnapshot second = two->readPage();
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
};

QTEST_GUILESS_MAIN(TestChromiumBrowser)
#include "tst_chromium_browser.moc"
