// sirano-cli on an encrypted data file: encrypt and decrypt, and every command asking the
// master password before it reads anything.
#include "support/CliRunner.h"
#include "support/Files.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace sirano::test;

namespace {

const QString kFixtures = QStringLiteral(SIRANO_FIXTURES "/store/");
const QByteArray kMagic = "#SIRANO-ENCRYPTED\n";

}  // namespace

class CliEncryptionTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString data_;

    CliResult run(QStringList args, const QByteArray& input = {}) {
        args << QStringLiteral("--data") << data_;
        return runCli(args, input, dir_.filePath(QStringLiteral("xdg")));
    }
    void encryptFixture() {
        const CliResult r = run({QStringLiteral("encrypt")}, "secret\n");
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY2(r.out.startsWith("encrypted " + data_.toUtf8()), r.out.constData());
        QVERIFY(readAll(data_).startsWith(kMagic));
    }
    QJsonObject exported() {
        const CliResult r = run({QStringLiteral("export")}, "secret\n");
        if (r.exitCode != 0)
            qWarning("%s", r.err.constData());
        return QJsonDocument::fromJson(r.out).object();
    }

private Q_SLOTS:
    void init() {
        data_ = dir_.filePath(QStringLiteral("SIRANO.DAT"));
        QFile::remove(data_);
        QFile::copy(kFixtures + QStringLiteral("mixed.dat"), data_);  // master password "secret"
        QFile(data_).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }

    void everyCommandAsksThePassword_data() {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        const QStringList commands[] = {{QStringLiteral("check")},
                                        {QStringLiteral("list")},
                                        {QStringLiteral("list"), QStringLiteral("--json")},
                                        {QStringLiteral("export")}};
        for (const QStringList& c : commands) {
            const QByteArray name = c.join(u' ').toUtf8();
            QTest::newRow(name + ", right") << c << QByteArray("secret\n") << 0;
            QTest::newRow(name + ", wrong") << c << QByteArray("Secret\n") << 2;
            QTest::newRow(name + ", none") << c << QByteArray() << 2;
        }
    }
    void everyCommandAsksThePassword() {
        QFETCH(QStringList, command);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        const CliResult plain = run(command, "secret\n");
        QCOMPARE(plain.exitCode, 0);
        encryptFixture();
        const QByteArray sealed = readAll(data_);
        const CliResult r = run(command, input);
        QCOMPARE(r.exitCode, exitCode);
        if (exitCode == 0) {
            QCOMPARE(r.out, plain.out);  // the same store, whatever the format
        } else {
            QVERIFY(r.out.isEmpty());
            QVERIFY2(r.err.contains("master password"), r.err.constData());
        }
        QCOMPARE(readAll(data_), sealed);
    }

    void encryptIsRefused_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<bool>("encryptFirst");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("wrong password")
            << "mixed.dat" << false << QByteArray("wrong\n") << 2 << QByteArray("is wrong");
        QTest::newRow("no master password")
            << "empty-table.dat" << false << QByteArray() << 1 << QByteArray("no master password");
        QTest::newRow("encrypted already") << "mixed.dat" << true << QByteArray("secret\n") << 3
                                           << QByteArray("encrypted already");
    }
    void encryptIsRefused() {
        QFETCH(QString, fixture);
        QFETCH(bool, encryptFirst);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, message);
        QFile::remove(data_);
        QFile::copy(kFixtures + fixture, data_);
        QFile(data_).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        if (encryptFirst)
            encryptFixture();
        const QByteArray before = readAll(data_);
        const CliResult r = run({QStringLiteral("encrypt")}, input);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(r.err.contains(message), r.err.constData());
        QCOMPARE(readAll(data_), before);
    }

    void decryptAsksFirst_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        const QStringList decrypt{QStringLiteral("decrypt")};
        QTest::newRow("yes") << decrypt << QByteArray("secret\ny\n") << 0;
        QTest::newRow("YES") << decrypt << QByteArray("secret\n YES \n") << 0;
        QTest::newRow("no") << decrypt << QByteArray("secret\nn\n") << 3;
        QTest::newRow("no answer") << decrypt << QByteArray("secret\n") << 3;
        QTest::newRow("wrong password") << decrypt << QByteArray("wrong\ny\n") << 2;
        QTest::newRow("--force") << (decrypt + QStringList{QStringLiteral("--force")})
                                 << QByteArray("secret\n") << 0;
        QTest::newRow("--force, wrong password")
            << (decrypt + QStringList{QStringLiteral("--force")}) << QByteArray("wrong\n") << 2;
    }
    void decryptAsksFirst() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        const QByteArray plain = readAll(data_);
        const QJsonObject document = exported();
        encryptFixture();
        const QByteArray sealed = readAll(data_);
        const CliResult r = run(args, input);
        QCOMPARE(r.exitCode, exitCode);
        if (exitCode != 0) {
            QCOMPARE(readAll(data_), sealed);
            return;
        }
        const QByteArray back = readAll(data_);
        QVERIFY(!back.startsWith('#'));
        // The plain format again (new seeds, so not the same bytes), holding the same store.
        QCOMPARE(back.count("\r\n"), plain.count("\r\n"));
        QCOMPARE(exported(), document);
        QCOMPARE(run({QStringLiteral("decrypt"), QStringLiteral("--force")}, "secret\n").exitCode,
                 3);
    }

    void importOverAnEncryptedFileKeepsItEncrypted() {
        encryptFixture();
        const QJsonObject document =
            QJsonDocument::fromJson(readAll(kFixtures + QStringLiteral("mixed.json"))).object();
        const CliResult r = run({QStringLiteral("import"), kFixtures + QStringLiteral("mixed.json"),
                                 QStringLiteral("--force")},
                                "secret\n");
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(readAll(data_).startsWith(kMagic));
        QCOMPARE(exported(), document);
    }
};

QTEST_GUILESS_MAIN(CliEncryptionTest)
#include "tst_cli_encryption.moc"
