// error.log: the line format, and that logging never creates the file or disturbs its caller.
#include "FakeBrowser.h"
#include "browser/ErrorLog.h"
#include "support/Files.h"

#include <unistd.h>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace sirano;
using namespace sirano::test;

class ErrorLogTest : public QObject {
    Q_OBJECT

private:
    static QByteArray contents(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }

private Q_SLOTS:
    void formatLine_data() {
        QTest::addColumn<QDateTime>("at");
        QTest::addColumn<int>("place");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("line");
        const QDateTime noon(QDate(2008, 6, 15), QTime(12, 34, 56));
        QTest::newRow("438 at place 2")
            << noon << 2 << 438 << "2008/06/15 12:34:56 Error:0002(1B6)";
        QTest::newRow("small number") << noon << 3 << 9 << "2008/06/15 12:34:56 Error:0003(9)";
        QTest::newRow("zero") << noon << 0 << 0 << "2008/06/15 12:34:56 Error:0000(0)";
        QTest::newRow("negative") << noon << 1 << -1 << "2008/06/15 12:34:56 Error:0001(FFFFFFFF)";
        QTest::newRow("most negative")
            << noon << 0 << int(INT32_MIN) << "2008/06/15 12:34:56 Error:0000(80000000)";
        QTest::newRow("negative, high bits")
            << noon << 0 << -2147221504 << "2008/06/15 12:34:56 Error:0000(80040000)";
        QTest::newRow("five-digit place")
            << noon << 12345 << 462 << "2008/06/15 12:34:56 Error:12345(1CE)";
        QTest::newRow("midnight: the date alone") << QDateTime(QDate(2008, 6, 15), QTime(0, 0)) << 0
                                                  << 430 << "2008/06/15 Error:0000(1AE)";
        QTest::newRow("a second past midnight")
            << QDateTime(QDate(2008, 6, 15), QTime(0, 0, 1)) << 0 << 430
            << "2008/06/15 00:00:01 Error:0000(1AE)";
    }
    void formatLine() {
        QFETCH(QDateTime, at);
        QFETCH(int, place);
        QFETCH(int, number);
        QFETCH(QString, line);
        QCOMPARE(FileErrorLog::formatLine(at, static_cast<int16_t>(place), number), line);
    }

    void noFileMeansNoTrace() {
        QTemporaryDir dir;
        test::FixedClock clock;
        FileErrorLog log(dir.path(), clock);
        log.logError(place::kCapture, 9);
        QVERIFY(!QFile::exists(dir.filePath("error.log")));
    }

    void appendsLinesEndedByCrLf_data() {
        QTest::addColumn<bool>("trailingSlash");
        QTest::newRow("folder") << false;
        QTest::newRow("folder ending in a slash") << true;
    }
    void appendsLinesEndedByCrLf() {
        QFETCH(bool, trailingSlash);
        QTemporaryDir dir;
        const QString path = dir.filePath("error.log");
        writeFile(path, {});
        test::FixedClock clock;
        FileErrorLog log(dir.path() + (trailingSlash ? "/" : ""), clock);

        log.logError(place::kOpenSite, 438);
        QCOMPARE(contents(path), QByteArray("2008/06/15 12:34:56 Error:0002(1B6)\r\n"));

        clock.at = QDateTime(QDate(2008, 6, 16), QTime(0, 0));
        log.logError(place::kAutoFill, -1);
        QCOMPARE(contents(path), QByteArray("2008/06/15 12:34:56 Error:0002(1B6)\r\n"
                                            "2008/06/16 Error:0000(FFFFFFFF)\r\n"));
    }

    void keepsWhatTheFileHeld() {
        QTemporaryDir dir;
        const QString path = dir.filePath("error.log");
        writeFile(path, "written by hand, no line end");
        test::FixedClock clock;
        FileErrorLog(dir.path(), clock).logError(place::kTimer, 13);
        QCOMPARE(contents(path),
                 QByteArray("written by hand, no line end2008/06/15 12:34:56 Error:0001(D)\r\n"));
    }

    void unwritableLogIsSkipped() {
        QTemporaryDir dir;
        test::FixedClock clock;
        // A folder of that name can never be opened for writing, whoever runs the test.
        QVERIFY(QDir(dir.path()).mkdir("error.log"));
        FileErrorLog(dir.path(), clock).logError(place::kCapture, 9);
        QVERIFY(QFileInfo(dir.filePath("error.log")).isDir());

        QTemporaryDir other;
        const QString path = other.filePath("error.log");
        writeFile(path, "old\r\n");
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
        FileErrorLog(other.path(), clock).logError(place::kCapture, 9);
        if (geteuid() != 0)  // root writes read-only files anyway
            QCOMPARE(contents(path), QByteArray("old\r\n"));
    }
};

QTEST_GUILESS_MAIN(ErrorLogTest)
#include "tst_errorlog.moc"
