// sirano-cli browser: SIRANO's own Chromium started on its profile without any address, the
// address opened over DevTools; when it runs, further addresses and new tabs open in it.
#include "browser/ChromiumHarness.h"
#include "browser/devtools/ChromiumBrowser.h"
#include "support/CliRunner.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace sirano;
using namespace sirano::test;

namespace {

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

Result run(const QStringList& args, const QString& dataHome, const QString& path) {
    const test::CliResult r = test::runCli(test::CliRun{
        args, {}, {{QStringLiteral("XDG_DATA_HOME"), dataHome}, {QStringLiteral("PATH"), path}}});
    return {r.exitCode, QString::fromUtf8(r.out), QString::fromUtf8(r.err)};
}

QStringList urlsOf(Browser& browser) {
    QStringList urls;
    for (const auto& w : browser.windows())
        urls << w->locationUrl();
    return urls;
}

}  // namespace

class TestBrowserLauncher : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startsThenOpensInTheRunningBrowser() {
        if (!QFileInfo(QString::fromLatin1(ChromiumHarness::kChromium)).isExecutable())
            QSKIP("no Chromium (Debian package chromium)");
        // `chromium` on PATH: the real one, headless, recording what it was started with.
        const RecordingStandIn standIn(QStringLiteral("exec '%1' \"$@\" %2")
                                           .arg(QString::fromLatin1(ChromiumHarness::kChromium),
                                                ChromiumHarness::headlessSwitches().join(u' ')));
        const QString path = qEnvironmentVariable("PATH");
        QTemporaryDir dataHome;
        const QString folder = dataHome.filePath(QStringLiteral("sirano"));
        const QString profile = folder + QStringLiteral("/browser");
        qint64 pid = 0;
        const auto stop = qScopeGuard([&] {
            if (pid > 0)
                ::kill(static_cast<pid_t>(pid), SIGKILL);
            ChromiumHarness::waitProfileReleased(profile);
            ChromiumHarness::removeProfile(dataHome);
        });

        // The harness's page server; its own browser is not the one under test.
        ChromiumHarness harness;
        QString why;
        QVERIFY2(harness.start(&why), qPrintable(why));
        const QString first = harness.url(QStringLiteral("login1.html?first-page"));
        Result r = run({"browser", first}, dataHome.path(), path);
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const QRegularExpressionMatch started =
            QRegularExpression(QStringLiteral("^started Chromium \\(process (\\d+)\\) on (.*) and "
                                              "opened (.*)\n$"))
                .match(r.out);
        QVERIFY2(started.hasMatch(), qPrintable(r.out));
        pid = started.captured(1).toLongLong();
        QCOMPARE(started.captured(2), profile);
        QCOMPARE(started.captured(3), first);
        // The per-user data folder is made as the tray program makes it.
        QCOMPARE(QFileInfo(folder).permissions() & 0x0077, QFile::Permissions());

        // Started as the tray program starts it, and never with the address.
        const QStringList argv = standIn.argv();
        QVERIFY2(argv.contains("--user-data-dir=" + profile), qPrintable(argv.join(u' ')));
        QVERIFY(argv.contains(QStringLiteral("--remote-debugging-port=0")));
        for (const QString& arg : argv)
            QVERIFY2(!arg.contains(QLatin1String("first-page")), qPrintable(arg));

        // The address took the start page's place.
        const std::unique_ptr<Browser> browser = createChromiumBrowser(profile);
        QVERIFY2(
            ChromiumHarness::waitFor([&] { return urlsOf(*browser) == QStringList{first}; }, 10000),
            qPrintable(urlsOf(*browser).join(u' ')));

        // Running: the next address opens in it, nothing is started.
        const QString second = harness.url(QStringLiteral("login2.html?second-page"));
        r = run({"browser", second}, dataHome.path(), path);
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QCOMPARE(r.out, QStringLiteral("opened %1 in the running browser\n").arg(second));
        QVERIFY(ChromiumHarness::waitFor(
            [&] { return urlsOf(*browser).contains(first) && urlsOf(*browser).contains(second); },
            10000));
        QCOMPARE(standIn.argv(), argv);

        // Without an address: one more tab.
        r = run({"browser"}, dataHome.path(), path);
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QVERIFY(ChromiumHarness::waitFor([&] { return browser->windows().size() == 3; }, 10000));
        QCOMPARE(standIn.argv(), argv);
    }

    void noChromium() {
        QTemporaryDir dataHome;
        QTemporaryDir emptyPath;
        const Result r =
            run({"browser", "https://example.org/"}, dataHome.path(), emptyPath.path());
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("No Chromium found"), qPrintable(r.err));
        QCOMPARE(r.out, QString());
    }

    void usage_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("help") << QStringList{"browser", "--help"} << 0
                              << "Usage: sirano-cli browser [URL]";
        QTest::newRow("two addresses") << QStringList{"browser", "a.example", "b.example"} << 64
                                       << "unexpected argument 'b.example'";
        QTest::newRow("an unknown option")
            << QStringList{"browser", "--new-window"} << 64 << "unknown option '--new-window'";
    }
    void usage() {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QTemporaryDir dataHome;
        const Result r = run(args, dataHome.path(), qEnvironmentVariable("PATH"));
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2((exitCode == 0 ? r.out : r.err).contains(message), qPrintable(r.out + r.err));
        QVERIFY(!QFileInfo::exists(dataHome.filePath(QStringLiteral("sirano"))));
    }
};

QTEST_GUILESS_MAIN(TestBrowserLauncher)
#include "tst_browser_launcher.moc"
