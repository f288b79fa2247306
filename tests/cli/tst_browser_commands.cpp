// sirano-cli windows, capture and fill: the refusals that come before any browser is reached, and
// a browser that does not start.
#include "store/DataFolder.h"
#include "support/CliRunner.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace sirano;

class BrowserCommandsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString data_;

    using Result = test::CliResult;

    Result run(const QStringList& args, const QByteArray& input = {}) {
        return test::runCli(args, input, dir_.filePath(QStringLiteral("xdg")));
    }

private Q_SLOTS:
    void init() {
        data_ = dir_.filePath(QStringLiteral("SIRANO.DAT"));
        QFile::remove(data_);
        // Three sites, master password "secret".
        QVERIFY(QFile::copy(QStringLiteral(SIRANO_FIXTURES "/store/mixed.dat"), data_));
    }

    void refusals_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");  // on stdout for 0, else on stderr
        QTest::newRow("help of windows")
            << QStringList{"windows", "--help"} << QByteArray() << 0 << "Usage: sirano-cli windows";
        QTest::newRow("help of capture")
            << QStringList{"capture", "--help"} << QByteArray() << 0 << "--browser PORT";
        QTest::newRow("help of fill")
            << QStringList{"fill", "-h"} << QByteArray() << 0 << "Usage: sirano-cli fill INDEX";
        QTest::newRow("windows takes no argument")
            << QStringList{"windows", "1"} << QByteArray() << 64 << "unexpected argument '1'";
        QTest::newRow("fill without index")
            << QStringList{"fill"} << QByteArray() << 64 << "an argument is missing";
        QTest::newRow("fill with a word")
            << QStringList{"fill", "first"} << QByteArray() << 64 << "'first' is not a site index";
        QTest::newRow("fill with two indices")
            << QStringList{"fill", "0", "1"} << QByteArray() << 64 << "unexpected argument '1'";
        QTest::newRow("port zero") << QStringList{"capture", "--browser", "0"} << QByteArray() << 64
                                   << "'0' is not a port number";
        QTest::newRow("port too large") << QStringList{"windows", "--browser", "65536"}
                                        << QByteArray() << 64 << "'65536' is not a port number";
        QTest::newRow("port not a number") << QStringList{"fill", "0", "--browser", "chromium"}
                                           << QByteArray() << 64 << "is not a port number";
        QTest::newRow("wrong password")
            << QStringList{"fill", "0"} << QByteArray("Secret\n") << 2 << "password is wrong";
        QTest::newRow("no password given")
            << QStringList{"capture"} << QByteArray() << 2 << "No master password";
        QTest::newRow("no such site")
            << QStringList{"fill", "3"} << QByteArray("secret\n") << 64 << "There is no site 3";
        // Nothing listens on port 1; the test's own profile has no browser.
        QTest::newRow("capture, no browser at the port")
            << QStringList{"capture", "--browser", "1"} << QByteArray("secret\n") << 1
            << "no browser answers on port 1";
        QTest::newRow("windows, no browser at the port")
            << QStringList{"windows", "--browser", "1"} << QByteArray() << 1
            << "no browser answers on port 1";
        QTest::newRow("capture, no browser on the profile")
            << QStringList{"capture"} << QByteArray("secret\n") << 1
            << "no browser answers for the profile";
    }
    void refusals() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const QByteArray before = [&] {
            QFile f(data_);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        const QDateTime written = QFileInfo(data_).fileTime(QFileDevice::FileModificationTime);
        const Result r = run(args + QStringList{QStringLiteral("--data"), data_}, input);
        QCOMPARE(r.exitCode, exitCode);
        const QByteArray shown = exitCode == 0 ? r.out : r.err;
        QVERIFY2(QString::fromUtf8(shown).contains(message), shown.constData());
        QFile f(data_);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
        QCOMPARE(QFileInfo(data_).fileTime(QFileDevice::FileModificationTime), written);
    }

    // No browser: the capture makes no data file where there was none.
    void captureWithoutBrowserMakesNothing() {
        QVERIFY(QDir().mkpath(dir_.filePath(QStringLiteral("fresh"))));
        const QString fresh = dir_.filePath(QStringLiteral("fresh/SIRANO.DAT"));
        const Result r = run({"capture", "--browser", "1", "--data", fresh});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("no browser answers on port 1"), r.err.constData());
        QVERIFY(!QFileInfo::exists(fresh));
    }

    void fillNeedsADataFile() {
        const Result r = run({"fill", "0", "--data", dir_.filePath("none/SIRANO.DAT")});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("There is no data file"), r.err.constData());
    }

    void captureRefusedWhileSiranoRuns() {
        const auto lock = DataFolderLock::tryAcquire(dir_.path());
        QVERIFY(lock);
        const Result r = run({"capture", "--data", data_}, "secret\n");
        QCOMPARE(r.exitCode, 3);
        QVERIFY2(r.err.contains("SIRANO is running"), r.err.constData());
    }

    // A browser that ends at once, as one with no display does: the fill says so and fails,
    // instead of reporting an address opened.
    void fillWithoutAStartingBrowserFails() {
        const QString bin = dir_.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        QFile stand(bin + QStringLiteral("/chromium"));
        QVERIFY(stand.open(QIODevice::WriteOnly));
        stand.write("#!/bin/sh\nexit 0\n");
        stand.close();
        stand.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const Result r = test::runCli(test::CliRun{
            {"fill", "0", "--data", data_},
            "secret\n",
            {{QStringLiteral("PATH"), bin + QStringLiteral(":/usr/bin:/bin")},
             {QStringLiteral("XDG_DATA_HOME"), dir_.filePath(QStringLiteral("xdg"))}}});
        const QString err = QString::fromUtf8(r.err);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(err.contains(QStringLiteral("no browser could be started (error 429)")),
                 qPrintable(err));
        QVERIFY(!r.out.contains("opened"));
    }
};

QTEST_GUILESS_MAIN(BrowserCommandsTest)
#include "tst_browser_commands.moc"
